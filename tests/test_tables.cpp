// The procedures with real logic, in process: a table each, a row per behaviour, its boxes last.
#include <gtest/gtest.h>
#include <fstream>
#include "app/manager.h"
#include "app/message_box.h"
#include "cli/cli.h"
#include "config/config.h"
#include "config/text.h"
#include "control/control.h"
#include "dialogs/dialogs.h"
#include "shell/shell.h"
#include "themes/theme.h"
extern "C" void *__imp_MessageBoxA;
extern "C" LONG WINAPI RegSetKeyValueA(HKEY, LPCSTR, LPCSTR, DWORD, LPCVOID, DWORD);   // Vista's headers only
using namespace std;

// Stands for MessageBoxA, which would wait for a click: notes a box by its first three words, and whether
// it is other than the program's own (no owner, its caption, on top); says OK.
string gBoxes;
int WINAPI RecordBox(HWND owner, const char *text, const char *caption, UINT type) {
    const string words = text;
    size_t end = 0;
    for (int word = 0; word < 3 && end != string::npos; word++) end = words.find_first_of(" \n", end + 1);
    const bool own = !owner && !strcmp(caption, kCaption) && type == MB_TOPMOST;
    gBoxes += " [" + words.substr(0, end) + (own ? "]" : "] (not the program's box)");
    return IDOK;
}
string Boxes() { return exchange(gBoxes, ""); }   // the boxes since the last call
DWORD gWas;   // every MessageBoxA call of this program goes through its import slot, made writable
const bool gBoxesRecorded = VirtualProtect(&__imp_MessageBoxA, sizeof(void *), PAGE_READWRITE, &gWas) &&
                            (__imp_MessageBoxA = (void *)RecordBox);

