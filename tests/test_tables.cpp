// The procedures with real logic, in process, a table each: a row spells out what must come out, every box in order, word for word.
#include <gtest/gtest.h>
#include <fstream>
#include "app/manager.h"
#include "cli/cli.h"
#include "app/message_box.h"
#include "config/text.h"
#include "config/config.h"
#include "control/control.h"
#include "dialogs/dialogs.h"
#include "res/resource.h"
#include "shell/shell.h"
#include "themes/theme.h"

extern "C" void *__imp_MessageBoxA, *__imp_DuplicateHandle;
using namespace std;

// The product's texts that no header shares, and the tags the rows show them by.
const string kCheck = "  Please check Quillfern.cfg and verify that\nall paths are correct.", kNotAnOption = " is not a valid Quillfern option.";
const map<string, string> kTags = {{"The theme directive for this user in Quillfern.cfg is\nundefined." + kCheck, "theme-directive"},
    {"The shell directive for this user in Quillfern.cfg is\nundefined." + kCheck, "shell-directive"}, {kSystemShellFailed, "shell-failed"},
    {"An error has occured while installing the current user's\ntheme." + kCheck, "theme-failed"}, {"Quillfern has been successfully uninstalled.", "uninstalled"},
    {"Could not find a currently running instance of Quillfern.", "no-manager"}};
string Quoted(const string &text) { return " [\"" + text + "\"]"; }

// Stands for MessageBoxA, which would wait: keeps the text (by its tag), marks a box unlike the program's (owned, captioned, typed), says OK.
string gBoxes;
int WINAPI RecordBox(HWND owner, const char *text, const char *caption, UINT type) {
    gBoxes += (owner ? " [owned]" : "") + (strcmp(caption, kCaption) ? Quoted(caption) + " as caption" : "") +
              (type != MB_TOPMOST ? " [type " + to_string(type) + "]" : "") + (kTags.count(text) ? " [" + kTags.at(text) + "]" : Quoted(text));
    return IDOK; }
string Boxes() { string shown; return shown.swap(gBoxes), shown; }   // the boxes since the last call
const void *const gRealBox = [] { DWORD was; VirtualProtect(&__imp_MessageBoxA, sizeof(void *), PAGE_READWRITE, &was); return exchange(__imp_MessageBoxA, (void *)RecordBox); }();

void Put(const string &path, const string &text) { ofstream(path, ios::binary) << text; }
string Get(const string &path) { ifstream f(path, ios::binary); return f ? string(istreambuf_iterator<char>(f), {}) : "-"; }
// A directory per row: Wine's profile functions keep what they have read, and could take a new file of the same name for the old.
const string kScratch = [] { char t[MAX_PATH]; string d = string(t, GetTempPathA(MAX_PATH, t)) + "qf_tables\\"; return CreateDirectoryA(d.c_str(), NULL), d; }();
string Scratch(const string &name) { return CreateDirectoryA((kScratch + name).c_str(), NULL), kScratch + name + "\\"; }

