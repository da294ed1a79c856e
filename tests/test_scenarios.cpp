// The end-to-end scenarios: each row of scenarios.txt (its verbs are listed at its top) is one test,
// run against a copy of the manager in a scratch directory of its own. QF_EXE names the manager to
// copy (default: this build's; a path relative to the source tree will do); QF_ROWS keeps the rows
// whose name contains it. The figures that the load rows count go to robustness.txt beside the
// build, and only when every test passed.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "app/message_box.h"
#include "config/state.h"
#include "control/control.h"
#include "res/resource.h"
#include "shell/shell.h"

namespace {

typedef std::vector<std::string> Words;
struct Step { int line; Words words; std::string text; };
struct Row { std::string name; std::vector<Step> steps; };
struct Process { DWORD pid, parent; std::string role; };

constexpr DWORD kWaitMs = 40000;   // for anything the manager does; a busy shell costs it 30 s
const std::string kBin = QF_BIN_DIR_WIN "\\";
const char kAppDefaults[] = "Software\\Wine\\AppDefaults\\Quillfern.exe";
std::map<std::string, std::string> gTexts = {{"SystemShellFailed", kSystemShellFailed}};
std::vector<std::string> gFigures;

template <typename F> bool WaitUntil(F done, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount(); !done(); Sleep(20))
        if (GetTickCount() - start > timeoutMs)
            return done();
    return true;
}

std::wstring Wide(const std::string &text) { return std::wstring(text.begin(), text.end()); }
std::string N(long long number) { return std::to_string(number); }

std::string Join(const Words &words, size_t from)
{
    std::string text;
    for (size_t i = from; i < words.size(); i++)
        text += (i > from ? " " : "") + words[i];
    return text;
}

// Wide file functions: a path may pass MAX_PATH.
std::string ReadText(const std::string &path)
{
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    std::string text = file == INVALID_HANDLE_VALUE ? "<missing>" : "";
    char chunk[4096];
    for (DWORD got; file != INVALID_HANDLE_VALUE && ReadFile(file, chunk, sizeof chunk, &got, NULL) && got;)
        text.append(chunk, got);
    CloseHandle(file);
    return text;
}

bool WriteText(const std::string &path, const std::string &text)
{
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(file);
    return written == text.size();
}

HANDLE Start(const std::string &exe, const std::string &args)
{
    std::wstring line = Wide("\"" + exe + "\" " + args), dir = Wide(exe.substr(0, exe.rfind('\\') + 1));
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION info = {};
    // Wine starts a program whose path passes MAX_PATH only by its bare name, from its directory.
    if (!CreateProcessW(Wide(exe).c_str(), &line[0], NULL, NULL, FALSE, 0, NULL, dir.c_str(), &startup, &info) &&
        SetCurrentDirectoryW(dir.c_str()))
        CreateProcessW(Wide(exe.substr(exe.rfind('\\') + 1)).c_str(), &line[0], NULL, NULL, FALSE, 0, NULL, NULL,
                       &startup, &info);
    CloseHandle(info.hThread);
    return info.hProcess;
}

DWORD Finish(HANDLE process)
{
    DWORD code = STILL_ACTIVE;
    WaitForSingleObject(process, kWaitMs);
    GetExitCodeProcess(process, &code);
    return code;
}

// Wide: the too-long-path rows leave paths that cmd's rmdir cannot take.
void RemoveTree(const std::wstring &dir)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileW((dir + found.cFileName).c_str());
        else if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L".."))
            RemoveTree(dir + found.cFileName + L"\\");
    FindClose(search);
    RemoveDirectoryW(dir.c_str());
}

int RunShell(const std::string &command)
{
    HANDLE process = Start("C:\\windows\\system32\\cmd.exe", "/c " + command + " >nul 2>nul");
    DWORD code = Finish(process);
    CloseHandle(process);
    return (int)code;
}

// The processes whose image lies under dir; their roles are their file names less ".exe".
std::vector<Process> ProcessesIn(const std::string &dir)
{
    std::vector<Process> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry = {sizeof entry};
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        char path[2 * MAX_PATH] = "";
        DWORD size = sizeof path;
        if (process && QueryFullProcessImageNameA(process, 0, path, &size) && !_strnicmp(path, dir.c_str(), dir.size()))
            found.push_back({entry.th32ProcessID, entry.th32ParentProcessID,
                             CharLowerA(std::string(entry.szExeFile, strcspn(entry.szExeFile, ".")).data())});
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

void KillIn(const std::string &dir)
{
    for (const Process &entry : ProcessesIn(dir)) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.pid);
        TerminateProcess(process, 0xDEAD);
        WaitForSingleObject(process, kWaitMs);
        CloseHandle(process);
    }
}