void Put(const string &path, const string &text) { ofstream(path, ios::binary) << text; }
string Get(const string &path) {   // "-" for no file
    ifstream file(path, ios::binary);
    return file ? string(istreambuf_iterator<char>(file), {}) : "-";
}
string Scratch(const string &name) {   // one per row: Wine's profile functions keep what they read
    char temp[MAX_PATH];
    const string dir = string(temp, GetTempPathA(MAX_PATH, temp)) + "qf_tables_" + name + "\\";
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

// The system shell setting on NT, HKLM Winlogon "Shell", after writing value when one is given.
string Setting(const string &value = "") {
    char text[1024] = "(none)";
    DWORD size = sizeof text;
    if (!value.empty())
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell", REG_SZ, &value[0], value.size() + 1);
    RegGetValueA(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell", RRF_RT_REG_SZ, NULL, text, &size);
    return text;
}
const struct KeepSetting { string before = Setting(); ~KeepSetting() { Setting(before); } } gSettingBefore;

// Configuration, both phases, of a base file and a section [u]. want: the section used, the shell and its
// path, ask, delays (start/kill/shift), theme and alternate shell (index/count); the boxes.
TEST(Tables, Configuration) {
    // Paths one past their field. In each list names of 63, 64 and 65 characters, equal once cut to 63,
    // then names up to one more than are read.
    const string e260 = "C:\\" + string(kPathSize - 3, 'e'), e259 = e260.substr(0, kPathSize - 1);
    string base = "[Quillfern]\nexplorer_exe=" + e260 + "\n[default]\nshell=LITESTEP_EXE\nkill_delay=7\n[Themes]\n";
    for (int n = 1; n <= kMaxThemes + 1; n++)
        base += "theme_name_" + to_string(n) + "=" + (n < 4 ? string(n + 62, 't') : "T" + to_string(n)) + "\n";
    base += "[Alternate_Shells]\naltshell_path_1=" + e260 + "\n";
    for (int n = 1; n <= kMaxAltShells + 1; n++)
        base += "altshell_name_" + to_string(n) + "=" + (n < 4 ? string(n + 62, 's') : "S" + to_string(n)) + "\n";
    const string gaps = "[Themes]\ntheme_name_1=A\ntheme_name_3=C\n[Alternate_Shells]\naltshell_name_2=Explorer\n";
    const struct { const char *name; string config; const char *user; string want; } rows[] = {
        {"the sample", Get(QF_SOURCE_DIR_WIN "\\sample\\Quillfern.cfg"), "operator",
         "operator litestep=C:\\LiteStep\\LiteStep.exe ask=0 delays=0/5000/2 theme=1/2 alt=-1/1"},
        {"an empty shell: all from [default], its keyword in any case", base + "[u]\nshell=\nask_boot=1\ntheme=T4",
         "u", "default litestep= ask=0 delays=0/7000/-1 theme=-1/10 alt=-1/5"},
        {"names of 63 in any case: the first cut one; delays that are none", base + "[u]\nshell=" + string(63, 'S') +
         "\ntheme=" + string(63, 'T') + "\nask_boot=-3\nstart_delay=9\nkill_delay=x\nshift_delay=x", "u",
         "u alternate=" + e259 + " ask=1 delays=9/0/0 theme=0/10 alt=0/5"},
        {"names of 64 find none; delays past an hour", base + "[u]\nshell=" + string(64, 'S') + "\ntheme=" +
         string(64, 'T') + "\nkill_delay=2147484\nshift_delay=3601", "u", "u explorer=" + e259 +
         " ask=1 delays=0/3600000/3600 theme=-1/10 alt=-1/5 [The theme directive] [The shell directive]"},
        {"nothing after a gap; Explorer no keyword; delays below -1", gaps + "[u]\nshell=Explorer\ntheme=C\n"
         "kill_delay=-2\nshift_delay=-2", "u", "u explorer= ask=1 delays=0/10000/-1 theme=-1/1 alt=-1/0 "
         "[The theme directive] [The shell directive]"},
    };
    const char *const kinds[] = {"?", "litestep", "explorer", "alternate"};
    for (const auto &row : rows) {
        const string dir = Scratch("config" + to_string(&row - rows));
        Put(dir + kConfigFileName, row.config + "\n");
        char section[kPathSize], got[1024];
        strcpy(section, row.user);
        memset((void *)&gState, 0xCC, sizeof gState);   // what the phases leave unset shows
        strcpy(gState.managerDir, dir.c_str());
        LoadUserSettings(section);
        const string early = Boxes();   // the first phase, which the client reads alone, shows none
        LoadThemesAndShells(section);
        const LONG k = gState.shellKind >= 1 && gState.shellKind <= 3 ? gState.shellKind : 0;
        const char *const paths[] = {"", gState.liteStepPath, gState.explorerPath, gState.alternatePath};
        snprintf(got, sizeof got, "%s%s %s=%s ask=%d delays=%ld/%ld/%ld theme=%ld/%ld alt=%ld/%ld", early.c_str(),
                 section, kinds[k], paths[k], gState.askBoot, gState.startDelay, gState.killDelay,
                 gState.shiftDelay, gState.themeIndex, gState.themeCount, gState.altShellIndex, gState.altShellCount);
        EXPECT_EQ(row.want, got + Boxes()) << row.name;
    }
}

// The command line: the tail after the program's name; its word, the messages posted to a manager's window
// and the boxes. Bytes past the line's end catch a read or a write beyond it.
TEST(Tables, CommandLines) {
    const string w300(300, 'w');
    WNDCLASSA windowClass = {0, DefWindowProcA, 0, 0, GetModuleHandleA(NULL), 0, 0, 0, 0, kControlClassName};
    RegisterClassA(&windowClass);
    const struct { const char *name; string line; bool manager; string want; } rows[] = {
        {"a quoted name with blanks, the tail right after it", "\"C:\\A B\\Q.exe\"-restart", true, "-restart: 1033"},
        {"a quote never closed: all name", "\"C:\\Tools\\Q.exe -swap", true, ":"},
        {"bytes above 127 are the name's; control characters blanks; the word ends at a blank",
         "C:\\\xe9\\Q\xff.exe \x01\x1f\t -quit now", true, "-quit now: 1031"},
        {"a word in any case, ended by a tab", "Q.exe /SwApThEmE\tnow", true, "/SwApThEmE\tnow: 1032"},
        {"a longer word is another, cut to fit its box of 255 characters", "Q.exe -swap" + w300, true,
         "-swap" + w300 + ": [swap" + w300.substr(0, 218) + " is not]"},
        {"no manager, whatever the word", "Q.exe -bogus", false, "-bogus: [Could not find]"},
    };
    for (const auto &row : rows) {
        HWND manager = row.manager ? CreateWindowA(kControlClassName, "", 0, 0, 0, 0, 0, 0, 0, 0, 0) : NULL;
        string line = row.line + '\0' + string(16, '\xCC'), past = line.substr(row.line.size());
        char *tail = FormCommandTail(&line[0]);
        string got = tail + string(":");
        if (*tail) RunCommand(tail + 1);
        for (MSG m; manager && PeekMessageA(&m, manager, 0, 0, PM_REMOVE);) got += " " + to_string(m.message);
        DestroyWindow(manager);
        got += Boxes() + (line.substr(row.line.size()) == past ? "" : " [written past the end]");
        EXPECT_EQ(row.want, got) << row.name;
    }
}

// Stands for ExitWindowsEx, which would end the Wine session running the tests: notes the request and how
// things stood (the shell's end expected, the shutdown privilege, the setting, the boxes), then turns every
// privilege off so that the next request shows its own; answers gExitAnswer.
string gRequests;
BOOL gExitAnswer = FALSE;
BOOL WINAPI RecordExit(UINT flags, DWORD) {
    HANDLE token;
    BOOL privilege = FALSE;
    PRIVILEGE_SET shutdown = {1, PRIVILEGE_SET_ALL_NECESSARY, {}};
    LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &shutdown.Privilege[0].Luid);
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &token);
    PrivilegeCheck(token, &shutdown, &privilege);
    AdjustTokenPrivileges(token, TRUE, NULL, 0, NULL, NULL);
    CloseHandle(token);
    gRequests += "exit " + to_string(flags) + (gState.shellExitExpected ? " expected" : " unexpected") +
                 " privilege=" + to_string(privilege) + " shell=" + Setting() + Boxes();
    return gExitAnswer;
}
const bool gExitRecorded = (gExitWindowsEx = RecordExit) != NULL;   // for the whole run

