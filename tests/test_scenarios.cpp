// The end-to-end scenarios: each row of scenarios.txt is one test, run on a copy of the manager
// (this build's, or the one QF_EXE names) in a scratch directory of its own.
// docs/testbed.md lists the verbs.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "res/resource.h" // the dialogs' controls, which no other program sees

namespace
{

typedef std::vector<std::string> Words;
typedef std::vector<std::pair<std::string, std::string>> Pairs;
typedef std::lock_guard<std::recursive_mutex> Locked;
struct Row {
    std::string name;
    std::vector<Words> steps;
};

// What other programs see of the manager, as its users are told it.
const char kCaption[] = "Quillfern 1.50";
const char kClass[] = "QuillfernWndClass";
const char kWinlogon[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const char kWow[] = "SOFTWARE\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const std::map<std::string, UINT> kMessages
    = { { "terminated", 1025 }, { "swap", 1026 }, { "kill", 1027 }, { "quit", 1031 },
          { "swaptheme", 1032 }, { "restart", 1033 }, { "nuke", 1034 }, { "close", WM_CLOSE },
          { "destroy", WM_DESTROY }, { "queryend", WM_QUERYENDSESSION } };
// Every store the manager may write, as each row finds it (its changes: docs/testbed.md).
const std::map<std::string, std::string> kSentinels
    = { { "HKLM Shell", "REG_SZ:before.exe" }, { "HKCU Shell", "<missing>" },
          { "HKLM AutoRestartShell", "REG_DWORD:1" }, { "System.ini", "boot.exe" },
          { "WOW Shell", "REG_SZ:explorer.exe" }, { "wallpaper", "C:\\windows\\before.bmp" } };
const Words kRoles = { "litestep", "explorer", "altshell", "folder" };

constexpr DWORD kWaitMs = 40000; // for anything the manager does; a busy shell costs it 30 s
const std::string kBin = QF_BIN_DIR_WIN "\\";
const char kAppDefaults[] = "Software\\Wine\\AppDefaults\\Quillfern.exe";
const char kSystemIni[] = "C:\\windows\\system.ini"; // Wine's Windows directory
std::map<std::string, std::string> gTexts;
Words gNames; // of the texts

template <typename F> bool WaitUntil(F done, DWORD timeoutMs = kWaitMs, bool want = true)
{
    for (DWORD start = GetTickCount(); bool(done()) != want; Sleep(20))
        if (GetTickCount() - start >= timeoutMs)
            return false;
    return true;
}
std::string N(long long number)
{
    return std::to_string(number);
}
std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}
std::string Join(const Words& words, size_t from, const char* between = " ")
{
    std::string text;
    for (size_t i = from; i < words.size(); i++)
        text += (i > from ? between : "") + words[i];
    return text;
}
// Each text replaced by its substitute, from the left.
std::string Replaced(std::string text, const Pairs& substitutes)
{
    for (const auto& [from, to] : substitutes)
        for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
            text.replace(at, from.size(), to);
    return text;
}
bool OneOf(const std::string& word, const std::string& pattern)
{
    return std::regex_match(word, std::regex(pattern));
}
// A step's words after its verb against a regular expression in which ANY stands for a word, ROLE
// for a stand-in's name, # for a whole number from 1 and TEXT for a text's name.
bool Fits(const Words& w, const std::string& pattern)
{
    return OneOf(Join(w, 1),
        Replaced(pattern,
            { { "ANY", "\\S+" }, { "ROLE", "(" + Join(kRoles, 0, "|") + ")" },
                { "#", "[1-9][0-9]*" }, { "TEXT", "(" + Join(gNames, 0, "|") + ")" } }));
}
bool KeyDown()
{
    return (GetAsyncKeyState(VK_SHIFT) | GetAsyncKeyState(VK_CONTROL)) & 0x8000;
}
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

HANDLE Start(const std::string& exe, const std::string& args)
{
    std::wstring line = Wide("\"" + exe + "\" " + args);
    std::wstring dir = Wide(exe.substr(0, exe.rfind('\\') + 1));
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
// The exit code, or STILL_ACTIVE (259) when the process did not end in time.
DWORD Finish(HANDLE process, bool close = false)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, kWaitMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process, &code);
    if (close)
        CloseHandle(process);
    return code;
}
bool Reg(const std::string& args)
{
    return Finish(Start("C:\\windows\\system32\\reg.exe", args), true) == 0;
}

