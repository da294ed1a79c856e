// What the robustness programs (test_robust_*.cpp) share: fast message boxes
// under Wine, an in-process catcher that answers the manager's boxes on the
// spot, and the figures file build\x86_64\robustness.txt.
#pragma once

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "shell/shell.h"
#include "support/support.h"

// Wine's X11 driver waits up to 2 s, on every hide of a window that a window
// manager would manage, for a window manager that Xvfb does not have. A
// message box or dialog so costs 2 s to close: far too slow for thousands of
// them. Windows that Wine leaves unmanaged skip that wait; the setting is read
// once per process, when its first window is made, so a program sets it for
// itself before main (and takes it away at exit).
namespace robust {

constexpr char kAppDefaults[] = "Software\\Wine\\AppDefaults\\";

inline std::string OwnExeName()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(NULL, path, sizeof path);
    const char *slash = strrchr(path, '\\');
    return slash != NULL ? slash + 1 : path;
}

inline void SetUnmanaged(const std::string &exe, bool on)
{
    std::string key = std::string(kAppDefaults) + exe + "\\X11 Driver";
    if (on) {
        HKEY hkey;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                            &hkey, NULL) == ERROR_SUCCESS) {
            RegSetValueExA(hkey, "Managed", 0, REG_SZ, (const BYTE *)"N", 2);
            RegCloseKey(hkey);
        }
        return;
    }
    HKEY hkey;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_ALL_ACCESS, &hkey) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(hkey, "Managed");
    DWORD values = 1, subkeys = 1;
    RegQueryInfoKeyA(hkey, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL,
                     NULL);
    RegCloseKey(hkey);
    if (values == 0 && subkeys == 0) {
        RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
        std::string app = std::string(kAppDefaults) + exe;
        RegDeleteKeyA(HKEY_CURRENT_USER, app.c_str());   // only if empty: fails otherwise
    }
}

struct UnmanagedSelf {
    std::string exe;
    UnmanagedSelf() : exe(OwnExeName()) { SetUnmanaged(exe, true); }
    ~UnmanagedSelf() { SetUnmanaged(exe, false); }
};
static UnmanagedSelf sUnmanagedSelf;

// The same for the copies of Quillfern.exe a test starts, for the test's time.
struct UnmanagedManager {
    std::unique_ptr<SavedRegValue> saved;
    UnmanagedManager()
        : saved(new SavedRegValue(HKEY_CURRENT_USER,
                                  "Software\\Wine\\AppDefaults\\Quillfern.exe\\X11 Driver",
                                  "Managed"))
    {
        SetUnmanaged("Quillfern.exe", true);
    }
};

// ---- In-process message boxes ------------------------------------------------
// A box the product showed on this thread, as the test saw it.
struct CaughtBox {
    std::string caption;
    std::string text;
    int textLength;         // what the box's static control reports
    bool topmost;
    bool owned;
    bool yesNo;
};

