// The end-to-end scenarios: each row of scenarios.txt (its verbs are listed at
// its top) is one test, run against a copy of the manager in a scratch
// directory of its own. QF_EXE names the manager to copy (default: this
// build's Quillfern.exe; a path relative to the source tree is allowed);
// QF_ROWS keeps only the rows whose name contains it. The figures that the
// robustness verbs count go to robustness.txt beside the build, and only when
// every test of the run passed.
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

#include "common/message_box.h"
#include "config/state.h"
#include "control/control.h"
#include "res/resource.h"
#include "shell/shell.h"
#include "support/support.h"

namespace {

constexpr DWORD kWaitMs = 40000;   // for anything the manager does; the busy shell costs it 30 s
typedef std::vector<std::string> Words;
struct Step { int line; Words words; std::string text; };
struct Row { std::string name; std::vector<Step> steps; };

std::map<std::string, std::string> gTexts = {{"SystemShellFailed", kSystemShellFailed}};
std::vector<std::string> gFigures;

std::string Join(const Words &words, size_t from, const char *glue = " ")
{
    std::string text;
    for (size_t i = from; i < words.size(); i++)
        text += (i > from ? glue : "") + words[i];
    return text;
}

std::vector<Row> LoadRows()
{
    std::vector<Row> rows;
    std::istringstream in(ReadTextFile(QF_SOURCE_DIR_WIN "\\tests\\scenarios.txt"));
    const char *only = getenv("QF_ROWS");
    std::string line;
    for (int number = 1; std::getline(in, line); number++) {
        line.erase(0, line.find_first_not_of(" \t"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        Words words;
        std::istringstream split(line);
        for (std::string word; split >> word;)
            words.push_back(word);
        if (words.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            rows.push_back({line.substr(1, line.size() - 2), {}});
        } else if (words[0] == "text" && words.size() > 2) {
            std::string text = line.substr(line.find('=') + 2);
            for (size_t at; (at = text.find("\\n")) != std::string::npos;)
                text.replace(at, 2, "\n");
            gTexts[words[1]] = text;
        } else if (!rows.empty()) {
            rows.back().steps.push_back({number, words, line});
        }
    }
    // QF_ROWS: parts of row names, separated by |.
    std::string wanted = only != NULL ? "|" + std::string(only) + "|" : "";
    rows.erase(std::remove_if(rows.begin(), rows.end(), [&](const Row &row) {
        for (size_t at = 0, end; (end = wanted.find('|', at + 1)) != std::string::npos; at = end)
            if (end > at + 1 && row.name.find(wanted.substr(at + 1, end - at - 1)) != std::string::npos)
                return false;
        return only != NULL;
    }), rows.end());
    return rows;
}

std::string Tail(const std::string &text)
{
    return text.substr(text.size() > 400 ? text.size() - 400 : 0);
}

std::string ManagerToCopy()
{
    const char *exe = getenv("QF_EXE");
    std::string path = exe != NULL ? exe : "";
    std::replace(path.begin(), path.end(), '/', '\\');
    if (path.empty())
        return BinDir() + "Quillfern.exe";
    return path[0] == '\\' ? "Z:" + path : path[1] == ':' ? path : QF_SOURCE_DIR_WIN "\\" + path;
}

std::string WindowText(HWND window)
{
    char text[4096] = "";
    DWORD_PTR got;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 5000, &got);
    return text;
}

// What a window captioned like our boxes is, by the controls it has.
std::string KindOf(HWND window)
{
    if (GetDlgItem(window, IDC_THEMELIST) != NULL)
        return "themes";
    if (GetDlgItem(window, IDC_PROMPT) == NULL)
        return "box";
    return IsWindowVisible(GetDlgItem(window, IDC_TERMINATE)) ? "choice" : "terminated";
}

// Handles by object type, as the system lists them (GetProcessHandleCount
// answers 0 under Wine).
std::map<int, int> HandlesByType(DWORD pid)
{
    struct Entry { ULONG owner; BYTE type, flags; USHORT value; PVOID object; ULONG access; };
    typedef LONG(WINAPI * Query)(ULONG, PVOID, ULONG, PULONG);
    static Query query = (Query)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                       "NtQuerySystemInformation");
    std::vector<char> buffer(1 << 22);
    ULONG got = 0;
    std::map<int, int> types;
    if (query(16 /* SystemHandleInformation */, buffer.data(), (ULONG)buffer.size(), &got) != 0)
        return types;
    const Entry *entries = (const Entry *)(buffer.data() + sizeof(ULONG_PTR));
    for (ULONG i = 0; i < *(ULONG *)buffer.data(); i++)
        if (entries[i].owner == pid)
            types[entries[i].type]++;
    return types;
}

int ThreadCount(DWORD pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == pid;
    CloseHandle(snapshot);
    return count;
}

class Scene {
public:
    explicit Scene(const Row &row) : row(row)
    {
        std::string name = row.name;
        for (char &c : name)
            c = isalnum((unsigned char)c) ? c : '_';
        dir = MakeScratchDir(name);
        sh = dir + "sh\\";
        CreateDirectoryA(sh.c_str(), NULL);
        for (const char *role : {"litestep", "explorer", "altshell", "folder", "probe"})
            CopyFileA((BinDir() + "testbin\\standin.exe").c_str(), (sh + role + ".exe").c_str(), FALSE);
        WriteTextFile(sh + "step.rc", "own step.rc");
        WriteTextFile(sh + "modules.ini", "own modules.ini");
        PlaceManager(dir + "mgr\\");
        char windows[MAX_PATH];
        GetWindowsDirectoryA(windows, MAX_PATH);
        systemIni = std::string(windows) + "\\system.ini";
        systemIniText = ReadTextFile(systemIni);
        for (const char *value : {"Shell", "AutoRestartShell"})
            saved.emplace_back(new SavedRegValue(HKEY_LOCAL_MACHINE, kWinlogonKey, value));
        saved.emplace_back(new SavedRegValue(HKEY_CURRENT_USER, kWinlogonKey, "Shell"));
        for (const char *value : {"Shell", "AutoRestartShell"}) {
            saved.emplace_back(new SavedRegValue(HKEY_LOCAL_MACHINE, kWow64Winlogon, value));
            wow64 += ReadRegValue(HKEY_LOCAL_MACHINE, kWow64Winlogon, value) + ";";
        }
        saved.emplace_back(new SavedRegValue(HKEY_CURRENT_USER, kAppDefaults, "Version"));
        Set("Quillfern", "litestep_exe", sh + "litestep.exe");
        Set("Quillfern", "explorer_exe", sh + "explorer.exe");
        Set("Alternate_Shells", "altshell_name_1", "Alt");
        Set("Alternate_Shells", "altshell_path_1", sh + "altshell.exe");
        Set("default", "shell", "litestep_exe");
        Set("default", "kill_delay", "5");
        InitializeCriticalSection(&lock);
        threads[0] = CreateThread(NULL, 0, WatchThread, this, 0, NULL);
        threads[1] = CreateThread(NULL, 0, SampleThread, this, 0, NULL);
    }

