// The procedures with real logic, in process, a table each. A row names its
// case and inputs and spells out what must come out, every message box
// included, in order and word for word: any other box fails the row.
#include <gtest/gtest.h>
#include <windows.h>
#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "app/manager.h"
#include "common/message_box.h"
#include "common/text.h"
#include "cli/cli.h"
#include "config/config.h"
#include "control/control.h"
#include "shell/shell.h"
#include "themes/theme.h"

namespace {

using std::string;
using std::to_string;

// The product's texts that no header shares, and the tags the rows use for them.
const char *const kTexts[][2] = {
    {"theme-directive", "The theme directive for this user in Quillfern.cfg is\nundefined.  Please check Quillfern.cfg and verify that\nall paths are correct."},
    {"shell-directive", "The shell directive for this user in Quillfern.cfg is\nundefined.  Please check Quillfern.cfg and verify that\nall paths are correct."},
    {"theme-failed", "An error has occured while installing the current user's\ntheme.  Please check Quillfern.cfg and verify that\nall paths are correct."},
    {"no-manager", "Could not find a currently running instance of Quillfern."},
    {"uninstalled", "Quillfern has been successfully uninstalled."},
    {"shell-failed", kSystemShellFailed},
};
const string kNotAnOption = " is not a valid Quillfern option.";

string Quoted(const string &text) { return " [\"" + text + "\"]"; }

CRITICAL_SECTION gLock;
std::vector<string> gSeen;

// Presses OK in every box of this process once it shows, after keeping its text, marked when the box is
// not captioned kCaption or has an owner. (Wine makes no box top-most for MB_TOPMOST: that cannot be seen.)
DWORD WINAPI WatchBoxes(void *)
{
    for (HWND box = NULL;; box = NULL, Sleep(10)) {
        DWORD pid = 0;
        char caption[256] = "", text[1024] = "";
        while ((box = FindWindowExA(NULL, box, "#32770", NULL)) &&
               !(GetWindowThreadProcessId(box, &pid) && pid == GetCurrentProcessId() && IsWindowVisible(box))) {}
        if (box == NULL)
            continue;
        GetWindowTextA(box, caption, sizeof caption);
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        EnterCriticalSection(&gLock);
        gSeen.push_back((strcmp(caption, kCaption) ? "captioned " + string(caption) + ": " : "") + (GetWindow(box, GW_OWNER) ? "owned: " : "") + text);
        LeaveCriticalSection(&gLock);
        // Its thread waits in it: no other box can come before this one is gone.
        for (; IsWindow(box); Sleep(10))
            PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
}

const HANDLE gWatcher = (InitializeCriticalSection(&gLock), CreateThread(NULL, 0, WatchBoxes, NULL, 0, NULL));

// The boxes since the last call: " [tag]" for a text of kTexts, else the text quoted.
string Boxes()
{
    EnterCriticalSection(&gLock);
    string shown = gWatcher ? "" : " [no box watcher]";
    for (const string &text : gSeen) {
        auto known = std::find_if(std::begin(kTexts), std::end(kTexts), [&](const char *const *k) { return text == k[1]; });
        shown += known != std::end(kTexts) ? string(" [") + (*known)[0] + "]" : Quoted(text);
    }
    gSeen.clear();
    LeaveCriticalSection(&gLock);
    return shown;
}

void Put(const string &path, const string &text) { std::ofstream(path, std::ios::binary) << text; }
string Get(const string &path)   // "-": no such file
{
    std::ifstream f(path, std::ios::binary);
    return f ? string(std::istreambuf_iterator<char>(f), {}) : "-";
}

const string kScratch = [] { char t[MAX_PATH]; GetTempPathA(MAX_PATH, t); string d = t + string("qf_tables\\"); CreateDirectoryA(d.c_str(), NULL); return d; }();
const string kSystemIni = [] { char d[MAX_PATH]; GetWindowsDirectoryA(d, MAX_PATH); return d + string("\\System.ini"); }();

// A directory of its own per row: Wine's profile functions keep what they have read, and could take a
// rewritten file of the same name for the old one.
string Scratch(const string &name) { return CreateDirectoryA((kScratch + name).c_str(), NULL), kScratch + name + "\\"; }

string IniShell()
{
    char text[512];
    GetPrivateProfileStringA("boot", "shell", "(none)", text, sizeof text, kSystemIni.c_str());
    return text;
}

// HKLM Winlogon "Shell" as stored, in UTF-16: a REG_SZ with its terminating zero.
string RegShell()
{
    HKEY key = NULL;
    WCHAR data[1024];
    DWORD type = 0, size = sizeof data;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_QUERY_VALUE, &key);
    LONG status = RegQueryValueExW(key, L"Shell", NULL, &type, (BYTE *)data, &size);
    RegCloseKey(key);
    size /= sizeof(WCHAR);
    return status ? "(none)" : type != REG_SZ || !size || data[size - 1] ? "(not a REG_SZ with its zero)" : string(data, data + size - 1);
}

void SetShells(const string &reg, const string &ini)
{
    HKEY key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    reg == "(none)" ? RegDeleteValueA(key, "Shell") : RegSetValueExA(key, "Shell", 0, REG_SZ, (const BYTE *)reg.c_str(), reg.size() + 1);
    RegCloseKey(key);
    WritePrivateProfileStringA("boot", "shell", ini == "(none)" ? NULL : ini.c_str(), kSystemIni.c_str());
}

// Both platforms' system shell setting, put back when a test ends.
struct KeepShells { string reg = RegShell(), ini = IniShell(); ~KeepShells() { SetShells(reg, ini); } };

// ---- Configuration: both phases, the fall-back to [default], field limits ----

// Section after the fall-back, shell kind, ask_boot, the delays; after both
// phases the table sizes, each with the entry chosen.
string Loaded(const char *section, int phases)
{
    const char *const kinds[] = {"?", "litestep", "explorer", "alternate"};
    LONG k = gState.shellKind;
    string s = string(section) + " " + (k >= 1 && k <= 3 ? kinds[k] : "kind" + to_string(k)) + " ask=" + to_string(gState.askBoot) +
               " start=" + to_string(gState.startDelay) + " kill=" + to_string(gState.killDelay) + " shift=" + to_string(gState.shiftDelay);
    if (phases == 2)
        s += " themes=" + to_string(gState.themeCount) + "/" + to_string(gState.themeIndex) +
             " alts=" + to_string(gState.altShellCount) + "/" + to_string(gState.altShellIndex);
    return s;
}

// The paths, the chosen theme's fields and the chosen alternate shell's path.
string Texts()
{
    LONG t = gState.themeIndex;
    string theme = t >= 0 && t < kMaxThemes ? string(gState.themes[t].name) + "|" + gState.themes[t].path + "|" + gState.themes[t].back : "-";
    return string(gState.liteStepPath) + "|" + gState.explorerPath + "|" + theme + "|" + (gState.altShellIndex >= 0 ? gState.alternatePath : "-");
}

TEST(Tables, Configuration)
{
    string sample = __FILE__;
    sample = Get((sample[0] == '/' ? "Z:" : "") + sample.substr(0, sample.rfind("tests")) + "sample/Quillfern.cfg");
    const string n63(63, 'n'), s63(63, 's'), p259 = "C:\\" + string(256, 'p'), ls = "shell=litestep_exe\n";
    // Ten themes and more, alternate shells with a gap; values at and past their fields' sizes.
    string one = "[QUILLFERN]\nLiteStep_Exe=" + p259 + "\nexplorer_exe=" + p259 + "q\n[default]\nshell=LITESTEP_EXE\nkill_delay=7\n"
        "[keys]\nask_boot=1\nstart_delay=9\nkill_delay=3\nshift_delay=4\ntheme=Night\n[empty]\nshell=\nask_boot=1\n"
        "[Case]\nSHELL=explorer_EXE\nTheme=night\nAsk_Boot=-3\n[notkw]\nshell=Explorer\n[dup]\nshell=filemgr\ntheme=DUP\n"
        "[at]\nshell=" + s63 + "\ntheme=" + n63 + "\n[past]\nshell=" + s63 + "s\ntheme=" + n63 + "n\n[last]\nshell=never\ntheme=t10\n"
        "[eleven]\nshell=explorer_exe\ntheme=T11\n[notheme]\nshell=explorer_exe\ntheme=\n[d0]\n" + ls + "kill_delay=0\nshift_delay=0\n"
        "[dneg]\n" + ls + "kill_delay=-5\nshift_delay=-2147483648\n[dhour]\n" + ls + "kill_delay=3601\nshift_delay=3601\n[dhuge]\n" + ls +
        "kill_delay=2147484\nshift_delay=2147483647\n[dnan]\n" + ls + "kill_delay=abc\nshift_delay=x1\nask_boot=no\nstart_delay=\n"
        "[Themes]\ntheme_name_1=" + n63 + "n\ntheme_path_1=" + p259 + "q\ntheme_back_1=" + p259 + "\ntheme_name_2=Dup\ntheme_name_3=Night\n"
        "theme_name_4=Dup\n[Alternate_Shells]\naltshell_name_1=" + s63 + "s\naltshell_path_1=" + p259 + "q\naltshell_name_2=FileMgr\n"
        "altshell_path_2=C:\\one.exe\naltshell_name_3=FileMgr\naltshell_path_3=C:\\two.exe\naltshell_name_5=Never\n";
    for (int n = 5; n <= 11; n++)
        one.insert(one.find("[Alternate_Shells]"), "theme_name_" + to_string(n) + "=T" + to_string(n) + "\n");
    // Themes with a gap, six alternate shells.
    string two = "[u]\nshell=S6\ntheme=E\n[v]\nshell=s5\n[Themes]\ntheme_name_1=A\ntheme_name_2=B\ntheme_name_3=C\ntheme_name_5=E\n[Alternate_Shells]\n";
    for (int n = 1; n <= 6; n++)
        two += "altshell_name_" + to_string(n) + "=S" + to_string(n) + "\n";
    const string deep = "[default]\nshell=explorer_exe\nkill_delay=3\n", none, d = " ask=0 start=0 ", a = " ask=1 start=0 ";
    const struct { const char *name; const string &cfg; const char *user; int phases; string want, texts = ""; size_t dirLength = 0; } rows[] = {
        {"sample: its user", sample, "operator", 2, "operator litestep" + d + "kill=5000 shift=2 themes=2/1 alts=1/-1",
         "C:\\LiteStep\\LiteStep.exe|C:\\Windows\\Explorer.exe|Night|C:\\LiteStep\\themes\\night|C:\\LiteStep\\themes\\night\\back.bmp|-"},
        {"sample: anyone else", sample, "someone", 2, "default explorer" + d + "kill=10000 shift=-1 themes=2/-1 alts=1/-1"},
        {"no shell of one's own: all from [default]", one, "keys", 2, "default litestep" + d + "kill=7000 shift=-1 themes=10/-1 alts=3/-1"},
        {"an empty shell is a missing one", one, "empty", 2, "default litestep" + d + "kill=7000 shift=-1 themes=10/-1 alts=3/-1"},
        {"names and keywords in any case", one, "case", 2, "case explorer" + a + "kill=10000 shift=-1 themes=10/2 alts=3/-1"},
        {"Explorer is no keyword", one, "notkw", 2, "notkw explorer" + a + "kill=10000 shift=-1 themes=10/-1 alts=3/-1 [shell-directive]"},
        {"the client's phase shows nothing", one, "notkw", 1, "notkw alternate" + d + "kill=10000 shift=-1"},
        {"equal names: the first wins", one, "dup", 2, "dup alternate" + d + "kill=10000 shift=-1 themes=10/1 alts=3/1",
         p259 + "|" + p259 + "|Dup|||C:\\one.exe"},
        {"values of 63 and 259 kept, of 64 and 260 cut", one, "at", 2, "at alternate" + d + "kill=10000 shift=-1 themes=10/0 alts=3/0",
         p259 + "|" + p259 + "|" + n63 + "|" + p259 + "|" + p259 + "|" + p259},
        {"directives of 64 match no cut name", one, "past", 2,
         "past explorer" + a + "kill=10000 shift=-1 themes=10/-1 alts=3/-1 [theme-directive] [shell-directive]"},
        {"the tenth theme; no shell after a gap", one, "last", 2, "last explorer" + a + "kill=10000 shift=-1 themes=10/9 alts=3/-1 [shell-directive]"},
        {"no eleventh theme", one, "eleven", 2, "eleven explorer" + d + "kill=10000 shift=-1 themes=10/-1 alts=3/-1 [theme-directive]"},
        {"an empty theme key", one, "notheme", 2, "notheme explorer" + d + "kill=10000 shift=-1 themes=10/-1 alts=3/-1"},
        {"delays of 0", one, "d0", 1, "d0 litestep" + d + "kill=0 shift=0"},
        {"delays below -1", one, "dneg", 1, "dneg litestep" + d + "kill=10000 shift=-1"},
        {"delays past an hour", one, "dhour", 1, "dhour litestep" + d + "kill=3600000 shift=3600"},
        {"huge delays do not overflow", one, "dhuge", 1, "dhuge litestep" + d + "kill=3600000 shift=3600"},
        {"numbers that are none", one, "dnan", 1, "dnan litestep" + d + "kill=0 shift=0"},
        {"no theme after a gap; five shells at most", two, "u", 2,
         "u explorer" + a + "kill=10000 shift=-1 themes=3/-1 alts=5/-1 [theme-directive] [shell-directive]"},
        {"the fifth shell", two, "v", 2, "v alternate" + d + "kill=10000 shift=-1 themes=3/-1 alts=5/4"},
        {"no file: the client's phase", none, "u", 1, "default alternate" + d + "kill=10000 shift=-1"},
        {"no file: the user is asked", none, "u", 2, "default explorer" + a + "kill=10000 shift=-1 themes=0/-1 alts=0/-1 [shell-directive]"},
        {"the longest manager path that fits", deep, "u", 1, "default explorer" + d + "kill=3000 shift=-1", "", 246},
        {"a manager path one longer is not cut", deep, "u", 1, "default alternate" + d + "kill=10000 shift=-1", "", 247},
    };
    Boxes();
    for (size_t i = 0; i < ARRAYSIZE(rows); i++) {
        const auto &row = rows[i];
        string dir = Scratch("config" + to_string(i));
        if (row.dirLength != 0) {
            // Padded with ".\"; the file is also put where a path cut to 259 would lead.
            CreateDirectoryA((dir += (row.dirLength - dir.size()) % 2 ? "dd\\" : "d\\").c_str(), NULL);
            while (dir.size() < row.dirLength)
                dir += ".\\";
            Put(dir + string(kConfigFileName).substr(0, kPathSize - 1 - dir.size()), row.cfg);
        }
        if (!row.cfg.empty())
            Put(dir + kConfigFileName, row.cfg);
        memset((void *)&gState, 0xCC, sizeof gState);
        strcpy(gState.managerDir, dir.c_str());
        struct { char before[8], section[kPathSize], after[8]; } user;
        memset(&user, 0xCC, sizeof user);
        strcpy(user.section, row.user);
        LoadUserSettings(user.section);
        if (row.phases == 2)
            LoadThemesAndShells(user.section);
        EXPECT_EQ(row.want, Loaded(user.section, row.phases) + Boxes()) << row.name;
        EXPECT_EQ(row.texts, row.texts.empty() ? "" : Texts()) << row.name;
        EXPECT_EQ(string(16, (char)0xCC), string(user.before, 8) + string(user.after, 8)) << row.name << ": around the section";
    }
}

// ---- The command line: the tail after the program name, its word, the message posted or the box shown ----

TEST(Tables, CommandLines)
{
    KeepShells keep;
    ASSERT_EQ(NULL, FindWindowA(kControlClassName, NULL)) << "a manager runs here and would take the posts";
    WNDCLASSA windowClass = {0, DefWindowProcA, 0, 0, GetModuleHandleA(NULL), NULL, NULL, NULL, NULL, kControlClassName};
    RegisterClassA(&windowClass);
    const string w300(300, 'w');
    // want: the tail in brackets, then the messages posted and the boxes; an empty tail starts a manager instead.
    const struct { const char *name; string line; bool manager; string want; } rows[] = {
        {"a quoted name with blanks", "\"C:\\Program Files\\Quillfern\\Quillfern.exe\"   -restart", true, "[-restart] " + to_string(CM_RESTART)},
        {"a tail right after the closing quote", "\"C:\\Tools\\Quillfern.exe\"-swap", true, "[-swap] " + to_string(CM_SWAP)},
        {"a quote never closed: all name", "\"C:\\Tools\\Quillfern.exe -swap", true, "[] "},
        {"bytes above 127 belong to the name", "C:\\T\xe9l\xe9\\Quillfern\xff.exe -kill", true, "[-kill] " + to_string(CM_KILL)},
        {"control characters are blanks; the word ends at one", "Q.exe \x01\x1f\t -quit extra", true, "[-quit extra] " + to_string(CM_QUIT)},
        {"blanks only", "Quillfern.exe    ", true, "[] "}, {"nothing at all", "", true, "[] "},
        {"swaptheme in any case", "Q.exe /SwApThEmE", true, "[/SwApThEmE] " + to_string(CM_SWAPTHEME)},
        {"the word ends at a tab", "Q.exe -reboot\tx", true, "[-reboot\tx] " + to_string(CM_REBOOT)},
        {"shutdown", "Q.exe -shutdown", true, "[-shutdown] " + to_string(CM_SHUTDOWN)},
        {"logoff", "Q.exe -logoff", true, "[-logoff] " + to_string(CM_LOGOFF)},
        {"nuke", "Q.exe -nuke", true, "[-nuke] " + to_string(CM_NUKE)},
        {"a longer word is another", "Q.exe -swapx", true, "[-swapx] " + Quoted("swapx" + kNotAnOption)},
        {"the switch alone", "Q.exe -", true, "[-] " + Quoted(kNotAnOption)},
        {"a word too long for the box is cut", "Q.exe -" + w300, true, "[-" + w300 + "] " + Quoted(w300.substr(0, 255 - kNotAnOption.size()) + kNotAnOption)},
        {"no manager", "Q.exe -swap", false, "[-swap]  [no-manager]"}, {"no manager, no word", "Q.exe -bogus", false, "[-bogus]  [no-manager]"},
        {"uninstall ends the manager, saying so", "Q.exe -uninstall", true, "[-uninstall] " + to_string(CM_QUIT) + " with parameters [uninstalled]"},
        {"uninstall without a manager", "Q.exe -uninstall", false, "[-uninstall]  [uninstalled]"},
    };
    const string cfg = Scratch("words");
    Put(cfg + kConfigFileName, "[default]\nshell=explorer_exe\n");
    Boxes();
    for (const auto &row : rows) {
        gState = ManagerState();
        gState.isNT = true;
        strcpy(gState.managerDir, cfg.c_str());
        HWND window = row.manager ? CreateWindowExA(0, kControlClassName, "", 0, 0, 0, 0, 0, NULL, NULL, windowClass.hInstance, NULL) : NULL;
        string line = row.line + '\0' + string(16, (char)0xCC), want = line;
        char *tail = FormCommandTail(&line[0]);
        string got = "[" + string(tail) + "] ";
        if (*tail != '\0')
            RunCommand(tail + 1);
        for (MSG m; window && PeekMessageA(&m, window, WM_USER, 0xFFFF, PM_REMOVE);)
            got += to_string(m.message) + (m.wParam || m.lParam ? " with parameters" : "");
        EXPECT_EQ(row.want, got + Boxes()) << row.name;
        size_t blank = *tail ? want.find_first_of(" \t\n\v\f\r", tail + 1 - &line[0]) : string::npos;
        if (blank < row.line.size())
            want[blank] = '\0';
        EXPECT_EQ(want, line) << row.name << ": only the word's end may be written";
        DestroyWindow(window);
    }
    UnregisterClassA(kControlClassName, windowClass.hInstance);
}

// ---- The system shell setting (HKLM Winlogon "Shell" on NT, System.ini on 95/98) and the session exit ----

// Whether this process has the shutdown privilege enabled; set turns it on (1) or off (0) first.
int ShutdownPrivilege(int set = -1)
{
    HANDLE token = NULL;
    PRIVILEGE_SET check = {1, PRIVILEGE_SET_ALL_NECESSARY, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    BOOL enabled = -1;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &token);
    LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &check.Privilege[0].Luid);
    TOKEN_PRIVILEGES change = {1, {{check.Privilege[0].Luid, set == 1 ? (DWORD)SE_PRIVILEGE_ENABLED : 0}}};
    if (set >= 0)
        AdjustTokenPrivileges(token, FALSE, &change, 0, NULL, NULL);
    PrivilegeCheck(token, &check, &enabled);
    CloseHandle(token);
    return enabled;
}