// The system shell setting: System.ini [boot] shell; HKLM Winlogon "Shell" as stored, a REG_SZ with its zero. "(none)": no value.
const string kSystemIni = [] { char d[MAX_PATH]; return string(d, GetWindowsDirectoryA(d, MAX_PATH)) + "\\System.ini"; }();
string IniShell() { char t[512]; return string(t, GetPrivateProfileStringA("boot", "shell", "(none)", t, sizeof t, kSystemIni.c_str())); }
string RegShell() {
    HKEY key = NULL; WCHAR data[1024]; DWORD type = 0, size = sizeof data;
    bool none = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_QUERY_VALUE, &key) || RegQueryValueExW(key, L"Shell", NULL, &type, (BYTE *)data, &size);
    return RegCloseKey(key), size /= 2, none ? "(none)" : type != REG_SZ || !size || data[size - 1] ? "(not a REG_SZ with its zero)" : string(data, data + size - 1);
}
void SetShells(const string &reg, const string &ini) {
    HKEY key; RegCreateKeyExA(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    reg == "(none)" ? RegDeleteValueA(key, "Shell") : RegSetValueExA(key, "Shell", 0, REG_SZ, (const BYTE *)reg.c_str(), reg.size() + 1);
    RegCloseKey(key), WritePrivateProfileStringA("boot", "shell", ini == "(none)" ? NULL : ini.c_str(), kSystemIni.c_str());
}
const struct KeepShells { string reg = RegShell(), ini = IniShell(); ~KeepShells() { SetShells(reg, ini); } } gShellsBefore;

// Configuration, both phases: the fall-back to [default], names and keywords, field limits, counts, delays. Below: eleven themes, alternate
// shells with a gap, values at and past their fields' sizes; then themes with a gap, six alternate shells.
TEST(Tables, Configuration) {
    const string sample = Get(QF_SOURCE_DIR_WIN "\\sample\\Quillfern.cfg"), n63(63, 'n'), s63(63, 's'), p259 = "C:\\" + string(256, 'p'), none, ls = "shell=litestep_exe\n";
    string one = "[QUILLFERN]\nLiteStep_Exe=" + p259 + "\nexplorer_exe=" + p259 + "q\n[default]\nshell=LITESTEP_EXE\nkill_delay=7\n[keys]\nshell=\nask_boot=1\n"
        "start_delay=9\nkill_delay=3\nshift_delay=4\ntheme=Night\n[Case]\nSHELL=explorer_EXE\nTheme=night\nAsk_Boot=-3\n[notkw]\nshell=Explorer\ntheme=\n[dup]\n"
        "shell=filemgr\ntheme=DUP\n[at]\nshell=" + s63 + "\ntheme=" + n63 + "\n[past]\nshell=" + s63 + "s\ntheme=" + n63 + "n\n[last]\nshell=never\ntheme=t10\n"
        "[dneg]\n" + ls + "kill_delay=-5\nshift_delay=-2147483648\n[dbig]\n" + ls + "kill_delay=2147484\nshift_delay=3601\n[dnan]\nshell=never\nkill_delay=abc\n"
        "shift_delay=x1\nask_boot=no\nstart_delay=\n[Alternate_Shells]\naltshell_name_1=" + s63 + "s\naltshell_path_1=" + p259 + "q\naltshell_name_2=FileMgr\n"
        "altshell_path_2=C:\\one.exe\naltshell_name_3=FileMgr\naltshell_path_3=C:\\two.exe\naltshell_name_5=Never\n[Themes]\ntheme_name_1=" + n63 + "n\n"
        "theme_path_1=" + p259 + "q\ntheme_back_1=" + p259 + "\n";
    const string two = "[u]\nshell=S6\ntheme=E\n[v]\nshell=s5\n[Themes]\ntheme_name_1=A\ntheme_name_2=B\ntheme_name_3=C\ntheme_name_5=E\n"
        "[Alternate_Shells]\naltshell_name_1=S1\naltshell_name_2=S2\naltshell_name_3=S3\naltshell_name_4=S4\naltshell_name_5=S5\naltshell_name_6=S6\n";
    for (int n = 2; n <= 11; n++) one += "theme_name_" + to_string(n) + "=" + (n > 4 ? "T" + to_string(n) : n == 3 ? "Night" : "Dup") + "\n";
    const string d = " ask=0 start=0 kill=10000 shift=-1", a = " ask=1 start=0 kill=10000 shift=-1", e = " ask=0 start=0 kill=";
    // want: section, kind, delays, after both phases themes and shells (count/chosen), boxes; texts: paths, the theme's fields, the shell's path.
    const struct { const char *name; const string &cfg; const char *user; int phases; string want, texts = ""; } rows[] = {
        {"sample", sample, "operator", 2, "operator litestep" + e + "5000 shift=2 themes=2/1 alts=1/-1", " C:\\LiteStep\\LiteStep.exe|C:\\Windows\\Explorer.exe|Night|C:\\LiteStep\\themes\\night|C:\\LiteStep\\themes\\night\\back.bmp|-"},
        {"an empty shell: all from [default]", one, "keys", 2, "default litestep" + e + "7000 shift=-1 themes=10/-1 alts=3/-1"},
        {"names and keywords in any case", one, "case", 2, "case explorer" + a + " themes=10/2 alts=3/-1"},
        {"Explorer is no keyword; an empty theme none", one, "notkw", 2, "notkw explorer" + a + " themes=10/-1 alts=3/-1 [shell-directive]"},
        {"equal names: the first wins", one, "dup", 2, "dup alternate" + d + " themes=10/1 alts=3/1", " " + p259 + "|" + p259 + "|Dup|||C:\\one.exe"},
        {"values of 63 and 259 kept, of 64 and 260 cut", one, "at", 2, "at alternate" + d + " themes=10/0 alts=3/0", " " + p259 + "|" + p259 + "|" + n63 + "|" + p259 + "|" + p259 + "|" + p259},
        {"directives of 64 match no cut name", one, "past", 2, "past explorer" + a + " themes=10/-1 alts=3/-1 [theme-directive] [shell-directive]"},
        {"the tenth theme; no shell after a gap", one, "last", 2, "last explorer" + a + " themes=10/9 alts=3/-1 [shell-directive]"},
        {"delays below -1", one, "dneg", 1, "dneg litestep" + d}, {"delays past an hour, without overflow", one, "dbig", 1, "dbig litestep" + e + "3600000 shift=3600"},
        {"numbers that are none; the client's phase shows nothing", one, "dnan", 1, "dnan alternate" + e + "0 shift=0"},
        {"no theme after a gap; five shells at most", two, "u", 2, "u explorer" + a + " themes=3/-1 alts=5/-1 [theme-directive] [shell-directive]"},
        {"the fifth shell", two, "v", 2, "v alternate" + d + " themes=3/-1 alts=5/4"}, {"no file: the user is asked", none, "u", 2, "default explorer" + a + " themes=0/-1 alts=0/-1 [shell-directive]"},
    };
    const char *const kinds[] = {"?", "litestep", "explorer", "alternate"};
    for (const auto &row : rows) {
        const string dir = Scratch("config" + to_string(&row - rows));
        row.cfg.empty() ? (void)DeleteFileA((dir + kConfigFileName).c_str()) : Put(dir + kConfigFileName, row.cfg);
        char section[kPathSize]; memset((void *)&gState, 0xCC, sizeof gState), strcpy(gState.managerDir, dir.c_str()), strcpy(section, row.user), Boxes();
        LoadUserSettings(section), row.phases == 2 ? LoadThemesAndShells(section) : (void)0; const LONG k = gState.shellKind, t = gState.themeIndex;
        const string got = section + string(" ") + (k >= 1 && k <= 3 ? kinds[k] : "kind" + to_string(k)) + " ask=" + to_string(gState.askBoot) +
            " start=" + to_string(gState.startDelay) + " kill=" + to_string(gState.killDelay) + " shift=" + to_string(gState.shiftDelay) + (row.phases < 2 ? ""
            : " themes=" + to_string(gState.themeCount) + "/" + to_string(t) + " alts=" + to_string(gState.altShellCount) + "/" + to_string(gState.altShellIndex));
        const string texts = " " + string(gState.liteStepPath) + "|" + gState.explorerPath + "|" + (t >= 0 && t < kMaxThemes ? string(gState.themes[t].name) +
            "|" + gState.themes[t].path + "|" + gState.themes[t].back : "-") + "|" + (gState.altShellIndex >= 0 ? gState.alternatePath : "-");
        EXPECT_EQ(row.want + row.texts, got + Boxes() + (row.texts.empty() ? "" : texts)) << row.name;
    }
}

// The command line: the tail after the program name, its word, the message posted or the box shown.
TEST(Tables, CommandLines) {
    const string w300(300, 'w'), cfg = Scratch("words");   // the configuration that an uninstallation reads
    WNDCLASSA windowClass = {0, DefWindowProcA, 0, 0, GetModuleHandleA(NULL), NULL, NULL, NULL, NULL, kControlClassName};
    RegisterClassA(&windowClass), Put(cfg + kConfigFileName, "[default]\nshell=explorer_exe\n");
    // want: the tail in brackets, then the messages posted and the boxes; an empty tail starts a manager instead.
    const struct { const char *name; string line; bool manager; string want; } rows[] = {
        {"a quoted name with blanks", "\"C:\\Program Files\\Quillfern\\Quillfern.exe\"   -restart", true, "[-restart] " + to_string(CM_RESTART)},
        {"a tail right after the closing quote", "\"C:\\Tools\\Quillfern.exe\"-swap", true, "[-swap] " + to_string(CM_SWAP)},
        {"a quote never closed: all name", "\"C:\\Tools\\Quillfern.exe -swap", true, "[] "}, {"bytes above 127 belong to the name", "C:\\T\xe9l\xe9\\Quillfern\xff.exe -kill", true, "[-kill] " + to_string(CM_KILL)},
        {"control characters are blanks; the word ends at one", "Q.exe \x01\x1f\t -quit extra", true, "[-quit extra] " + to_string(CM_QUIT)},
        {"blanks only", "Quillfern.exe    ", true, "[] "}, {"nothing at all", "", true, "[] "},
        {"swaptheme in any case", "Q.exe /SwApThEmE", true, "[/SwApThEmE] " + to_string(CM_SWAPTHEME)}, {"the word ends at a tab", "Q.exe -reboot\tx", true, "[-reboot\tx] " + to_string(CM_REBOOT)},
        {"a longer word is another", "Q.exe -swapx", true, "[-swapx] " + Quoted("swapx" + kNotAnOption)},
        {"a word too long for the box is cut", "Q.exe -" + w300, true, "[-" + w300 + "] " + Quoted(w300.substr(0, 255 - kNotAnOption.size()) + kNotAnOption)},
        {"no manager", "Q.exe -swap", false, "[-swap]  [no-manager]"}, {"no manager, no word", "Q.exe -bogus", false, "[-bogus]  [no-manager]"},
        {"uninstall ends the manager, saying so", "Q.exe -uninstall", true, "[-uninstall] " + to_string(CM_QUIT) + " with parameters [uninstalled]"}, {"uninstall without a manager", "Q.exe -uninstall", false, "[-uninstall]  [uninstalled]"},
    };
    for (const auto &row : rows) {
        gState = ManagerState(), gState.isNT = true, strcpy(gState.managerDir, cfg.c_str()), Boxes();
        HWND window = row.manager ? CreateWindowExA(0, kControlClassName, "", 0, 0, 0, 0, 0, NULL, NULL, windowClass.hInstance, NULL) : NULL;
        string line = row.line + '\0' + string(16, (char)0xCC), unwritten = line;   // only the word's end may be written
        char *tail = FormCommandTail(&line[0]); string got = "[" + string(tail) + "] ";
        size_t blank = *tail ? (RunCommand(tail + 1), unwritten.find_first_of(" \t\n\v\f\r", tail + 1 - &line[0])) : string::npos;
        for (MSG m; window && PeekMessageA(&m, window, WM_USER, 0xFFFF, PM_REMOVE);)
            got += to_string(m.message) + (m.wParam || m.lParam ? " with parameters" : "");
        unwritten[min(blank, row.line.size())] = '\0', DestroyWindow(window);
        EXPECT_EQ(row.want, got + Boxes() + (line == unwritten ? "" : " [the line written]")) << row.name;
    }
}

// Whether this process has the shutdown privilege enabled; every privilege turned off first when asked.
int ShutdownPrivilege(bool turnOff = false) {
    HANDLE token = NULL; BOOL enabled = -1; PRIVILEGE_SET check = {1, PRIVILEGE_SET_ALL_NECESSARY, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &token), LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &check.Privilege[0].Luid);
    return turnOff ? AdjustTokenPrivileges(token, TRUE, NULL, 0, NULL, NULL) : 0, PrivilegeCheck(token, &check, &enabled), CloseHandle(token), enabled;
}

