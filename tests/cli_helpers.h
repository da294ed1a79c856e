// Helpers of the command-line and installation tests: a scratch scene with a
// manager copy and stand-in shells, client runs, and registry reads.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "shell/shell.h"
#include "support/support.h"

constexpr char kControlClass[] = "QuillfernWndClass";
constexpr char kBoxCaption[] = "Quillfern 1.50";
constexpr DWORD kClientTimeoutMs = 20000;

// A manager copy in dir\mgr\ with LiteStep and Explorer stand-ins in their
// own directories (each writes its own standin.log) and two themes.
struct Scene {
    std::string dir, mgrDir, exe, liteDir, liteExe, explorerDir, explorerExe;
};

// shellDirective goes to [default] shell=...; extra is appended to the file.
inline Scene MakeScene(const char *name, const std::string &shellDirective,
                       const std::string &extra = "")
{
    Scene s;
    s.dir = MakeScratchDir(name);
    s.mgrDir = s.dir + "mgr\\";
    s.liteDir = s.dir + "LiteStep\\";
    s.explorerDir = s.dir + "Explorer\\";
    CreateDirectoryA(s.mgrDir.c_str(), NULL);
    CreateDirectoryA(s.liteDir.c_str(), NULL);
    CreateDirectoryA(s.explorerDir.c_str(), NULL);
    s.liteExe = PlaceStandIn(STANDIN_LITESTEP, s.liteDir, "LiteStep.exe");
    s.explorerExe = PlaceStandIn(STANDIN_EXPLORER, s.explorerDir, "Explorer.exe");
    WriteTextFile(s.liteDir + "step.rc", "original step\r\n");
    WriteTextFile(s.liteDir + "modules.ini", "original modules\r\n");
    const char *themes[] = { "day", "night" };
    CreateDirectoryA((s.dir + "themes").c_str(), NULL);
    for (const char *theme : themes) {
        std::string themeDir = s.dir + "themes\\" + theme + "\\";
        CreateDirectoryA(themeDir.c_str(), NULL);
        WriteTextFile(themeDir + "step.rc", std::string(theme) + " step\r\n");
        WriteTextFile(themeDir + "modules.ini", std::string(theme) + " modules\r\n");
    }
    std::string config =
        "[Quillfern]\r\n"
        "litestep_exe=" + s.liteExe + "\r\n"
        "explorer_exe=" + s.explorerExe + "\r\n"
        "[default]\r\n"
        "shell=" + shellDirective + "\r\n"
        "kill_delay=3\r\n"
        "[Themes]\r\n"
        "theme_name_1=Day\r\n"
        "theme_path_1=" + s.dir + "themes\\day\r\n"
        "theme_back_1=\r\n"
        "theme_name_2=Night\r\n"
        "theme_path_2=" + s.dir + "themes\\night\r\n"
        "theme_back_2=\r\n" + extra;
    s.exe = InstallManagerCopy(s.mgrDir, config);
    return s;
}

// Runs the client with a command tail and returns its exit code
// (STILL_ACTIVE when it hangs, 0xC0000005 when it crashed).
inline DWORD RunClient(const std::string &exe, const std::string &tail)
{
    HANDLE process = StartProcess(exe, tail);
    if (process == NULL)
        return 0xdeadbeef;
    DWORD code = WaitExit(process, kClientTimeoutMs);
    if (code == STILL_ACTIVE)
        TerminateProcess(process, 1);
    CloseHandle(process);
    return code;
}

inline size_t CountLogLines(const std::string &dir, const std::string &prefix)
{
    size_t n = 0;
    for (const std::string &line : StandInLog(dir))
        if (line.compare(0, prefix.size(), prefix) == 0)
            n++;
    return n;
}

// True when the stand-in's log has at least count lines starting with prefix.
inline bool WaitForLogLines(const std::string &dir, const std::string &prefix, size_t count,
                            DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (CountLogLines(dir, prefix) < count) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(100);
    }
    return true;
}