string gRequests;   // how things stood at each exit request

// Stands for ExitWindowsEx, which would end the Wine session that runs the tests.
BOOL WINAPI RecordExit(UINT flags, DWORD reason)
{
    gRequests += "exit flags=" + to_string(flags) + " reason=" + to_string(reason) + (gState.shellExitExpected ? " expected" : " unexpected") +
                 " privilege=" + to_string(ShutdownPrivilege()) + " shell=" + (gState.isNT ? RegShell() : IniShell()) + Boxes() + ";";
    return FALSE;
}

TEST(Tables, SystemShellAndExit)
{
    KeepShells keep;
    const string q = "C:\\Q\\", ls = "C:\\LS\\LiteStep.exe", d246 = "C:\\" + string(242, 'd') + "\\", d247 = d246 + "d";
    const string refused = "refused reg=- ini=- ours [shell-failed]", ini = kSystemIni, aside = ini + ".qf", qf = "C:\\Q\\Quillfern.exe";
    char *system = NULL;   // the system's own text for a code
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL, ERROR_ACCESS_DENIED, 0x400, (LPSTR)&system, 0, NULL);
    const string denied = system ? system : "(no text)";
    LocalFree(system);
    enum { UNINSTALLED = 1, BLOCKED = 2, FOREIGN = 4 };
    // From "-" in both stores. act: "set N" SetSystemShell(N), "exit N" ExitSession(N), "error N" ShowSystemError(N);
    // other: some other program's write after it; FOREIGN: C:\Else.exe written after the manager's start, before the act.
    const struct { const char *name; bool nt; const char *act; string dir, lite, alt; int flags; const char *other; string want; } rows[] = {
        {"NT: the manager", true, "set 0", q, ls, "", 0, NULL, "written reg=" + qf + " ini=- ours"},
        {"NT: LiteStep", true, "set 1", q, ls, "", 0, NULL, "written reg=" + ls + " ini=- ours"},
        {"NT: Explorer by its bare name", true, "set 2", q, ls, "", 0, NULL, "written reg=Explorer.exe ini=- ours"},
        {"NT: the alternate shell", true, "set 3", q, ls, "C:\\Alt.exe", 0, NULL, "written reg=C:\\Alt.exe ini=- ours"},
        {"NT: uninstalled, not the manager", true, "set 0", q, ls, "", UNINSTALLED, NULL, "written reg=- ini=- ours"},
        {"NT: uninstalled, not LiteStep either", true, "set 1", q, ls, "", UNINSTALLED, NULL, "written reg=- ini=- ours"},
        {"NT: written by someone else since the start", true, "set 1", q, ls, "", FOREIGN, NULL, "written reg=C:\\Else.exe ini=- not ours"},
        {"NT: a manager path of 259", true, "set 0", d246, ls, "", 0, NULL, "written reg=" + d246 + "Quillfern.exe ini=- ours"},
        {"NT: a manager path of 260", true, "set 0", d247, ls, "", 0, NULL, refused},
        {"NT: LiteStep without a path", true, "set 1", q, "", "", 0, NULL, refused},
        {"NT: an alternate shell without a path", true, "set 3", q, ls, "", 0, NULL, refused},
        {"NT: someone else wrote LiteStep since", true, "set 0", q, ls, "", 0, "C:\\LS\\LiteStep.exe", "written reg=" + ls + " ini=- not ours"},
        {"NT: the same path in other capitals", true, "set 0", q, ls, "", 0, "C:\\q\\QUILLFERN.EXE", "written reg=C:\\q\\QUILLFERN.EXE ini=- ours"},
        {"NT: the value taken away", true, "set 0", q, ls, "", 0, "(none)", "written reg=(none) ini=- ours"},
        {"95: the manager", false, "set 0", q, ls, "", 0, NULL, "written reg=- ini=" + qf + " ours"},
        {"95: uninstalled", false, "set 0", q, ls, "", UNINSTALLED, NULL, "written reg=- ini=- ours"},
        {"95: a manager path of 259", false, "set 0", d246, ls, "", 0, NULL, "written reg=- ini=" + d246 + "Quillfern.exe ours"},
        {"95: a manager path of 260", false, "set 0", d247, ls, "", 0, NULL, refused},
        {"95: System.ini cannot be written", false, "set 2", q, ls, "", BLOCKED, NULL, refused},
        {"95: someone else wrote LiteStep since", false, "set 0", q, ls, "", 0, "C:\\LS\\LiteStep.exe", "written reg=- ini=" + ls + " not ours"},
        {"NT: log off", true, "exit 0", q, ls, "", 0, NULL, "exit flags=0 reason=0 expected privilege=1 shell=" + qf + "; reg=" + qf + " ini=- ours"},
        {"NT: shut down", true, "exit 1", q, ls, "", 0, NULL, "exit flags=1 reason=0 expected privilege=1 shell=" + qf + "; reg=" + qf + " ini=- ours"},
        {"NT: reboot", true, "exit 2", q, ls, "", 0, NULL, "exit flags=2 reason=0 expected privilege=1 shell=" + qf + "; reg=" + qf + " ini=- ours"},
        {"NT: an exit when uninstalled", true, "exit 0", q, ls, "", UNINSTALLED, NULL, "exit flags=0 reason=0 expected privilege=1 shell=-; reg=- ini=- ours"},
        {"NT: an exit with a failed write-back", true, "exit 1", string(kPathSize - 1, 'd'), ls, "", 0, NULL,
         "exit flags=1 reason=0 expected privilege=1 shell=- [shell-failed]; reg=- ini=- ours"},
        {"95: reboot, no privilege work", false, "exit 2", q, ls, "", 0, NULL, "exit flags=2 reason=0 expected privilege=0 shell=" + qf + "; reg=- ini=" + qf + " ours"},
        {"95: written by someone else since the start", false, "exit 2", q, ls, "", FOREIGN, NULL,
         "exit flags=2 reason=0 expected privilege=0 shell=C:\\Else.exe; reg=- ini=C:\\Else.exe not ours"},
        {"the system's text for an error", true, "error 5", q, ls, "", 0, NULL, "reg=- ini=- ours" + Quoted(denied)},
        {"an error the system has no text for", true, "error 536914893", q, ls, "", 0, NULL, "reg=- ini=- ours" + Quoted("Error 536914893")},
    };
    Boxes();
    for (const auto &row : rows) {
        gState = ManagerState();
        gState.isNT = row.nt;
        gState.uninstalled = row.flags & UNINSTALLED;
        strcpy(gState.managerDir, row.dir.c_str());
        strcpy(gState.liteStepPath, row.lite.c_str());
        strcpy(gState.explorerPath, "C:\\Windows\\Explorer.exe");
        strcpy(gState.alternatePath, row.alt.c_str());
        SetShells("-", "-");
        if (row.flags & FOREIGN)
            NoteSystemShellAtStart(), row.nt ? SetShells("C:\\Else.exe", "-") : SetShells("-", "C:\\Else.exe");
        ASSERT_EQ(0, ShutdownPrivilege(0)) << "the shutdown privilege cannot be turned off here";
        if (row.flags & BLOCKED)   // running as root, only a directory in its place stops a write
            MoveFileExA(ini.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING), CreateDirectoryA(ini.c_str(), NULL);
        unsigned long n = strtoul(strchr(row.act, ' '), NULL, 10);
        gRequests.clear();
        gExitWindowsEx = RecordExit;
        string got = row.act[0] == 's' ? (SetSystemShell(n) ? "written " : "refused ") : row.act[1] == 'x' ? (ExitSession(n), gRequests + " ")
                   : (ShowSystemError(n), "");
        gExitWindowsEx = ExitWindowsEx;
        if (row.flags & BLOCKED)   // the file back, and the profile functions' copy of it dropped
            RemoveDirectoryA(ini.c_str()), MoveFileA(aside.c_str(), ini.c_str()), WritePrivateProfileStringA(NULL, NULL, NULL, ini.c_str());
        if (row.other != NULL)
            row.nt ? SetShells(row.other, "-") : SetShells("-", row.other);
        got += "reg=" + RegShell() + " ini=" + IniShell() + (SystemShellStillOurs() ? " ours" : " not ours");
        EXPECT_EQ(row.want, got + Boxes()) << row.name;
    }
}

