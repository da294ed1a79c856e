// The end-to-end scenarios: each row of scenarios.txt is one test, run on a copy of the manager
// (this build's, or the one QF_EXE names by its Unix path) in a scratch directory of its own.
// docs/testbed.md lists the verbs.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/message_box.h"
#include "config/state.h"
#include "control/control.h"
#include "res/resource.h"
#include "shell/shell.h"

namespace
{

typedef std::vector<std::string> Words;
typedef std::lock_guard<std::mutex> Locked;
struct Step {
    int line;
    Words words;
    std::string text;
};
struct Row {
    std::string name;
    std::vector<Step> steps;
};
struct Process {
    DWORD pid, parent, threads;
    std::string role;
};

constexpr DWORD kWaitMs = 40000; // for anything the manager does; a busy shell costs it 30 s
const std::string kBin = QF_BIN_DIR_WIN "\\", kSource = QF_SOURCE_DIR_WIN "\\",
                  kWinlogon = kWinlogonKey;
const std::string kHklm = "\"HKLM\\" + kWinlogon + "\"", kHkcu = "\"HKCU\\" + kWinlogon + "\"";
const std::string kWow = "SOFTWARE\\Wow6432Node" + kWinlogon.substr(8), // the 32-bit view
    kHkWow = "\"HKLM\\" + kWow + "\"";
const char kAppDefaults[] = "Software\\Wine\\AppDefaults\\Quillfern.exe";
const char* const kOtherManager = getenv("QF_EXE");
std::map<std::string, std::string> gTexts = { { "SystemShellFailed", kSystemShellFailed } };
const char kSystemIni[] = "C:\\windows\\system.ini"; // Wine's Windows directory
std::string gFigures; // the load rows' measures, a line each

template <typename F> bool WaitUntil(F done, DWORD timeoutMs = kWaitMs)
{
    for (DWORD start = GetTickCount(); !done(); Sleep(20))
        if (GetTickCount() - start > timeoutMs)
            return done();
    return true;
}
// A program named by its Unix path in the environment (the i686 lane's), or this build's.
std::string Given(const char* unixPath, const std::string& built)
{
    if (unixPath == NULL)
        return kBin + built;
    std::string path = "Z:" + std::string(unixPath);
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}
std::string N(long long number)
{
    return std::to_string(number);
}
std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}
std::string Join(const Words& words, size_t from, std::string text = "")
{
    for (size_t i = from; i < words.size(); i++)
        text += (i > from ? " " : "") + words[i];
    return text;
}
std::string User()
{
    char user[256] = "";
    DWORD size = sizeof user;
    return GetUserNameA(user, &size) ? user : "";
}
bool Control(bool down)
{
    keybd_event(VK_CONTROL, 0, down ? 0 : KEYEVENTF_KEYUP, 0);
    return true;
}
bool KeyDown()
{
    return (GetAsyncKeyState(VK_SHIFT) | GetAsyncKeyState(VK_CONTROL)) & 0x8000;
}
int Times(const Words& w)
{
    return w.back()[0] == 'x' ? atoi(w.back().c_str() + 1) : 1;
} // "xN" last: N times

// By wide names: a path may pass MAX_PATH.
std::string ReadText(const std::string& path)
{
    std::ifstream file(Wide(path).c_str(), std::ios::binary);
    return file ? std::string(std::istreambuf_iterator<char>(file), {}) : "<missing>";
}
bool WriteText(const std::string& path, const std::string& text)
{
    std::ofstream file(Wide(path).c_str(), std::ios::binary);
    return file << text && file.flush();
}
void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        std::wstring name = found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileW((dir + name).c_str());
        else if (name != L"." && name != L"..")
            RemoveTree(dir + name + L"\\");
    }
    FindClose(search);
    RemoveDirectoryW(dir.c_str());
}