// A Winlogon value (or one under key): its text, a DWORD in decimal, or "<missing>".
std::string RegValue(HKEY root, const char *value, const char *key = kWinlogonKey)
{
    BYTE data[1024] = {};
    DWORD type = 0, size = sizeof data - 1;
    if (RegGetValueA(root, key, value, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) != ERROR_SUCCESS)
        return "<missing>";
    return type == REG_DWORD ? N(*(DWORD *)data) : std::string((char *)data);
}

// A registry value as it was, put back (or removed again) at the end of the row.
struct SavedValue {
    HKEY root;
    const char *key, *value;
    BYTE data[1024];
    DWORD type = 0, size = sizeof data;
    LONG status = RegGetValueA(root, key, value, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size);
    ~SavedValue()
    {
        HKEY handle;
        RegCreateKeyExA(root, key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &handle, NULL);
        status == ERROR_SUCCESS ? RegSetValueExA(handle, value, 0, type, data, size) : RegDeleteValueA(handle, value);
        RegCloseKey(handle);
    }
};

// Handles by object type, as the system lists them (GetProcessHandleCount answers 0 under Wine).
std::map<int, int> Handles(DWORD pid)
{
    struct Entry { ULONG owner; BYTE type, flags; USHORT value; PVOID object; ULONG access; };
    static auto query = (LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG))(void *)GetProcAddress(
        GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    std::vector<char> buffer(1 << 22);
    std::map<int, int> types;
    if (query(16 /* SystemHandleInformation */, buffer.data(), (ULONG)buffer.size(), NULL) == 0)
        for (ULONG i = 0; i < *(ULONG *)buffer.data(); i++) {
            const Entry &entry = ((const Entry *)(buffer.data() + sizeof(ULONG_PTR)))[i];
            types[entry.type] += entry.owner == pid;
        }
    return types;
}

int Threads(DWORD pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {sizeof entry};
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == pid;
    CloseHandle(snapshot);
    return count;
}

std::string TextOf(HWND window)
{
    char text[1024] = "";
    DWORD_PTR got;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 5000, &got);
    return text;
}

// A window captioned like ours, told by its controls: a message box with its text, or a dialog.
std::string KindOf(HWND window)
{
    if (!IsWindow(window))
        return "window that closed by itself";
    if (GetDlgItem(window, IDC_THEMELIST))
        return "themes";
    if (!GetDlgItem(window, IDC_PROMPT))
        return "box \"" + TextOf(GetDlgItem(window, 0xFFFF)) + "\"";
    return IsWindowVisible(GetDlgItem(window, IDC_TERMINATE)) ? "choice" : "terminated";
}

// Rows: "[name]", then its steps, separated by ';' or line ends; texts: "text NAME = ...".
std::vector<Row> LoadRows()
{
    std::vector<Row> rows;
    std::istringstream in(ReadText(QF_SOURCE_DIR_WIN "\\tests\\scenarios.txt"));
    std::string line, step;
    for (int number = 1; std::getline(in, line); number++) {
        line.erase(line.find_last_not_of(" \r") + 1);
        size_t equals = line.find(" = ");
        if (line.compare(0, 5, "text ") == 0) {
            std::string text = line.substr(equals + 3);
            for (size_t at; (at = text.find("\\n")) != std::string::npos;)
                text.replace(at, 2, "\n");
            gTexts[line.substr(5, equals - 5)] = text;
        } else if (line[0] == '[') {
            rows.push_back({line.substr(1, line.size() - 2), {}});
        } else if (line[0] != '#' && !rows.empty()) {
            for (std::istringstream steps(line); std::getline(steps, step, ';');) {
                std::istringstream split(step);
                Words words{std::istream_iterator<std::string>(split), std::istream_iterator<std::string>()};
                if (!words.empty())
                    rows.back().steps.push_back({number, words, step.substr(step.find_first_not_of(' '))});
            }
        }
    }
    const char *only = getenv("QF_ROWS");
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [&](const Row &row) { return only && row.name.find(only) == std::string::npos; }),
               rows.end());
    return rows;
}

std::string ManagerToCopy()
{
    std::string path = getenv("QF_EXE") ? getenv("QF_EXE") : "";
    std::replace(path.begin(), path.end(), '/', '\\');
    if (path.empty())
        return kBin + "Quillfern.exe";
    return path[0] == '\\' ? "Z:" + path : path[1] == ':' ? path : QF_SOURCE_DIR_WIN "\\" + path;
}

