// Starting, waiting for and cleaning up processes and windows.
#include "support.h"

#include <tlhelp32.h>

#include <algorithm>

HANDLE StartProcess(const std::string &exe, const std::string &args, const std::string &dir)
{
    std::string commandLine = "\"" + exe + "\"";
    if (!args.empty())
        commandLine += " " + args;
    std::string workDir = dir;
    if (workDir.empty()) {
        size_t slash = exe.find_last_of('\\');
        if (slash != std::string::npos)
            workDir = exe.substr(0, slash + 1);
    }
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof info);
    if (!CreateProcessA(exe.c_str(), writable.data(), NULL, NULL, FALSE, 0, NULL,
                        workDir.empty() ? NULL : workDir.c_str(), &startup, &info))
        return NULL;
    CloseHandle(info.hThread);
    return info.hProcess;
}

DWORD WaitExit(HANDLE process, DWORD timeoutMs)
{
    if (process == NULL)
        return STILL_ACTIVE;
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}

HWND WaitForWindow(const char *className, const char *title, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindWindowA(className, title);
        if (window != NULL || GetTickCount() - start >= timeoutMs)
            return window;
        Sleep(20);
    }
}

bool WaitForNoWindow(const char *className, const char *title, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (FindWindowA(className, title) == NULL)
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
}

std::string WindowText(HWND window)
{
    char text[4096] = "";
    DWORD_PTR got = 0;
    // A window of another thread answers WM_GETTEXT from its own loop; a hung
    // one must not hang the test.
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, (LPARAM)text,
                             SMTO_ABORTIFHUNG, 2000, &got))
        GetWindowTextA(window, text, sizeof text);
    text[sizeof text - 1] = '\0';
    return text;
}

static std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return (char)tolower((unsigned char)c); });
    return text;
}

// The full image path of a process, lower case; "" when it cannot be read.
static std::string ProcessImagePath(DWORD pid)
{
    typedef BOOL(WINAPI * QueryImageName)(HANDLE, DWORD, LPSTR, PDWORD);
    static QueryImageName query = (QueryImageName)(void *)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "QueryFullProcessImageNameA");
    if (query == NULL)
        return "";
    HANDLE process = OpenProcess(0x1000 /* PROCESS_QUERY_LIMITED_INFORMATION */, FALSE, pid);
    if (process == NULL)
        return "";
    char path[MAX_PATH * 2] = "";
    DWORD size = sizeof path;
    std::string result;
    if (query(process, 0, path, &size))
        result = Lower(path);
    CloseHandle(process);
    return result;
}

// A process a test may have left behind: any Quillfern.exe, Wine's notepad
// (a real alternate shell in some tests), and every program run from the
// build directory (stand-ins and their copies in scratch directories) except
// this test and the keeper that holds the session open.
static bool IsStray(const PROCESSENTRY32 &entry)
{
    std::string exe = Lower(entry.szExeFile);
    if (exe == "quillfern.exe" || exe == "notepad.exe")
        return true;
    std::string path = ProcessImagePath(entry.th32ProcessID);
    std::string bin = Lower(BinDir());
    if (path.compare(0, bin.size(), bin) != 0)
        return false;
    return path != bin + "testbin\\keeper.exe";
}

static void CloseLeftoverMessageBoxes();

void KillStrays()
{
    std::vector<HANDLE> ending;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32 entry;
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot, &entry); more;
             more = Process32Next(snapshot, &entry)) {
            if (entry.th32ProcessID == GetCurrentProcessId() || !IsStray(entry))
                continue;
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                         entry.th32ProcessID);
            if (process == NULL)
                continue;
            TerminateProcess(process, 0xDEAD);
            ending.push_back(process);
        }
        CloseHandle(snapshot);
    }
    for (HANDLE process : ending) {
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
    CloseLeftoverMessageBoxes();
}

// ---- Message boxes -----------------------------------------------------------

static const char kBoxCaption[] = "Quillfern 1.50";
static const int kBoxTextId = 0xFFFF;

// Wine builds a message box as a "#32770" dialog holding only the icon
// static 0x440, the text static 0xFFFF and the buttons asked for (ids IDOK to
// IDCONTINUE). Dialogs of our own share the caption and have 0xFFFF statics
// too, but also group boxes, radio buttons, list boxes or ids of their own.
static BOOL CALLBACK CheckBoxChild(HWND child, LPARAM verdict)
{
    if (GetParent(child) != GetAncestor(child, GA_ROOT))
        return TRUE;
    char className[64] = "";
    GetClassNameA(child, className, sizeof className);
    int id = GetDlgCtrlID(child);
    LONG style = GetWindowLongA(child, GWL_STYLE);
    bool fits;
    if (lstrcmpiA(className, "Static") == 0)
        fits = id == 0xFFFF || id == 0x440;
    else if (lstrcmpiA(className, "Button") == 0)
        fits = id >= IDOK && id <= 11 /* IDCONTINUE */ &&
               ((style & BS_TYPEMASK) == BS_PUSHBUTTON || (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON);
    else
        fits = false;
    if (!fits)
        *(bool *)verdict = false;
    return fits;
}

bool IsQuillfernMessageBox(HWND window)
{
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "#32770") != 0)
        return false;
    char caption[64] = "";
    GetWindowTextA(window, caption, sizeof caption);
    if (strcmp(caption, kBoxCaption) != 0)
        return false;
    HWND text = GetDlgItem(window, kBoxTextId);
    HWND icon = GetDlgItem(window, 0x440);
    if (text == NULL || icon == NULL)
        return false;
    bool onlyBoxControls = true;
    EnumChildWindows(window, CheckBoxChild, (LPARAM)&onlyBoxControls);
    return onlyBoxControls;
}

// The button a box gets when no rule matches: No when it offers No, else OK.
int DefaultMessageBoxAnswer(HWND box)
{
    if (GetDlgItem(box, IDNO) != NULL)
        return IDNO;
    return IDOK;
}

std::vector<HWND> FindMessageBoxes()
{
    std::vector<HWND> boxes;
    EnumWindows([](HWND window, LPARAM found) -> BOOL {
        // Only a visible box has finished setting its caption and text.
        if (IsWindowVisible(window) && IsQuillfernMessageBox(window))
            ((std::vector<HWND> *)found)->push_back(window);
        return TRUE;
    }, (LPARAM)&boxes);
    return boxes;
}

static void CloseLeftoverMessageBoxes()
{
    for (int round = 0; round < 10; round++) {
        std::vector<HWND> boxes = FindMessageBoxes();
        if (boxes.empty())
            return;
        for (HWND box : boxes)
            PostMessageA(box, WM_COMMAND, DefaultMessageBoxAnswer(box), 0);
        Sleep(100);
    }
}
