// The end-to-end scenarios: each row of scenarios.txt (verbs listed at its top) is one test, run
// against a copy of the manager in a scratch directory of its own. QF_EXE names the manager to copy
// (default: this build's; a path relative to the source tree will do); QF_ROWS keeps the rows whose
// names contain one of its parts, separated by '|'. The load rows' figures go to robustness.txt
// beside the build, only when every test passed.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "app/message_box.h"
#include "config/state.h"
#include "control/control.h"
#include "res/resource.h"
#include "shell/shell.h"

namespace {

typedef std::vector<std::string> Words; struct Step { int line; Words words; std::string text; };
struct Row { std::string name; std::vector<Step> steps; }; struct Process { DWORD pid, parent; std::string role; };

constexpr DWORD kWaitMs = 40000;   // for anything the manager does; a busy shell costs it 30 s
const std::string kBin = QF_BIN_DIR_WIN "\\", kSource = QF_SOURCE_DIR_WIN "\\";
const std::string kHklm = "\"HKLM\\" + std::string(kWinlogonKey) + "\"", kHkcu = "\"HKCU\\" + std::string(kWinlogonKey) + "\"";
const char kAppDefaults[] = "Software\\Wine\\AppDefaults\\Quillfern.exe";
std::map<std::string, std::string> gTexts = {{"SystemShellFailed", kSystemShellFailed}};
std::vector<std::string> gFigures; Words gUnmatched;

template <typename F> bool WaitUntil(F done, DWORD timeoutMs) {
    for (DWORD start = GetTickCount(); !done(); Sleep(20))
        if (GetTickCount() - start > timeoutMs) return done();
    return true; }
std::wstring Wide(const std::string &text) { return std::wstring(text.begin(), text.end()); }
std::string N(long long number) { return std::to_string(number); }
std::string Join(const Words &w, size_t from, std::string text = "") {
    for (size_t i = from; i < w.size(); i++) text += (i > from ? " " : "") + w[i];
    return text; }
std::string User() {
    char user[256] = ""; DWORD size = sizeof user; return GetUserNameA(user, &size), user; }
// The findings a -check box lists: its lines after the heading, "... and N more" counting N; 0 for
// the file in order, 1 for a lone line; -1 when the heading's own figure disagrees.
int Findings(const std::string &t) {
    int lines = (int)std::count(t.begin(), t.end(), '\n'); size_t more = t.find("\n... and "), colon = t.find("]: ");
    int found = more == std::string::npos ? lines : lines - 1 + atoi(t.c_str() + more + 9);
    return !t.compare(0, 25, "Quillfern.cfg is in order") ? 0 : !lines ? 1 : colon != std::string::npos && atoi(t.c_str() + colon + 3) == found ? found : -1;
}
bool Down() { return (GetAsyncKeyState(VK_SHIFT) | GetAsyncKeyState(VK_CONTROL)) & 0x8000; }

// Wide file functions here and below: a path may pass MAX_PATH.
std::string ReadText(const std::string &path) {
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, 7, NULL, OPEN_EXISTING, 0, NULL);
    std::string text = file == INVALID_HANDLE_VALUE ? "<missing>" : ""; char chunk[4096];
    for (DWORD got; file != INVALID_HANDLE_VALUE && ReadFile(file, chunk, sizeof chunk, &got, NULL) && got;)
        text.append(chunk, got);
    return CloseHandle(file), text; }
bool WriteText(const std::string &path, const std::string &text) {
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL); DWORD written = 0;
    WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    return CloseHandle(file) && written == text.size(); }
void RemoveTree(const std::wstring &dir) {
    WIN32_FIND_DATAW found; HANDLE search = FindFirstFileW((dir + L"*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((dir + found.cFileName).c_str());
        else if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L".."))
            RemoveTree(dir + found.cFileName + L"\\");
    FindClose(search); RemoveDirectoryW(dir.c_str()); }

HANDLE Start(const std::string &exe, const std::string &args) {
    std::wstring line = Wide("\"" + exe + "\" " + args), dir = Wide(exe.substr(0, exe.rfind('\\') + 1));
    STARTUPINFOW startup = {sizeof startup}; PROCESS_INFORMATION info = {};
    // Wine starts a program whose path passes MAX_PATH only by its bare name, from its directory.
    if (!CreateProcessW(Wide(exe).c_str(), &line[0], NULL, NULL, FALSE, 0, NULL, dir.c_str(), &startup, &info) &&
        SetCurrentDirectoryW(dir.c_str()))
        CreateProcessW(Wide(exe.substr(exe.rfind('\\') + 1)).c_str(), &line[0], NULL, NULL, 0, 0, NULL, NULL, &startup, &info);
    CloseHandle(info.hThread); return info.hProcess; }
DWORD Finish(HANDLE process, bool close = false) {
    DWORD code = STILL_ACTIVE; WaitForSingleObject(process, kWaitMs); GetExitCodeProcess(process, &code);
    return (close && CloseHandle(process)), code; }
bool Reg(const std::string &args) { return Finish(Start("C:\\windows\\system32\\reg.exe", args), true) == 0; }