// ---- The monitor watches a shell whose handle cannot be duplicated all the same ----

extern "C" void *__imp_DuplicateHandle;
BOOL WINAPI NoDuplicate(HANDLE, HANDLE, HANDLE, HANDLE *, DWORD, BOOL, DWORD) { return FALSE; }

TEST(Tables, ShellWatchedWithoutDuplicate)
{
    void **slot = &__imp_DuplicateHandle, *real = *slot;
    DWORD access;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &access);
    gState = ManagerState();
    gState.uninstalled = true;   // nothing written to the system shell setting
    gState.shellKind = SHELL_ALTERNATE;
    GetWindowsDirectoryA(gState.alternatePath, MAX_PATH);
    strcat(gState.alternatePath, "\\notepad.exe");
    gState.controlWindow = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    *slot = (void *)NoDuplicate;
    bool spawned = SpawnShell();
    *slot = real;
    TerminateProcess(gState.shellProcess.hProcess, 1);
    MSG m;
    bool reported = false;
    for (DWORD start = GetTickCount(); !reported && GetTickCount() - start < 10000; Sleep(10))
        reported = PeekMessageA(&m, gState.controlWindow, CM_SHELLTERMINATED, CM_SHELLTERMINATED, PM_REMOVE);
    EXPECT_EQ("spawned, end reported", string(spawned ? "spawned" : "not spawned") + (reported ? ", end reported" : ", end unreported") + Boxes());
    DestroyWindow(gState.controlWindow);
}