    ~Scene()
    {
        stop = 1;
        if (GetAsyncKeyState(VK_CONTROL) & 0x8000)
            keybd_event(VK_CONTROL, 0, KEYEVENTF_KEYUP, 0);
        WaitForMultipleObjects(2, threads, TRUE, INFINITE);
        KillProcessesUnder(dir);
        for (HANDLE process : managers)
            CloseHandle(process);
        if (winlogonGone)
            Reg("import " + dir + "winlogon.reg");
        RemoveDirectoryA(systemIni.c_str());
        WriteTextFile(systemIni, systemIniText);
        saved.clear();
        DeleteCriticalSection(&lock);
    }

    void Run()
    {
        for (const Step &s : row.steps) {
            step = &s;
            const std::string &verb = s.words[0];
            if (verb != "box" && verb != "dialog" && !(FinishClients() && NoWindows()))
                return;
            if (!Do(s.words))
                return;
        }
        step = NULL;
        if (FinishClients() && (Manager() == NULL || Sync()))
            NoWindows();
        EXPECT_LE(maxShells, 1) << "row [" << row.name << "]: shell processes running at once";
    }

private:
    static constexpr char kAppDefaults[] = "Software\\Wine\\AppDefaults\\Quillfern.exe";
    // Where 64-bit Windows keeps the Winlogon values of 32-bit programs.
    static constexpr char kWow64Winlogon[] = "SOFTWARE\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
    const Row &row;
    const Step *step = NULL;
    std::string dir, sh, mgr, exe, systemIni, systemIniText, wow64, lastBox;
    bool verbatim = false, checking = false;
    int written = -1;       // findings a generated Quillfern.cfg holds, -1: none generated
    volatile HWND spy = NULL;
    volatile UINT spyPosted = 0;
    HANDLE spyThread = NULL;
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> config;
    std::vector<std::unique_ptr<SavedRegValue>> saved;
    std::vector<HANDLE> managers, clients;
    std::map<std::string, size_t> cursor;
    bool win98 = false, winlogonGone = false;
    CRITICAL_SECTION lock;
    HANDLE threads[2];
    volatile LONG stop = 0, maxShells = 0;
    std::deque<HWND> queue;
    std::set<HWND> seen;
    HWND current = NULL;

    bool Fail(const std::string &what)
    {
        std::string where = step != NULL ? "line " + std::to_string(step->line) + " `" + step->text + "`"
                                         : "the end";
        ADD_FAILURE() << "row [" << row.name << "], " << where << ": " << what << Pending();
        return false;
    }

    std::string Pending()
    {
        std::string text;
        EnterCriticalSection(&lock);
        for (HWND window : queue)
            text += "\n  unanswered " + KindOf(window) + ": \"" +
                    WindowText(KindOf(window) == "box" ? GetDlgItem(window, 0xFFFF) : window) + "\"";
        LeaveCriticalSection(&lock);
        return text;
    }