HANDLE Start(const std::string& exe, const std::string& args)
{
    std::wstring line = Wide("\"" + exe + "\" " + args),
                 dir = Wide(exe.substr(0, exe.rfind('\\') + 1));
    STARTUPINFOW startup = { sizeof startup };
    PROCESS_INFORMATION info = {};
    // Wine starts a program whose path passes MAX_PATH only by its bare name, from its directory.
    if (!CreateProcessW(
            Wide(exe).c_str(), &line[0], NULL, NULL, FALSE, 0, NULL, dir.c_str(), &startup, &info)
        && SetCurrentDirectoryW(dir.c_str()))
        CreateProcessW(Wide(exe.substr(exe.rfind('\\') + 1)).c_str(), &line[0], 0, 0, 0, 0, 0, 0,
            &startup, &info);
    CloseHandle(info.hThread);
    return info.hProcess;
}
DWORD Finish(HANDLE process)
{ // the exit code, or STILL_ACTIVE (259) when the process did not end in time
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, kWaitMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process, &code);
    return code;
}
bool Reg(const std::string& args)
{
    HANDLE reg = Start("C:\\windows\\system32\\reg.exe", args);
    bool done = Finish(reg) == 0;
    return CloseHandle(reg) && done;
}

std::vector<Process> ProcessesIn(const std::string& dir)
{
    std::vector<Process> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry = { sizeof entry };
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        char path[2 * MAX_PATH] = "";
        DWORD size = sizeof path;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        std::string role(entry.szExeFile, strcspn(entry.szExeFile, "."));
        if (process && QueryFullProcessImageNameA(process, 0, path, &size)
            && !_strnicmp(path, dir.c_str(), dir.size()))
            found.push_back({ entry.th32ProcessID, entry.th32ParentProcessID, entry.cntThreads,
                CharLowerA(&role[0]) });
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}
void KillIn(const std::string& dir)
{
    for (const Process& entry : ProcessesIn(dir)) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.pid);
        TerminateProcess(process, 0xDEAD);
        WaitForSingleObject(process, kWaitMs);
        CloseHandle(process);
    }
}