// Stands for ExitWindowsEx, which would end the Wine session that runs the tests: notes how things stood.
string gRequests;
BOOL WINAPI RecordExit(UINT flags, DWORD reason) {
    gRequests += "exit " + to_string(flags) + " " + to_string(reason) + (gState.shellExitExpected ? " expected" : " unexpected") + " privilege=" +
                 to_string(ShutdownPrivilege()) + " shell=" + (gState.isNT ? RegShell() : IniShell()) + Boxes() + "; ";
    return FALSE; }
const bool gExitRecorded = (gExitWindowsEx = RecordExit, true);   // and for the whole run: nothing here may end the session

// The system shell setting (the registry on NT, System.ini on 95/98) and the session exit.
TEST(Tables, SystemShellAndExit) {
    const string ls = "C:\\LS\\LiteStep.exe", d246 = "C:\\" + string(242, 'd') + "\\", qf = "C:\\Q\\Quillfern.exe", refused = "refused reg=- ini=- ours [shell-failed]";
    // From "-" in both. act: "set N" or "exit N", uninstalled or not, foreign: C:\Else.exe written after the manager's start; other: a write after it.
    const struct { const char *name; bool nt; const char *act; string want; const char *other = NULL; string alt = "", dir = "C:\\Q\\"; } rows[] = {
        {"NT: the manager", true, "set 0", "written reg=" + qf + " ini=- ours"}, {"NT: LiteStep", true, "set 1", "written reg=" + ls + " ini=- ours"},
        {"NT: Explorer by its bare name", true, "set 2", "written reg=Explorer.exe ini=- ours"}, {"NT: the alternate shell", true, "set 3", "written reg=C:\\Alt.exe ini=- ours", NULL, "C:\\Alt.exe"},
        {"NT: uninstalled, not even LiteStep", true, "set 1, uninstalled", "written reg=- ini=- ours"}, {"NT: written by someone else since the start", true, "set 1, foreign", "written reg=C:\\Else.exe ini=- not ours"},
        {"NT: a manager path of 259", true, "set 0", "written reg=" + d246 + "Quillfern.exe ini=- ours", NULL, "", d246},
        {"NT: a manager path of 260", true, "set 0", refused, NULL, "", d246 + "d"}, {"NT: an alternate shell without a path", true, "set 3", refused},
        {"NT: someone else wrote LiteStep since", true, "set 0", "written reg=" + ls + " ini=- not ours", "C:\\LS\\LiteStep.exe"},
        {"NT: the same path in other capitals", true, "set 0", "written reg=C:\\q\\QUILLFERN.EXE ini=- ours", "C:\\q\\QUILLFERN.EXE"},
        {"95: the manager", false, "set 0", "written reg=- ini=" + qf + " ours"}, {"95: a manager path of 259", false, "set 0", "written reg=- ini=" + d246 + "Quillfern.exe ours", NULL, "", d246},
        {"NT: shut down", true, "exit 1", "exit 1 0 expected privilege=1 shell=" + qf + "; reg=" + qf + " ini=- ours"},
        {"NT: log off with a failed write-back", true, "exit 0", "exit 0 0 expected privilege=1 shell=- [shell-failed]; reg=- ini=- ours", NULL, "", d246 + "d"},
        {"95: reboot, no privilege work", false, "exit 2", "exit 2 0 expected privilege=0 shell=" + qf + "; reg=- ini=" + qf + " ours"},
        {"95: written by someone else since the start", false, "exit 2, foreign", "exit 2 0 expected privilege=0 shell=C:\\Else.exe; reg=- ini=C:\\Else.exe not ours"},
    };
    for (const auto &row : rows) {
        gState = ManagerState(), gState.isNT = row.nt, gState.uninstalled = strstr(row.act, "uninstalled"), strcpy(gState.managerDir, row.dir.c_str()), Boxes();
        strcpy(gState.liteStepPath, ls.c_str()), strcpy(gState.explorerPath, "C:\\Windows\\Explorer.exe"), strcpy(gState.alternatePath, row.alt.c_str()), SetShells("-", "-");
        if (strstr(row.act, "foreign")) NoteSystemShellAtStart(), row.nt ? SetShells("C:\\Else.exe", "-") : SetShells("-", "C:\\Else.exe");
        ASSERT_EQ(0, ShutdownPrivilege(true)) << "the shutdown privilege cannot be turned off here";
        const string got = row.act[0] == 's' ? (SetSystemShell(row.act[4] - '0') ? "written " : "refused ") : (gRequests.clear(), ExitSession(row.act[5] - '0'), gRequests);
        if (row.other) row.nt ? SetShells(row.other, "-") : SetShells("-", row.other);
        EXPECT_EQ(row.want, got + "reg=" + RegShell() + " ini=" + IniShell() + (SystemShellStillOurs() ? " ours" : " not ours") + Boxes()) << row.name;
    }
}