// Answers every dialog that this thread opens as soon as it is initialised:
// OK, or No for a Yes/No box. Records each one.
class BoxCatcher {
public:
    BoxCatcher()
    {
        sCurrent = this;
        hook = SetWindowsHookExA(WH_CALLWNDPROCRET, Hook, NULL, GetCurrentThreadId());
    }
    ~BoxCatcher()
    {
        UnhookWindowsHookEx(hook);
        sCurrent = NULL;
    }
    BoxCatcher(const BoxCatcher &) = delete;
    BoxCatcher &operator=(const BoxCatcher &) = delete;
    bool Hooked() const { return hook != NULL; }
    std::vector<CaughtBox> boxes;

private:
    HHOOK hook;
    static inline BoxCatcher *sCurrent = NULL;
    static inline char sText[70000];

    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam)
    {
        const CWPRETSTRUCT *call = (const CWPRETSTRUCT *)lParam;
        if (code == HC_ACTION && call->message == WM_INITDIALOG && sCurrent != NULL)
            sCurrent->Catch(call->hwnd);
        return CallNextHookEx(NULL, code, wParam, lParam);
    }

    void Catch(HWND box)
    {
        CaughtBox caught;
        char *text = sText;
        text[0] = '\0';
        GetWindowTextA(box, text, sizeof sText);
        caught.caption = text;
        HWND label = GetDlgItem(box, 0xFFFF);
        caught.textLength = label != NULL ? GetWindowTextLengthA(label) : -1;
        text[0] = '\0';
        if (label != NULL)
            GetWindowTextA(label, text, sizeof sText);
        caught.text = text;
        caught.topmost = (GetWindowLongA(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
        caught.owned = GetWindow(box, GW_OWNER) != NULL;
        caught.yesNo = GetDlgItem(box, IDNO) != NULL;
        boxes.push_back(caught);
        // Closed before it is ever drawn, which costs a fraction of a box
        // shown and then hidden. A question is answered No; a box that only
        // informs is taken away at once (its caller gets no button back, and
        // the product looks at no button of such a box).
        if (caught.yesNo)
            EndDialog(box, IDNO);
        else
            DestroyWindow(box);
    }
};

// ---- A manager run end to end ---------------------------------------------------

// A copy of Quillfern.exe in a scratch directory with stand-in shells of its
// own (ls\LiteStep.exe, ex\Explorer.exe, alt\Alt.exe), started and ended
// by the test. The system shell value is put back afterwards.
struct ManagerRun {
    std::string dir, exe;
    HANDLE process = NULL;
    HWND control = NULL;
    SavedRegValue systemShell{HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell"};
    UnmanagedManager fast;

    std::string LiteStepDir() const { return dir + "ls\\"; }
    std::string ExplorerDir() const { return dir + "ex\\"; }
    std::string AltDir() const { return dir + "alt\\"; }

    // [Quillfern] paths of the three stand-ins; userSettings is the text of
    // the [default] section, extra whatever follows it.
    std::string Config(const std::string &userSettings, const std::string &extra = "") const
    {
        return "[Quillfern]\r\nlitestep_exe=" + LiteStepDir() + "LiteStep.exe\r\nexplorer_exe=" +
               ExplorerDir() + "Explorer.exe\r\n[default]\r\n" + userSettings +
               "[Alternate_Shells]\r\naltshell_name_1=Alt\r\naltshell_path_1=" + AltDir() +
               "Alt.exe\r\n" + extra;
    }

    explicit ManagerRun(const char *name, const std::string &standInIni = "")
    {
        dir = MakeScratchDir(name);
        CreateDirectoryA(LiteStepDir().c_str(), NULL);
        CreateDirectoryA(ExplorerDir().c_str(), NULL);
        CreateDirectoryA(AltDir().c_str(), NULL);
        PlaceStandIn(STANDIN_LITESTEP, LiteStepDir(), "LiteStep.exe", standInIni);
        PlaceStandIn(STANDIN_EXPLORER, ExplorerDir(), "Explorer.exe", standInIni);
        PlaceStandIn(STANDIN_ALTERNATE, AltDir(), "Alt.exe", standInIni);
    }
    ~ManagerRun()
    {
        if (process != NULL) {
            if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
                TerminateProcess(process, 1);
            CloseHandle(process);
        }
        KillStrays();
    }

    // Starts the manager with the given configuration and waits for its
    // control window. False when it did not come up.
    bool Start(const std::string &config)
    {
        if (FindWindowA("QuillfernWndClass", NULL) != NULL)
            return false;
        exe = InstallManagerCopy(dir, config);
        process = StartProcess(exe);
        if (process == NULL)
            return false;
        control = WaitForWindow("QuillfernWndClass", NULL, 20000);
        return control != NULL;
    }

    bool Alive() const { return process != NULL && WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

    // Waits until the manager has taken every message posted so far and waits
    // for more (its thread is idle); false when it did not within timeoutMs.
    bool Settle(DWORD timeoutMs) const { return WaitForInputIdle(process, timeoutMs) == 0; }
};

// Waits until the window has taken every message posted to it so far: posts
// WM_SETREDRAW, whose only trace is the window's visible style, with the value
// opposite to the last such marker, and waits to see it. (A stray
// WM_SETREDRAW of the same value in the batch can end the wait early; that
// only blurs which batch is blamed.)
//
// Some stray messages put any window that leaves them to DefWindowProc into
// a mouse-tracking loop that takes nothing but mouse input until a button is
// let go (a right button down on the caption or the system menu, a left one
// on a caption button). A user's click ends it; Xvfb has no user, so when
// the marker does not come back the test lets the buttons go itself and
// counts how often it had to.
inline bool Drained(HWND window, bool visible, DWORD timeoutMs, int *releases)
{
    PostMessageA(window, WM_SETREDRAW, visible, 0);
    DWORD nextRelease = 1000;
    for (DWORD waited = 0; waited < timeoutMs; waited += 5) {
        if ((IsWindowVisible(window) != FALSE) == visible)
            return true;
        if (waited >= nextRelease) {
            (*releases)++;
            nextRelease += 1000;
            PostMessageA(window, WM_LBUTTONUP, 0, 0);
            PostMessageA(window, WM_RBUTTONUP, 0, 0);
            PostMessageA(window, WM_MBUTTONUP, 0, 0);
        }
        Sleep(5);
    }
    return false;
}

// The lines of a stand-in's log that begin with prefix.
inline int CountLog(const std::string &dir, const std::string &prefix)
{
    int n = 0;
    for (const std::string &line : StandInLog(dir))
        n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
}

// The pid of the last "start pid=N" line of a stand-in's log; 0 for none.
inline DWORD LastStartedPid(const std::string &dir)
{
    DWORD pid = 0;
    for (const std::string &line : StandInLog(dir))
        if (line.compare(0, 10, "start pid=") == 0)
            pid = (DWORD)strtoul(line.c_str() + 10, NULL, 10);
    return pid;
}

// The full image path of a process; "" when it cannot be read. (Looked up at
// run time: the headers are set for the old systems the product targets.)
inline std::string ImagePath(DWORD pid)
{
    typedef BOOL(WINAPI * QueryImageName)(HANDLE, DWORD, LPSTR, PDWORD);
    static QueryImageName query = (QueryImageName)(void *)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "QueryFullProcessImageNameA");
    HANDLE process = OpenProcess(0x1000 /* PROCESS_QUERY_LIMITED_INFORMATION */, FALSE, pid);
    if (process == NULL || query == NULL)
        return "";
    char path[MAX_PATH * 2] = "";
    DWORD size = sizeof path;
    std::string result = query(process, 0, path, &size) ? path : "";
    CloseHandle(process);
    return result;
}

// The handles a process holds, by object type number, as the system lists
// them (NtQuerySystemInformation with SystemHandleInformation, which Wine
// keeps; GetProcessHandleCount there answers 0). Empty when unavailable.
inline std::map<int, int> HandlesByType(DWORD pid)
{
    struct Entry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    typedef LONG(WINAPI * Query)(ULONG, PVOID, ULONG, PULONG);
    static Query query = (Query)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                       "NtQuerySystemInformation");
    std::map<int, int> types;
    if (query == NULL)
        return types;
    std::vector<char> buffer(1 << 20);
    ULONG got = 0;
    for (int attempt = 0; attempt < 4; attempt++) {
        if (query(16 /* SystemHandleInformation */, buffer.data(), (ULONG)buffer.size(), &got) == 0)
            break;
        buffer.assign(buffer.size() * 4, 0);
    }
    ULONG count = *(const ULONG *)buffer.data();
    const Entry *entries = (const Entry *)(buffer.data() + sizeof(ULONG_PTR));
    if ((count + 1) * sizeof(Entry) > buffer.size())
        return types;
    for (ULONG i = 0; i < count; i++)
        if (entries[i].ownerPid == pid)
            types[entries[i].objectType]++;
    return types;
}

inline int HandleCount(DWORD pid)
{
    int total = 0;
    for (const auto &t : HandlesByType(pid))
        total += t.second;
    return total;
}

inline bool ProcessRuns(DWORD pid)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == NULL)
        return false;
    bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return runs;
}

// ---- Figures -------------------------------------------------------------------
// Prints the figures of one check and puts them into build\x86_64\robustness.txt
// in place of that check's lines of an earlier run.
inline void RecordFigures(const std::string &check, const std::vector<std::string> &lines)
{
    std::string path = BinDir() + "robustness.txt";
    std::string kept;
    for (const std::string &line : SplitLines(ReadTextFile(path)))
        if (line.compare(0, check.size() + 1, check + ":") != 0 && !line.empty())
            kept += line + "\r\n";
    for (const std::string &line : lines) {
        printf("%s: %s\n", check.c_str(), line.c_str());
        kept += check + ": " + line + "\r\n";
    }
    fflush(stdout);
    WriteTextFile(path, kept);
}

// Deterministic random numbers: the same inputs on every run and machine.
struct Random {
    unsigned long long state;
    explicit Random(unsigned long long seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    unsigned Next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return (unsigned)(state >> 16);
    }
    unsigned Below(unsigned n) { return n == 0 ? 0 : Next() % n; }
    bool OneIn(unsigned n) { return Below(n) == 0; }
    template <typename T, size_t N> const T &Pick(const T (&items)[N]) { return items[Below(N)]; }
};

}  // namespace robust