    // Every visible window captioned like ours, once, in the order they came.
    void Poll()
    {
        // Gone windows are forgotten before the look, not after: one that
        // closed during the look would otherwise come back as new.
        EnterCriticalSection(&lock);
        for (auto it = seen.begin(); it != seen.end();)
            it = IsWindow(*it) ? std::next(it) : seen.erase(it);
        LeaveCriticalSection(&lock);
        std::vector<HWND> found;
        EnumWindows([](HWND window, LPARAM list) -> BOOL {
            char name[64] = "", caption[64] = "";
            GetClassNameA(window, name, sizeof name);
            GetWindowTextA(window, caption, sizeof caption);
            if (IsWindowVisible(window) && strcmp(name, "#32770") == 0 &&
                strncmp(caption, kCaption, strlen(kCaption)) == 0)
                ((std::vector<HWND> *)list)->push_back(window);
            return TRUE;
        }, (LPARAM)&found);
        EnterCriticalSection(&lock);
        for (HWND window : found)
            if (seen.insert(window).second)
                queue.push_back(window);
        LeaveCriticalSection(&lock);
    }

    static DWORD WINAPI WatchThread(void *scene)
    {
        for (Scene *s = (Scene *)scene; !s->stop; Sleep(15))
            s->Poll();
        return 0;
    }

    // Never two shells: the manager's children, every 20 ms.
    static DWORD WINAPI SampleThread(void *scene)
    {
        ((Scene *)scene)->Sample();
        return 0;
    }

    void Sample()
    {
        for (; !stop; Sleep(20)) {
            std::set<DWORD> owners;
            for (HANDLE process : managers)
                owners.insert(GetProcessId(process));
            LONG shells = 0;
            for (const ProcessEntry &process : ProcessesUnder(sh))
                shells += owners.count(process.parent) > 0;
            maxShells = std::max<LONG>(LONG(maxShells), shells);
        }
    }