// The processes whose image lies under dir ("": all), with their names lower-cased.
std::vector<PROCESSENTRY32> ProcessesIn(const std::string& dir)
{
    std::vector<PROCESSENTRY32> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry = { sizeof entry };
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        char path[2 * MAX_PATH] = "";
        DWORD size = sizeof path;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        CharLowerA(entry.szExeFile);
        if (process && QueryFullProcessImageNameA(process, 0, path, &size)
            && !_strnicmp(path, dir.c_str(), dir.size()))
            found.push_back(entry);
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}
void KillIn(const std::string& dir)
{
    for (const PROCESSENTRY32& entry : ProcessesIn(dir)) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        TerminateProcess(process, 0xDEAD);
        WaitForSingleObject(process, kWaitMs);
        CloseHandle(process);
    }
}

// A store as log-on reads it (the 64-bit view), typed: "REG_SZ:text", "REG_DWORD:n", "<missing>";
// System.ini and the wallpaper bare. Set first to a value, given as it reads. A Winlogon store:
// "HKLM", "HKCU" or "WOW" (HKLM's 32-bit view), then the value's name; Wine keeps the wallpaper
// set for the session (and each process's first reading) in a key of its own.
std::string Store(const std::string& store, const std::string& value = "")
{
    char text[1024] = "<missing>";
    DWORD type = 0;
    DWORD size = sizeof text - 1;
    DWORD number = atoi(value.c_str() + 10);
    bool wallpaper = store == "wallpaper";
    HKEY root = store.compare(0, 4, "HKCU") && !wallpaper ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const char* key = wallpaper
        ? "Software\\Wine\\Temporary System Parameters\\Control Panel\\Desktop"
        : store.compare(0, 4, "WOW ") ? kWinlogon
                                      : kWow;
    const char* name = wallpaper ? "Wallpaper" : store.c_str() + store.find(' ') + 1;
    if (store == "System.ini" && !value.empty())
        WritePrivateProfileStringA("boot", "shell", value.c_str(), kSystemIni);
    else if (wallpaper && !value.empty())
        SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, (void*)value.c_str(), 0);
    else if (value == "<missing>")
        RegDeleteKeyValueA(root, key, name);
    else if (value.compare(0, 10, "REG_DWORD:") == 0)
        RegSetKeyValueA(root, key, name, REG_DWORD, &number, sizeof number);
    else if (!value.empty())
        RegSetKeyValueA(root, key, name, REG_SZ, value.c_str() + 7, value.size() - 6);
    if (store == "System.ini")
        GetPrivateProfileStringA("boot", "shell", "<missing>", text, sizeof text, kSystemIni);
    else if (RegGetValueA(root, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type, text, &size))
        return "<missing>";
    if (type == REG_DWORD)
        return "REG_DWORD:" + N(*(DWORD*)text);
    return (type == REG_SZ && !wallpaper ? "REG_SZ:"
                   : type > REG_SZ       ? "type " + N(type) + ":"
                                         : "")
        + text;
}
// The handles a process holds, as the system lists them (GetProcessHandleCount: 0 under Wine).
int Handles(DWORD pid)
{
    struct Entry {
        ULONG owner;
        ULONG kindAndValue;
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

HWND Manager()
{
    return FindWindowA(kClass, NULL);
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
    std::string text;
    if (!IsWindow(window))
        return window ? "window that closed by itself" : "nothing";
    if (GetDlgItem(window, IDC_THEMELIST))
        return "themes";
    if (GetDlgItem(window, IDC_PROMPT)) // the shell-choice dialog shows its Terminate button
        return IsWindowVisible(GetDlgItem(window, IDC_TERMINATE)) ? "choice" : "terminated";
    // A box is read once complete: its text comes after its caption.
    WaitUntil(
        [&] {
            return (text = TextOf(GetDlgItem(window, 0xFFFF))).empty();
        },
        5000, false);
    return "box \"" + text + "\"";
}

std::string TestName(const std::string& name)
{
    return std::regex_replace(name, std::regex("[^A-Za-z0-9]"), "_");
}
// A selection of no row fails: GoogleTest would pass it, and set up no environment for it.
struct Whole : testing::EmptyTestEventListener {
    void OnTestIterationEnd(const testing::UnitTest& run, int) override
    {
        if (run.test_to_run_count() == 0 && printf("no row selected\n"))
            ExitProcess(1);
    }
};

// Rows and texts; a step before the first row is a row of its own, and a line that starts with two
// blanks goes on from the one before. What a run stopped half-way left running is ended first.
std::vector<Row> LoadRows()
{
    std::vector<Row> rows;
    KillIn(kBin + "scratch\\");
    testing::UnitTest::GetInstance()->listeners().Append(new Whole);
    std::istringstream in(Replaced(
        ReadText(QF_SOURCE_DIR_WIN "\\tests\\scenarios.txt"), { { "\r", "" }, { "\n  ", "" } }));
    for (std::string line; std::getline(in, line);) {
        std::smatch part;
        if (std::regex_match(line, part, std::regex("text (\\w+) = (findings: )?(.*)"))) {
            std::string text = Replaced(part[3], { { "\\n", "\n" } });
            for (const auto& [name, earlier] : gTexts) // a text may hold one defined before it
                text = Replaced(text, { { "{" + name + "}", earlier } });
            // -check's box counts its findings, one a line.
            gTexts[gNames.emplace_back(part[1])] = !part[2].matched
                ? text
                : "Quillfern.cfg, section [default], and the installation: "
                    + N(std::count(text.begin(), text.end(), '\n') + 1) + " finding(s).\n" + text;
        }
        if (part[0].matched || line.empty() || line[0] == '#')
            continue;
        std::regex_match(line, part, std::regex("(\\[([^\\]]*)\\])?(.*)"));
        if (part[1].matched || rows.empty())
            rows.push_back({ part[1].matched ? part[2].str() : "before any row", {} });
        std::istringstream steps(part[3].str());
        for (std::string step; std::getline(steps, step, ';');) {
            std::istringstream split(step);
            Words words { std::istream_iterator<std::string>(split), {} };
            if (!words.empty())
                rows.back().steps.push_back(words);
        }
    }
    return rows;
}

struct Scene {
    typedef bool (Scene::*Verb)(const Words&);
    const Row& row;
    const Words* step = NULL;
    std::string dir = kBin + "scratch\\" + TestName(row.name) + "\\";
    std::string sh = dir + "sh\\";
    std::string cfg = dir + "Quillfern.cfg";
    std::string mgr;
    std::string exe;
    std::string lastBox;
    bool checking = false;
    bool win98 = false;
    bool winlogonGone = false;
    bool managersShell = false; // a start of a shell that the row did not launch itself was taken
    int times = 1; // the step's xN
    size_t taken = 0; // the events.log lines taken, in order
    size_t clientsEnded = 0;
    std::vector<HANDLE> managers;
    std::vector<HANDLE> clients;
    std::set<std::string> launched;
    std::map<std::string, std::string> stores = kSentinels; // as they must be: last set or read
    std::recursive_mutex lock; // over what the watcher shares: the queue, the managers
    std::vector<HWND> queue;
    HWND dialog = NULL;
    std::string dialogKind;
    volatile LONG stop = 0;
    volatile LONG maxShells = 0;
    std::thread watcher { [this] {
        for (; !stop; Sleep(15))
            Poll();
    } };

    explicit Scene(const Row& row)
        : row(row)
    {
    }
    ~Scene()
    {
        stop = 1;
        watcher.join();
        // A key left down (pressed by the row, or not let go by the manager) goes up.
        for (BYTE key : { VK_SHIFT, VK_CONTROL })
            if (GetAsyncKeyState(key) & 0x8000)
                keybd_event(key, 0, KEYEVENTF_KEYUP, 0);
        KillIn(dir);
        UnregisterHotKey(NULL, 1);
        for (const auto* processes : { &managers, &clients })
            for (HANDLE process : *processes)
                CloseHandle(process);
        if (winlogonGone && !Reg("import " + dir + "winlogon.reg"))
            ADD_FAILURE() << "the Winlogon key not put back: every later row is void";
    }
    // The scratch directory afresh, the stand-ins, the configuration, every store at its sentinel.
    bool Made()
    {
        const char* standin = getenv("QF_STANDIN");
        const char* given = getenv("QF_EXE"); // the i686 lane's
        std::error_code error;
        std::filesystem::remove_all(Wide(dir), error);
        bool made = !error && std::filesystem::create_directories(Wide(sh), error)
            && PlaceManager(dir + "mgr", given ? given : kBin + "Quillfern.exe");
        for (const std::string& role : kRoles)
            made = made
                && CopyFileA(standin ? standin : (kBin + "testbin\\standin.exe").c_str(),
                    (sh + role + ".exe").c_str(), FALSE);
        for (std::string file : { "step.rc", "modules.ini" })
            made = made && WriteText(sh + file, "own " + file);
        made = made
            && Cfg({ "cfg", "Quillfern.litestep_exe=@sh\\litestep.exe",
                "Quillfern.explorer_exe=@sh\\explorer.exe", "Alternate_Shells.altshell_name_1=Alt",
                "Alternate_Shells.altshell_path_1=@sh\\altshell.exe", "shell=litestep_exe",
                "kill_delay=5" });
        RegDeleteKeyValueA(HKEY_CURRENT_USER, kAppDefaults, "Version");
        for (const auto& store : kSentinels)
            made = made && Store(store.first, store.second) == store.second;
        // Wine's own tray window would pass for a running shell: the session helper hides it.
        return (made && !FindWindowA("Shell_TrayWnd", NULL))
            || Fail("the scene not made: directories, stand-ins, stores or session helper");
    }

    // At the end: nothing left untaken, every store as the row last set or read it.
    void Run()
    {
        if (!Made())
            return;
        for (const Words& s : row.steps) {
            // A box or dialog may come at any moment after the step that brings it: it waits in
            // the queue for the step that answers it, and one left there fails `sync` and the end.
            bool answers = (step = &s)->at(0) == "box" || s[0] == "dialog";
            if ((!answers && !Ends({})) || !Do(s))
                return;
        }
        step = NULL;
        if (!Ends({}) || (Manager() && !Handled()) || !NoEvents() || !NoWindows())
            return;
        for (const auto& store : stores)
            if (Store(store.first) != store.second)
                Fail(store.first + " changed to \"" + Store(store.first) + "\"");
        if (maxShells > 1 || (managersShell && maxShells == 0))
            Fail("shells of a manager at once, at most: " + N(maxShells));
    }
    bool Fail(const std::string& what)
    {
        std::string where = step
            ? "step " + N(step - &row.steps[0] + 1) + " `" + Join(*step, 0) + "`"
            : "the end";
        std::string pending;
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

    // The verbs (docs/testbed.md) and the words each takes, as Fits reads them.
    bool Do(Words w)
    {
        static const std::map<std::string, std::pair<std::string, Verb>> verbs = {
            { "cfg", { "ANY( ANY)*", &Scene::Cfg } }, { "themes", { "#", &Scene::Themes } },
            { "behave", { "ROLE( (stubborn|busy|dies|windowless|explore))?", &Scene::Files } },
            { "write", { "ANY ANY( ANY)*", &Scene::Files } },
            { "remove", { "ANY", &Scene::Files } }, { "mkdir", { "ANY", &Scene::Files } },
            { "cfgtext", { "TEXT", &Scene::Files } },
            { "platform", { "win98|nt40", &Scene::Stores } },
            { "setreg", { "(HKLM|HKCU|WOW) (Shell|AutoRestartShell) ANY", &Scene::Stores } },
            { "fault", { "winlogon", &Scene::Stores } }, { "longdir", { "#", &Scene::LongDir } },
            { "start", { "", &Scene::Started } }, { "client", { ".*", &Scene::Started } },
            { "press", { "", &Scene::Keys } }, { "release", { "", &Scene::Keys } },
            { "recovery", { "press|take|free", &Scene::Keys } },
            { "launch", { "ROLE", &Scene::ByHand } }, { "terminate", { "ROLE?", &Scene::ByHand } },
            { "post",
                { "(terminated|swap|kill|quit|swaptheme|restart|nuke|close|destroy|queryend)"
                  "( x#)?",
                    &Scene::Post } },
            { "box", { "TEXT (ok|yes|no)", &Scene::Answer } },
            { "dialog", { "(choice|terminated|themes)( ANY)*", &Scene::Answer } },
            { "wait",
                { "ROLE (start|quit|exit|restart)( (shift|control|none))?( x#)?", &Scene::Wait } },
            { "sync", { "", &Scene::Sync } },
            { "expect", { "(running|shell|reg|file|keys|wallpaper) ANY( ANY)*", &Scene::Expect } },
            { "exits", { "", &Scene::Ends } }, { "storm", { "# #( TEXT)+", &Scene::Storm } },
            { "cycles", { "#", &Scene::Cycles } }
        };
        auto verb = verbs.find(w[0]);
        if (verb == verbs.end() || !Fits(w, verb->second.first))
            return Fail("not understood: an unknown verb, word or name, or a bad repetition");
        times = 1;
        if (verb->second.first.find("x#") != std::string::npos && w.back()[0] == 'x') {
            times = atoi(w.back().c_str() + 1);
            w.pop_back();
        }
        return (this->*verb->second.second)(w);
    }

    bool Cfg(const Words& w)
    {
        std::smatch part;
        for (size_t i = 1; i < w.size(); i++)
            if (!std::regex_match(w[i], part, std::regex("(([^.=]*)\\.)?([^=]+)=(.*)"))
                || !WritePrivateProfileStringA(
                    part[1].matched ? Resolve(part[2]).c_str() : "default", part[3].str().c_str(),
                    Resolve(part[4]).c_str(), cfg.c_str()))
                return Fail("not a KEY=VALUE: " + w[i]);
        return true;
    }
    bool Themes(const Words& w)
    {
        for (int n = 1; n <= atoi(w[1].c_str()); n++) {
            std::string name = "t" + N(n);
            std::string path = "@dir\\" + name;
            CreateDirectoryA((dir + name).c_str(), NULL);
            for (std::string rc : { "step.rc", "modules.ini" })
                WriteText(dir + name + "\\" + rc, rc + " of " + name);
            Cfg({ "cfg", "Themes.theme_name_" + N(n) + "=" + name,
                "Themes.theme_path_" + N(n) + "=" + path,
                "Themes.theme_back_" + N(n) + "=" + path + "\\back.bmp" });
        }
        return true;
    }
    bool Files(const Words& w)
    {
        std::string path = w[0] == "behave" ? sh + w[1] + ".txt" : dir + w[1];
        std::string text = w[0] == "cfgtext" ? Resolve(gTexts[w[1]]) : Join(w, 2);
        if (w[0] == "remove")
            return Done(DeleteFileA(path.c_str()));
        if (w[0] == "mkdir")
            return Done(CreateDirectoryA(path.c_str(), NULL));
        return Done(WriteText(w[0] == "cfgtext" ? cfg : path,
            Replaced(text, { { "\n", "\r\n" } }))); // as Windows' files
    }
    bool Stores(const Words& w)
    {
        std::string key = "\"HKLM\\" + std::string(kWinlogon) + "\"";
        std::string value = "REG_SZ:" + (w.size() > 3 ? w[3] : "");
        win98 = w[0] == "platform" ? w[1] == "win98" : win98;
        if (w[0] == "platform")
            return Done(!RegSetKeyValueA(
                HKEY_CURRENT_USER, kAppDefaults, "Version", REG_SZ, w[1].c_str(), w[1].size() + 1));
        if (w[0] == "setreg")
            return Done(Store(w[1] + " " + w[2], stores[w[1] + " " + w[2]] = value) == value);
        winlogonGone = Reg("export " + key + " " + dir + "winlogon.reg /y");
        stores["HKLM Shell"] = stores["HKLM AutoRestartShell"] = "<missing>";
        return Done(winlogonGone && Reg("delete " + key + " /f"));
    }
    bool LongDir(const Words& w)
    {
        size_t length = atoi(w[1].c_str()) - strlen("\\Quillfern.exe");
        return length > dir.size()
            && PlaceManager(dir + std::string(length - dir.size(), 'd'), exe);
    }
    // From by value: it may be exe, which this sets anew.
    bool PlaceManager(const std::string& where, std::string from)
    {
        mgr = where + "\\";
        exe = mgr + "Quillfern.exe";
        CreateDirectoryW(Wide(mgr).c_str(), NULL);
        return Done(CopyFileW(Wide(from).c_str(), Wide(exe).c_str(), FALSE));
    }
    bool Started(const Words& w)
    {
        bool manager = w[0] == "start";
        checking = w.size() > 1 && w[1] == "-check";
        // A row that removed Quillfern.cfg starts the manager without one.
        bool copied = CopyFileW(Wide(cfg).c_str(), Wide(mgr + "Quillfern.cfg").c_str(), FALSE)
            || GetFileAttributesW(Wide(cfg).c_str()) == INVALID_FILE_ATTRIBUTES;
        HANDLE process = copied ? Start(exe, Join(w, 1)) : NULL;
        std::string& shell = stores[win98 ? "System.ini" : "HKLM Shell"];
        // A manager names itself the system shell as it starts one (unless it cannot).
        if (manager && shell != "<missing>")
            shell = (win98 ? "" : "REG_SZ:") + exe;
        Locked held(lock);
        (manager ? managers : clients).push_back(process);
        return process || Fail("cannot start " + exe);
    }
    // `exits`: every manager ends, with 0; else every client so far, with 0, or with -check the
    // number of findings its box gives ("...: N finding(s).").
    bool Ends(const Words& w)
    {
        bool exits = !w.empty();
        size_t end = lastBox.find(" finding(s).");
        DWORD findings = checking && end != std::string::npos
            ? atoi(&lastBox[lastBox.rfind(' ', end - 1) + 1])
            : 0;
        std::vector<HANDLE>& processes = exits ? managers : clients;
        for (size_t i = exits ? 0 : clientsEnded; i < processes.size(); i++)
            if (DWORD code = Finish(processes[i]); code != (exits ? 0 : findings))
                return Fail(std::string(exits ? "manager" : "client") + " exit code " + N(code)
                    + " (259: still running), box: " + lastBox);
        clientsEnded = clients.size();
        return true;
    }
    bool Keys(const Words& w)
    {
        const BYTE keys[] = { VK_CONTROL, VK_MENU, VK_SHIFT, VK_F12 };
        bool chord = w.size() > 1 && w[1] == "press";
        int from = w[0] == "release" ? 7 : 0;
        int to = chord ? 8 : w[0] == "recovery" ? 0 : from + 1;
        for (int i = from; i < to; i++)
            keybd_event(keys[i < 4 ? i : 7 - i], 0, i < 4 ? 0 : KEYEVENTF_KEYUP, 0);
        if (w.size() > 1 && w[1] == "take")
            return Done(RegisterHotKey(NULL, 1, MOD_CONTROL | MOD_ALT | MOD_SHIFT, VK_F12));
        return Done(w[0] != "recovery" || chord || UnregisterHotKey(NULL, 1));
    }
    bool ByHand(const Words& w)
    {
        if (w[0] == "terminate")
            KillIn(sh + (w.size() > 1 ? w[1] : ""));
        else
            launched.insert(w[1]);
        return w[0] == "terminate" || Done(CloseHandle(Start(sh + w[1] + ".exe", "")));
    }
    bool Post(const Words& w)
    {
        if (!WaitUntil(Manager))
            return Fail("no manager window");
        for (int n = times; n > 0; n--)
            PostMessageA(Manager(), kMessages.at(w[1]), 0, 0);
        return true;
    }

    // Every visible window captioned like ours, queued once (marked: handles are reused); shells.
    void Poll()
    {
        Locked held(lock);
        LONG shells = 0;
        for (HWND window = NULL; (window = FindWindowExA(NULL, window, "#32770", NULL)) != NULL;)
            if (IsWindowVisible(window)
                && TextOf(window).compare(0, strlen(kCaption), kCaption) == 0
                && !GetPropA(window, "QuillfernTestSeen")
                && SetPropA(window, "QuillfernTestSeen", window))
                queue.push_back(window);
        for (const PROCESSENTRY32& process : ProcessesIn(sh))
            for (HANDLE manager : managers)
                shells += process.th32ParentProcessID == GetProcessId(manager);
        maxShells = std::max<LONG>(LONG(maxShells), shells);
    }
    // The next window of ours, in order of appearance (NULL: none in time).
    HWND TakeWindow(DWORD timeoutMs)
    {
        Locked held(lock);
        auto none = [&] {
            Poll();
            return queue.empty();
        };
        if (!WaitUntil(none, timeoutMs, false))
            return NULL;
        HWND window = queue.front();
        queue.erase(queue.begin());
        return window;
    }
    bool NoWindows()
    {
        HWND window = TakeWindow(0);
        return !window || Fail("a box or dialog that the row does not list: " + KindOf(window));
    }
    bool Answer(const Words& w)
    {
        bool box = w[0] == "box";
        std::string want = box ? "box \"" + Resolve(gTexts[w[1]]) + "\"" : w[1];
        // A dialog answered in an earlier step may be gone before its `closes`.
        bool gone = !box && w.size() == 3 && w[2] == "closes" && dialogKind == w[1];
        RECT r;
        HWND window = box || (!gone && KindOf(dialog) != w[1]) ? TakeWindow(kWaitMs) : dialog;
        std::string kind = gone ? w[1] : KindOf(window);
        dialog = box ? dialog : window;
        dialogKind = box ? dialogKind : kind;
        if (kind != want)
            return Fail("expected " + w[0] + " " + w[1] + ", got " + kind);
        if (box
            && (!GetWindowRect(window, &r) || r.left < 0 || r.top < 0
                || r.right > GetSystemMetrics(SM_CXSCREEN)
                || r.bottom > GetSystemMetrics(SM_CYSCREEN)))
            return Fail("the box is not wholly on the screen");
        lastBox = box ? want.substr(5, want.size() - 6) : lastBox;
        for (size_t i = 2; i < w.size(); i++)
            if (!Holds(w[i], window, box))
                return Fail(
                    w[0] + " " + w[1] + ": " + w[i] + " does not hold, or is not understood");
        return true;
    }
    bool Holds(const std::string& action, HWND dialog, bool box)
    {
        static const std::map<std::string, int> ids = { { "litestep", IDC_LITESTEP },
            { "explorer", IDC_EXPLORER }, { "other", IDC_REBOOT_OTHER }, { "logoff", IDC_LOGOFF },
            { "shutdown", IDC_SHUTDOWN }, { "terminate", IDC_TERMINATE }, { "ok", IDOK },
            { "cancel", IDCANCEL }, { "yes", IDYES }, { "no", IDNO } };
        size_t equals = action.find('=');
        std::string act = action.substr(0, equals);
        std::string arg = equals == std::string::npos ? "" : action.substr(equals + 1);
        int item = OneOf(arg, "[1-9][0-9]*") ? atoi(arg.c_str()) - 1
                                             : SendDlgItemMessageA(dialog, IDC_THEMELIST,
                                                 LB_FINDSTRINGEXACT, -1, (LPARAM)arg.c_str());
        // The countdown's caption, exactly: the caption, three blanks, ::: N :::.
        std::string head = std::string(kCaption) + "   ::: ";
        auto holds = [&] {
            std::string caption = TextOf(dialog);
            if (act == "closes")
                return !IsWindow(dialog);
            if (act == "counting")
                return caption == head + N(atoi(caption.c_str() + head.size())) + " :::";
            return IsWindow(dialog) && caption == kCaption; // stopped, and still throughout
        };
        if (ids.count(arg) && (act == "is" || act == "click"))
            return act == "click" ? PostMessageA(GetDlgItem(dialog, ids.at(arg)), BM_CLICK, 0, 0)
                                  : IsDlgButtonChecked(dialog, ids.at(arg)) == BST_CHECKED;
        if (act == "pick")
            return item >= 0
                && SendDlgItemMessageA(dialog, IDC_THEMELIST, LB_SETCURSEL, item, 0) >= 0;
        if (OneOf(action, "ok|cancel|yes|no")) // a box by a button it has
            return (!box || GetDlgItem(dialog, ids.at(act)))
                && PostMessageA(dialog, WM_COMMAND, ids.at(act), 0);
        // still: no countdown, four of its 250 ms ticks pass unseen.
        if (act == "still")
            return !WaitUntil(holds, 1000, false);
        return OneOf(act, "closes|counting|stopped") && WaitUntil(holds);
    }

    bool Wait(const Words& w)
    {
        std::string keys = w.size() < 4
            ? "( .*)?"
            : " shift=" + N(w[3] == "shift") + " control=" + N(w[3] == "control");
        for (int n = 1; n <= times; n++)
            for (std::string event : { "quit", "start", "exit" }) {
                std::string want = w[1] + " " + event + (event == "start" ? keys : "");
                if (w[2] != event && (w[2] != "restart" || event == "exit"))
                    continue;
                if (!WaitUntil([&] {
                        return Events().size() > taken;
                    })
                    || !OneOf(Events()[taken++], want))
                    return Fail("expected \"" + want + "\" (" + N(n) + "); events.log:\n"
                        + ReadText(sh + "events.log"));
                managersShell |= event == "start" && !launched.count(w[1]);
            }
        return true;
    }
    Words Events()
    {
        Words lines;
        std::istringstream in(Replaced(ReadText(sh + "events.log"), { { "\r", "" } }));
        // Whole lines only: the last may be half-written, and "<missing>" is none.
        for (std::string line; std::getline(in, line) && !in.eof();)
            lines.push_back(line);
        return lines;
    }
    bool NoEvents()
    {
        Words events = Events();
        return events.size() == taken
            || Fail("events the row does not take, from \"" + events[taken] + "\"");
    }
    bool Expect(const Words& w)
    {
        const std::string& what = w[1];
        std::string got;
        std::string want = Join(w, what == "reg" ? 4 : what == "file" ? 3 : 2);
        std::string store = what == "shell" ? (win98 ? "System.ini" : "HKLM Shell")
            : what == "reg"                 ? w[2] + " " + (w.size() > 3 ? w[3] : "")
                                            : what;
        if (what == "shell" || what == "wallpaper")
            want = (store == "HKLM Shell" ? "REG_SZ:" : "") + Resolve(want);
        if (!OneOf(what, "running|file|keys") && !stores.count(store))
            return Fail("no such store: " + store);
        if (stores.count(store))
            stores[store] = want;
        return WaitUntil([&] {
            got = what == "running" ? Running()
                : what == "file"    ? ReadText(dir + w[2])
                : what == "keys"    ? (KeyDown() ? "down" : "up")
                                    : Store(store);
            return got == want;
        }) || Fail("expected " + what + " \"" + want + "\", got \"" + got + "\"");
    }
    std::string Running()
    {
        Words roles;
        for (const PROCESSENTRY32& process : ProcessesIn(sh))
            roles.push_back(std::string(process.szExeFile, strcspn(process.szExeFile, ".")));
        std::sort(roles.begin(), roles.end());
        return roles.empty() ? "none" : Join(roles, 0);
    }
    bool Sync(const Words&)
    {
        return Handled() && NoEvents() && NoWindows();
    }
    // Every message posted to the manager so far has been handled once it has taken one more:
    // WM_SETREDRAW, whose mark (WS_VISIBLE) shows it was taken, in its own loop or a modal one.
    bool Handled()
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
    std::string Resolve(const std::string& text)
    {
        char user[256] = "";
        DWORD size = sizeof user;
        GetUserNameA(user, &size);
        return text == "manager"
            ? exe
            : Replaced(text, { { "@sh\\", sh }, { "@dir\\", dir }, { "@user", user } });
    }

    bool Storm(const Words& w)
    {
        const UINT kinds[] = { kMessages.at("swap"), kMessages.at("kill"), kMessages.at("restart"),
            kMessages.at("swaptheme"), kMessages.at("terminated"), 0, 1 }; // 0: a stray, 1: a kill
        unsigned seed = atoi(w[1].c_str());
        auto next = [&] {
            return (seed = seed * 1103515245u + 12345u) >> 16;
        };
        int posted = 0;
        stores.erase("wallpaper"); // the themes it installed: any
        for (int bursts = 0; posted < atoi(w[2].c_str()); bursts++) {
            for (unsigned n = 1 + next() % 8; n > 0; n--) {
                UINT message = kinds[next() % 7];
                posted++;
                // A stray: any number from WM_USER on but the control messages.
                for (bool stray = message == 0; stray; stray = message >= 1025 && message <= 1034)
                    message = WM_USER + next() % (0x10000 - WM_USER);
                if (message == 1)
                    KillIn(sh);
                else
                    PostMessageA(Manager(), message, next(), next());
            }
            for (HWND window; Handled() && (window = TakeWindow(0)) != NULL;) {
                std::string kind = KindOf(window);
                bool allowed = kind == "terminated" || kind == "themes";
                for (size_t i = 3; i < w.size(); i++)
                    allowed = allowed || kind == "box \"" + gTexts[w[i]] + "\"";
                // A window can close before its turn: a nested handler's answer may end it first.
                if (IsWindow(window) && !allowed)
                    return Fail("storm: unexpected " + kind + " after " + N(posted) + " messages");
                PostMessageA(window, WM_COMMAND, IDOK, 0);
            }
            taken = Events().size(); // no order to hold the stand-ins to here
            if (!Manager() || KeyDown())
                return Fail("the manager gone, or a key down once idle, burst " + N(bursts));
        }
        return true;
    }
    // The one allowance: what Wine's own WaitForInputIdle leaves in its caller at each call, as
    // this process keeps it, waiting for the shell as often as the manager did.
    bool Cycles(const Words& w)
    {
        std::vector<int> before = Counts();
        std::vector<int> after;
        times = atoi(w[1].c_str());
        if (!Post({ "post", "restart" }) || !Wait({ "wait", "litestep", "restart" }) || !Handled())
            return false;
        std::vector<PROCESSENTRY32> shells = ProcessesIn(sh);
        if (shells.size() != 1)
            return Fail("not one shell after the restarts: " + N(shells.size()));
        HANDLE shell
            = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, shells[0].th32ProcessID);
        for (int n = 0; n < times; n++)
            WaitForInputIdle(shell, kWaitMs);
        CloseHandle(shell);
        auto flat = [&] {
            after = Counts();
            return before[1] > 0 && after[0] <= before[0]
                && after[1] - before[1] <= after[2] - before[2];
        };
        return WaitUntil(flat, 5000)
            || Fail("grew: threads " + N(before[0]) + " to " + N(after[0]) + ", handles "
                + N(before[1]) + " to " + N(after[1]) + "; Wine's own WaitForInputIdle left "
                + N(after[2] - before[2]));
    }
    // The manager's threads and handles, and this process's handles, the watcher held: nothing
    // else of ours makes handles meanwhile.
    std::vector<int> Counts()
    {
        Locked held(lock);
        DWORD pid = GetProcessId(managers.front());
        std::vector<int> counts = { -1, Handles(pid), Handles(GetCurrentProcessId()) };
        for (const PROCESSENTRY32& process : ProcessesIn(""))
            counts[0] = process.th32ProcessID == pid ? int(process.cntThreads) : counts[0];
        return counts;
    }
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}
using Scenario = testing::TestWithParam<Row>;
TEST_P(Scenario, Row)
{
    Scene(GetParam()).Run();
}
INSTANTIATE_TEST_SUITE_P(Table, Scenario, testing::ValuesIn(LoadRows()), [](const auto& info) {
    return TestName(info.param.name);
});

} // namespace