// The system shell setting on NT, C:\Before.exe as the manager starts. act: "uninstalled", or "foreign"
// (someone else writes C:\Else.exe after the start); then "set N" (shell N) or "dialog" (the shell-terminated
// dialog's reboot, "refused" or not). later: someone else's setting after the act. want: the answer or the
// request and the dialog; the setting, whether the manager still takes it for its own.
TEST(Tables, SystemShellAndExit) {
    const string qf = "C:\\Q\\Quillfern.exe", d259 = "C:\\" + string(242, 'D') + "\\";
    const string lower = "c:\\" + string(242, 'd') + "\\quillfern.exe";   // d259's Quillfern.exe, other capitals
    const struct { const char *name, *act; string want, later = "", dir = "C:\\Q\\"; } rows[] = {
        {"an alternate shell without a path: refused", "set 3", "refused; C:\\Before.exe ours [An error has]"},
        {"once uninstalled, nothing", "uninstalled set 0", "done; C:\\Before.exe ours"},
        {"written by someone else since the start: nothing", "foreign set 0", "done; C:\\Else.exe not ours"},
        {"a manager path of 259, read in other capitals", "set 0", "done; " + lower + " ours", lower, d259},
        {"reboot taken: the dialog closes", "dialog", "exit 2 expected privilege=1 shell=" + qf + " closes; " + qf +
         " ours"},
        {"reboot refused, the manager's path of 260 too: the dialog stays", "dialog refused",
         "exit 2 expected privilege=1 shell=C:\\Before.exe [An error has] stays; C:\\Before.exe ours", "", d259 + "D"},
    };
    const HMODULE resources = LoadLibraryExA(QF_BIN_DIR_WIN "\\Quillfern.exe", NULL, LOAD_LIBRARY_AS_DATAFILE);
    RecordExit(0, 0);   // every privilege off
    for (const auto &row : rows) {
        gState = ManagerState();
        gState.isNT = true;
        gState.uninstalled = strstr(row.act, "uninstalled");
        strcpy(gState.managerDir, row.dir.c_str());
        Setting("C:\\Before.exe");
        NoteSystemShellAtStart();
        if (strstr(row.act, "foreign")) Setting("C:\\Else.exe");
        gRequests = "";
        gExitAnswer = !strstr(row.act, "refused");
        if (strstr(row.act, "set")) {
            gRequests = SetSystemShell(row.act[strlen(row.act) - 1] - '0') ? "done" : "refused";
        } else {
            HWND dialog = CreateDialogParamA(resources, "IDD_OPTIONS_DLG", NULL, ShellTerminatedDlgProc, 0);
            SendMessageA(dialog, WM_COMMAND, IDOK, 0);
            gRequests += IsWindowVisible(dialog) ? " stays" : " closes";
            DestroyWindow(dialog);
        }
        if (!row.later.empty()) Setting(row.later);
        gRequests += "; " + Setting() + (SystemShellStillOurs() ? " ours" : " not ours") + Boxes();
        EXPECT_EQ(row.want, gRequests) << row.name;
    }
}