    HWND TakeWindow(DWORD timeoutMs)
    {
        HWND window = NULL;
        WaitUntil([&] {
            EnterCriticalSection(&lock);
            if (!queue.empty()) {
                window = queue.front();
                queue.pop_front();
            }
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
        for (HANDLE client : clients) {
            DWORD code = STILL_ACTIVE;
            bool ended = WaitForSingleObject(client, kWaitMs) == WAIT_OBJECT_0;
            GetExitCodeProcess(client, &code);
            CloseHandle(client);
            int want = checking ? Findings(lastBox) : 0;
            if (!ended || code != (DWORD)want || (checking && written >= 0 && want != written)) {
                clients.clear();
                return Fail(ended ? "client exit code " + std::to_string(code) + ", findings in its box " +
                                        std::to_string(want) + ", written " + std::to_string(written)
                                  : "the client did not end");
            }
        }
        clients.clear();
        return true;
    }

    // The findings a -check box lists: its lines after the heading, "... and N
    // more" counting N; 0 for the file in order, 1 for a lone line. The
    // heading's own figure must agree.
    static int Findings(const std::string &text)
    {
        auto starts = [&](const std::string &prefix) { return text.compare(0, prefix.size(), prefix) == 0; };
        const std::string more = "\n... and ", heading = "Quillfern.cfg, section", colon = "]: ";
        if (starts("Quillfern.cfg is in order"))
            return 0;
        int lines = (int)std::count(text.begin(), text.end(), '\n');
        size_t at = text.find(more), said = text.find(colon);
        int found = at == std::string::npos ? lines : lines - 1 + atoi(text.c_str() + at + more.size());
        int heading_ = starts(heading) && said != std::string::npos ? atoi(text.c_str() + said + colon.size()) : -1;
        return lines == 0 ? 1 : heading_ == found ? found : -1;
    }

    HWND Manager()
    {
        return FindWindowA(kControlClassName, NULL);
    }

    // Every message posted to the manager so far has been handled once it
    // has taken one more: WM_SETREDRAW, whose mark (WS_VISIBLE) shows it was
    // taken, in the manager's own loop or a modal one; set and cleared again.
    bool Sync()
    {
        HWND control = Manager();
        for (BOOL mark : {TRUE, FALSE}) {
            PostMessageA(control, WM_SETREDRAW, mark, 0);
            if (!WaitUntil([&] { return !IsWindow(control) ||
                                        ((GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) != 0) == mark; }, kWaitMs))
                return Fail("the manager stopped taking messages");
        }
        return IsWindow(control) || Fail("the manager has gone");
    }

    void PlaceManager(const std::string &where)
    {
        mgr = where;
        exe = mgr + "Quillfern.exe";
        CreateDirectoryW(Wide(mgr).c_str(), NULL);
        CopyFileW(Wide(ManagerToCopy()).c_str(), Wide(exe).c_str(), FALSE);
    }

    void Set(const std::string &section, const std::string &key, const std::string &value)
    {
        auto at = std::find_if(config.begin(), config.end(), [&](const auto &s) { return s.first == section; });
        if (at == config.end())
            at = config.insert(config.end(), {section, {}});
        auto &keys = at->second;
        auto old = std::find_if(keys.begin(), keys.end(), [&](const auto &k) { return k.first == key; });
        if (old != keys.end())
            old->second = value;
        else
            keys.push_back({key, value});
    }

    bool WriteConfig()
    {
        return verbatim || WriteTextFile(mgr + "Quillfern.cfg", ConfigText()) || Fail("cannot write Quillfern.cfg");
    }

    std::string ConfigText()
    {
        std::string text;
        for (const auto &section : config) {
            text += "[" + section.first + "]\r\n";
            for (const auto &key : section.second)
                text += key.first + "=" + key.second + "\r\n";
        }
        return text;
    }

    bool Reg(const std::string &args)
    {
        HANDLE reg = StartProcess("C:\\windows\\system32\\reg.exe", args);
        DWORD code = 1;
        WaitForSingleObject(reg, kWaitMs);
        GetExitCodeProcess(reg, &code);
        CloseHandle(reg);
        return code == 0 || Fail("reg " + args + " gave " + std::to_string(code));
    }

    // manager, litestep, alt: the paths of this scene; anything else as it stands.
    std::string Resolve(const std::string &token)
    {
        if (token == "manager")
            return exe;
        if (token == "litestep" || token == "alt")
            return sh + (token == "alt" ? "altshell" : token) + ".exe";
        std::string text = token;
        for (size_t at; (at = text.find("@sh\\")) != std::string::npos;)
            text.replace(at, 4, sh);
        for (size_t at; (at = text.find("@dir\\")) != std::string::npos;)
            text.replace(at, 5, dir);
        for (size_t at; (at = text.find("@user")) != std::string::npos;)
            text.replace(at, 5, UserName());
        return text;
    }

    // The sample configuration with its drive C: moved into the row's
    // directory, and every file and theme folder it names made there.
    bool Sample(std::string text)
    {
        for (size_t at; (at = text.find("C:\\")) != std::string::npos;)
            text.replace(at, 3, dir);
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            line.erase(line.find_last_not_of("\r") + 1);
            size_t equals = line.find('='), path = line.find(dir);
            if (line[0] == ';' || equals == std::string::npos || path != equals + 1)
                continue;
            std::string file = line.substr(path);
            for (size_t slash = dir.size(); (slash = file.find('\\', slash + 1)) != std::string::npos;)
                CreateDirectoryA(file.substr(0, slash).c_str(), NULL);
            bool theme = line.find("theme_path_") == 0;
            if (theme ? !CreateDirectoryA(file.c_str(), NULL) || !WriteTextFile(file + "\\step.rc", "") ||
                            !WriteTextFile(file + "\\modules.ini", "")
                      : !WriteTextFile(file, ""))
                return Fail("cannot make " + file);
        }
        return (verbatim = WriteTextFile(mgr + "Quillfern.cfg", text)) || Fail("cannot write Quillfern.cfg");
    }

    // The spy answers what is sent to it (as every window must, for the
    // watcher's sake) and notes the first message posted to it.
    static DWORD WINAPI SpyThread(void *scene)
    {
        Scene *s = (Scene *)scene;
        WNDCLASSA spyClass = {};
        spyClass.lpfnWndProc = DefWindowProcA;
        spyClass.lpszClassName = kControlClassName;
        RegisterClassA(&spyClass);
        HWND spy = CreateWindowA(kControlClassName, "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
        s->spy = spy;
        MSG message;
        while (GetMessageA(&message, NULL, 0, 0) > 0)
            if (message.hwnd == spy && s->spyPosted == 0)
                s->spyPosted = message.message;
        DestroyWindow(spy);
        return 0;
    }

    static std::string UserName()
    {
        char user[256] = "";
        DWORD size = sizeof user;
        GetUserNameA(user, &size);
        return user;
    }

    std::string SystemShell()
    {
        char text[1024];
        GetPrivateProfileStringA("boot", "shell", "<missing>", text, sizeof text, systemIni.c_str());
        return win98 ? text : ReadRegValue(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell");
    }

    // The next line of events.log that starts with prefix, "" when there is none yet.
    std::string NextEvent(const std::string &role, const std::string &prefix)
    {
        std::istringstream in(ReadTextFile(sh + "events.log"));
        size_t index = 0;
        for (std::string line; std::getline(in, line); index++) {
            line.erase(line.find_last_not_of("\r") + 1);
            if (index >= cursor[role] && line.compare(0, prefix.size(), prefix) == 0) {
                cursor[role] = index + 1;
                return line;
            }
        }
        return "";
    }

    bool Expect(const Words &w)
    {
        std::string want = Join(w, w[1] == "reg" ? 4 : w[1] == "file" ? 3 : 2), got;
        std::function<std::string()> read;
        if (w[1] == "running") {
            read = [&] {
                Words roles;
                for (const ProcessEntry &process : ProcessesUnder(sh))
                    roles.push_back(process.name.substr(0, process.name.size() - 4));
                std::sort(roles.begin(), roles.end());
                return roles.empty() ? "none" : Join(roles, 0);
            };
        } else if (w[1] == "shell") {
            want = Resolve(want);
            read = [&] { return SystemShell(); };
        } else if (w[1] == "reg") {
            HKEY root = w[2] == "HKCU" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
            read = [&, root] { return ReadRegValue(root, kWinlogonKey, w[3].c_str()); };
        } else if (w[1] == "file") {
            read = [&] { return ReadTextFile(dir + w[2]); };
        } else if (w[1] == "wow64") {
            want = wow64;
            read = [&] {
                std::string now;
                for (const char *value : {"Shell", "AutoRestartShell"})
                    now += ReadRegValue(HKEY_LOCAL_MACHINE, kWow64Winlogon, value) + ";";
                return now;
            };
        } else if (w[1] == "posted") {
            PostMessageA(spy, WM_QUIT, 0, 0);
            WaitForSingleObject(spyThread, kWaitMs);
            return spyPosted == 0 || Fail("the client posted message " + std::to_string(spyPosted));
        } else if (w[1] == "keys") {
            read = [] { return (GetAsyncKeyState(VK_SHIFT) | GetAsyncKeyState(VK_CONTROL)) & 0x8000 ? "down" : "up"; };
        } else {
            return Fail("nothing to expect");
        }
        return WaitUntil([&] { return _stricmp((got = read()).c_str(), want.c_str()) == 0; }, kWaitMs) ||
               Fail("expected " + w[1] + " \"" + want + "\", got \"" + got + "\"");
    }

    bool WaitEvent(const Words &w, int times)
    {
        std::string want = w[1] + " " + w[2];
        bool keys = w.size() > 3 && w[3][0] != 'x';
        if (keys)
            want += w[3] == "shift" ? " shift=1 control=0" : w[3] == "control" ? " shift=0 control=1"
                                                                              : " shift=0 control=0";
        for (int n = 0; n < times; n++) {
            std::string line;
            if (!WaitUntil([&] { return !(line = NextEvent(w[1], w[1] + " " + w[2])).empty(); }, kWaitMs))
                return Fail("no " + w[1] + " " + w[2] + " (" + std::to_string(n + 1) + " of " +
                            std::to_string(times) + ") in events.log:\n" + ReadTextFile(sh + "events.log"));
            if (keys && line != want)
                return Fail("expected \"" + want + "\", got \"" + line + "\"");
        }
        return true;
    }

    bool Box(const Words &w)
    {
        if (gTexts.count(w[1]) == 0 && w[1] != "*")
            return Fail("no text " + w[1] + " in the table");
        HWND box = TakeWindow(kWaitMs);
        std::string kind = box != NULL ? KindOf(box) : "nothing";
        std::string text = kind == "box" ? WindowText(GetDlgItem(box, 0xFFFF)) : "";
        if (w[1] != "*" && text != Resolve(gTexts[w[1]]))
            return Fail("expected box " + w[1] + ", got " + kind + " \"" + text + "\"");
        RECT rect = {};
        GetWindowRect(box, &rect);
        if (rect.left < 0 || rect.top < 0 || rect.right > GetSystemMetrics(SM_CXSCREEN) ||
            rect.bottom > GetSystemMetrics(SM_CYSCREEN))
            return Fail("the box is not wholly on the screen");
        lastBox = text;
        int id = w[2] == "yes" ? IDYES : w[2] == "no" ? IDNO : IDOK;
        if (GetDlgItem(box, id) == NULL)
            return Fail("the box has no " + w[2] + " button");
        return PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0) || Fail("cannot answer");
    }

    static int Control(const std::string &name)
    {
        static const std::map<std::string, int> ids = {
            {"litestep", IDC_LITESTEP}, {"explorer", IDC_EXPLORER}, {"other", IDC_REBOOT_OTHER},
            {"logoff", IDC_LOGOFF}, {"shutdown", IDC_SHUTDOWN}, {"terminate", IDC_TERMINATE}};
        return ids.count(name) ? ids.at(name) : -1;
    }

    bool Dialog(const Words &w)
    {
        if (current == NULL || !IsWindow(current) || KindOf(current) != w[1])
            current = TakeWindow(kWaitMs);
        if (current == NULL || KindOf(current) != w[1])
            return Fail("expected dialog " + w[1] + ", got " + (current ? KindOf(current) : "nothing"));
        HWND dialog = current, list = GetDlgItem(dialog, IDC_THEMELIST);
        for (size_t i = 2; i < w.size(); i++) {
            const std::string &act = w[i];
            bool ok = true;
            if (act.compare(0, 3, "is=") == 0)
                ok = IsDlgButtonChecked(dialog, Control(act.substr(3))) == BST_CHECKED;
            else if (act == "click" && ++i < w.size())
                PostMessageA(GetDlgItem(dialog, Control(w[i])), BM_CLICK, 0, 0);
            else if (act == "counting" || act == "stopped")
                ok = WaitUntil([&] { return (WindowText(dialog) == kCaption) == (act == "stopped"); }, kWaitMs);
            else if (act == "still")   // no countdown: four of its 250 ms ticks pass unseen
                ok = !WaitUntil([&] { return WindowText(dialog) != kCaption; }, 1000);
            else if (act == "closes")
                ok = WaitUntil([&] { return !IsWindow(dialog); }, kWaitMs);
            else if (act.compare(0, 6, "items=") == 0) {
                std::string items;
                for (LRESULT n = 0; n < SendMessageA(list, LB_GETCOUNT, 0, 0); n++) {
                    wchar_t item[128] = L"";
                    SendMessageW(list, LB_GETTEXT, n, (LPARAM)item);
                    items += n ? "," : "";
                    for (wchar_t *c = item; *c; c++)
                        items += (char)*c;
                }
                ok = items == act.substr(6) || Fail("theme list holds " + items);
            } else if (act == "pick" && ++i < w.size())
                SendMessageA(list, LB_SETCURSEL, atoi(w[i].c_str()) - 1, 0);
            else if (act == "ok" || act == "cancel")
                PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(act == "ok" ? IDOK : IDCANCEL, BN_CLICKED), 0);
            else
                return Fail("no dialog action " + act);
            if (!ok)
                return Fail("dialog " + w[1] + ": " + act + " does not hold");
        }
        return true;
    }

    // Seeded bursts of control and stray messages; every box and dialog they
    // bring is answered before the next burst, and then no key may be down.
    bool Storm(unsigned seed, int count, const Words &allowed)
    {
        static const UINT kinds[] = {CM_SWAP, CM_KILL, CM_RESTART, CM_SWAPTHEME, CM_SHELLTERMINATED, 0};
        std::map<std::string, int> tally;
        unsigned first = seed;
        int posted = 0, bursts = 0;
        auto next = [&] { seed = seed * 1103515245u + 12345u; return seed >> 16; };
        while (posted < count) {
            HWND control = Manager();
            for (unsigned n = 1 + next() % 8; n > 0; n--, posted++) {
                UINT message = kinds[next() % 6];
                tally[message ? "control " + std::to_string(message) : "stray"]++;
                if (message == 0)
                    do message = WM_USER + next() % (0x10000 - WM_USER);
                    while (message >= CM_SHELLTERMINATED && message <= CM_NUKE);
                PostMessageA(control, message, next(), next());
            }
            bursts++;
            for (;;) {
                if (!Sync())
                    return false;
                Poll();
                HWND window = TakeWindow(0);
                if (window == NULL)
                    break;
                std::string kind = KindOf(window), text = WindowText(GetDlgItem(window, 0xFFFF));
                tally["answered " + kind]++;
                if (kind == "terminated")
                    PostMessageA(GetDlgItem(window, next() % 2 ? IDC_LITESTEP : IDC_EXPLORER), BM_CLICK, 0, 0);
                if (kind == "themes")
                    SendDlgItemMessageA(window, IDC_THEMELIST, LB_SETCURSEL, next() % 3, 0);
                bool known = kind != "box" || std::any_of(allowed.begin(), allowed.end(),
                                                          [&](const std::string &t) { return gTexts[t] == text; });
                if (kind == "choice" || !known)
                    return Fail("storm: unexpected " + kind + " \"" + text + "\" after " + std::to_string(posted) +
                                " messages; the end of events.log:\n" + Tail(ReadTextFile(sh + "events.log")));
                PostMessageA(window, WM_COMMAND, kind == "themes" && next() % 4 == 0 ? IDCANCEL : IDOK, 0);
            }
            if ((GetAsyncKeyState(VK_SHIFT) | GetAsyncKeyState(VK_CONTROL)) & 0x8000)
                return Fail("a modifier key is down with the manager idle, burst " + std::to_string(bursts));
        }
        std::string figures = "storm (seed " + std::to_string(first) + "): " + std::to_string(posted) +
                              " messages in " + std::to_string(bursts) + " bursts;";
        for (const auto &t : tally)
            figures += " " + t.first + ": " + std::to_string(t.second) + ";";
        gFigures.push_back(figures + " shell processes at once at most " + std::to_string(maxShells));
        return true;
    }

    bool Restart(int times)
    {
        for (int n = 0; n < times; n++)
            if (!(PostMessageA(Manager(), CM_RESTART, 0, 0) && WaitEvent({"", "litestep", "start"}, 1) && Sync()))
                return false;
        return true;
    }

    // Threads and handles of the manager stay flat over repeated spawns. The
    // one allowance: what Wine's own WaitForInputIdle leaves in any caller,
    // measured here in this process.
    bool Cycles(int count)
    {
        std::map<int, int> mine = HandlesByType(GetCurrentProcessId());
        HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL), probe = StartProcess(sh + "probe.exe", "");
        int eventType = -1;
        for (const auto &t : HandlesByType(GetCurrentProcessId()))
            eventType = t.second > mine[t.first] ? t.first : eventType;
        CloseHandle(event);
        WaitForInputIdle(probe, kWaitMs);
        int before = HandlesByType(GetCurrentProcessId())[eventType];
        for (int n = 0; n < count; n++)
            WaitForInputIdle(probe, kWaitMs);
        int wineLeak = HandlesByType(GetCurrentProcessId())[eventType] - before;
        TerminateProcess(probe, 0);
        CloseHandle(probe);
        DWORD pid = GetProcessId(managers.front());
        if (eventType < 0 || !Restart(3))
            return Fail("no event type found, or the warm-up failed");
        std::map<int, int> base = HandlesByType(pid), now;
        int baseThreads = ThreadCount(pid), threads = 0;
        DWORD start = GetTickCount();
        if (!Restart(count))
            return false;
        std::string growth;
        bool flat = WaitUntil([&] {
            now = HandlesByType(pid);
            threads = ThreadCount(pid);
            growth = "threads " + std::to_string(baseThreads) + " to " + std::to_string(threads);
            bool within = threads <= baseThreads;
            for (const auto &t : now) {
                growth += "; type " + std::to_string(t.first) + (t.first == eventType ? " (events)" : "") +
                          " " + std::to_string(base[t.first]) + " to " + std::to_string(t.second);
                within = within && t.second - base[t.first] <= (t.first == eventType ? wineLeak : 0);
            }
            return within;
        }, 5000);
        if (!flat)
            return Fail("grew over " + std::to_string(count) + " spawns: " + growth +
                        "; Wine's WaitForInputIdle leaves " + std::to_string(wineLeak) + " events per " +
                        std::to_string(count) + " calls");
        gFigures.push_back("spawns: " + std::to_string(count) + " restarts in " +
                           std::to_string(GetTickCount() - start) + " ms; " + growth + "; Wine's own "
                           "WaitForInputIdle leaves " + std::to_string(wineLeak) + " events in " +
                           std::to_string(count) + " calls (measured in the test process)");
        return true;
    }