// A shell's end: reported though its handle cannot be duplicated; then the shell-terminated dialog stays while the log-off chosen there
// is refused, and closes once it is taken.
TEST(Tables, ShellEnd) {
    void **slot = &__imp_DuplicateHandle, *real = *slot; DWORD access; MSG m;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &access), gState = ManagerState(), gState.uninstalled = true;   // the system shell setting untouched
    gState.shellKind = SHELL_ALTERNATE, strcat((GetWindowsDirectoryA(gState.alternatePath, MAX_PATH), gState.alternatePath), "\\notepad.exe");
    gState.controlWindow = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    *slot = (void *)+[](HANDLE, HANDLE, HANDLE, HANDLE *, DWORD, BOOL, DWORD) -> BOOL WINAPI { return FALSE; };
    bool spawned = SpawnShell(), reported = (*slot = real, TerminateProcess(gState.shellProcess.hProcess, 1), false);
    for (DWORD start = GetTickCount(); !reported && GetTickCount() - start < 10000; Sleep(10))
        reported = PeekMessageA(&m, gState.controlWindow, CM_SHELLTERMINATED, CM_SHELLTERMINATED, PM_REMOVE);
    EXPECT_EQ("spawned, end reported", string(spawned ? "spawned" : "not spawned") + (reported ? ", end reported" : ", end unreported") + Boxes());
    DestroyWindow(gState.controlWindow);
    // A visible pop-up holding one check box, IDC_LOGOFF: all that the choice needs.
    alignas(4) WORD form[] = {0, 0x9000, 0, 0, 1, 0, 0, 99, 99, 0, 0, 0, 3, 0x4000, 0, 0, 0, 0, 9, 9, IDC_LOGOFF, 0xFFFF, 0x80, 0, 0};
    string got; gState = ManagerState(), gState.uninstalled = true;
    for (ExitWindowsExFn exit : {+[](UINT, DWORD) -> BOOL WINAPI { return FALSE; }, +[](UINT, DWORD) -> BOOL WINAPI { return TRUE; }}) {
        HWND dialog = CreateDialogIndirectParamA(NULL, (DLGTEMPLATE *)form, NULL, ShellTerminatedDlgProc, 0);
        CheckDlgButton(dialog, IDC_LOGOFF, BST_CHECKED), gExitWindowsEx = exit, SendMessageA(dialog, WM_COMMAND, IDOK, 0);
        got += IsWindowVisible(dialog) ? "stays " : "closes ", DestroyWindow(dialog);
    }
    gExitWindowsEx = RecordExit;   // back to the stand-in of the whole run
    EXPECT_EQ("stays closes ", got + Boxes());
}