// ---- Theme installation: backups, copies, wallpaper; nothing half-done ----

string Wallpaper()
{
    char path[MAX_PATH] = "";
    SystemParametersInfoA(SPI_GETDESKWALLPAPER, sizeof path, path, 0);
    return path;
}

TEST(Tables, InstallTheme)
{
    const string saved = Wallpaper(), d = Scratch("theme"), lite = d + "LS\\LiteStep.exe", theme = d + "Theme";
    // Each file starts out holding a tag; after a row, the tags tell where every file came from.
    const char *const files[][2] = {{"LS\\step.rc", "ls.rc"}, {"LS\\modules.ini", "ls.ini"}, {"Theme\\step.rc", "th.rc"},
        {"Theme\\modules.ini", "th.ini"}, {"Mgr\\Previous_Step.rc", "old.rc"}, {"Mgr\\Previous_Modules.ini", "old.ini"}};
    const string installed = "ok th.rc th.ini th.rc th.ini ls.rc ls.ini wallpaper";
    const string untouched = "failed ls.rc ls.ini th.rc th.ini old.rc old.ini [theme-failed]";
    const struct { const char *name, *missing; string lite, theme; int times; string want; } rows[] = {
        {"installs", "", lite, theme, 1, installed},
        {"the directory cut by length alone, any name", "", d + "LS\\ab\\cdefg.EXE", theme, 1, installed},
        {"twice: the backups hold what the first installed", "", lite, theme, 2, "ok ok th.rc th.ini th.rc th.ini th.rc th.ini wallpaper"},
        {"a theme without modules.ini", "Theme\\modules.ini", lite, theme, 1, "ok th.rc ls.ini th.rc - ls.rc ls.ini wallpaper"},
        {"a LiteStep without modules.ini", "LS\\modules.ini", lite, theme, 1, "ok th.rc th.ini th.rc th.ini ls.rc old.ini wallpaper"},
        {"a theme without step.rc: backups only", "Theme\\step.rc", lite, theme, 1, "failed ls.rc ls.ini - th.ini ls.rc ls.ini [theme-failed]"},
        {"a LiteStep without step.rc: nothing", "LS\\step.rc", lite, theme, 1, "failed - ls.ini th.rc th.ini old.rc old.ini [theme-failed]"},
        {"no LiteStep path", "", "", theme, 1, untouched},
        {"a LiteStep path too short to cut", "", "C:\\LiteS.exe", theme, 1, untouched},
        {"a theme path too long for its modules.ini", "", lite, d + string(250 - d.size(), 't'), 1, untouched},
    };
    for (const char *sub : {"LS", "Theme", "Mgr"})
        CreateDirectoryA((d + sub).c_str(), NULL);
    Boxes();
    for (const auto &row : rows) {
        for (const auto &file : files)
            strstr(row.missing, file[0]) ? (void)DeleteFileA((d + file[0]).c_str()) : Put(d + file[0], file[1]);
        SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, (void *)"C:\\before.bmp", 0);
        gState = ManagerState();
        strcpy(gState.managerDir, (d + "Mgr\\").c_str());
        strcpy(gState.liteStepPath, row.lite.c_str());
        ThemeEntry entry = {"plays no part", "", ""};
        strcpy(entry.path, row.theme.c_str());
        strcpy(entry.back, (d + "Theme\\back.bmp").c_str());
        string got;
        for (int i = 0; i < row.times; i++)
            got += InstallTheme(entry) ? "ok " : "failed ";
        for (const auto &file : files)
            got += Get(d + file[0]) + " ";
        got += Wallpaper() == entry.back ? "wallpaper" : Wallpaper() == "C:\\before.bmp" ? "" : "wallpaper " + Wallpaper();
        EXPECT_EQ(row.want, got.substr(0, got.find_last_not_of(' ') + 1) + Boxes()) << row.name;
    }
    SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, (void *)saved.c_str(), 0);
}

}  // namespace