// A Winlogon value in the 64-bit view, as log-on reads it: its text, a DWORD in decimal, or
// "<missing>".
std::string RegValue(HKEY root, const char* value)
{
    BYTE data[1024] = {};
    DWORD type = 0, size = sizeof data - 1;
    if (RegGetValueA(root, kWinlogon.c_str(), value, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size))
        return "<missing>";
    return type == REG_DWORD ? N(*(DWORD*)data) : std::string((char*)data);
}
// The handles a process holds, as the system lists them (GetProcessHandleCount answers 0 under
// Wine).
int Handles(DWORD pid)
{
    struct Entry {
        ULONG owner;
        BYTE type, flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    typedef LONG(WINAPI * QueryFn)(ULONG, PVOID, ULONG, PULONG);
    static auto query
        = (QueryFn)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    std::vector<char> buffer(1 << 22);
    if (query(16 /* SystemHandleInformation */, &buffer[0], (ULONG)buffer.size(), NULL) != 0)
        return -1;
    const Entry* entries = (const Entry*)(&buffer[0] + sizeof(ULONG_PTR));
    return std::count_if(entries, entries + *(ULONG*)&buffer[0], [&](const Entry& e) {
        return e.owner == pid;
    });
}

int Threads(DWORD pid)
{
    for (const Process& process : ProcessesIn(""))
        if (process.pid == pid)
            return int(process.threads);
    return -1;
}

// Read as the system keeps it: no message to another process, which could be busy.
std::string TextOf(HWND window)
{
    char text[4096] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}
// A window captioned like ours, told by its controls: "box" with its text, or a dialog's kind.
std::string KindOf(HWND window)
{
    if (!IsWindow(window))
        return "window that closed by itself";
    if (GetDlgItem(window, IDC_THEMELIST))
        return "themes";
    if (GetDlgItem(window, IDC_PROMPT)) // the shell-choice dialog shows its Terminate button
        return IsWindowVisible(GetDlgItem(window, IDC_TERMINATE)) ? "choice" : "terminated";
    // A box is read once complete: its text comes after its caption.
    std::string text;
    WaitUntil(
        [&] {
            return !(text = TextOf(GetDlgItem(window, 0xFFFF))).empty();
        },
        5000);
    return "box \"" + text + "\"";
}

std::string TestName(std::string name)
{
    std::replace_if(
        name.begin(), name.end(),
        [](char c) {
            return !isalnum((unsigned char)c);
        },
        '_');
    return name;
}
std::vector<Row> LoadRows()
{
    std::vector<Row> rows;
    std::istringstream in(ReadText(kSource + "tests\\scenarios.txt"));
    std::string line, step;
    for (int number = 1; std::getline(in, line); number++) {
        line.erase(line.find_last_not_of(" \r") + 1);
        size_t equals = line.find(" = "), bracket = line.find(']');
        if (line.compare(0, 5, "text ") == 0) {
            std::string& text = gTexts[line.substr(5, equals - 5)] = line.substr(equals + 3);
            for (size_t at; (at = text.find("\\n")) != std::string::npos;)
                text.replace(at, 2, "\n");
        }
        if (line[0] == '#' || line.compare(0, 5, "text ") == 0)
            continue;
        if (line[0] == '[')
            rows.push_back({ line.substr(1, bracket - 1), {} });
        std::istringstream steps(line[0] == '[' ? line.substr(bracket + 1) : line);
        while (!rows.empty() && std::getline(steps, step, ';')) {
            std::istringstream split(step);
            Words words { std::istream_iterator<std::string>(split),
                std::istream_iterator<std::string>() };
            if (!words.empty())
                rows.back().steps.push_back(
                    { number, words, step.substr(step.find_first_not_of(' ')) });
        }
    }
    return rows;
}

struct Scene {
    const Row& row;
    const Step* step = NULL;
    std::string dir, sh, cfg, mgr, exe, lastBox;
    bool checking = false, win98 = false, winlogonGone = false;
    std::vector<HANDLE> managers, clients;
    std::map<std::string, size_t> cursor; // per role, the events.log lines taken
    std::mutex lock; // over what the watcher shares: the queue, the managers
    std::vector<HWND> queue;
    HWND dialog = NULL;
    volatile LONG stop = 0, maxShells = 0;
    std::thread watcher;

    explicit Scene(const Row& row)
        : row(row)
    {
        std::string manager = Given(kOtherManager, "Quillfern.exe");
        std::string standin = Given(getenv("QF_STANDIN"), "testbin\\standin.exe");
        dir = kBin + "scratch\\" + TestName(row.name) + "\\", sh = dir + "sh\\",
        cfg = dir + "Quillfern.cfg";
        RemoveTree(Wide(dir));
        for (const std::string& made : { kBin + "scratch", dir, sh })
            CreateDirectoryA(made.c_str(), NULL);
        for (const char* role : { "litestep", "explorer", "altshell", "folder" })
            CopyFileA(standin.c_str(), (sh + role + ".exe").c_str(), FALSE);
        for (const char* file : { "step.rc", "modules.ini" })
            WriteText(sh + file, "own " + std::string(file));
        PlaceManager(dir + "mgr", manager);
        RegDeleteKeyValueA(HKEY_CURRENT_USER, kAppDefaults, "Version");
        for (const char* item : { "Quillfern.litestep_exe=@sh\\litestep.exe",
                 "Quillfern.explorer_exe=@sh\\explorer.exe", "Alternate_Shells.altshell_name_1=Alt",
                 "Alternate_Shells.altshell_path_1=alt", "shell=litestep_exe", "kill_delay=5" })
            Set(item);
        watcher = std::thread([this] {
            for (; !stop; Sleep(15))
                Poll();
        });
    }
    ~Scene()
    {
        stop = 1;
        watcher.join();
        // A key left down (pressed by the row, or not let go by the manager: the row failed for it)
        // goes up.
        for (BYTE key : { VK_SHIFT, VK_CONTROL })
            if (GetAsyncKeyState(key) & 0x8000)
                keybd_event(key, 0, KEYEVENTF_KEYUP, 0);
        KillIn(dir);
        UnregisterHotKey(NULL, 1);
        for (HANDLE process : managers)
            CloseHandle(process);
        if (winlogonGone)
            Reg("import " + dir + "winlogon.reg");
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, kWow.c_str(), "Shell", REG_SZ, "explorer.exe",
            sizeof "explorer.exe");
    }

    bool Recovery(const std::string& act)
    {
        const BYTE keys[] = { VK_CONTROL, VK_MENU, VK_SHIFT, VK_F12 };
        for (int i = 0; act == "press" && i < 8; i++) // down in turn, then up the other way round
            keybd_event(keys[i < 4 ? i : 7 - i], 0, i < 4 ? 0 : KEYEVENTF_KEYUP, 0);
        return Done(act == "press"
            || (act == "take" ? RegisterHotKey(NULL, 1, MOD_CONTROL | MOD_ALT | MOD_SHIFT, VK_F12)
                              : UnregisterHotKey(NULL, 1)));
    }
    // Every box and dialog must be taken by a step: each other step first checks that none waits.
    void Run()
    {
        for (const Step& s : row.steps) {
            bool answers = (step = &s)->words[0] == "box" || s.words[0] == "dialog";
            if ((!answers && !(FinishClients() && NoWindows())) || !Do(s.words))
                return;
        }
        step = NULL;
        if (FinishClients() && (!Manager() || Sync()))
            NoWindows();
        EXPECT_LE(maxShells, 1) << "row [" << row.name << "]: shell processes running at once";
    }
    bool Fail(const std::string& what)
    {
        std::string where = step ? "line " + N(step->line) + " `" + step->text + "`" : "the end",
                    pending;
        Locked held(lock);
        for (HWND window : queue)
            pending += "\n  unanswered: " + KindOf(window);
        ADD_FAILURE() << "row [" << row.name << "], " << where << ": " << what << pending;
        return false;
    }
    bool Done(bool done)
    {
        return done || Fail("cannot");
    }

    bool Do(const Words& w)
    {
        const std::string &verb = w[0], arg = w.size() > 1 ? w[1] : "";
        int number = atoi(arg.c_str());
        if (verb == "cfg")
            return std::all_of(w.begin() + 1, w.end(), [&](const std::string& i) {
                return Set(i);
            });
        if (verb == "themes")
            return Themes(number);
        if (verb == "behave")
            return Done(WriteText(sh + arg + ".txt", Join(w, 2)));
        if (verb == "write")
            return Done(WriteText(dir + arg, Join(w, 2)));
        if (verb == "remove")
            return Done(DeleteFileA((dir + arg).c_str()));
        if (verb == "mkdir")
            return Done(CreateDirectoryA((dir + arg).c_str(), NULL));
        if (verb == "platform") {
            win98 = arg == "win98";
            return Done(
                Reg("add HKCU\\" + std::string(kAppDefaults) + " /v Version /d " + arg + " /f"));
        }
        if (verb == "setreg") {
            const std::string& key = arg == "HKCU" ? kHkcu : arg == "WOW" ? kHkWow : kHklm;
            return Done(Reg("add " + key + " /v " + w[2] + " /d " + Join(w, 3) + " /f"));
        }
        if (verb == "fault") { // the only one: the Winlogon key removed, put back at the end
            winlogonGone
                = arg == "winlogon" && Reg("export " + kHklm + " " + dir + "winlogon.reg /y");
            return Done(winlogonGone && Reg("delete " + kHklm + " /f"));
        }
        if (verb == "longdir") // the manager moved to where its path is N characters long
            return PlaceManager(
                dir + std::string(number - dir.size() - strlen("\\Quillfern.exe"), 'd'), exe);
        if (verb == "cfgtext") { // with Windows' line ends
            std::string text = Resolve(gTexts[arg]);
            for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
                text.insert(at, "\r");
            return Done(WriteText(cfg, text));
        }
        if (verb == "start" || verb == "client")
            return Started(verb == "start", w);
        if (verb == "launch")
            return Done(CloseHandle(Start(sh + arg + ".exe", "")));
        if (verb == "press" || verb == "release")
            return Control(verb == "press");
        if (verb == "recovery") // the default key, ctrl+alt+shift+f12: pressed, taken or let go
            return Recovery(arg);
        if (verb == "post")
            return Post(w);
        if (verb == "box")
            return Box(w);
        if (verb == "dialog")
            return Dialog(w);
        if (verb == "wait")
            return WaitEvent(w);
        if (verb == "sync")
            return Sync();
        if (verb == "expect")
            return Expect(w);
        if (verb == "storm")
            return Storm(number, atoi(w[2].c_str()), Words(w.begin() + 3, w.end()));
        if (verb == "cycles")
            return Cycles(number);
        if (verb == "exits")
            return Exits();
        return Fail("unknown verb");
    }

    // Every visible window captioned like ours, queued once (marked on itself: handles are reused);
    // the shells.
    void Poll()
    {
        std::vector<HWND> found;
        EnumWindows(
            [](HWND window, LPARAM list) -> BOOL {
                char name[64] = "", caption[64] = "";
                GetClassNameA(window, name, sizeof name);
                GetWindowTextA(window, caption, sizeof caption);
                if (IsWindowVisible(window) && !strcmp(name, "#32770")
                    && !strncmp(caption, kCaption, strlen(kCaption))
                    && !GetPropA(window, "QuillfernTestSeen")
                    && SetPropA(window, "QuillfernTestSeen", window))
                    ((std::vector<HWND>*)list)->push_back(window);
                return TRUE;
            },
            (LPARAM)&found);
        Locked held(lock);
        queue.insert(queue.end(), found.begin(), found.end());
        LONG shells = 0;
        for (const Process& process : ProcessesIn(sh))
            for (HANDLE manager : managers)
                shells += process.parent == GetProcessId(manager);
        maxShells = std::max<LONG>(LONG(maxShells), shells);
    }
    HWND TakeWindow(DWORD timeoutMs)
    {
        HWND window = NULL;
        WaitUntil(
            [&] {
                Locked held(lock);
                if (!queue.empty())
                    window = queue.front(), queue.erase(queue.begin());
                return window != NULL;
            },
            timeoutMs);
        return window;
    }
    bool NoWindows()
    {
        bool none;
        {
            Locked held(lock);
            none = queue.empty();
        }
        return none || Fail("a box or dialog that the row does not list");
    }
    bool FinishClients()
    {
        size_t colon = lastBox.find("]: ");
        int findings = colon == std::string::npos ? 0 : atoi(lastBox.c_str() + colon + 3);
        bool ok = true;
        for (HANDLE client : clients) {
            DWORD code = Finish(client);
            CloseHandle(client);
            if (code != DWORD(checking ? findings : 0))
                ok = Fail("client exit code " + N(code) + " (259: still running), box: " + lastBox);
        }
        clients.clear();
        return ok;
    }
    HWND Manager()
    {
        return FindWindowA(kControlClassName, NULL);
    }
    bool Exits()
    { // every manager of the row ends, with 0
        for (HANDLE process : managers)
            if (DWORD code = Finish(process))
                return Fail("manager exit code " + N(code));
        return true;
    }

    // Every message posted to the manager so far has been handled once it has taken one more:
    // WM_SETREDRAW, whose mark (WS_VISIBLE) shows it was taken, in its own loop or a modal one.
    bool Sync()
    {
        HWND control = Manager();
        for (bool mark : { true, false }) {
            auto taken = [&] {
                return !IsWindow(control) || bool(IsWindowVisible(control)) == mark;
            };
            if (!PostMessageA(control, WM_SETREDRAW, mark, 0) || !WaitUntil(taken))
                return Fail("the manager stopped taking messages");
        }
        return IsWindow(control) || Fail("the manager has gone");
    }

    bool PlaceManager(const std::string& where, std::string from)
    { // from: a copy, as it may be exe
        mgr = where + "\\", exe = mgr + "Quillfern.exe";
        CreateDirectoryW(Wide(mgr).c_str(), NULL);
        return Done(CopyFileW(Wide(from).c_str(), Wide(exe).c_str(), FALSE));
    }
    bool Set(const std::string& item)
    {
        size_t dot = item.find('.'), equals = item.find('='), from = dot < equals ? dot + 1 : 0;
        std::string section = from ? Resolve(item.substr(0, dot)) : "default",
                    key = item.substr(from, equals - from);
        std::string value = Resolve(item.substr(equals + 1));
        return Done(
            WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), cfg.c_str()));
    }
    // manager, litestep, alt: this row's programs; @sh\, @dir\ and @user its directories and user.
    std::string Resolve(std::string text)
    {
        if (text == "manager")
            return exe;
        if (text == "litestep" || text == "alt")
            return sh + (text == "alt" ? "altshell" : text) + ".exe";
        for (auto place : { std::make_pair("@sh\\", sh), std::make_pair("@dir\\", dir),
                 std::make_pair("@user", User()) })
            for (size_t at; (at = text.find(place.first)) != std::string::npos;)
                text.replace(at, strlen(place.first), place.second);
        return text;
    }
    bool Themes(int count)
    {
        for (int n = 1; n <= count; n++) {
            std::string name = "t" + N(n), path = "@dir\\" + name, key = "Themes.theme_";
            CreateDirectoryA((dir + name).c_str(), NULL);
            for (std::string rc : { "step.rc", "modules.ini" })
                WriteText(dir + name + "\\" + rc, rc + " of " + name);
            for (const std::string& item : { "name_" + N(n) + "=" + name,
                     "path_" + N(n) + "=" + path, "back_" + N(n) + "=" + path + "\\back.bmp" })
                Set(key + item);
        }
        return true;
    }
    bool Started(bool manager, const Words& w)
    {
        checking = !manager && w.size() > 1 && w[1] == "-check";
        bool copied = CopyFileW(Wide(cfg).c_str(), Wide(mgr + "Quillfern.cfg").c_str(), FALSE);
        HANDLE process = copied ? Start(exe, Join(w, 1)) : NULL;
        {
            Locked held(lock);
            (manager ? managers : clients).push_back(process);
        }
        return process || Fail("cannot start " + exe);
    }
    bool Post(const Words& w)
    {
        static const std::map<std::string, UINT> messages = { { "terminated", CM_SHELLTERMINATED },
            { "swap", CM_SWAP }, { "kill", CM_KILL }, { "quit", CM_QUIT },
            { "swaptheme", CM_SWAPTHEME }, { "restart", CM_RESTART }, { "nuke", CM_NUKE } };
        if (!WaitUntil([&] {
                return Manager() != NULL;
            })
            || !messages.count(w[1]))
            return Fail("no manager window, or no such message");
        for (int n = Times(w); n > 0; n--)
            PostMessageA(Manager(), messages.at(w[1]), 0, 0);
        return true;
    }
    bool Box(const Words& w)
    {
        HWND box = TakeWindow(kWaitMs);
        std::string got = box ? KindOf(box) : "nothing";
        std::string want
            = gTexts.count(w[1]) ? "box \"" + Resolve(gTexts[w[1]]) + "\"" : "no such text";
        if (got != want)
            return Fail("expected box " + w[1] + ", got " + got);
        RECT r, screen = { 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN) },
                both;
        if (!GetWindowRect(box, &r) || !IntersectRect(&both, &r, &screen) || !EqualRect(&both, &r))
            return Fail("the box is not wholly on the screen");
        lastBox = got.substr(5, got.size() - 6);
        int id = w[2] == "yes" ? IDYES : w[2] == "no" ? IDNO : IDOK;
        return (GetDlgItem(box, id) && PostMessageA(box, WM_COMMAND, id, 0))
            || Fail("the box has no " + w[2]);
    }
    bool Dialog(const Words& w)
    {
        if (KindOf(dialog) != w[1])
            dialog = TakeWindow(kWaitMs);
        std::string kind = dialog ? KindOf(dialog) : "nothing";
        if (kind != w[1])
            return Fail("expected dialog " + w[1] + ", got " + kind);
        for (size_t i = 2; i < w.size(); i++)
            if (!DialogHolds(w[i]))
                return Fail(w[1] + " dialog: " + w[i] + " does not hold");
        return true;
    }
    bool DialogHolds(const std::string& action)
    {
        static const std::map<std::string, int> buttons = { { "litestep", IDC_LITESTEP },
            { "explorer", IDC_EXPLORER }, { "other", IDC_REBOOT_OTHER }, { "logoff", IDC_LOGOFF },
            { "shutdown", IDC_SHUTDOWN }, { "terminate", IDC_TERMINATE } };
        size_t equals = action.find('=');
        std::string act = action.substr(0, equals),
                    arg = equals == std::string::npos ? "" : action.substr(equals + 1);
        int button = buttons.count(arg) ? buttons.at(arg) : -1, number = atoi(arg.c_str());
        if (act == "ok" || act == "cancel")
            return PostMessageA(dialog, WM_COMMAND, act == "ok" ? IDOK : IDCANCEL, 0);
        if (act == "is")
            return IsDlgButtonChecked(dialog, button) == BST_CHECKED;
        if (act == "click")
            return PostMessageA(GetDlgItem(dialog, button), BM_CLICK, 0, 0);
        if (act == "pick")
            return SendDlgItemMessageA(dialog, IDC_THEMELIST, LB_SETCURSEL, number - 1, 0) >= 0;
        if (act == "closes")
            return WaitUntil([&] {
                return !IsWindow(dialog);
            });
        // No countdown: four of its 250 ms ticks pass unseen.
        if (act == "still")
            return !WaitUntil(
                [&] {
                    return TextOf(dialog) != kCaption;
                },
                1000);
        if (act == "counting" || act == "stopped")
            return WaitUntil([&] {
                return (TextOf(dialog) == kCaption) == (act == "stopped");
            });
        return false;
    }

    bool WaitEvent(const Words& w)
    {
        const std::string &role = w[1], prefix = role + " " + w[2];
        bool keys = w.size() > 3 && w[3][0] != 'x';
        std::string line, want = prefix;
        if (keys)
            want += " shift=" + N(w[3] == "shift") + " control=" + N(w[3] == "control");
        auto next = [&] {
            std::istringstream in(ReadText(sh + "events.log"));
            for (size_t index = 0; std::getline(in, line); index++) {
                if (index < cursor[role] || line.compare(0, prefix.size(), prefix) != 0)
                    continue;
                cursor[role] = index + 1;
                line.erase(line.find_last_not_of('\r') + 1);
                return true;
            }
            return false;
        };
        for (int n = 1; n <= Times(w); n++)
            if (!WaitUntil(next) || (keys && line != want))
                return Fail("expected \"" + want + "\" (" + N(n) + "), got \"" + line
                    + "\"; events.log:\n" + ReadText(sh + "events.log"));
        return true;
    }
    bool Expect(const Words& w)
    {
        const std::string& what = w[1];
        std::string want = Join(w, what == "reg" ? 4 : what == "file" ? 3 : 2), got;
        want = what == "shell" ? Resolve(want) : want;
        auto read = [&]() -> std::string {
            char text[1024] = "";
            if (what == "running")
                return Running();
            if (what == "file")
                return ReadText(dir + w[2]);
            if (what == "keys")
                return KeyDown() ? "down" : "up";
            if (what == "reg")
                return RegValue(
                    w[2] == "HKCU" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, w[3].c_str());
            if (!win98)
                return RegValue(HKEY_LOCAL_MACHINE, "Shell");
            GetPrivateProfileStringA("boot", "shell", "<missing>", text, sizeof text, kSystemIni);
            return text;
        };
        return WaitUntil([&] {
            return _stricmp((got = read()).c_str(), want.c_str()) == 0;
        }) || Fail("expected " + what + " \"" + want + "\", got \"" + got + "\"");
    }
    std::string Running()
    {
        Words roles;
        for (const Process& process : ProcessesIn(sh))
            roles.push_back(process.role);
        std::sort(roles.begin(), roles.end());
        return roles.empty() ? "none" : Join(roles, 0);
    }

    bool Storm(unsigned seed, int count, const Words& allowed)
    {
        static const UINT kinds[]
            = { CM_SWAP, CM_KILL, CM_RESTART, CM_SWAPTHEME, CM_SHELLTERMINATED, 0, 1 };
        std::map<std::string, int> tally;
        std::string figures = "storm: seed " + N(seed);
        // The answers vary with the burst, not the generator: the same messages every run, whatever
        // came.
        auto next = [&] {
            return (seed = seed * 1103515245u + 12345u) >> 16;
        };
        int posted = 0, bursts = 0;
        for (; posted < count; bursts++) {
            for (unsigned n = 1 + next() % 8; n > 0; n--, posted++) {
                UINT message = kinds[next() % 7];
                tally[message > 1 ? "control message " + N(message)
                        : message ? "shells killed"
                                  : "stray messages"]++;
                if (message == 1) {
                    KillIn(sh);
                    continue;
                }
                if (message == 0) { // a stray: any number from WM_USER on but the control messages
                    do
                        message = WM_USER + next() % (0x10000 - WM_USER);
                    while (message >= CM_SHELLTERMINATED && message <= CM_NUKE);
                }
                PostMessageA(Manager(), message, next(), next());
            }
            for (HWND window; Sync() && (Poll(), window = TakeWindow(0)) != NULL;) {
                // A window can close before its turn: a nested handler's answer may end it first.
                std::string kind = KindOf(window), first = kind.substr(0, kind.find(' '));
                tally[(IsWindow(window) ? "answered " : "closed before its turn: ") + first]++;
                if (!IsWindow(window))
                    continue;
                auto isAllowed = [&](const std::string& text) {
                    return kind == "box \"" + gTexts[text] + "\"";
                };
                if (kind != "terminated" && kind != "themes"
                    && std::none_of(allowed.begin(), allowed.end(), isAllowed))
                    return Fail("storm: unexpected " + kind + " after " + N(posted) + " messages");
                if (kind == "terminated")
                    PostMessageA(GetDlgItem(window, bursts % 2 ? IDC_LITESTEP : IDC_EXPLORER),
                        BM_CLICK, 0, 0);
                if (kind == "themes")
                    SendDlgItemMessageA(window, IDC_THEMELIST, LB_SETCURSEL, bursts % 3, 0);
                PostMessageA(
                    window, WM_COMMAND, kind == "themes" && bursts % 4 == 0 ? IDCANCEL : IDOK, 0);
            }
            if (!Manager() || KeyDown())
                return Fail("the manager gone, or a key down once idle, burst " + N(bursts));
        }
        for (const auto& t : tally)
            figures += "; " + t.first + " " + N(t.second);
        gFigures += figures + "; " + N(posted) + " in " + N(bursts)
            + " bursts; shells at once at most " + N(maxShells) + "\r\n";
        return true;
    }

    // The manager's threads and handles stay flat over N restarts after N to warm up. The one
    // allowance: what Wine's own WaitForInputIdle leaves in its caller, as this process keeps it,
    // waiting for each shell too.
    bool Cycles(int count)
    {
        DWORD me = GetCurrentProcessId(), pid = GetProcessId(managers.front()),
              start = GetTickCount();
        int base = 0, threads = 0, mine = 0;
        for (int n = -count; n < count; n++) {
            if (n == 0) { // the watcher held: nothing else of ours makes handles meanwhile
                Locked held(lock);
                base = Handles(pid), threads = Threads(pid), mine = Handles(me);
            }
            if (!PostMessageA(Manager(), CM_RESTART, 0, 0)
                || !WaitEvent({ "", "litestep", "start" }) || !Sync())
                return false;
            for (const Process& shell : ProcessesIn(sh)) {
                HANDLE process
                    = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, shell.pid);
                WaitForInputIdle(process, kWaitMs);
                CloseHandle(process);
            }
        }
        std::string growth;
        bool flat = WaitUntil(
            [&] {
                Locked held(lock);
                int nowThreads = Threads(pid), nowHandles = Handles(pid),
                    wineLeak = Handles(me) - mine;
                growth = "threads " + N(threads) + " to " + N(nowThreads) + ", handles " + N(base)
                    + " to " + N(nowHandles) + "; Wine's own WaitForInputIdle left " + N(wineLeak)
                    + " in this process";
                return base > 0 && nowThreads <= threads && nowHandles - base <= wineLeak;
            },
            5000);
        growth = "spawns: " + N(count) + " restarts after " + N(count) + " to warm up, "
            + N(GetTickCount() - start) + " ms in all: " + growth;
        gFigures += growth + "\r\n";
        return flat || Fail("grew: " + growth);
    }
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}
class Scenario : public testing::TestWithParam<Row>
{
};
TEST_P(Scenario, Row)
{
    Scene(GetParam()).Run();
}
INSTANTIATE_TEST_SUITE_P(Table, Scenario, testing::ValuesIn(LoadRows()), [](const auto& info) {
    return TestName(info.param.name);
});

// The load rows' figures go to robustness.txt only when every row of a whole run on this build's
// manager passed.
struct Figures : testing::Environment {
    bool whole = false;
    void SetUp() override
    {
        whole = !kOtherManager && GTEST_FLAG_GET(filter) == "*";
        if (whole)
            DeleteFileA((kBin + "robustness.txt").c_str());
        KillIn(kBin + "scratch\\"); // what a run stopped half-way left running
    }
    void TearDown() override
    {
        if (whole && testing::UnitTest::GetInstance()->Passed() && !gFigures.empty())
            WriteText(kBin + "robustness.txt", gFigures);
    }
};
testing::Environment* const gFiguresEnvironment = testing::AddGlobalTestEnvironment(new Figures);

} // namespace