// The processes whose image lies under dir; a role is a file name less ".exe".
std::vector<Process> ProcessesIn(const std::string &dir) {
    std::vector<Process> found; HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0), process;
    PROCESSENTRY32 entry = {sizeof entry};
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry), CloseHandle(process)) {
        char path[2 * MAX_PATH] = ""; DWORD size = sizeof path;
        process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process && QueryFullProcessImageNameA(process, 0, path, &size) && !_strnicmp(path, dir.c_str(), dir.size()))
            found.push_back({entry.th32ProcessID, entry.th32ParentProcessID,
                             CharLowerA(std::string(entry.szExeFile, strcspn(entry.szExeFile, ".")).data())}); }
    return CloseHandle(snapshot), found; }
void KillIn(const std::string &dir) {
    for (const Process &entry : ProcessesIn(dir)) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.pid);
        TerminateProcess(process, 0xDEAD); Finish(process, true); } }

// Where 64-bit Windows keeps the Winlogon values of 32-bit programs: ours must never land there.
const std::string kWow64Winlogon = "SOFTWARE\\Wow6432Node" + std::string(kWinlogonKey + 8);
// A Winlogon value: its text, a DWORD in decimal, or "<missing>".
std::string RegValue(HKEY root, const char *value, const std::string &key = kWinlogonKey) {
    BYTE data[1024] = {}; DWORD type = 0, size = sizeof data - 1;
    if (RegGetValueA(root, key.c_str(), value, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size)) return "<missing>";
    return type == REG_DWORD ? N(*(DWORD *)data) : std::string((char *)data); }

std::string Wow64() { return RegValue(HKEY_LOCAL_MACHINE, "Shell", kWow64Winlogon) + ";" + RegValue(HKEY_LOCAL_MACHINE, "AutoRestartShell", kWow64Winlogon); }
// Handles by object type, as the system lists them (GetProcessHandleCount answers 0 under Wine).
std::map<int, int> Handles(DWORD pid) {
    struct Entry { ULONG owner; BYTE type, flags; USHORT value; PVOID object; ULONG access; };
    static auto query = (LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG))(void *)GetProcAddress(
        GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    std::vector<char> buffer(1 << 22); std::map<int, int> types;
    bool listed = query(16 /* SystemHandleInformation */, &buffer[0], (ULONG)buffer.size(), NULL) == 0;
    for (ULONG i = 0; listed && i < *(ULONG *)&buffer[0]; i++) {
        const Entry &entry = ((const Entry *)(&buffer[0] + sizeof(ULONG_PTR)))[i];
        types[entry.type] += entry.owner == pid; }
    return types; }
int Threads(DWORD pid) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0); THREADENTRY32 entry = {sizeof entry};
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == pid;
    return CloseHandle(snapshot), count; }

std::string TextOf(HWND window) {
    char text[4096] = ""; DWORD_PTR got;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 5000, &got); return text; }
// A window captioned like ours, told by its controls: a message box with its text, or a dialog.
std::string KindOf(HWND window) {
    if (!IsWindow(window) || GetDlgItem(window, IDC_THEMELIST))
        return IsWindow(window) ? "themes" : "window that closed by itself";
    // A box is read once complete: its text comes after its caption.
    std::string text;
    if (!GetDlgItem(window, IDC_PROMPT))
        return WaitUntil([&] { return !(text = TextOf(GetDlgItem(window, 0xFFFF))).empty(); }, 5000), "box \"" + text + "\"";
    return IsWindowVisible(GetDlgItem(window, IDC_TERMINATE)) ? "choice" : "terminated"; }

// "[name]" starts a row; its steps are separated by ';' or line ends; "text NAME = ..." is a text.
std::vector<Row> LoadRows() {
    std::vector<Row> rows; std::istringstream in(ReadText(kSource + "tests\\scenarios.txt"));
    const char *only = getenv("QF_ROWS"); std::string line, step;
    for (int number = 1; std::getline(in, line); number++) {
        line.erase(line.find_last_not_of(" \r") + 1); size_t equals = line.find(" = ");
        if (line.compare(0, 5, "text ") == 0) {
            std::string &text = gTexts[line.substr(5, equals - 5)] = line.substr(equals + 3);
            for (size_t at; (at = text.find("\\n")) != std::string::npos;) text.replace(at, 2, "\n");
            continue;
        } else if (line[0] == '[') {
            rows.push_back({line.substr(1, line.find(']') - 1), {}}), line.erase(0, line.find(']') + 1); }
        for (std::istringstream steps(line); line[0] != '#' && !rows.empty() && std::getline(steps, step, ';');) {
            std::istringstream split(step);
            Words words{std::istream_iterator<std::string>(split), std::istream_iterator<std::string>()};
            if (!words.empty()) rows.back().steps.push_back({number, words, step.substr(step.find_first_not_of(' '))});
        } }
    // QF_ROWS: parts of row names, separated by '|'; each must name a row.
    std::istringstream wanted(only ? only : ""); Words parts; gUnmatched.clear();
    for (std::string part; std::getline(wanted, part, '|');)
        if (std::none_of(rows.begin(), rows.end(), [&](const Row &row) { return row.name.find(part) != std::string::npos; }))
            gUnmatched.push_back("\"" + part + "\"");
        else parts.push_back(part);
    rows.erase(std::remove_if(rows.begin(), rows.end(), [&](const Row &row) {
        return only && std::none_of(parts.begin(), parts.end(), [&](auto &p) {
            return !p.empty() && row.name.find(p) != std::string::npos; }); }), rows.end());
    return rows; }

