// The end-to-end scenarios: each row of scenarios.txt is one test, run on a copy of the manager
// (this build's, or the one QF_EXE names) in a scratch directory of its own.
// docs/testbed.md lists the verbs.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "res/resource.h" // the dialogs' controls, which no other program sees

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
    DWORD pid;
    DWORD parent;
    DWORD threads;
    std::string role;
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
const char kSessionDesktop[]
    = "Software\\Wine\\Temporary System Parameters\\Control Panel\\Desktop";
const char kSystemIni[] = "C:\\windows\\system.ini"; // Wine's Windows directory
std::map<std::string, std::string> gTexts;

template <typename F> bool WaitUntil(F done, DWORD timeoutMs = kWaitMs)
{
    for (DWORD start = GetTickCount(); !done(); Sleep(20))
        if (GetTickCount() - start > timeoutMs)
            return done();
    return true;
}
// A program the environment names (the i686 lane's), or this build's.
std::string Given(const char* name, const std::string& built)
{
    return getenv(name) ? getenv(name) : kBin + built;
}
std::string N(long long number)
{
    return std::to_string(number);
}
std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}
std::string Join(const Words& words, size_t from)
{
    std::string text;
    for (size_t i = from; i < words.size(); i++)
        text += (i > from ? " " : "") + words[i];
    return text;
}
// A word against a pattern: "a|b" one of them, "*" any word, "#" a whole number from 1, "TEXT" a
// text's name, "ROLE" a stand-in's.
bool Matches(const std::string& word, const std::string& pattern)
{
    std::string alternatives = "|" + pattern + "|";
    return pattern == "*"
        || (pattern == "#" && atoi(word.c_str()) > 0 && word == N(atoi(word.c_str())))
        || (pattern == "TEXT" && gTexts.count(word))
        || (pattern == "ROLE" && std::count(kRoles.begin(), kRoles.end(), word))
        || alternatives.find("|" + word + "|") != std::string::npos;
}
// A step's words against its verb's: a pattern a word, "?" after one that may be left out, "..."
// last for any more words.
bool Fits(const Words& w, const std::string& patterns)
{
    std::istringstream in(patterns);
    size_t i = 1;
    for (std::string p; in >> p && p != "...";) {
        bool optional = p.back() == '?';
        if (i < w.size() && Matches(w[i], optional ? p.substr(0, p.size() - 1) : p))
            i++;
        else if (!optional)
            return false;
    }
    return i == w.size() || patterns.find("...") != std::string::npos;
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

// A Winlogon store: "HKLM", "HKCU" or "WOW" (HKLM's 32-bit view), then the value's name.
HKEY RootOf(const std::string& store)
{
    return store.compare(0, 4, "HKCU") ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}
const char* KeyOf(const std::string& store)
{
    return store.compare(0, 4, "WOW ") ? kWinlogon : kWow;
}
const char* NameOf(const std::string& store)
{
    return store.c_str() + store.find(' ') + 1;
}
// A store as log-on reads it (the 64-bit view), typed: "REG_SZ:text", "REG_DWORD:n", "<missing>".
std::string Read(const std::string& store)
{
    char text[1024] = "<missing>";
    DWORD type = 0;
    DWORD size = sizeof text - 1;
    if (store == "System.ini")
        GetPrivateProfileStringA("boot", "shell", "<missing>", text, sizeof text, kSystemIni);
    // Wine keeps a wallpaper set for the session in this key, and each process's first reading.
    if (store == "wallpaper"
        && RegGetValueA(
            HKEY_CURRENT_USER, kSessionDesktop, "Wallpaper", RRF_RT_REG_SZ, NULL, text, &size))
        return "<missing>";
    if (store[0] != 'H' && store[0] != 'W')
        return text;
    if (RegGetValueA(RootOf(store), KeyOf(store), NameOf(store), RRF_RT_ANY | RRF_NOEXPAND, &type,
            text, &size))
        return "<missing>";
    if (type == REG_DWORD)
        return "REG_DWORD:" + N(*(DWORD*)text);
    return (type == REG_SZ ? "REG_SZ:" : "type " + N(type) + ":") + std::string(text);
}
// A store set as Read gives it.
bool SetValue(const std::string& store, const std::string& value)
{
    HKEY root = RootOf(store);
    const char* key = KeyOf(store);
    const char* name = NameOf(store);
    DWORD number = atoi(value.c_str() + 10);
    if (store == "System.ini")
        return WritePrivateProfileStringA("boot", "shell", value.c_str(), kSystemIni);
    if (store == "wallpaper")
        return SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, (void*)value.c_str(), 0);
    if (value == "<missing>")
        return RegDeleteKeyValueA(root, key, name) != ERROR_ACCESS_DENIED;
    if (value.compare(0, 10, "REG_DWORD:") == 0)
        return !RegSetKeyValueA(root, key, name, REG_DWORD, &number, sizeof number);
    return !RegSetKeyValueA(root, key, name, REG_SZ, value.c_str() + 7, value.size() - 6);
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
// The countdown's caption, exactly: the caption, three blanks, ::: N :::.
bool Counting(HWND dialog)
{
    std::string caption = TextOf(dialog);
    std::string head = std::string(kCaption) + "   ::: ";
    return caption.size() > head.size()
        && caption == head + N(atoi(caption.c_str() + head.size())) + " :::";
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
    std::istringstream in(ReadText(QF_SOURCE_DIR_WIN "\\tests\\scenarios.txt"));
    std::string line;
    std::string step;
    for (int number = 1; std::getline(in, line); number++) {
        line.erase(line.find_last_not_of(" \r") + 1);
        size_t equals = line.find(" = ");
        size_t bracket = line.find(']');
        if (line.compare(0, 5, "text ") == 0 && equals != std::string::npos) {
            std::string& text = gTexts[line.substr(5, equals - 5)] = line.substr(equals + 3);
            for (size_t at; (at = text.find("\\n")) != std::string::npos;)
                text.replace(at, 2, "\n");
            continue;
        }
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[' || rows.empty()) // a step before the first row is a row of its own
            rows.push_back({ line[0] == '[' ? line.substr(1, bracket - 1) : "before any row", {} });
        std::istringstream steps(line[0] == '[' ? line.substr(bracket + 1) : line);
        while (std::getline(steps, step, ';')) {
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

struct Scene;
typedef bool (Scene::*Verb)(const Words&);
struct Scene {
    const Row& row;
    const Step* step = NULL;
    std::string dir;
    std::string sh;
    std::string cfg;
    std::string mgr;
    std::string exe;
    std::string lastBox;
    bool checking = false;
    bool win98 = false;
    bool winlogonGone = false;
    bool managersShell = false; // a start of a shell that the row did not launch itself was taken
    int times = 1; // the step's xN
    size_t taken = 0; // the events.log lines taken, in order
    std::vector<HANDLE> managers;
    std::vector<HANDLE> clients;
    std::set<std::string> launched;
    std::map<std::string, std::string> stores = kSentinels; // as they must be: last set or read
    std::mutex lock; // over what the watcher shares: the queue, the managers
    std::vector<HWND> queue;
    HWND dialog = NULL;
    std::string dialogKind;
    volatile LONG stop = 0;
    volatile LONG maxShells = 0;
    std::thread watcher;

    explicit Scene(const Row& row)
        : row(row)
        , dir(kBin + "scratch\\" + TestName(row.name) + "\\")
        , sh(dir + "sh\\")
        , cfg(dir + "Quillfern.cfg")
    {
        watcher = std::thread([this] {
            for (; !stop; Sleep(15))
                Poll();
        });
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
        for (HANDLE process : managers)
            CloseHandle(process);
        if (winlogonGone && !Reg("import " + dir + "winlogon.reg"))
            ADD_FAILURE() << "the Winlogon key not put back: every later row is void";
    }
    // The scratch directory afresh, the stand-ins, the configuration, every store at its sentinel.
    bool Made()
    {
        std::string standin = Given("QF_STANDIN", "testbin\\standin.exe");
        RemoveTree(Wide(dir));
        CreateDirectoryA((kBin + "scratch").c_str(), NULL);
        bool made = CreateDirectoryA(dir.c_str(), NULL) && CreateDirectoryA(sh.c_str(), NULL)
            && PlaceManager(dir + "mgr", Given("QF_EXE", "Quillfern.exe"));
        for (const std::string& role : kRoles)
            made = made && CopyFileA(standin.c_str(), (sh + role + ".exe").c_str(), FALSE);
        for (std::string file : { "step.rc", "modules.ini" })
            made = made && WriteText(sh + file, "own " + file);
        for (const char* item : { "Quillfern.litestep_exe=@sh\\litestep.exe",
                 "Quillfern.explorer_exe=@sh\\explorer.exe", "Alternate_Shells.altshell_name_1=Alt",
                 "Alternate_Shells.altshell_path_1=@sh\\altshell.exe", "shell=litestep_exe",
                 "kill_delay=5" })
            made = made && Set(item);
        RegDeleteKeyValueA(HKEY_CURRENT_USER, kAppDefaults, "Version");
        for (const auto& store : kSentinels)
            made = made && SetValue(store.first, store.second) && Read(store.first) == store.second;
        // Wine's own tray window would pass for a running shell: the session helper hides it.
        return (made && !FindWindowA("Shell_TrayWnd", NULL))
            || Fail("the scene not made: directories, stand-ins, stores or session helper");
    }

    // Every box and dialog must be taken by a step: each other step first checks that none waits.
    // At the end: nothing left untaken, every store as the row last set or read it.
    void Run()
    {
        if (!Made())
            return;
        for (const Step& s : row.steps) {
            bool answers = (step = &s)->words[0] == "box" || s.words[0] == "dialog";
            if ((!answers && !(FinishClients() && NoWindows())) || !Do(s.words))
                return;
        }
        step = NULL;
        if (!FinishClients() || (Manager() && !Handled()) || !NoEvents())
            return;
        Poll();
        NoWindows();
        for (const auto& store : stores)
            if (Read(store.first) != store.second)
                Fail(store.first + " changed to \"" + Read(store.first) + "\"");
        if (maxShells > 1 || (managersShell && maxShells == 0))
            Fail("shells of a manager at once, at most: " + N(maxShells));
    }
    bool Fail(const std::string& what)
    {
        std::string where = step ? "line " + N(step->line) + " `" + step->text + "`" : "the end";
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

    // The verbs: the words each takes (as Fits reads them; "xN" last: the step may end with a
    // repetition) and what does it.
    bool Do(Words w)
    {
        static const std::map<std::string, std::pair<std::string, Verb>> verbs = {
            { "cfg", { "* ...", &Scene::Cfg } },
            { "themes", { "#", &Scene::Themes } },
            { "behave", { "ROLE stubborn|busy|dies|windowless|explore?", &Scene::Files } },
            { "write", { "* * ...", &Scene::Files } },
            { "remove", { "*", &Scene::Files } },
            { "mkdir", { "*", &Scene::Files } },
            { "cfgtext", { "TEXT", &Scene::Files } },
            { "platform", { "win98|nt40", &Scene::Platform } },
            { "setreg", { "HKLM|HKCU|WOW Shell|AutoRestartShell *", &Scene::SetReg } },
            { "recovery", { "press|take|free", &Scene::Recovery } },
            { "fault", { "winlogon", &Scene::Fault } },
            { "longdir", { "#", &Scene::LongDir } },
            { "start", { "", &Scene::Started } },
            { "client", { "...", &Scene::Started } },
            { "press", { "", &Scene::Press } },
            { "release", { "", &Scene::Press } },
            { "launch", { "ROLE", &Scene::Launch } },
            { "post",
                { "terminated|swap|kill|quit|swaptheme|restart|nuke|close|destroy|queryend xN",
                    &Scene::Post } },
            { "terminate", { "ROLE?", &Scene::Terminate } },
            { "box", { "TEXT ok|yes|no", &Scene::Box } },
            { "dialog", { "choice|terminated|themes ...", &Scene::Dialog } },
            { "wait", { "ROLE start|quit|exit|restart shift|control|none? xN", &Scene::Wait } },
            { "sync", { "", &Scene::Sync } },
            { "expect", { "running|shell|reg|file|keys|wallpaper * ...", &Scene::Expect } },
            { "exits", { "", &Scene::Exits } },
            { "storm", { "# # TEXT ...", &Scene::Storm } },
            { "cycles", { "#", &Scene::Cycles } },
        };
        auto verb = verbs.find(w[0]);
        std::string words = verb == verbs.end() ? "-" : verb->second.first;
        size_t repetition = words.find(" xN");
        times = w.back()[0] == 'x' ? atoi(w.back().c_str() + 1) : 1;
        if (repetition != std::string::npos && times > 0 && w.back() == "x" + N(times))
            w.pop_back();
        else
            times = 1;
        if (verb == verbs.end() || !Fits(w, words.substr(0, repetition)))
            return Fail("not understood: an unknown verb, word or name, or a bad repetition");
        return (this->*verb->second.second)(w);
    }

    bool Cfg(const Words& w)
    {
        for (size_t i = 1; i < w.size(); i++)
            if (w[i].find('=') == std::string::npos || !Set(w[i]))
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
            for (const std::string& item : { "name_" + N(n) + "=" + name,
                     "path_" + N(n) + "=" + path, "back_" + N(n) + "=" + path + "\\back.bmp" })
                Set("Themes.theme_" + item);
        }
        return true;
    }
    // behave ROLE WORD (<role>.txt beside it), write, remove, mkdir; cfgtext with Windows' line
    // ends.
    bool Files(const Words& w)
    {
        std::string path = w[0] == "behave" ? sh + w[1] + ".txt" : dir + w[1];
        std::string text = w[0] == "cfgtext" ? Resolve(gTexts[w[1]]) : Join(w, 2);
        for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
            text.insert(at, "\r");
        if (w[0] == "remove")
            return Done(DeleteFileA(path.c_str()));
        if (w[0] == "mkdir")
            return Done(CreateDirectoryA(path.c_str(), NULL));
        return Done(WriteText(w[0] == "cfgtext" ? cfg : path, text));
    }
    bool Platform(const Words& w)
    {
        win98 = w[1] == "win98";
        return Done(!RegSetKeyValueA(
            HKEY_CURRENT_USER, kAppDefaults, "Version", REG_SZ, w[1].c_str(), w[1].size() + 1));
    }
    bool SetReg(const Words& w)
    {
        std::string store = w[1] + " " + w[2];
        return Done(SetValue(store, stores[store] = "REG_SZ:" + w[3]));
    }
    bool Fault(const Words&)
    { // the Winlogon key removed, put back at the end
        std::string key = "\"HKLM\\" + std::string(kWinlogon) + "\"";
        winlogonGone = Reg("export " + key + " " + dir + "winlogon.reg /y");
        stores["HKLM Shell"] = stores["HKLM AutoRestartShell"] = "<missing>";
        return Done(winlogonGone && Reg("delete " + key + " /f"));
    }
    bool LongDir(const Words& w)
    { // the manager moved to where its path is N characters long
        size_t length = atoi(w[1].c_str()) - strlen("\\Quillfern.exe");
        return length > dir.size()
            && PlaceManager(dir + std::string(length - dir.size(), 'd'), exe);
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
    bool Press(const Words& w)
    {
        keybd_event(VK_CONTROL, 0, w[0] == "press" ? 0 : KEYEVENTF_KEYUP, 0);
        return true;
    }
    bool Terminate(const Words& w)
    { // from outside, as Task Manager would: the stand-in writes nothing
        KillIn(sh + (w.size() > 1 ? w[1] : ""));
        return true;
    }
    // The default recovery key, ctrl+alt+shift+f12: pressed, or taken by this program first (the
    // manager's registration then fails with 1409) and let go.
    bool Recovery(const Words& w)
    {
        const BYTE keys[] = { VK_CONTROL, VK_MENU, VK_SHIFT, VK_F12 };
        for (int i = 0; w[1] == "press" && i < 8; i++) // down in turn, then up the other way round
            keybd_event(keys[i < 4 ? i : 7 - i], 0, i < 4 ? 0 : KEYEVENTF_KEYUP, 0);
        if (w[1] == "take")
            return Done(RegisterHotKey(NULL, 1, MOD_CONTROL | MOD_ALT | MOD_SHIFT, VK_F12));
        return Done(w[1] == "press" || UnregisterHotKey(NULL, 1));
    }
    bool Launch(const Words& w)
    {
        launched.insert(w[1]);
        return Done(CloseHandle(Start(sh + w[1] + ".exe", "")));
    }
    bool Post(const Words& w)
    {
        if (!WaitUntil([&] {
                return Manager() != NULL;
            }))
            return Fail("no manager window");
        for (int n = times; n > 0; n--)
            PostMessageA(Manager(), kMessages.at(w[1]), 0, 0);
        return true;
    }
    bool Box(const Words& w)
    {
        HWND box = TakeWindow(kWaitMs);
        std::string got = box ? KindOf(box) : "nothing";
        RECT r;
        RECT screen = { 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN) };
        RECT both;
        int id = w[2] == "yes" ? IDYES : w[2] == "no" ? IDNO : IDOK;
        if (got != "box \"" + Resolve(gTexts[w[1]]) + "\"")
            return Fail("expected box " + w[1] + ", got " + got);
        if (!GetWindowRect(box, &r) || !IntersectRect(&both, &r, &screen) || !EqualRect(&both, &r))
            return Fail("the box is not wholly on the screen");
        lastBox = got.substr(5, got.size() - 6);
        return (GetDlgItem(box, id) && PostMessageA(box, WM_COMMAND, id, 0))
            || Fail("the box has no " + w[2]);
    }
    bool Dialog(const Words& w)
    {
        // A dialog answered in an earlier step may be gone before its `closes`.
        bool gone = w.size() == 3 && w[2] == "closes" && dialogKind == w[1];
        if (!gone && KindOf(dialog) != w[1])
            dialog = TakeWindow(kWaitMs);
        dialogKind = gone ? w[1] : dialog ? KindOf(dialog) : "nothing";
        if (dialogKind != w[1])
            return Fail("expected dialog " + w[1] + ", got " + dialogKind);
        for (size_t i = 2; i < w.size(); i++)
            if (!DialogHolds(w[i]))
                return Fail(w[1] + " dialog: " + w[i] + " does not hold, or is not understood");
        return true;
    }
    bool DialogHolds(const std::string& action)
    {
        static const std::map<std::string, int> buttons = { { "litestep", IDC_LITESTEP },
            { "explorer", IDC_EXPLORER }, { "other", IDC_REBOOT_OTHER }, { "logoff", IDC_LOGOFF },
            { "shutdown", IDC_SHUTDOWN }, { "terminate", IDC_TERMINATE } };
        size_t equals = action.find('=');
        std::string act = action.substr(0, equals);
        std::string arg = equals == std::string::npos ? "" : action.substr(equals + 1);
        if (buttons.count(arg) && (act == "is" || act == "click"))
            return act == "click"
                ? PostMessageA(GetDlgItem(dialog, buttons.at(arg)), BM_CLICK, 0, 0)
                : IsDlgButtonChecked(dialog, buttons.at(arg)) == BST_CHECKED;
        if (act == "pick" && !Matches(arg, "#")) // by the name shown
            arg = N(1
                + SendDlgItemMessageA(
                    dialog, IDC_THEMELIST, LB_FINDSTRINGEXACT, -1, (LPARAM)arg.c_str()));
        if (act == "pick" && arg != "0")
            return SendDlgItemMessageA(
                       dialog, IDC_THEMELIST, LB_SETCURSEL, atoi(arg.c_str()) - 1, 0)
                >= 0;
        if (act == "ok" || act == "cancel")
            return PostMessageA(dialog, WM_COMMAND, act == "ok" ? IDOK : IDCANCEL, 0);
        // still: no countdown, four of its 250 ms ticks pass unseen.
        if (act == "still")
            return !WaitUntil(
                [&] {
                    return TextOf(dialog) != kCaption;
                },
                1000);
        return Matches(act, "closes|counting|stopped") && WaitUntil([&] {
            if (act == "closes")
                return !IsWindow(dialog);
            return act == "counting" ? Counting(dialog)
                                     : IsWindow(dialog) && TextOf(dialog) == kCaption;
        });
    }

    // The next lines of events.log, in order; restart: a quit, then a start.
    bool Wait(const Words& w)
    {
        const std::string keys = w.size() > 3 ? w[3] : "";
        for (int n = 1; n <= times; n++)
            for (const char* event : { "quit", "start", "exit" })
                if ((w[2] == event || (w[2] == "restart" && event[1] != 'x'))
                    && !Take(w[1] + " " + event, keys))
                    return Fail("expected \"" + w[1] + " " + event + " " + keys + "\" (" + N(n)
                        + "); events.log:\n" + ReadText(sh + "events.log"));
        return true;
    }
    bool Take(std::string want, const std::string& keys)
    {
        bool start = want.find(" start") != std::string::npos;
        if (start && !keys.empty())
            want += " shift=" + N(keys == "shift") + " control=" + N(keys == "control");
        if (!WaitUntil([&] {
                return Events().size() > taken;
            }))
            return false;
        std::string line = Events()[taken++];
        managersShell |= start && !launched.count(line.substr(0, line.find(' ')));
        return line == want || (start && keys.empty() && line.compare(0, want.size(), want) == 0);
    }
    Words Events()
    {
        Words lines;
        std::string log = ReadText(sh + "events.log");
        std::istringstream in(log == "<missing>" ? "" : log);
        for (std::string line; std::getline(in, line) && !in.eof();) // whole lines only
            lines.push_back(line.substr(0, line.find('\r')));
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
        if (!Matches(what, "running|file|keys") && !stores.count(store))
            return Fail("no such store: " + store);
        if (stores.count(store))
            stores[store] = want;
        return WaitUntil([&] {
            if (what == "running")
                got = Running();
            else if (what == "file")
                got = ReadText(dir + w[2]);
            else
                got = what == "keys" ? (KeyDown() ? "down" : "up") : Read(store);
            return got == want;
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

    // Every visible window captioned like ours, queued once (marked: handles are reused); shells.
    void Poll()
    {
        Locked held(lock);
        EnumWindows(
            [](HWND window, LPARAM list) -> BOOL {
                char name[64] = "";
                GetClassNameA(window, name, sizeof name);
                if (IsWindowVisible(window) && !strcmp(name, "#32770")
                    && TextOf(window).compare(0, strlen(kCaption), kCaption) == 0
                    && !GetPropA(window, "QuillfernTestSeen")
                    && SetPropA(window, "QuillfernTestSeen", window))
                    ((std::vector<HWND>*)list)->push_back(window);
                return TRUE;
            },
            (LPARAM)&queue);
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
                window = queue.empty() ? NULL : queue.front();
                if (window)
                    queue.erase(queue.begin());
                return window != NULL;
            },
            timeoutMs);
        return window;
    }
    bool NoWindows()
    {
        std::unique_lock<std::mutex> held(lock);
        bool none = queue.empty();
        held.unlock();
        return none || Fail("a box or dialog that the row does not list");
    }
    bool FinishClients()
    {
        // -check's exit code is the count its box gives: "...: N finding(s)."
        size_t end = lastBox.find(" finding(s).");
        int findings
            = end == std::string::npos ? 0 : atoi(&lastBox[lastBox.rfind(' ', end - 1) + 1]);
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
        return FindWindowA(kClass, NULL);
    }
    bool Exits(const Words&)
    { // every manager of the row ends, with 0
        for (HANDLE process : managers)
            if (DWORD code = Finish(process))
                return Fail("manager exit code " + N(code));
        return true;
    }
    // sync: the manager has handled every message, and the row has taken every event.
    bool Sync(const Words&)
    {
        return Handled() && NoEvents();
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

    bool PlaceManager(const std::string& where, std::string from)
    { // from: a copy, as it may be exe
        mgr = where + "\\";
        exe = mgr + "Quillfern.exe";
        CreateDirectoryW(Wide(mgr).c_str(), NULL);
        return Done(CopyFileW(Wide(from).c_str(), Wide(exe).c_str(), FALSE));
    }
    bool Set(const std::string& item)
    {
        size_t dot = item.find('.');
        size_t equals = item.find('=');
        size_t from = dot < equals ? dot + 1 : 0;
        std::string section = from ? Resolve(item.substr(0, dot)) : "default";
        std::string key = item.substr(from, equals - from);
        std::string value = Resolve(item.substr(equals + 1));
        return Done(
            WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), cfg.c_str()));
    }
    // manager: this row's manager; @sh\, @dir\ and @user its directories and user.
    std::string Resolve(std::string text)
    {
        char user[256] = "";
        DWORD size = sizeof user;
        GetUserNameA(user, &size);
        if (text == "manager")
            return exe;
        for (auto place : { std::make_pair("@sh\\", sh), std::make_pair("@dir\\", dir),
                 std::make_pair("@user", std::string(user)) })
            for (size_t at; (at = text.find(place.first)) != std::string::npos;)
                text.replace(at, strlen(place.first), place.second);
        return text;
    }
    // storm SEED N TEXTS: N seeded control and stray messages in bursts, shells killed from
    // outside, every window answered; boxes only with one of the TEXTS.
    bool Storm(const Words& w)
    {
        static const UINT kinds[] = { kMessages.at("swap"), kMessages.at("kill"),
            kMessages.at("restart"), kMessages.at("swaptheme"), kMessages.at("terminated"), 0, 1 };
        unsigned seed = atoi(w[1].c_str());
        int count = atoi(w[2].c_str());
        for (size_t i = 3; i < w.size(); i++)
            if (!gTexts.count(w[i]))
                return Fail("no such text: " + w[i]);
        // The answers vary with the burst, not the generator: the same messages whatever came.
        auto next = [&] {
            return (seed = seed * 1103515245u + 12345u) >> 16;
        };
        int posted = 0;
        stores.erase("wallpaper"); // the themes it installed: any
        for (int bursts = 0; posted < count; bursts++) {
            for (unsigned n = 1 + next() % 8; n > 0; n--, posted++) {
                UINT message = kinds[next() % 7];
                if (message == 1) {
                    KillIn(sh);
                    continue;
                }
                if (message == 0) { // a stray: any number from WM_USER on but the control messages
                    do
                        message = WM_USER + next() % (0x10000 - WM_USER);
                    while (message >= 1025 && message <= 1034);
                }
                PostMessageA(Manager(), message, next(), next());
            }
            for (HWND window; Handled() && (Poll(), window = TakeWindow(0)) != NULL;) {
                // A window can close before its turn: a nested handler's answer may end it first.
                std::string kind = KindOf(window);
                auto isAllowed = [&](const std::string& text) {
                    return kind == "box \"" + gTexts[text] + "\"";
                };
                if (!IsWindow(window))
                    continue;
                if (kind != "terminated" && kind != "themes"
                    && std::none_of(w.begin() + 3, w.end(), isAllowed))
                    return Fail("storm: unexpected " + kind + " after " + N(posted) + " messages");
                if (kind == "terminated")
                    PostMessageA(GetDlgItem(window, bursts % 2 ? IDC_LITESTEP : IDC_EXPLORER),
                        BM_CLICK, 0, 0);
                if (kind == "themes")
                    SendDlgItemMessageA(window, IDC_THEMELIST, LB_SETCURSEL, bursts % 3, 0);
                PostMessageA(
                    window, WM_COMMAND, kind == "themes" && bursts % 4 == 0 ? IDCANCEL : IDOK, 0);
            }
            taken = Events().size(); // no order to hold the stand-ins to here
            if (!Manager() || KeyDown())
                return Fail("the manager gone, or a key down once idle, burst " + N(bursts));
        }
        return true;
    }

    // cycles N: the manager's threads and handles stay flat over N restarts after N to warm up. The
    // one allowance: what Wine's own WaitForInputIdle leaves in its caller, as this process keeps
    // it, waiting for each shell too.
    bool Cycles(const Words& w)
    {
        DWORD me = GetCurrentProcessId();
        DWORD pid = GetProcessId(managers.front());
        int count = atoi(w[1].c_str());
        int base = 0;
        int threads = 0;
        int mine = 0;
        for (int n = -count; n < count; n++) {
            if (n == 0) { // the watcher held: nothing else of ours makes handles meanwhile
                Locked held(lock);
                base = Handles(pid);
                threads = Threads(pid);
                mine = Handles(me);
            }
            if (!PostMessageA(Manager(), kMessages.at("restart"), 0, 0)
                || !Wait({ "wait", "litestep", "restart" }) || !Handled())
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
                int nowThreads = Threads(pid);
                int nowHandles = Handles(pid);
                int wineLeak = Handles(me) - mine;
                growth = "threads " + N(threads) + " to " + N(nowThreads) + ", handles " + N(base)
                    + " to " + N(nowHandles) + "; Wine's own WaitForInputIdle left " + N(wineLeak);
                return base > 0 && nowThreads <= threads && nowHandles - base <= wineLeak;
            },
            5000);
        return count > 0 && (flat || Fail("grew: " + growth));
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

// What a run stopped half-way left running is ended first; a selection of no row fails (GoogleTest
// would pass it, and set up no environment for it).
struct Whole : testing::EmptyTestEventListener {
    void OnTestProgramStart(const testing::UnitTest&) override
    {
        KillIn(kBin + "scratch\\");
    }
    void OnTestIterationEnd(const testing::UnitTest& run, int) override
    {
        if (run.test_to_run_count() == 0 && printf("no row selected\n"))
            ExitProcess(1);
    }
};
bool Listen()
{
    testing::UnitTest::GetInstance()->listeners().Append(new Whole);
    return true;
}
const bool gListening = Listen();

} // namespace