// Theme installation: backups, copies; nothing half-done. The files hold tags; a row may leave one out.
// want: installed or not; then LiteStep's step.rc and modules.ini, their backups; the boxes.
TEST(Tables, InstallTheme) {
    const string d = Scratch("theme");
    const char *const files[][2] = {{"LS\\step.rc", "ls.rc"}, {"LS\\modules.ini", "ls.ini"},
                                    {"Mgr\\Previous_Step.rc", "old.rc"}, {"Mgr\\Previous_Modules.ini", "old.ini"},
                                    {"Theme\\step.rc", "th.rc"}, {"Theme\\modules.ini", "th.ini"}};
    const struct { const char *name, *missing, *want; string theme = "Theme"; } rows[] = {
        {"a theme without modules.ini: LiteStep's stays", "Theme\\modules.ini", "ok th.rc ls.ini ls.rc ls.ini"},
        {"a LiteStep without modules.ini", "LS\\modules.ini", "ok th.rc th.ini ls.rc old.ini"},
        {"a theme without step.rc: the backups only", "Theme\\step.rc", "failed ls.rc ls.ini ls.rc ls.ini [An error has]"},
        {"a LiteStep without step.rc: nothing", "LS\\step.rc", "failed - ls.ini old.rc old.ini [An error has]"},
        {"a theme path too long for modules.ini: nothing", "", "failed ls.rc ls.ini old.rc old.ini [An error has]",
         "C:\\" + string(246, 't')},
    };
    for (const char *sub : {"LS", "Mgr", "Theme"}) CreateDirectoryA((d + sub).c_str(), NULL);
    strcpy(gState.managerDir, (d + "Mgr\\").c_str());
    strcpy(gState.liteStepPath, (d + "LS\\LiteStep.exe").c_str());
    for (const auto &row : rows) {
        for (const auto &file : files)
            strcmp(row.missing, file[0]) ? Put(d + file[0], file[1]) : (void)DeleteFileA((d + file[0]).c_str());
        ThemeEntry entry = {"plays no part", "", ""};
        strcpy(entry.path, (row.theme[1] == ':' ? row.theme : d + row.theme).c_str());
        string got = InstallTheme(entry) ? "ok" : "failed";
        for (int i = 0; i < 4; i++) got += " " + Get(d + files[i][0]);   // LiteStep's files and their backups
        EXPECT_EQ(row.want, got + Boxes()) << row.name;
    }
}

// Our text routines answer as the C library's do in its "C" locale, for every byte and every cut.
TEST(Tables, TextAsTheCLibrary) {
    string ours, library;   // a line per case
    auto both = [&](const string &what, const string &mine, const string &its) {
        ours += what + ": " + mine + "\n";
        library += what + ": " + its + "\n";
    };
    for (int c = 0; c < 256; c++)
        both("blank " + to_string(c), to_string(IsBlank((char)c)), to_string(isspace(c) != 0));
    const char *const words[] = {"", "swap", "SWAP", "SwapTheme", "swap ", "@", "`", "[", "{", "Z", "z", "\xC4", "\xE4"};
    for (const char *a : words)
        for (const char *b : words)
            both(string("same ") + a + "|" + b, to_string(SameTextNoCase(a, b)), to_string(_strcmpi(a, b) == 0));
    // Into every size up to the whole: what is kept, whether it was cut, whether a byte past the size was written.
    const char *f = "%s %d%% %u %ld %lu %d";
    char mine[80], its[80];
    for (int size = 1, full = 0; size <= full + 1 || size == 1; size++) {
        full = snprintf(its, size, f, kCaption, INT_MIN, UINT_MAX, LONG_MIN, ULONG_MAX, 0);
        memset(mine, 'Z', sizeof mine);
        const bool whole = FormatTextN(mine, size, f, kCaption, INT_MIN, UINT_MAX, LONG_MIN, ULONG_MAX, 0);
        both("format in " + to_string(size), string(mine) + (whole ? "" : " cut") + (mine[size] == 'Z' ? "" : " over"),
             string(its) + (full < size ? "" : " cut"));
    }
    EXPECT_EQ(library, ours);
}