// The shipped program has no C library: its own routines must answer as the
// library's do in the "C" locale, for every byte and at every cut.
TEST(Tables, TextRoutinesAnswerAsTheCLibrary)
{
    for (int c = 0; c < 256; c++)
        EXPECT_EQ(isspace(c) != 0, IsBlank((char)c)) << "blank test of byte " << c;
    const char *words[] = {"", "swap", "SWAP", "SwapTheme", "swap ", "@", "`", "[", "{", "\xC4", "\xE4"};
    for (const char *a : words)
        for (const char *b : words)
            EXPECT_EQ(_strcmpi(a, b) == 0, SameTextNoCase(a, b)) << "'" << a << "' '" << b << "'";
    for (const char *path : {"C:\\Tools\\LiteStep.exe", "C:shell.exe", "a.b\\c", "dir/name.", ".profile", ""}) {
        char drive[_MAX_DRIVE], dir[_MAX_DIR], name[_MAX_FNAME], ext[_MAX_EXT], ours[8];
        _splitpath(path, drive, dir, name, ext);
        EXPECT_EQ(strlen(name) < sizeof(ours), FileBaseName(ours, path)) << path;
        EXPECT_EQ(string(name).substr(0, sizeof(ours) - 1), ours) << path;
    }
#define QF_FORMAT "%s %d %u %lu %ld%%", "C:\\x", INT_MIN, UINT_MAX, ULONG_MAX, LONG_MIN
    char expected[64], ours[64];
    int full = snprintf(expected, sizeof(expected), QF_FORMAT);
    for (size_t size = 1; size <= (size_t)full + 1; size++) {
        memset(ours, 0x5a, sizeof(ours));
        bool whole = FormatTextN(ours, size, QF_FORMAT);
        EXPECT_EQ(string(expected, size - 1), ours) << "in " << size << " bytes";
        EXPECT_EQ((size_t)full < size, whole) << "in " << size << " bytes";
        EXPECT_EQ(0x5a, ours[size]) << "written past " << size << " bytes";
    }
#undef QF_FORMAT
}