    bool Do(const Words &w)
    {
        const std::string &verb = w[0];
        int times = w.back()[0] == 'x' ? atoi(w.back().c_str() + 1) : 1;
        if (verb == "cfg") {
            for (size_t i = 1; i < w.size(); i++) {
                size_t dot = w[i].find('.'), equals = w[i].find('=');
                bool sectioned = dot < equals;
                std::string section = sectioned ? w[i].substr(0, dot) : "default";
                if (section == "@user")
                    section = UserName();
                Set(section, w[i].substr(sectioned ? dot + 1 : 0, equals - (sectioned ? dot + 1 : 0)),
                    Resolve(w[i].substr(equals + 1)));
            }
            return true;
        }
        if (verb == "themes") {
            for (int n = 1; n <= atoi(w[1].c_str()); n++) {
                std::string name = "t" + std::to_string(n), path = dir + name;
                CreateDirectoryA(path.c_str(), NULL);
                WriteTextFile(path + "\\step.rc", "step.rc of " + name);
                WriteTextFile(path + "\\modules.ini", "modules.ini of " + name);
                Set("Themes", "theme_name_" + std::to_string(n), name);
                Set("Themes", "theme_path_" + std::to_string(n), path);
                Set("Themes", "theme_back_" + std::to_string(n), path + "\\back.bmp");
            }
            return true;
        }
        if (verb == "behave")
            return WriteTextFile(sh + w[1] + ".txt", Join(w, 2)) || Fail("cannot write");
        if (verb == "platform") {
            win98 = w[1] == "win98" || w[1] == "win95";
            return Reg("add HKCU\\" + std::string(kAppDefaults) + " /v Version /d " + w[1] + " /f");
        }
        if (verb == "setreg")
            return Reg("add \"" + std::string(w[1] == "HKCU" ? "HKCU\\" : "HKLM\\") + kWinlogonKey +
                       "\" /v " + w[2] + " /d " + Join(w, 3) + " /f");
        if (verb == "fault" && w[1] == "winlogon") {
            std::string key = "\"HKLM\\" + std::string(kWinlogonKey) + "\"";
            winlogonGone = Reg("export " + key + " " + dir + "winlogon.reg /y");
            return winlogonGone && Reg("delete " + key + " /f");
        }
        // A directory in its place: a read-only file would not stop Wine running as root.
        if (verb == "fault" && w[1] == "systemini")
            return (DeleteFileA(systemIni.c_str()) && CreateDirectoryA(systemIni.c_str(), NULL)) || Fail("cannot");
        if (verb == "write")
            return WriteTextFile(dir + w[1], Join(w, 2)) || Fail("cannot write it");
        if (verb == "remove")
            return DeleteFileA((dir + w[1]).c_str()) || Fail("cannot remove it");
        if (verb == "mkdir")
            return CreateDirectoryA((dir + w[1]).c_str(), NULL) || Fail("cannot make it");
        if (verb == "longdir") {
            // A manager whose own path is that many characters long.
            size_t length = atoi(w[1].c_str()) - dir.size() - strlen("\\Quillfern.exe");
            PlaceManager(dir + std::string(length, 'd') + "\\");
            return GetFileAttributesW(Wide(exe).c_str()) != INVALID_FILE_ATTRIBUTES || Fail("no copy made");
        }
        if (verb == "cfgtext") {
            std::string text = Resolve(gTexts[w[1]]);
            for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
                text.insert(at, "\r");
            return (verbatim = WriteTextFile(mgr + "Quillfern.cfg", text)) || Fail("cannot write it");
        }
        if (verb == "sample")
            return Sample(ReadTextFile(QF_SOURCE_DIR_WIN "\\sample\\Quillfern.cfg"));
        if (verb == "bigcfg") {
            // N keys Quillfern does not read, among comments up to 1 MB.
            written = atoi(w[1].c_str());
            for (int n = 0; n < written; n++)
                Set("default", "kill_dealy_" + std::to_string(n), "5");
            std::string text = ConfigText();
            while (text.size() < (1u << 20))
                text += "; " + std::string(77, '-') + "\r\n";
            return (verbatim = WriteTextFile(mgr + "Quillfern.cfg", text)) || Fail("cannot write it");
        }
        if (verb == "press" || verb == "release")
            return keybd_event(VK_CONTROL, 0, verb == "press" ? 0 : KEYEVENTF_KEYUP, 0), true;
        if (verb == "spy") {
            spyThread = CreateThread(NULL, 0, SpyThread, this, 0, NULL);
            return WaitUntil([&] { return spy != NULL; }, kWaitMs) || Fail("no spy window");
        }
        if (verb == "start" || verb == "client") {
            checking = verb == "client" && w.size() > 1 && w[1] == "-check";
            HANDLE process = WriteConfig() ? StartProcess(exe, Join(w, 1)) : NULL;
            (verb == "start" ? managers : clients).push_back(process);
            return process != NULL || Fail("cannot start " + exe);
        }
        if (verb == "launch")
            return CloseHandle(StartProcess(sh + w[1] + ".exe", "")) || Fail("cannot start it");
        if (verb == "post") {
            static const std::map<std::string, UINT> messages = {
                {"terminated", CM_SHELLTERMINATED}, {"swap", CM_SWAP}, {"kill", CM_KILL},
                {"quit", CM_QUIT}, {"swaptheme", CM_SWAPTHEME}, {"restart", CM_RESTART}, {"nuke", CM_NUKE}};
            HWND control = NULL;
            if (!WaitUntil([&] { return (control = Manager()) != NULL; }, kWaitMs))
                return Fail("no manager window");
            for (int n = 0; n < times; n++)
                PostMessageA(control, messages.at(w[1]), 0, 0);
            return true;
        }
        if (verb == "sync")
            return Sync();
        if (verb == "box")
            return Box(w);
        if (verb == "dialog")
            return Dialog(w);
        if (verb == "wait")
            return WaitEvent(w, times);
        if (verb == "expect")
            return Expect(w);
        if (verb == "hold") {
            std::string log = ReadTextFile(sh + "events.log");
            bool changed = WaitUntil([&] { return ReadTextFile(sh + "events.log") != log || !NoWindows(); },
                                     atoi(w[1].c_str()) * 1000);
            return !changed || Fail("something happened");
        }
        if (verb == "exits") {
            for (HANDLE process : managers) {
                DWORD code = STILL_ACTIVE;
                WaitForSingleObject(process, kWaitMs);
                GetExitCodeProcess(process, &code);
                if (code != 0)
                    return Fail("manager exit code " + std::to_string(code));
            }
            return true;
        }
        if (verb == "storm")
            return Storm(atoi(w[1].c_str()), atoi(w[2].c_str()), Words(w.begin() + 3, w.end()));
        if (verb == "cycles")
            return Cycles(atoi(w[1].c_str()));
        return Fail("unknown verb");
    }
};

void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

class Scenario : public testing::TestWithParam<Row> {};

TEST_P(Scenario, Row)
{
    Scene(GetParam()).Run();
}

INSTANTIATE_TEST_SUITE_P(Table, Scenario, testing::ValuesIn(LoadRows()),
                         [](const testing::TestParamInfo<Row> &info) {
                             std::string name = info.param.name;
                             for (char &c : name)
                                 c = isalnum((unsigned char)c) ? c : '_';
                             return name;
                         });

TEST(Scenarios, TableHasRows)
{
    EXPECT_FALSE(LoadRows().empty()) << "no rows in tests\\scenarios.txt (QF_ROWS: "
                                     << (getenv("QF_ROWS") ? getenv("QF_ROWS") : "unset") << ")";
}

// The figures are written only when every check of the run passed.
struct Figures : testing::Environment {
    void SetUp() override { DeleteFileA((BinDir() + "robustness.txt").c_str()); }
    void TearDown() override
    {
        std::string text;
        for (const std::string &line : gFigures)
            text += line + "\r\n";
        if (testing::UnitTest::GetInstance()->Passed() && !gFigures.empty())
            WriteTextFile(BinDir() + "robustness.txt", text);
    }
};
testing::Environment *const gFiguresEnvironment = testing::AddGlobalTestEnvironment(new Figures);

}  // namespace