// The pid of the stand-in's latest start ("start pid=<pid> ..."), 0 if none.
inline DWORD LatestStandInPid(const std::string &dir)
{
    DWORD pid = 0;
    for (const std::string &line : StandInLog(dir))
        if (line.compare(0, 10, "start pid=") == 0)
            pid = strtoul(line.c_str() + 10, NULL, 10);
    return pid;
}

// True when the process has ended (or never existed) within timeoutMs.
inline bool ProcessEnds(DWORD pid, DWORD timeoutMs)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == NULL)
        return true;
    bool ended = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

// Process ids owning a top-level window of the control window's class.
inline std::vector<DWORD> ControlWindowOwners()
{
    struct Walk {
        static BOOL CALLBACK Visit(HWND window, LPARAM param)
        {
            char name[64] = "";
            GetClassNameA(window, name, sizeof(name));
            if (strcmp(name, kControlClass) == 0) {
                DWORD pid = 0;
                GetWindowThreadProcessId(window, &pid);
                ((std::vector<DWORD> *)param)->push_back(pid);
            }
            return TRUE;
        }
    };
    std::vector<DWORD> owners;
    EnumWindows(Walk::Visit, (LPARAM)&owners);
    return owners;
}

// A running manager of the scene: started, its control window up and its
// first shell started. NULL (with a failure recorded) otherwise.
inline HANDLE StartManager(const Scene &s, const std::string &shellDir)
{
    HANDLE manager = StartProcess(s.exe);
    EXPECT_TRUE(manager != NULL) << "could not start " << s.exe;
    if (manager == NULL)
        return NULL;
    EXPECT_TRUE(WaitForWindow(kControlClass, NULL, 15000) != NULL)
        << "the manager's control window did not appear";
    EXPECT_TRUE(WaitForLogLines(shellDir, "start", 1, 15000))
        << "the manager did not start its shell in " << shellDir;
    // The spawn ends by naming the manager as the system shell again.
    DWORD start = GetTickCount();
    while (_stricmp(ReadSystemShell().c_str(), s.exe.c_str()) != 0 &&
           GetTickCount() - start < 15000)
        Sleep(50);
    EXPECT_STRCASEEQ(s.exe.c_str(), ReadSystemShell().c_str())
        << "the manager did not finish starting its shell";
    return manager;
}

// ---- Registry ---------------------------------------------------------------
// The REG_SZ value, or "<missing>" / "<type N>" so a check prints what it got.
inline std::string RegText(HKEY root, const char *key, const char *value)
{
    HKEY k;
    if (RegOpenKeyExA(root, key, 0, KEY_READ, &k) != ERROR_SUCCESS)
        return "<no key>";
    char data[1024];
    memset(data, 0x5a, sizeof(data));
    DWORD size = sizeof(data) - 1, type = 0;
    LONG ret = RegQueryValueExA(k, value, NULL, &type, (BYTE *)data, &size);
    RegCloseKey(k);
    if (ret != ERROR_SUCCESS)
        return "<missing>";
    if (type != REG_SZ)
        return "<type " + std::to_string(type) + ">";
    data[size] = '\0';
    return data;
}

inline void SetRegText(HKEY root, const char *key, const char *value, const std::string &text)
{
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, key, 0, NULL, 0, KEY_WRITE, NULL, &k, NULL))
        << "could not open " << key;
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(k, value, 0, REG_SZ, (const BYTE *)text.c_str(),
                                            (DWORD)text.size() + 1));
    RegCloseKey(k);
}

inline void SetRegDword(HKEY root, const char *key, const char *value, DWORD number)
{
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, key, 0, NULL, 0, KEY_WRITE, NULL, &k, NULL))
        << "could not open " << key;
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(k, value, 0, REG_DWORD, (const BYTE *)&number,
                                            sizeof(number)));
    RegCloseKey(k);
}

inline void DeleteRegValue(HKEY root, const char *key, const char *value)
{
    HKEY k;
    if (RegOpenKeyExA(root, key, 0, KEY_WRITE, &k) == ERROR_SUCCESS) {
        RegDeleteValueA(k, value);
        RegCloseKey(k);
    }
}