std::string ManagerToCopy() {
    std::string path = getenv("QF_EXE") ? getenv("QF_EXE") : ""; std::replace(path.begin(), path.end(), '/', '\\');
    return path.empty() ? kBin + "Quillfern.exe" : path[0] == '\\' ? "Z:" + path : path[1] == ':' ? path : kSource + path;
}

class Scene {
public:
    explicit Scene(const Row &row) : row(row) {
        std::string name = row.name;
        std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum((unsigned char)c); }, '_');
        dir = kBin + "scratch\\" + name + "\\", sh = dir + "sh\\"; RemoveTree(Wide(dir));
        for (const std::string &made : {kBin + "scratch", dir, sh}) CreateDirectoryA(made.c_str(), NULL);
        for (const char *role : {"litestep", "explorer", "altshell", "folder", "probe"})
            CopyFileA((kBin + "testbin\\standin.exe").c_str(), (sh + role + ".exe").c_str(), FALSE);
        WriteText(sh + "step.rc", "own step.rc"), WriteText(sh + "modules.ini", "own modules.ini");
        PlaceManager(dir + "mgr\\"); RegDeleteKeyValueA(HKEY_CURRENT_USER, kAppDefaults, "Version");
        for (const char *item : {"Quillfern.litestep_exe=@sh\\litestep.exe", "Quillfern.explorer_exe=@sh\\explorer.exe",
                                 "Alternate_Shells.altshell_name_1=Alt", "Alternate_Shells.altshell_path_1=@sh\\altshell.exe",
                                 "shell=litestep_exe", "kill_delay=5"})
            Set(item);
        InitializeCriticalSection(&lock); watcher = CreateThread(NULL, 0, Watch, this, 0, NULL); }
    ~Scene() {
        stop = 1; WaitForSingleObject(watcher, INFINITE);
        // A key left down (pressed by the row, or not let go by the manager: then the row failed for it) goes up.
        for (BYTE key : {VK_SHIFT, VK_CONTROL})
            if (GetAsyncKeyState(key) & 0x8000) keybd_event(key, 0, KEYEVENTF_KEYUP, 0);
        KillIn(dir);
        for (HANDLE process : managers) CloseHandle(process);
        if (winlogonGone) Reg("import " + dir + "winlogon.reg");
        if (RemoveDirectoryA(systemIni.c_str())) WriteText(systemIni, systemIniText);
        DeleteCriticalSection(&lock); }

    // Every box and dialog must be taken by a step: each other step first checks that none waits.
    void Run() {
        for (const Step &s : row.steps) {
            const std::string &verb = (step = &s)->words[0]; bool answers = verb == "box" || verb == "dialog";
            if (!verbs.count(verb) ? !Fail("unknown verb") : !(answers || (FinishClients() && NoWindows())) || !verbs[verb](s.words))
                return; }
        step = NULL;
        if (FinishClients() && (!Manager() || Sync())) NoWindows();
        EXPECT_LE(maxShells, 1) << "row [" << row.name << "]: shell processes running at once"; }