class Scene {
public:
    explicit Scene(const Row &row) : row(row)
    {
        std::string name = row.name;
        std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum((unsigned char)c); }, '_');
        dir = kBin + "scratch\\" + name + "\\", sh = dir + "sh\\";
        RemoveTree(Wide(dir));
        CreateDirectoryA((kBin + "scratch").c_str(), NULL);
        CreateDirectoryA(dir.c_str(), NULL);
        CreateDirectoryA(sh.c_str(), NULL);
        for (const char *role : {"litestep", "explorer", "altshell", "folder", "probe"})
            CopyFileA((kBin + "testbin\\standin.exe").c_str(), (sh + role + ".exe").c_str(), FALSE);
        WriteText(sh + "step.rc", "own step.rc");
        WriteText(sh + "modules.ini", "own modules.ini");
        PlaceManager(dir + "mgr\\");
        char windows[MAX_PATH];
        GetWindowsDirectoryA(windows, MAX_PATH);
        systemIni = windows + std::string("\\system.ini"), systemIniText = ReadText(systemIni);
        saved.emplace_back(new SavedValue{HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell"});
        saved.emplace_back(new SavedValue{HKEY_LOCAL_MACHINE, kWinlogonKey, "AutoRestartShell"});
        saved.emplace_back(new SavedValue{HKEY_CURRENT_USER, kWinlogonKey, "Shell"});
        saved.emplace_back(new SavedValue{HKEY_CURRENT_USER, kAppDefaults, "Version"});
        for (const char *item : {"Quillfern.litestep_exe=@sh\\litestep.exe", "Quillfern.explorer_exe=@sh\\explorer.exe",
                                 "Alternate_Shells.altshell_name_1=Alt", "Alternate_Shells.altshell_path_1=@sh\\altshell.exe",
                                 "shell=litestep_exe", "kill_delay=5"})
            Set(item);
        // A key that an earlier row left down is let go: that row has failed for it already.
        for (BYTE key : {VK_SHIFT, VK_CONTROL})
            if (GetAsyncKeyState(key) & 0x8000)
                keybd_event(key, 0, KEYEVENTF_KEYUP, 0);
        InitializeCriticalSection(&lock);
        watcher = CreateThread(NULL, 0, Watch, this, 0, NULL);
    }

    ~Scene()
    {
        stop = 1;
        WaitForSingleObject(watcher, INFINITE);
        KillIn(dir);
        for (HANDLE process : managers)
            CloseHandle(process);
        if (winlogonGone)
            Reg("import " + dir + "winlogon.reg");
        RemoveDirectoryA(systemIni.c_str());
        WriteText(systemIni, systemIniText);
        DeleteCriticalSection(&lock);
    }

    // Every box and dialog must be taken by a step: each other step first checks that none waits.
    void Run()
    {
        for (const Step &s : row.steps) {
            step = &s;
            const std::string &verb = s.words[0];
            if (!verbs.count(verb) ? !Fail("unknown verb")
                                   : !(verb == "box" || verb == "dialog" || (FinishClients() && NoWindows())) ||
                                         !verbs[verb](s.words))
                return;
        }
        step = NULL;
        if (FinishClients() && (!Manager() || Sync()))
            NoWindows();
        EXPECT_LE(maxShells, 1) << "row [" << row.name << "]: shell processes running at once";
    }

private:
    const Row &row;
    const Step *step = NULL;
    std::string dir, sh, mgr, exe, systemIni, systemIniText;
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> config;
    std::vector<std::unique_ptr<SavedValue>> saved;
    std::vector<HANDLE> managers, clients;
    std::map<std::string, size_t> cursor;
    bool win98 = false, winlogonGone = false;
    CRITICAL_SECTION lock;
    HANDLE watcher;
    volatile LONG stop = 0, maxShells = 0;
    std::deque<HWND> queue;
    std::set<HWND> seen;
    HWND dialog = NULL;

    bool Fail(const std::string &what)
    {
        std::string where = step ? "line " + N(step->line) + " `" + step->text + "`" : "the end", pending;
        EnterCriticalSection(&lock);
        for (HWND window : queue)
            pending += "\n  unanswered: " + KindOf(window);
        LeaveCriticalSection(&lock);
        ADD_FAILURE() << "row [" << row.name << "], " << where << ": " << what << pending;
        return false;
    }

    // Every visible window captioned like ours, queued once, in the order they came; and the
    // managers' children, never two at once.
    void Poll()
    {
        std::vector<HWND> found;
        EnumWindows([](HWND window, LPARAM list) -> BOOL {
            char name[64] = "", caption[64] = "";
            GetClassNameA(window, name, sizeof name);
            GetWindowTextA(window, caption, sizeof caption);
            if (IsWindowVisible(window) && !strcmp(name, "#32770") && !strncmp(caption, kCaption, strlen(kCaption)))
                ((std::vector<HWND> *)list)->push_back(window);
            return TRUE;
        }, (LPARAM)&found);
        EnterCriticalSection(&lock);
        for (auto it = seen.begin(); it != seen.end();)
            it = IsWindow(*it) ? std::next(it) : seen.erase(it);
        for (HWND window : found)
            if (seen.insert(window).second)
                queue.push_back(window);
        std::set<DWORD> owners;
        for (HANDLE process : managers)
            owners.insert(GetProcessId(process));
        LONG shells = 0;
        for (const Process &process : ProcessesIn(sh))
            shells += owners.count(process.parent);
        maxShells = std::max<LONG>(LONG(maxShells), shells);
        LeaveCriticalSection(&lock);
    }

    static DWORD WINAPI Watch(void *scene)
    {
        for (Scene *s = (Scene *)scene; !s->stop; Sleep(15))
            s->Poll();
        return 0;
    }

    HWND TakeWindow(DWORD timeoutMs)
    {
        HWND window = NULL;
        WaitUntil([&] {
            EnterCriticalSection(&lock);
            if (!queue.empty())
                window = queue.front(), queue.pop_front();
            LeaveCriticalSection(&lock);
            return window != NULL;
        }, timeoutMs);
        return window;
    }

    bool NoWindows()
    {
        EnterCriticalSection(&lock);
        bool none = queue.empty();
        LeaveCriticalSection(&lock);
        return none || Fail("a box or dialog that the row does not list");
    }

    bool FinishClients()
    {
        bool ok = true;
        for (HANDLE client : clients) {
            DWORD code = Finish(client);
            CloseHandle(client);
            ok = ok && (code == 0 || Fail(code == STILL_ACTIVE ? "the client did not end" : "client exit code " + N(code)));
        }
        clients.clear();
        return ok;
    }

    HWND Manager() { return FindWindowA(kControlClassName, NULL); }

    // Every message posted to the manager so far has been handled once it has taken one more:
    // WM_SETREDRAW, whose mark (WS_VISIBLE) shows it was taken, in its own loop or a modal one.
    bool Sync()
    {
        HWND control = Manager();
        for (BOOL mark : {TRUE, FALSE}) {
            PostMessageA(control, WM_SETREDRAW, mark, 0);
            if (!WaitUntil([&] { return !IsWindow(control) || !(GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) == !mark; },
                           kWaitMs))
                return Fail("the manager stopped taking messages");
        }
        return IsWindow(control) || Fail("the manager has gone");
    }

    void PlaceManager(const std::string &where)
    {
        mgr = where, exe = mgr + "Quillfern.exe";
        CreateDirectoryW(Wide(mgr).c_str(), NULL);
        CopyFileW(Wide(ManagerToCopy()).c_str(), Wide(exe).c_str(), FALSE);
    }

    // SECTION.KEY=VALUE, or KEY=VALUE of [default]; @user is the user's section.
    void Set(const std::string &item)
    {
        size_t dot = item.find('.'), equals = item.find('=');
        bool sectioned = dot < equals;
        std::string section = sectioned ? item.substr(0, dot) : "default";
        std::string key = item.substr(sectioned ? dot + 1 : 0, equals - (sectioned ? dot + 1 : 0));
        char user[256];
        DWORD size = sizeof user;
        if (section == "@user" && GetUserNameA(user, &size))
            section = user;
        auto at = std::find_if(config.begin(), config.end(), [&](const auto &s) { return s.first == section; });
        auto &keys = at != config.end() ? at->second : config.insert(config.end(), {section, {}})->second;
        auto old = std::find_if(keys.begin(), keys.end(), [&](const auto &k) { return k.first == key; });
        (old != keys.end() ? old : keys.insert(keys.end(), {key, ""}))->second = Resolve(item.substr(equals + 1));
    }

    bool WriteConfig()
    {
        std::string text;
        for (const auto &section : config) {
            text += "[" + section.first + "]\r\n";
            for (const auto &key : section.second)
                text += key.first + "=" + key.second + "\r\n";
        }
        return WriteText(mgr + "Quillfern.cfg", text) || Fail("cannot write Quillfern.cfg");
    }

    bool Reg(const std::string &args) { return RunShell("reg " + args) == 0 || Fail("reg " + args + " failed"); }

    // manager, litestep, alt: this row's programs; @sh\ and @dir\ its directories.
    std::string Resolve(const std::string &token)
    {
        if (token == "manager" || token == "litestep" || token == "alt")
            return token == "manager" ? exe : sh + (token == "alt" ? "altshell" : token) + ".exe";
        std::string text = token;
        for (auto place : {std::make_pair("@sh\\", sh), std::make_pair("@dir\\", dir)})
            for (size_t at; (at = text.find(place.first)) != std::string::npos;)
                text.replace(at, strlen(place.first), place.second);
        return text;
    }

    bool Expect(const Words &w)
    {
        std::string want = Join(w, w[1] == "reg" ? 4 : w[1] == "file" ? 3 : 2), got;
        want = w[1] == "shell" ? Resolve(want) : want;
        std::function<std::string()> read = [&] {
            char text[1024];
            Words roles;
            if (w[1] == "running") {
                for (const Process &process : ProcessesIn(sh))
                    roles.push_back(process.role);
                std::sort(roles.begin(), roles.end());
                return roles.empty() ? "none" : Join(roles, 0);
            }
            if (w[1] == "reg" || (w[1] == "shell" && !win98))
                return RegValue(w[1] == "reg" && w[2] == "HKCU" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE,
                                w[1] == "reg" ? w[3].c_str() : "Shell");
            if (w[1] == "file")
                return ReadText(dir + w[2]);
            if (w[1] == "keys")
                return std::string((GetAsyncKeyState(VK_SHIFT) | GetAsyncKeyState(VK_CONTROL)) & 0x8000 ? "down" : "up");
            GetPrivateProfileStringA("boot", "shell", "<missing>", text, sizeof text, systemIni.c_str());
            return std::string(text);
        };
        return WaitUntil([&] { return _stricmp((got = read()).c_str(), want.c_str()) == 0; }, kWaitMs) ||
               Fail("expected " + w[1] + " \"" + want + "\", got \"" + got + "\"");
    }

    // The next "ROLE EVENT" line of events.log after the last one taken for ROLE, xN times.
    bool WaitEvent(const Words &w)
    {
        std::string prefix = w[1] + " " + w[2], want = prefix, line;
        bool keys = w.size() > 3 && w[3][0] != 'x';
        if (keys)
            want += w[3] == "shift" ? " shift=1 control=0" : w[3] == "control" ? " shift=0 control=1" : " shift=0 control=0";
        for (int n = 1; n <= (w.back()[0] == 'x' ? atoi(w.back().c_str() + 1) : 1); n++) {
            bool seen = WaitUntil([&] {
                std::istringstream in(ReadText(sh + "events.log"));
                for (size_t index = 0; std::getline(in, line); index++)
                    if (index >= cursor[w[1]] && line.compare(0, prefix.size(), prefix) == 0)
                        return cursor[w[1]] = index + 1, line.erase(line.find_last_not_of('\r') + 1), true;
                return false;
            }, kWaitMs);
            if (!seen || (keys && line != want))
                return Fail("expected \"" + want + "\" (" + N(n) + "), got \"" + line + "\"; events.log:\n" +
                            ReadText(sh + "events.log"));
        }
        return true;
    }

    bool Box(const Words &w)
    {
        HWND box = TakeWindow(kWaitMs);
        std::string got = box ? KindOf(box) : "nothing";
        int id = w[2] == "yes" ? IDYES : w[2] == "no" ? IDNO : IDOK;
        if (!gTexts.count(w[1]) || got != "box \"" + gTexts[w[1]] + "\"")
            return Fail("expected box " + w[1] + ", got " + got);
        return (GetDlgItem(box, id) && PostMessageA(box, WM_COMMAND, id, 0)) || Fail("the box has no " + w[2]);
    }

    // The dialog still open from the step before, or the next window.
    bool Dialog(const Words &w)
    {
        static const std::map<std::string, int> ids = {
            {"litestep", IDC_LITESTEP}, {"explorer", IDC_EXPLORER}, {"other", IDC_REBOOT_OTHER},
            {"logoff", IDC_LOGOFF}, {"shutdown", IDC_SHUTDOWN}, {"terminate", IDC_TERMINATE}};
        if (!dialog || !IsWindow(dialog) || KindOf(dialog) != w[1])
            dialog = TakeWindow(kWaitMs);
        if (!dialog || KindOf(dialog) != w[1])
            return Fail("expected dialog " + w[1] + ", got " + (dialog ? KindOf(dialog) : "nothing"));
        HWND list = GetDlgItem(dialog, IDC_THEMELIST);
        for (size_t i = 2; i < w.size(); i++) {
            std::string act = w[i], arg = act.substr(act.find('=') + 1), items;
            int id = ids.count(arg) ? ids.at(arg) : -1;
            bool ok = true;
            if (act.compare(0, 3, "is=") == 0)
                ok = IsDlgButtonChecked(dialog, id) == BST_CHECKED;
            else if (act.compare(0, 6, "click=") == 0)
                ok = PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
            else if (act == "counting" || act == "stopped")
                ok = WaitUntil([&] { return (TextOf(dialog) == kCaption) == (act == "stopped"); }, kWaitMs);
            else if (act == "closes")
                ok = WaitUntil([&] { return !IsWindow(dialog); }, kWaitMs);
            else if (act.compare(0, 6, "items=") == 0) {
                for (LRESULT n = 0; n < SendMessageA(list, LB_GETCOUNT, 0, 0); n++) {
                    wchar_t item[128] = L"";   // the ANSI message comes back cut from another process
                    SendMessageW(list, LB_GETTEXT, n, (LPARAM)item);
                    items += (n ? "," : "") + std::string(item, item + wcslen(item));
                }
                ok = items == arg;
            } else if (act.compare(0, 5, "pick=") == 0)
                ok = SendMessageA(list, LB_SETCURSEL, atoi(arg.c_str()) - 1, 0) != LB_ERR;
            else if (act == "ok" || act == "cancel")
                PostMessageA(dialog, WM_COMMAND, act == "ok" ? IDOK : IDCANCEL, 0);
            else
                ok = false;
            if (!ok)
                return Fail("dialog " + w[1] + ": " + act + " does not hold " + items);
        }
        return true;
    }

    // Seeded bursts of control and stray messages. Every window they bring is answered before the
    // next burst (boxes only with one of the texts allowed); then no key may be down.
    bool Storm(unsigned seed, int count, const Words &allowed)
    {
        // 0: a stray message; 1: the shell killed from outside, which brings the shell-terminated dialog.
        static const UINT kinds[] = {CM_SWAP, CM_KILL, CM_RESTART, CM_SWAPTHEME, CM_SHELLTERMINATED, 0, 1};
        std::map<std::string, int> tally;
        std::string figures = "storm: seed " + N(seed);
        int posted = 0, bursts = 0;
        auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
        for (; posted < count; bursts++) {
            for (unsigned n = 1 + next() % 8; n > 0; n--, posted++) {
                UINT message = kinds[next() % 7];
                tally[message > 1 ? "control message " + N(message) : message ? "shells killed" : "stray messages"]++;
                if (message == 1) {
                    KillIn(sh);
                    continue;
                }
                for (bool stray = !message; stray && (!message || (message >= CM_SHELLTERMINATED && message <= CM_NUKE));)
                    message = WM_USER + next() % (0x10000 - WM_USER);
                PostMessageA(Manager(), message, next(), next());
            }
            for (HWND window; Sync() && (Poll(), window = TakeWindow(0)) != NULL;) {
                std::string kind = KindOf(window);
                tally["answered " + kind.substr(0, kind.find(' '))]++;
                if (kind == "terminated")
                    PostMessageA(GetDlgItem(window, next() % 2 ? IDC_LITESTEP : IDC_EXPLORER), BM_CLICK, 0, 0);
                if (kind == "themes")
                    SendDlgItemMessageA(window, IDC_THEMELIST, LB_SETCURSEL, next() % 3, 0);
                if (kind != "terminated" && kind != "themes" &&
                    std::none_of(allowed.begin(), allowed.end(), [&](auto &t) { return kind == "box \"" + gTexts[t] + "\""; }))
                    return Fail("storm: unexpected " + kind + " after " + N(posted) + " messages");
                PostMessageA(window, WM_COMMAND, kind == "themes" && next() % 4 == 0 ? IDCANCEL : IDOK, 0);
            }
            if (!Manager() || (GetAsyncKeyState(VK_SHIFT) | GetAsyncKeyState(VK_CONTROL)) & 0x8000)
                return Fail("the manager gone, or a key down once it is idle, burst " + N(bursts));
        }
        for (const auto &t : tally)
            figures += "; " + t.first + " " + N(t.second);
        gFigures.push_back(figures + "; " + N(posted) + " messages in " + N(bursts) +
                           " bursts; shell processes at once at most " + N(maxShells));
        return true;
    }

    // The manager's threads and handles stay flat over repeated spawns. The one allowance: the
    // events that Wine's own WaitForInputIdle leaves in any caller, measured in this process over
    // as many calls, with the watcher held so that nothing else of ours makes handles meanwhile.
    bool Cycles(int count)
    {
        DWORD me = GetCurrentProcessId(), pid = GetProcessId(managers.front()), start = GetTickCount();
        HANDLE probe = Start(sh + "probe.exe", "");
        WaitForInputIdle(probe, kWaitMs);
        EnterCriticalSection(&lock);
        std::map<int, int> before = Handles(me), base, now;
        HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL);
        int eventType = -1, baseThreads = 0, threads = 0, wineLeak = 0;
        for (const auto &t : Handles(me))
            eventType = t.second > before[t.first] ? t.first : eventType;
        CloseHandle(event);
        wineLeak = -Handles(me)[eventType];
        for (int n = 0; n < count; n++)
            WaitForInputIdle(probe, kWaitMs);
        wineLeak += Handles(me)[eventType];
        LeaveCriticalSection(&lock);
        TerminateProcess(probe, 0);
        CloseHandle(probe);
        for (int n = -3; n < count; n++) {   // three to warm up
            if (n == 0)
                base = Handles(pid), baseThreads = Threads(pid);
            if (!(PostMessageA(Manager(), CM_RESTART, 0, 0) && WaitEvent({"", "litestep", "start"}) && Sync()))
                return false;
        }
        std::string growth;
        bool flat = WaitUntil([&] {
            now = Handles(pid), threads = Threads(pid);
            growth = "threads " + N(baseThreads) + " to " + N(threads);
            bool within = threads <= baseThreads;
            for (const auto &t : now) {
                growth += "; handles of type " + N(t.first) + (t.first == eventType ? " (events) " : " ") +
                          N(base[t.first]) + " to " + N(t.second);
                within = within && t.second - base[t.first] <= (t.first == eventType ? wineLeak : 0);
            }
            return within;
        }, 5000);
        growth = N(count) + " restarts in " + N(GetTickCount() - start) + " ms: " + growth +
                 "; Wine's own WaitForInputIdle leaves " + N(wineLeak) + " events in " + N(count) +
                 " calls (measured in the test process)";
        gFigures.push_back("spawns: " + growth);
        return flat || Fail("grew: " + growth);
    }

    bool Started(const std::string &verb, const Words &w)
    {
        HANDLE process = WriteConfig() ? Start(exe, Join(w, 1)) : NULL;
        EnterCriticalSection(&lock);
        (verb == "start" ? managers : clients).push_back(process);
        LeaveCriticalSection(&lock);
        return process || Fail("cannot start " + exe);
    }

    bool Post(const Words &w)
    {
        static const std::map<std::string, UINT> messages = {
            {"terminated", CM_SHELLTERMINATED}, {"swap", CM_SWAP}, {"kill", CM_KILL}, {"quit", CM_QUIT},
            {"swaptheme", CM_SWAPTHEME}, {"restart", CM_RESTART}, {"nuke", CM_NUKE}};
        if (!WaitUntil([&] { return Manager() != NULL; }, kWaitMs) || !messages.count(w[1]))
            return Fail("no manager window, or no such message");
        for (int n = w.back()[0] == 'x' ? atoi(w.back().c_str() + 1) : 1; n > 0; n--)
            PostMessageA(Manager(), messages.at(w[1]), 0, 0);
        return true;
    }

    bool Themes(int count)
    {
        for (int n = 1; n <= count; n++) {
            std::string name = "t" + N(n), path = "@dir\\" + name;
            CreateDirectoryA((dir + name).c_str(), NULL);
            WriteText(dir + name + "\\step.rc", "step.rc of " + name);
            WriteText(dir + name + "\\modules.ini", "modules.ini of " + name);
            for (const char *key : {"name", "path", "back"})
                Set("Themes.theme_" + std::string(key) + "_" + N(n) + "=" +
                    (key[0] == 'n' ? name : key[0] == 'p' ? path : path + "\\back.bmp"));
        }
        return true;
    }

    bool Exits()
    {
        for (HANDLE process : managers)
            if (DWORD code = Finish(process))
                return Fail("manager exit code " + N(code));
        return true;
    }

    bool Hold(int seconds)
    {
        std::string log = ReadText(sh + "events.log");
        return !WaitUntil([&] { return ReadText(sh + "events.log") != log || !NoWindows(); }, seconds * 1000) ||
               Fail("something happened");
    }

    const std::string winlogon = "\"HKLM\\" + std::string(kWinlogonKey) + "\"";
    std::map<std::string, std::function<bool(const Words &)>> verbs = {
        {"cfg", [&](const Words &w) { std::for_each(w.begin() + 1, w.end(), [&](auto &item) { Set(item); }); return true; }},
        {"themes", [&](const Words &w) { return Themes(atoi(w[1].c_str())); }},
        {"behave", [&](const Words &w) { return WriteText(sh + w[1] + ".txt", Join(w, 2)) || Fail("cannot"); }},
        {"write", [&](const Words &w) { return WriteText(dir + w[1], Join(w, 2)) || Fail("cannot"); }},
        {"remove", [&](const Words &w) { return DeleteFileA((dir + w[1]).c_str()) || Fail("cannot"); }},
        {"mkdir", [&](const Words &w) { return CreateDirectoryA((dir + w[1]).c_str(), NULL) || Fail("cannot"); }},
        {"platform", [&](const Words &w) {
            win98 = w[1] == "win98" || w[1] == "win95";
            return Reg("add HKCU\\" + std::string(kAppDefaults) + " /v Version /d " + w[1] + " /f"); }},
        {"setreg", [&](const Words &w) {
            return Reg("add \"" + w[1] + "\\" + kWinlogonKey + "\" /v " + w[2] + " /d " + Join(w, 3) + " /f"); }},
        // System.ini becomes a directory: a read-only file stops no one who runs as root.
        {"fault", [&](const Words &w) {
            if (w[1] == "systemini")
                return (DeleteFileA(systemIni.c_str()) && CreateDirectoryA(systemIni.c_str(), NULL)) || Fail("cannot");
            return (winlogonGone = Reg("export " + winlogon + " " + dir + "winlogon.reg /y")) &&
                   Reg("delete " + winlogon + " /f"); }},
        {"longdir", [&](const Words &w) {
            PlaceManager(dir + std::string(atoi(w[1].c_str()) - dir.size() - strlen("\\Quillfern.exe"), 'd') + "\\");
            return true; }},
        {"start", [&](const Words &w) { return Started("start", w); }},
        {"client", [&](const Words &w) { return Started("client", w); }},
        {"launch", [&](const Words &w) { return CloseHandle(Start(sh + w[1] + ".exe", "")) || Fail("cannot"); }},
        {"post", [&](const Words &w) { return Post(w); }},
        {"box", [&](const Words &w) { return Box(w); }},
        {"dialog", [&](const Words &w) { return Dialog(w); }},
        {"wait", [&](const Words &w) { return WaitEvent(w); }},
        {"expect", [&](const Words &w) { return Expect(w); }},
        {"sync", [&](const Words &) { return Sync(); }},
        {"hold", [&](const Words &w) { return Hold(atoi(w[1].c_str())); }},
        {"exits", [&](const Words &) { return Exits(); }},
        {"storm", [&](const Words &w) { return Storm(atoi(w[1].c_str()), atoi(w[2].c_str()), Words(w.begin() + 3, w.end())); }},
        {"cycles", [&](const Words &w) { return Cycles(atoi(w[1].c_str())); }},
    };
};

