// Paths, scratch directories and files of the test programs.
#include "support.h"

#include <gtest/gtest.h>

std::string BinDir()
{
    return std::string(QF_BIN_DIR_WIN) + "\\";
}

std::string QuillfernExe()
{
    return BinDir() + "Quillfern.exe";
}

std::string TestBin(const char *name)
{
    return BinDir() + "testbin\\" + name + ".exe";
}

std::string WineNotepad()
{
    char windows[MAX_PATH] = "";
    GetWindowsDirectoryA(windows, sizeof windows);
    return WithBackslash(windows) + "notepad.exe";
}

std::string WithBackslash(const std::string &dir)
{
    if (dir.empty() || dir.back() == '\\')
        return dir;
    return dir + "\\";
}

// Removes everything inside dir (not dir itself). A file still held by a
// process that is just ending is retried for a short while.
static bool EmptyDirectory(const std::string &dir)
{
    bool ok = true;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return true;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ok = EmptyDirectory(path + "\\") && ok;
            ok = RemoveDirectoryA(path.c_str()) && ok;
        } else {
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            bool deleted = false;
            for (int attempt = 0; attempt < 50 && !deleted; attempt++) {
                deleted = DeleteFileA(path.c_str()) != 0;
                if (!deleted)
                    Sleep(100);
            }
            ok = deleted && ok;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return ok;
}

std::string MakeScratchDir(const char *name)
{
    std::string scratch = BinDir() + "scratch\\";
    CreateDirectoryA(scratch.c_str(), NULL);
    std::string dir = scratch + name + "\\";
    CreateDirectoryA(dir.c_str(), NULL);
    EXPECT_TRUE(EmptyDirectory(dir)) << "could not empty the scratch directory " << dir;
    DWORD attributes = GetFileAttributesA(dir.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        << "could not create the scratch directory " << dir;
    return dir;
}

void WriteTextFile(const std::string &path, const std::string &contents)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << "cannot create " << path
                                          << ", error " << GetLastError();
    DWORD written = 0;
    BOOL ok = WriteFile(file, contents.data(), (DWORD)contents.size(), &written, NULL);
    CloseHandle(file);
    EXPECT_TRUE(ok && written == contents.size()) << "short write to " << path;
}

std::string ReadTextFile(const std::string &path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    std::string contents;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, NULL) && got > 0)
        contents.append(chunk, got);
    CloseHandle(file);
    return contents;
}

bool FileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void CopyFileOrFail(const std::string &from, const std::string &to)
{
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CopyFileA(from.c_str(), to.c_str(), FALSE))
        << "cannot copy " << from << " to " << to << ", error " << GetLastError();
}

std::string InstallManagerCopy(const std::string &dir, const std::string &config)
{
    std::string exe = WithBackslash(dir) + "Quillfern.exe";
    CopyFileOrFail(QuillfernExe(), exe);
    WriteTextFile(WithBackslash(dir) + "Quillfern.cfg", config);
    return exe;
}

static const char *StandInProgram(StandIn kind)
{
    switch (kind) {
    case STANDIN_LITESTEP: return "litestep_standin";
    case STANDIN_EXPLORER: return "explorer_standin";
    default:               return "altshell_standin";
    }
}

std::string PlaceStandIn(StandIn kind, const std::string &dir, const char *fileName,
                         const std::string &ini)
{
    std::string exe = WithBackslash(dir) + fileName;
    CopyFileOrFail(TestBin(StandInProgram(kind)), exe);
    std::string text = ini;
    if (text.find("[standin]") == std::string::npos)
        text = "[standin]\r\n" + text;
    WriteTextFile(WithBackslash(dir) + "standin.ini", text);
    return exe;
}

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> StandInLog(const std::string &dir)
{
    return SplitLines(ReadTextFile(WithBackslash(dir) + "standin.log"));
}