private:
    const Row &row; const Step *step = NULL;
    std::string dir, sh, mgr, exe, systemIni = SystemIni(), systemIniText, wow64 = Wow64(), lastBox, cfgText;
    int written = -1;   // the findings a generated Quillfern.cfg holds
    bool checking = false; volatile HWND spy = NULL; volatile UINT spyPosted = 0;
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> config;
    std::vector<HANDLE> managers, clients; std::map<std::string, size_t> cursor;
    bool win98 = false, winlogonGone = false; CRITICAL_SECTION lock; HANDLE watcher;
    volatile LONG stop = 0, maxShells = 0; std::deque<HWND> queue; std::set<HWND> seen; HWND dialog = NULL;

    static std::string SystemIni() {
        char windows[MAX_PATH]; GetWindowsDirectoryA(windows, MAX_PATH); return windows + std::string("\\system.ini"); }
    bool Fail(const std::string &what) {
        std::string where = step ? "line " + N(step->line) + " `" + step->text + "`" : "the end", pending;
        EnterCriticalSection(&lock);
        for (HWND window : queue) pending += "\n  unanswered: " + KindOf(window);
        LeaveCriticalSection(&lock); ADD_FAILURE() << "row [" << row.name << "], " << where << ": " << what << pending;
        return false; }
    bool Done(bool ok) { return ok || Fail("cannot"); }

    // Every visible window captioned like ours, queued once, in the order they came; and the
    // managers' children, never two at once.
    void Poll() {
        // Gone windows are forgotten before the look: one that closed during it would come back as new.
        EnterCriticalSection(&lock);
        for (auto it = seen.begin(); it != seen.end();) it = IsWindow(*it) ? std::next(it) : seen.erase(it);
        LeaveCriticalSection(&lock); std::vector<HWND> found;
        EnumWindows([](HWND window, LPARAM list) -> BOOL {
            char name[64] = "", caption[64] = "";
            GetClassNameA(window, name, sizeof name), GetWindowTextA(window, caption, sizeof caption);
            if (IsWindowVisible(window) && !strcmp(name, "#32770") && !strncmp(caption, kCaption, strlen(kCaption)))
                ((std::vector<HWND> *)list)->push_back(window);
            return TRUE;
        }, (LPARAM)&found);
        EnterCriticalSection(&lock);
        for (HWND window : found)
            if (seen.insert(window).second) queue.push_back(window);
        std::set<DWORD> owners;
        for (HANDLE process : managers) owners.insert(GetProcessId(process));
        LONG shells = 0;
        for (const Process &process : ProcessesIn(sh)) shells += owners.count(process.parent);
        maxShells = std::max<LONG>(LONG(maxShells), shells); LeaveCriticalSection(&lock); }
    static DWORD WINAPI Watch(void *scene) {
        for (Scene *s = (Scene *)scene; !s->stop; Sleep(15)) s->Poll();
        return 0; }
    HWND TakeWindow(DWORD timeoutMs) {
        HWND window = NULL;
        WaitUntil([&] {
            EnterCriticalSection(&lock);
            if (!queue.empty()) window = queue.front(), queue.pop_front();
            LeaveCriticalSection(&lock); return window != NULL;
        }, timeoutMs);
        return window; }
    bool NoWindows() {
        EnterCriticalSection(&lock); bool none = queue.empty(); LeaveCriticalSection(&lock);
        return none || Fail("a box or dialog that the row does not list"); }
    bool FinishClients() {
        bool ok = true;
        for (HANDLE client : clients)
            // -check ends with the number of findings its box lists (and that bigcfg wrote).
            if (DWORD code = Finish(client, true); code != DWORD(checking ? Findings(lastBox) : 0) || (checking && written >= 0 && int(code) != written))
                ok = ok && Fail(code == STILL_ACTIVE ? "the client did not end" : "client exit code " + N(code) + ", box: " + lastBox);
        return clients.clear(), ok; }
    HWND Manager() { return FindWindowA(kControlClassName, NULL); }

    // Every message posted to the manager so far has been handled once it has taken one more:
    // WM_SETREDRAW, whose mark (WS_VISIBLE) shows it was taken, in its own loop or a modal one.
    bool Sync() {
        HWND control = Manager();
        for (BOOL mark : {TRUE, FALSE})
            if (!PostMessageA(control, WM_SETREDRAW, mark, 0) || !WaitUntil([&] {
                    return !IsWindow(control) || !(GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) == !mark; }, kWaitMs))
                return Fail("the manager stopped taking messages");
        return IsWindow(control) || Fail("the manager has gone"); }

    void PlaceManager(const std::string &where) {
        mgr = where, exe = mgr + "Quillfern.exe"; CreateDirectoryW(Wide(mgr).c_str(), NULL);
        CopyFileW(Wide(ManagerToCopy()).c_str(), Wide(exe).c_str(), FALSE); }
    // SECTION.KEY=VALUE, or KEY=VALUE of [default]; @user is the user's section.
    bool Set(const std::string &item) {
        size_t dot = item.find('.'), equals = item.find('='), from = dot < equals ? dot + 1 : 0;
        std::string section = from ? item.substr(0, dot) : "default", key = item.substr(from, equals - from);
        section = section == "@user" ? User() : section;
        auto at = std::find_if(config.begin(), config.end(), [&](const auto &s) { return s.first == section; });
        auto &keys = at != config.end() ? at->second : config.insert(config.end(), {section, {}})->second;
        auto old = std::find_if(keys.begin(), keys.end(), [&](const auto &k) { return k.first == key; });
        (old != keys.end() ? old : keys.insert(keys.end(), {key, ""}))->second = Resolve(item.substr(equals + 1));
        return true; }
    // manager, litestep, alt: this row's programs; @sh\ and @dir\ its directories.
    std::string Resolve(std::string text) {
        if (text == "manager" || text == "litestep" || text == "alt")
            return text == "manager" ? exe : sh + (text == "alt" ? "altshell" : text) + ".exe";
        for (auto place : {std::make_pair("@sh\\", sh), std::make_pair("@dir\\", dir), std::make_pair("@user", User())})
            for (size_t at; (at = text.find(place.first)) != std::string::npos;)
                text.replace(at, strlen(place.first), place.second);
        return text; }

    bool Expect(const Words &w) {
        std::string want = Join(w, w[1] == "reg" ? 4 : w[1] == "file" ? 3 : 2), got;
        want = w[1] == "shell" ? Resolve(want) : w[1] == "wow64" ? wow64 : want;
        if (w[1] == "posted")   // the spy goes, and must have had nothing posted
            return (PostMessageA(spy, WM_QUIT, 0, 0), WaitUntil([&] { return !IsWindow(spy); }, kWaitMs) && !spyPosted) ||
                   Fail("the spy was posted message " + N(spyPosted));
        std::function<std::string()> read = [&] {
            char text[1024]; Words roles;
            for (const Process &process : ProcessesIn(sh)) roles.push_back(process.role);
            std::sort(roles.begin(), roles.end());
            GetPrivateProfileStringA("boot", "shell", "<missing>", text, sizeof text, systemIni.c_str());
            if (w[1] == "wow64") return Wow64();
            if (w[1] == "running" || w[1] == "file" || w[1] == "keys")
                return w[1] == "file" ? ReadText(dir + w[2]) : w[1] == "keys" ? Down() ? "down" : "up"
                                                            : roles.empty() ? "none" : Join(roles, 0);
            if (w[1] == "shell" && win98) return std::string(text);
            return RegValue(w[1] == "reg" && w[2] == "HKCU" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE,
                            w[1] == "reg" ? w[3].c_str() : "Shell"); };
        return WaitUntil([&] { return _stricmp((got = read()).c_str(), want.c_str()) == 0; }, kWaitMs) ||
               Fail("expected " + w[1] + " \"" + want + "\", got \"" + got + "\""); }

    // The next "ROLE EVENT" line of events.log after the last one taken for ROLE, xN times.
    bool WaitEvent(const Words &w) {
        std::string prefix = w[1] + " " + w[2], want = prefix, line; bool keys = w.size() > 3 && w[3][0] != 'x';
        if (keys)
            want += w[3] == "shift" ? " shift=1 control=0" : w[3] == "control" ? " shift=0 control=1" : " shift=0 control=0";
        for (int n = 1; n <= (w.back()[0] == 'x' ? atoi(w.back().c_str() + 1) : 1); n++)
            if (!WaitUntil([&] {
                    std::istringstream in(ReadText(sh + "events.log"));
                    for (size_t index = 0; std::getline(in, line); index++)
                        if (index >= cursor[w[1]] && line.compare(0, prefix.size(), prefix) == 0)
                            return cursor[w[1]] = index + 1, line.erase(line.find_last_not_of('\r') + 1), true;
                    return false;
                }, kWaitMs) || (keys && line != want))
                return Fail("expected \"" + want + "\" (" + N(n) + "), got \"" + line + "\"; events.log:\n" +
                            ReadText(sh + "events.log"));
        return true; }

    bool Box(const Words &w) {
        HWND box = TakeWindow(kWaitMs); std::string got = box ? KindOf(box) : "nothing";
        int id = w[2] == "yes" ? IDYES : w[2] == "no" ? IDNO : IDOK; RECT r = {}; GetWindowRect(box, &r);
        if (w[1] == "*" ? got.compare(0, 4, "box ") : !gTexts.count(w[1]) || got != "box \"" + Resolve(gTexts[w[1]]) + "\"")
            return Fail("expected box " + w[1] + ", got " + got);
        if (r.left < 0 || r.top < 0 || r.right > GetSystemMetrics(SM_CXSCREEN) || r.bottom > GetSystemMetrics(SM_CYSCREEN))
            return Fail("the box is not wholly on the screen");
        lastBox = got.substr(5, got.size() - 6);
        return (GetDlgItem(box, id) && PostMessageA(box, WM_COMMAND, id, 0)) || Fail("the box has no " + w[2]); }

    // The dialog still open from the step before, or the next window.
    bool Dialog(const Words &w) {
        static const std::map<std::string, int> ids = {
            {"litestep", IDC_LITESTEP}, {"explorer", IDC_EXPLORER}, {"other", IDC_REBOOT_OTHER},
            {"logoff", IDC_LOGOFF}, {"shutdown", IDC_SHUTDOWN}, {"terminate", IDC_TERMINATE}};
        if (!dialog || !IsWindow(dialog) || KindOf(dialog) != w[1]) dialog = TakeWindow(kWaitMs);
        if (!dialog || KindOf(dialog) != w[1])
            return Fail("expected dialog " + w[1] + ", got " + (dialog ? KindOf(dialog) : "nothing"));
        HWND list = GetDlgItem(dialog, IDC_THEMELIST);
        for (size_t i = 2; i < w.size(); i++) {
            std::string act = w[i].substr(0, w[i].find('=')), arg = w[i].substr(w[i].find('=') + 1), items;
            int id = ids.count(arg) ? ids.at(arg) : -1;
            for (LRESULT n = 0; act == "items" && n < SendMessageA(list, LB_GETCOUNT, 0, 0); n++) {
                wchar_t item[128] = L"";   // the ANSI message comes back cut from another process
                SendMessageW(list, LB_GETTEXT, n, (LPARAM)item);
                items += (n ? "," : "") + std::string(item, item + wcslen(item)); }
            if (act == "ok" || act == "cancel") PostMessageA(dialog, WM_COMMAND, act == "ok" ? IDOK : IDCANCEL, 0);
            else if (!(act == "is" ? IsDlgButtonChecked(dialog, id) == BST_CHECKED
                       : act == "click" ? PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0)
                       : act == "pick" ? SendMessageA(list, LB_SETCURSEL, atoi(arg.c_str()) - 1, 0) != LB_ERR
                       : act == "items" ? items == arg
                       : act == "closes" ? WaitUntil([&] { return !IsWindow(dialog); }, kWaitMs)
                       // no countdown: four of its 250 ms ticks pass unseen
                       : act == "still" ? !WaitUntil([&] { return TextOf(dialog) != kCaption; }, 1000)
                       : (act == "counting" || act == "stopped") &&
                         WaitUntil([&] { return (TextOf(dialog) == kCaption) == (act == "stopped"); }, kWaitMs)))
                return Fail("dialog " + w[1] + ": " + w[i] + " does not hold " + items); }
        return true; }

    // Seeded bursts of control and stray messages, and shells killed from outside. Every window
    // they bring is answered before the next burst (boxes only with a text allowed); then no key
    // may be down.
    bool Storm(unsigned seed, int count, const Words &allowed) {
        static const UINT kinds[] = {CM_SWAP, CM_KILL, CM_RESTART, CM_SWAPTHEME, CM_SHELLTERMINATED, 0, 1};
        std::map<std::string, int> tally; std::string figures = "storm: seed " + N(seed); int posted = 0, bursts = 0;
        // The messages from one generator, the answers from another: the same messages every run.
        unsigned answers = seed; auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
        auto pick = [&] { return (answers = answers * 22695477u + 1u) >> 16; };
        for (; posted < count; bursts++) {
            for (unsigned n = 1 + next() % 8; n > 0; n--, posted++) {
                UINT message = kinds[next() % 7];
                tally[message > 1 ? "control message " + N(message) : message ? "shells killed" : "stray messages"]++;
                for (bool stray = !message; stray && (!message || (message >= CM_SHELLTERMINATED && message <= CM_NUKE));)
                    message = WM_USER + next() % (0x10000 - WM_USER);
                message == 1 ? KillIn(sh) : (void)PostMessageA(Manager(), message, next(), next()); }
            for (HWND window; Sync() && (Poll(), window = TakeWindow(0)) != NULL;) {
                // A window can close before its turn: a nested handler's answer may end it first.
                std::string kind = KindOf(window);
                tally[(IsWindow(window) ? "answered " : "closed before its turn: ") + kind.substr(0, kind.find(' '))]++;
                if (!IsWindow(window)) continue;
                if (kind == "terminated")
                    PostMessageA(GetDlgItem(window, pick() % 2 ? IDC_LITESTEP : IDC_EXPLORER), BM_CLICK, 0, 0);
                if (kind == "themes") SendDlgItemMessageA(window, IDC_THEMELIST, LB_SETCURSEL, pick() % 3, 0);
                if (kind != "terminated" && kind != "themes" &&
                    std::none_of(allowed.begin(), allowed.end(), [&](auto &t) { return kind == "box \"" + gTexts[t] + "\""; }))
                    return Fail("storm: unexpected " + kind + " after " + N(posted) + " messages");
                PostMessageA(window, WM_COMMAND, kind == "themes" && pick() % 4 == 0 ? IDCANCEL : IDOK, 0); }
            if (!Manager() || Down())
                return Fail("the manager gone, or a key down once it is idle, burst " + N(bursts)); }
        for (const auto &t : tally) figures += "; " + t.first + " " + N(t.second);
        gFigures.push_back(figures + "; " + N(posted) + " in " + N(bursts) + " bursts; shell processes at once at most " +
                           N(maxShells));
        return true; }

    // The manager's threads and handles stay flat over N restarts after N to warm up (which also
    // lets every handle that is made once be made). The one allowance: the events that Wine's own
    // WaitForInputIdle leaves in its caller, measured in the same conditions: this process waits
    // for each new shell too, and counts its own events over the same restarts.
    bool Cycles(int count) {
        DWORD me = GetCurrentProcessId(), pid = GetProcessId(managers.front()), start = GetTickCount();
        std::vector<HANDLE> events(8);
        EnterCriticalSection(&lock);   // the watcher held: nothing else of ours makes handles meanwhile
        std::map<int, int> before = Handles(me), base, now, mine;
        for (HANDLE &event : events) event = CreateEventA(NULL, FALSE, FALSE, NULL);
        int eventType = -1, baseThreads = 0, threads = 0, wineLeak = 0;
        for (const auto &t : Handles(me))
            eventType = t.second - before[t.first] >= (int)events.size() ? t.first : eventType;
        for (HANDLE event : events) CloseHandle(event);
        LeaveCriticalSection(&lock);
        for (int n = -count; n <= count; n++) {
            EnterCriticalSection(&lock);
            if (n == 0) base = Handles(pid), baseThreads = Threads(pid), mine = Handles(me);
            wineLeak = Handles(me)[eventType] - mine[eventType]; LeaveCriticalSection(&lock);
            if (n == count) break;
            if (!(PostMessageA(Manager(), CM_RESTART, 0, 0) && WaitEvent({"", "litestep", "start"}) && Sync()))
                return false;
            for (const Process &shell : ProcessesIn(sh)) {
                HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, shell.pid);
                WaitForInputIdle(process, kWaitMs), CloseHandle(process); } }
        std::string growth;
        bool flat = WaitUntil([&] {
            now = Handles(pid), threads = Threads(pid), growth = "threads " + N(baseThreads) + " to " + N(threads);
            bool within = threads <= baseThreads && eventType >= 0;
            for (const auto &t : now) {
                growth += "; handles of type " + N(t.first) + (t.first == eventType ? " (events) " : " ") +
                          N(base[t.first]) + " to " + N(t.second);
                within = within && t.second - base[t.first] <= (t.first == eventType ? wineLeak : 0); }
            return within;
        }, 5000);
        gFigures.push_back("spawns: " + N(count) + " restarts after " + N(count) + " to warm up, " +
                           N(GetTickCount() - start) + " ms in all: " + growth + "; Wine's own WaitForInputIdle left " +
                           N(wineLeak) + " events in this process, which waited for each new shell too");
        return flat || Fail("grew: " + gFigures.back()); }

    std::string ConfigText() {
        std::string text;
        for (const auto &section : config) {
            text += "[" + section.first + "]\r\n";
            for (const auto &key : section.second) text += key.first + "=" + key.second + "\r\n"; }
        return text; }
    bool Started(bool manager, const Words &w) {
        checking = !manager && w.size() > 1 && w[1] == "-check";
        HANDLE process = WriteText(mgr + "Quillfern.cfg", cfgText.empty() ? ConfigText() : cfgText) ? Start(exe, Join(w, 1)) : NULL;
        EnterCriticalSection(&lock); (manager ? managers : clients).push_back(process); LeaveCriticalSection(&lock);
        return process || Fail("cannot start " + exe); }
    bool Post(const Words &w) {
        static const std::map<std::string, UINT> messages = {
            {"terminated", CM_SHELLTERMINATED}, {"swap", CM_SWAP}, {"kill", CM_KILL}, {"quit", CM_QUIT},
            {"swaptheme", CM_SWAPTHEME}, {"restart", CM_RESTART}, {"nuke", CM_NUKE}};
        if (!WaitUntil([&] { return Manager() != NULL; }, kWaitMs) || !messages.count(w[1]))
            return Fail("no manager window, or no such message");
        for (int n = w.back()[0] == 'x' ? atoi(w.back().c_str() + 1) : 1; n > 0; n--)
            PostMessageA(Manager(), messages.at(w[1]), 0, 0);
        return true; }
    // A window of the manager's class that answers what is sent to it and notes what is posted.
    static DWORD WINAPI Spy(void *scene) {
        Scene *s = (Scene *)scene; WNDCLASSA spyClass = {0, DefWindowProcA}; spyClass.lpszClassName = kControlClassName;
        RegisterClassA(&spyClass); s->spy = CreateWindowA(kControlClassName, "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
        for (MSG m; GetMessageA(&m, NULL, 0, 0) > 0;) s->spyPosted = s->spyPosted ? s->spyPosted : m.message;
        return DestroyWindow(s->spy), 0; }
    // The sample configuration with its drive C: in the row's directory, and every file and theme it names made there.
    bool Sample() {
        std::istringstream lines(cfgText = ReadText(kSource + "sample\\Quillfern.cfg"));
        for (size_t at; (at = cfgText.find("C:\\")) != std::string::npos;) cfgText.replace(at, 3, dir);
        for (std::string line; std::getline(lines, line);) {
            line.erase(line.find_last_not_of("\r") + 1); size_t equals = line.find('=');
            if (line[0] == ';' || equals == std::string::npos || line.compare(equals + 1, 3, "C:\\")) continue;
            std::string file = dir + line.substr(equals + 4);
            for (size_t slash = dir.size(); (slash = file.find('\\', slash + 1)) != std::string::npos;)
                CreateDirectoryA(file.substr(0, slash).c_str(), NULL);
            if (line.compare(0, 11, "theme_path_") ? !WriteText(file, "") : !CreateDirectoryA(file.c_str(), NULL) ||
                !WriteText(file + "\\step.rc", "") || !WriteText(file + "\\modules.ini", ""))
                return Fail("cannot make " + file); }
        return true; }
    bool Themes(int count) {
        for (int n = 1; n <= count; n++) {
            std::string name = "t" + N(n), path = "@dir\\" + name; CreateDirectoryA((dir + name).c_str(), NULL);
            WriteText(dir + name + "\\step.rc", "step.rc of " + name);
            WriteText(dir + name + "\\modules.ini", "modules.ini of " + name);
            Set("Themes.theme_name_" + N(n) + "=" + name), Set("Themes.theme_path_" + N(n) + "=" + path);
            Set("Themes.theme_back_" + N(n) + "=" + path + "\\back.bmp"); }
        return true; }

    std::map<std::string, std::function<bool(const Words &)>> verbs = {
        {"cfg", [&](const Words &w) { return std::all_of(w.begin() + 1, w.end(), [&](auto &item) { return Set(item); }); }},
        {"themes", [&](const Words &w) { return Themes(atoi(w[1].c_str())); }},
        {"behave", [&](const Words &w) { return Done(WriteText(sh + w[1] + ".txt", Join(w, 2))); }},
        {"write", [&](const Words &w) { return Done(WriteText(dir + w[1], Join(w, 2))); }},
        {"remove", [&](const Words &w) { return Done(DeleteFileA((dir + w[1]).c_str())); }},
        {"mkdir", [&](const Words &w) { return Done(CreateDirectoryA((dir + w[1]).c_str(), NULL)); }},
        {"platform", [&](const Words &w) {
            win98 = w[1] == "win98" || w[1] == "win95";
            return Done(Reg("add HKCU\\" + std::string(kAppDefaults) + " /v Version /d " + w[1] + " /f")); }},
        {"setreg", [&](const Words &w) { return Done(Reg("add " + (w[1] == "HKCU" ? kHkcu : kHklm) + " /v " + w[2] +
                                                         " /d " + Join(w, 3) + " /f")); }},
        // For System.ini a directory: a read-only file stops no one who runs as root.
        {"fault", [&](const Words &w) {
            systemIniText = ReadText(systemIni);
            if (w[1] == "systemini")
                return Done(DeleteFileA(systemIni.c_str()) && CreateDirectoryA(systemIni.c_str(), NULL));
            return Done((winlogonGone = Reg("export " + kHklm + " " + dir + "winlogon.reg /y")) && Reg("delete " + kHklm + " /f")); }},
        {"longdir", [&](const Words &w) {
            PlaceManager(dir + std::string(atoi(w[1].c_str()) - dir.size() - strlen("\\Quillfern.exe"), 'd') + "\\");
            return true; }},
        {"start", [&](const Words &w) { return Started(true, w); }},
        {"client", [&](const Words &w) { return Started(false, w); }},
        {"launch", [&](const Words &w) { return Done(CloseHandle(Start(sh + w[1] + ".exe", ""))); }},
        {"post", [&](const Words &w) { return Post(w); }},
        {"box", [&](const Words &w) { return Box(w); }},
        {"dialog", [&](const Words &w) { return Dialog(w); }},
        {"wait", [&](const Words &w) { return WaitEvent(w); }},
        {"expect", [&](const Words &w) { return Expect(w); }},
        {"sync", [&](const Words &) { return Sync(); }},
        {"hold", [&](const Words &w) {
            std::string log = ReadText(sh + "events.log");
            return !WaitUntil([&] { return ReadText(sh + "events.log") != log || !NoWindows(); }, atoi(w[1].c_str()) * 1000) ||
                   Fail("something happened"); }},
        {"exits", [&](const Words &) {
            for (HANDLE process : managers)
                if (DWORD code = Finish(process)) return Fail("manager exit code " + N(code));
            return true; }},
        {"storm", [&](const Words &w) { return Storm(atoi(w[1].c_str()), atoi(w[2].c_str()), Words(w.begin() + 3, w.end())); }},
        {"cycles", [&](const Words &w) { return Cycles(atoi(w[1].c_str())); }},
        {"cfgtext", [&](const Words &w) {
            cfgText = Resolve(gTexts[w[1]]);
            for (size_t at = 0; (at = cfgText.find('\n', at)) != std::string::npos; at += 2) cfgText.insert(at, "\r");
            return true; }},
        {"bigcfg", [&](const Words &w) {   // N keys Quillfern does not read, among comments up to 1 MB
            for (written = 0; written < atoi(w[1].c_str()); written++) Set("kill_dealy_" + N(written) + "=5");
            for (cfgText = ConfigText(); cfgText.size() < (1u << 20);) cfgText += "; " + std::string(77, '-') + "\r\n";
            return true; }},
        {"sample", [&](const Words &) { return Sample(); }},
        {"press", [&](const Words &) { return keybd_event(VK_CONTROL, 0, 0, 0), true; }},
        {"release", [&](const Words &) { return keybd_event(VK_CONTROL, 0, KEYEVENTF_KEYUP, 0), true; }},
        {"spy", [&](const Words &) {
            CloseHandle(CreateThread(NULL, 0, Spy, this, 0, NULL));
            return WaitUntil([&] { return spy != NULL; }, kWaitMs) || Fail("no spy window"); }},
    }; };