// Theme installation: backups, copies, wallpaper; nothing half-done. The files start out holding tags that tell where they came from.
TEST(Tables, InstallTheme) {
    auto wallpaper = [] { char path[MAX_PATH] = ""; return SystemParametersInfoA(SPI_GETDESKWALLPAPER, sizeof path, path, 0), string(path); };
    const string saved = wallpaper(), d = Scratch("theme"), lite = d + "LS\\LiteStep.exe", theme = d + "Theme", before = "C:\\before.bmp";
    const char *const files[][2] = {{"LS\\step.rc", "ls.rc"}, {"LS\\modules.ini", "ls.ini"}, {"Theme\\step.rc", "th.rc"}, {"Theme\\modules.ini", "th.ini"}, {"Mgr\\Previous_Step.rc", "old.rc"}, {"Mgr\\Previous_Modules.ini", "old.ini"}};
    const struct { const char *name, *missing; string lite, theme, want; } rows[] = {
        {"installs, the directory cut by length alone", "", d + "LS\\ab\\cdefg.EXE", theme, "ok th.rc th.ini th.rc th.ini ls.rc ls.ini wallpaper"},
        {"a theme without modules.ini", "Theme\\modules.ini", lite, theme, "ok th.rc ls.ini th.rc - ls.rc ls.ini wallpaper"},
        {"a LiteStep without modules.ini", "LS\\modules.ini", lite, theme, "ok th.rc th.ini th.rc th.ini ls.rc old.ini wallpaper"},
        {"a theme without step.rc: backups only", "Theme\\step.rc", lite, theme, "failed ls.rc ls.ini - th.ini ls.rc ls.ini [theme-failed]"},
        {"a LiteStep without step.rc: nothing", "LS\\step.rc", lite, theme, "failed - ls.ini th.rc th.ini old.rc old.ini [theme-failed]"},
        {"a LiteStep path too short to cut", "", "C:\\LiteS.exe", theme, "failed ls.rc ls.ini th.rc th.ini old.rc old.ini [theme-failed]"},
        {"a theme path too long for its modules.ini", "", lite, d + string(250 - d.size(), 't'), "failed ls.rc ls.ini th.rc th.ini old.rc old.ini [theme-failed]"},
    };
    Scratch("theme\\LS"), Scratch("theme\\Theme"), Scratch("theme\\Mgr");
    for (const auto &row : rows) {
        for (const auto &file : files) strstr(row.missing, file[0]) ? (void)DeleteFileA((d + file[0]).c_str()) : Put(d + file[0], file[1]);
        gState = ManagerState(), strcpy(gState.managerDir, (d + "Mgr\\").c_str()), strcpy(gState.liteStepPath, row.lite.c_str()), Boxes();
        ThemeEntry entry = {"plays no part", "", ""};
        strcpy(entry.path, row.theme.c_str()), strcpy(entry.back, (d + "Theme\\back.bmp").c_str()), SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, (void *)before.c_str(), 0);
        string got = InstallTheme(entry) ? "ok" : "failed"; for (const auto &file : files) got += " " + Get(d + file[0]);
        EXPECT_EQ(row.want, got + (wallpaper() == entry.back ? " wallpaper" : wallpaper() == before ? "" : " wallpaper " + wallpaper()) + Boxes()) << row.name;
    }
    SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, (void *)saved.c_str(), 0);
}

