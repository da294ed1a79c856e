#include "support.h"

#include <tlhelp32.h>

#include <algorithm>

std::wstring Wide(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

std::string BinDir()
{
    return QF_BIN_DIR_WIN "\\";
}

static void RemoveTree(const std::string &dir)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        std::string name = found.cFileName, path = dir + name;
        if (name == "." || name == "..")
            continue;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveTree(path + "\\");
        else
            DeleteFileA(path.c_str());
    }
    FindClose(search);
    RemoveDirectoryA(dir.c_str());
}

std::string MakeScratchDir(const std::string &name)
{
    std::string dir = BinDir() + "scratch\\" + name + "\\";
    RemoveTree(dir);
    CreateDirectoryA((BinDir() + "scratch").c_str(), NULL);
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

std::string ReadTextFile(const std::string &path)
{
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string text;
    char chunk[4096];
    DWORD got;
    while (ReadFile(file, chunk, sizeof chunk, &got, NULL) && got > 0)
        text.append(chunk, got);
    CloseHandle(file);
    return text;
}

bool WriteTextFile(const std::string &path, const std::string &text)
{
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE &&
              WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(file);
    return ok && written == text.size();
}

// Wide, so that the program's path may pass MAX_PATH.
HANDLE StartProcess(const std::string &exe, const std::string &args)
{
    std::wstring line = Wide("\"" + exe + "\"" + (args.empty() ? "" : " " + args));
    std::wstring dir = Wide(exe.substr(0, exe.find_last_of('\\') + 1));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessW(Wide(exe).c_str(), &line[0], NULL, NULL, FALSE, 0, NULL, dir.c_str(),
                                  &startup, &info);
    if (!started) {
        // Wine takes a program past MAX_PATH only by its bare name, from its own directory.
        wchar_t saved[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, saved);
        SetCurrentDirectoryW(dir.c_str());
        started = CreateProcessW(Wide(exe.substr(exe.find_last_of('\\') + 1)).c_str(), &line[0], NULL,
                                 NULL, FALSE, 0, NULL, NULL, &startup, &info);
        SetCurrentDirectoryW(saved);
    }
    if (!started)
        return NULL;
    CloseHandle(info.hThread);
    return info.hProcess;
}

static std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return (char)tolower(c); });
    return text;
}

std::vector<ProcessEntry> ProcessesUnder(const std::string &dir)
{
    std::vector<ProcessEntry> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        char path[MAX_PATH * 2] = "";
        DWORD size = sizeof path;
        if (process != NULL && QueryFullProcessImageNameA(process, 0, path, &size) &&
            Lower(path).compare(0, dir.size(), Lower(dir)) == 0)
            found.push_back({entry.th32ProcessID, entry.th32ParentProcessID, Lower(entry.szExeFile)});
        if (process != NULL)
            CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

void KillProcessesUnder(const std::string &dir)
{
    for (const ProcessEntry &entry : ProcessesUnder(dir)) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.pid);
        if (process == NULL)
            continue;
        TerminateProcess(process, 0xDEAD);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
}

std::string ReadRegValue(HKEY root, const char *key, const char *value)
{
    BYTE data[1024] = {};
    DWORD type = 0, size = sizeof data - 1;
    if (RegGetValueA(root, key, value, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) != ERROR_SUCCESS)
        return "<missing>";
    return type == REG_DWORD ? std::to_string(*(DWORD *)data) : std::string((char *)data);
}

SavedRegValue::SavedRegValue(HKEY r, const char *k, const char *v)
    : root(r), key(k), value(v), type(0), data(4096)
{
    DWORD size = (DWORD)data.size();
    status = RegGetValueA(root, k, v, RRF_RT_ANY | RRF_NOEXPAND, &type, data.data(), &size);
    data.resize(size);
}

SavedRegValue::~SavedRegValue()
{
    HKEY handle;
    if (RegCreateKeyExA(root, key.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &handle, NULL) != 0)
        return;
    if (status == ERROR_SUCCESS)
        RegSetValueExA(handle, value.c_str(), 0, type, data.data(), (DWORD)data.size());
    else
        RegDeleteValueA(handle, value.c_str());
    RegCloseKey(handle);
}