void PrintTo(const Row &row, std::ostream *out) { *out << row.name; }

class Scenario : public testing::TestWithParam<Row> {};

TEST_P(Scenario, Row) { Scene(GetParam()).Run(); }

INSTANTIATE_TEST_SUITE_P(Table, Scenario, testing::ValuesIn(LoadRows()), [](const testing::TestParamInfo<Row> &info) {
    std::string name = info.param.name;
    std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum((unsigned char)c); }, '_');
    return name;
});

TEST(Scenarios, TableHasRows)
{
    EXPECT_FALSE(LoadRows().empty()) << "no rows in tests\\scenarios.txt, or none whose name holds QF_ROWS";
}

// The figures only when every check of the run passed.
struct Figures : testing::Environment {
    void SetUp() override
    {
        DeleteFileA((kBin + "robustness.txt").c_str());
        KillIn(kBin + "scratch\\");   // what a run stopped half-way left running
    }
    void TearDown() override
    {
        std::string text;
        for (const std::string &line : gFigures)
            text += line + "\r\n";
        if (testing::UnitTest::GetInstance()->Passed() && !gFigures.empty())
            WriteText(kBin + "robustness.txt", text);
    }
};
testing::Environment *const gFiguresEnvironment = testing::AddGlobalTestEnvironment(new Figures);

}  // namespace