// Our text routines answer as the C library's do in its "C" locale, for every byte and every cut; a line per case.
TEST(Tables, TextAsTheCLibrary) {
    string ours, library; auto both = [&](const string &name, const string &mine, const string &its) { ours += name + ": " + mine + "\n", library += name + ": " + its + "\n"; };
    for (int c = 0; c < 256; c++) both("blank " + to_string(c), to_string(IsBlank((char)c)), to_string(isspace(c) != 0));
    const char *const words[] = {"", "swap", "SWAP", "SwapTheme", "swaptheme", "swap ", "@", "`", "[", "{", "Z", "z", "\xC4", "\xE4"};
    for (const char *a : words) for (const char *b : words) both(string("same ") + a + "|" + b, to_string(SameTextNoCase(a, b)), to_string(_strcmpi(a, b) == 0));
    for (const char *path : {"C:\\Tools\\LiteStep.exe", "shell", "C:shell.exe", "a.b\\c", "\\\\host\\share\\x.y.z", "dir/name.", ".profile", "C:\\", ""}) {
        char name[_MAX_FNAME], base[8]; const bool whole = (_splitpath(path, NULL, NULL, name, NULL), FileBaseName(base, path));
        both(string("name ") + path, base + string(whole ? "" : " cut"), string(name).substr(0, sizeof base - 1) + (strlen(name) < sizeof base ? "" : " cut"));
    }
    // Into every size up to the whole text: what is kept, whether it was cut, whether a byte past the size was written.
    auto format = [&](const char *f, auto... args) {
        char its[128], mine[128]; for (int size = 1, full = snprintf(its, sizeof its, f, args...); size <= full + 1; size++) {
            const bool whole = (memset(mine, 0x5a, sizeof mine), FormatTextN(mine, size, f, args...));
            both(f + (" in " + to_string(size)), string(mine, strnlen(mine, size)) + (whole ? "" : " cut") + (mine[size] == 0x5a ? "" : " overrun"), string(its, size - 1) + (full < size ? "" : " cut"));
        }
    };
    format("theme_name_%d%%", INT_MIN), format("%s   ::: %d :::", "Quillfern 1.50", INT_MAX), format("Error %lu", ULONG_MAX), format("%u %ld %d", UINT_MAX, LONG_MIN, 0);
    EXPECT_EQ(library, ours);
}