void PrintTo(const Row &row, std::ostream *out) { *out << row.name; }
class Scenario : public testing::TestWithParam<Row> {};
TEST_P(Scenario, Row) { Scene(GetParam()).Run(); }
INSTANTIATE_TEST_SUITE_P(Table, Scenario, testing::ValuesIn(LoadRows()), [](const testing::TestParamInfo<Row> &info) {
    std::string name = info.param.name;
    std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum((unsigned char)c); }, '_'); return name;
});
TEST(Scenarios, TableHasRows) {
    EXPECT_TRUE(!LoadRows().empty() && gUnmatched.empty()) << "no rows in tests\\scenarios.txt, or a part of QF_ROWS that names none: " << Join(gUnmatched, 0);
}

// The Winlogon keys go back as they were before the run (values the run added may stay); the
// figures are written only when every check of a run of the whole table passed (a run of picked
// rows, such as the i686 lane's, leaves them as they are).
struct Figures : testing::Environment {
    const bool whole = getenv("QF_ROWS") == nullptr;
    void SetUp() override {
        if (whole) DeleteFileA((kBin + "robustness.txt").c_str());
        KillIn(kBin + "scratch\\");   // what a run stopped half-way left running
        Reg("export " + kHklm + " " + kBin + "hklm.reg /y"), Reg("export " + kHkcu + " " + kBin + "hkcu.reg /y"); }
    void TearDown() override {
        std::string text;
        for (const std::string &line : gFigures) text += line + "\r\n";
        if (whole && testing::UnitTest::GetInstance()->Passed() && !gFigures.empty()) WriteText(kBin + "robustness.txt", text);
        Reg("import " + kBin + "hklm.reg"), Reg("import " + kBin + "hkcu.reg"); } };
testing::Environment *const gFiguresEnvironment = testing::AddGlobalTestEnvironment(new Figures);

}  // namespace
