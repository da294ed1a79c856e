// The procedures with real logic, in process: a table each, a row per behaviour, its boxes last in
// its want.
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
extern "C" void* __imp_MessageBoxA;
extern "C" LONG WINAPI RegSetKeyValueA(
    HKEY, LPCSTR, LPCSTR, DWORD, LPCVOID, DWORD); // Vista's headers only
using namespace std;

// Stands for MessageBoxA, which would wait for a click: notes the box by its text's first line;
// says OK.
string gBoxes;
int WINAPI RecordBox(HWND, const char* text, const char*, UINT)
{
    gBoxes += " [" + string(text, strcspn(text, "\n")) + "]";
    return IDOK;
}
string Boxes()
{
    return exchange(gBoxes, "");
} // the boxes since the last call
DWORD gWas; // every MessageBoxA call of this program goes through its import slot, made writable
const bool gBoxesRecorded = VirtualProtect(&__imp_MessageBoxA, sizeof(void*), PAGE_READWRITE, &gWas)
    && (__imp_MessageBoxA = (void*)RecordBox);

// The system shell setting on NT, HKLM Winlogon "Shell", after writing value when one is given.
string Setting(const string& value = "")
{
    char text[1024] = "(none)";
    DWORD size = sizeof text;
    if (!value.empty())
        RegSetKeyValueA(
            HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell", REG_SZ, &value[0], value.size() + 1);
    RegGetValueA(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell", RRF_RT_REG_SZ, NULL, text, &size);
    return text;
}
const struct KeepSetting {
    string before = Setting();
    ~KeepSetting()
    {
        Setting(before);
    }
} gSettingBefore;

// Configuration, both phases. want: section, shell, ask, delays start/kill/shift, theme/alternate
// index/count
TEST(Tables, Configuration)
{
    const string e = "C:\\" + string(kPathSize - 3, 'e'),
                 cut = e.substr(0, kPathSize - 1); // one too long
    const string is = " directive for this user in Quillfern.cfg is]"; // a box's first line
    string cfg = "[Quillfern]\nexplorer_exe=" + e
        + "\n[default]\nshell=LITESTEP_EXE\nkill_delay=7\n[Themes]";
    for (int n = 1; n <= kMaxThemes + 1;
         n++) // 63 to 65 characters, equal once cut; one more than are read
        cfg += "\ntheme_name_" + to_string(n) + "="
            + (n < 4 ? string(n + 62, 't') : "T" + to_string(n));
    cfg += "\n[Alternate_Shells]\naltshell_path_1=" + e;
    for (int n = 1; n <= kMaxAltShells + 1; n++)
        cfg += "\naltshell_name_" + to_string(n) + "="
            + (n < 4 ? string(n + 62, 's') : "S" + to_string(n));
    struct {
        const char* name;
        string config;
        char user[kPathSize];
        string want;
    } rows[] = {
        { "an empty shell: all from [default]; a keyword in any case",
            cfg + "\n[u]\nshell=\ntheme=T4", "u",
            "default litestep= ask=0 delays=0/7000/-1 theme=-1/10 alt=-1/5" },
        { "names of 63 in any case: the first cut one; delays that are none",
            cfg + "\n[u]\nshell=" + string(63, 'S') + "\ntheme=" + string(63, 'T')
                + "\nask_boot=-3\nstart_delay=9\nkill_delay=x",
            "u", "u alternate=" + cut + " ask=1 delays=9/0/-1 theme=0/10 alt=0/5" },
        { "names of 64 find none; delays past an hour",
            cfg + "\n[u]\nshell=" + string(64, 'S') + "\ntheme=" + string(64, 'T')
                + "\nkill_delay=2147484\nshift_delay=3601",
            "u",
            "u explorer=" + cut + " ask=1 delays=0/3600000/3600 theme=-1/10 alt=-1/5"
                + " [The theme" + is + " [The shell" + is },
    };
    const char* const kinds[] = { "?", "litestep", "explorer", "alternate" };
    for (auto& row : rows) {
        // A directory per row: Wine's profile functions keep what they read.
        const string dir = QF_BIN_DIR_WIN "\\tables_config" + to_string(&row - rows) + "\\";
        CreateDirectoryA(dir.c_str(), NULL);
        ofstream(dir + kConfigFileName, ios::binary) << row.config << "\n";
        char got[1024];
        strcpy(gState.managerDir, dir.c_str());
        LoadUserSettings(row.user);
        LoadThemesAndShells(row.user);
        const LONG k = gState.shellKind >= 1 && gState.shellKind <= 3 ? gState.shellKind : 0;
        const char* const paths[]
            = { "", gState.liteStepPath, gState.explorerPath, gState.alternatePath };
        snprintf(got, sizeof got, "%s %s=%s ask=%d delays=%ld/%ld/%ld theme=%ld/%ld alt=%ld/%ld",
            row.user, kinds[k], paths[k], gState.askBoot, gState.startDelay, gState.killDelay,
            gState.shiftDelay, gState.themeIndex, gState.themeCount, gState.altShellIndex,
            gState.altShellCount);
        EXPECT_EQ(row.want, got + Boxes()) << row.name;
    }
}

// The command line: its tail, the messages posted to a manager's window, the boxes; nothing past
// its end.
TEST(Tables, CommandLines)
{
    WNDCLASSA windowClass
        = { 0, DefWindowProcA, 0, 0, GetModuleHandleA(NULL), 0, 0, 0, 0, kControlClassName };
    RegisterClassA(&windowClass);
    const struct {
        const char* name;
        string line, want;
    } rows[] = {
        { "a quoted name with blanks, the tail right after", "\"C:\\A B\\Q.exe\"-kill",
            "-kill: 1027" },
        { "a quote never closed: all name", "\"C:\\Tools\\Q.exe -swap", ":" },
        { "bytes above 127 are the name's; control characters blanks; the word ends at a blank",
            "C:\\\xe9\\Q\xff.exe \x01\x1f\t -quit now", "-quit now: 1031" },
        { "a word in any case, ended by a tab", "Q.exe /SwApThEmE\tnow", "/SwApThEmE\tnow: 1032" },
        { "a longer word is another, cut to fit its box of 255 characters",
            "Q.exe -swap" + string(300, 'w'),
            "-swap" + string(300, 'w') + ": [swap" + string(218, 'w')
                + " is not a valid Quillfern option.]" },
    };
    HWND manager = CreateWindowA(kControlClassName, "", 0, 0, 0, 0, 0, 0, 0, 0, 0);
    for (const auto& row : rows) {
        string line = row.line + '\0' + string(16, '\xCC'), past = line.substr(row.line.size());
        char* tail = FormCommandTail(&line[0]);
        string got = tail + string(":");
        if (*tail)
            RunCommand(tail + 1);
        for (MSG m; PeekMessageA(&m, manager, 0, 0, PM_REMOVE);)
            got += " " + to_string(m.message);
        got += Boxes() + (line.substr(row.line.size()) == past ? "" : " [written past the end]");
        EXPECT_EQ(row.want, got) << row.name;
    }
}

// Stands for ExitWindowsEx, which would end the Wine session: notes how things stood at the
// request; refuses.
string gRequests;
BOOL WINAPI RecordExit(UINT flags, DWORD)
{
    HANDLE token;
    BOOL privilege = FALSE;
    PRIVILEGE_SET shutdown = { 1, PRIVILEGE_SET_ALL_NECESSARY, {} };
    LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &shutdown.Privilege[0].Luid);
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    PrivilegeCheck(token, &shutdown, &privilege);
    CloseHandle(token);
    gRequests = "exit " + to_string(flags)
        + (gState.shellExitExpected ? " expected" : " unexpected")
        + " privilege=" + to_string(privilege) + " shell=" + Setting() + Boxes();
    return FALSE;
}
const bool gExitRecorded = (gExitWindowsEx = RecordExit) != NULL; // for the whole run

// The system shell setting (NT), C:\Old.exe at the start; "foreign": someone else writes
// C:\Else.exe since.
TEST(Tables, SystemShellAndExit)
{
    const string d259 = "C:\\" + string(242, 'D') + "\\",
                 low = "c:\\" + string(242, 'd') + "\\quillfern.exe";
    const string box = " [An error has occurred while trying]";
    const struct {
        const char *name, *act;
        string want, thenSomeoneWrites = "", dir = "C:\\Q\\";
    } rows[] = {
        { "an alternate shell without a path: refused", "set 3",
            "refused; C:\\Old.exe ours" + box },
        { "once uninstalled, nothing", "uninstalled set 0", "done; C:\\Old.exe ours" },
        { "written by someone else since the start: nothing", "foreign set 0",
            "done; C:\\Else.exe not ours" },
        { "a manager path of 259, read in other capitals", "set 0", "done; " + low + " ours", low,
            d259 },
        { "in the dialog, a path of 260 refused, the reboot asked, refused: it stays", "dialog",
            "exit 2 expected privilege=1 shell=C:\\Old.exe" + box + " stays; C:\\Old.exe ours", "",
            d259 + "D" },
    };
    const HMODULE program
        = LoadLibraryExA(QF_BIN_DIR_WIN "\\Quillfern.exe", NULL, LOAD_LIBRARY_AS_DATAFILE);
    for (const auto& row : rows) {
        gState = ManagerState();
        gState.isNT = true;
        gState.uninstalled = strstr(row.act, "uninstalled");
        strcpy(gState.managerDir, row.dir.c_str());
        Setting("C:\\Old.exe");
        NoteSystemShellAtStart();
        if (strstr(row.act, "foreign"))
            Setting("C:\\Else.exe");
        if (strstr(row.act, "set")) {
            gRequests = SetSystemShell(row.act[strlen(row.act) - 1] - '0') ? "done" : "refused";
        } else { // the shell-terminated dialog's reboot
            HWND dialog
                = CreateDialogParamA(program, "IDD_OPTIONS_DLG", NULL, ShellTerminatedDlgProc, 0);
            SendMessageA(dialog, WM_COMMAND, IDOK, 0);
            gRequests += IsWindowVisible(dialog) ? " stays" : " closes";
            DestroyWindow(dialog);
        }
        if (!row.thenSomeoneWrites.empty())
            Setting(row.thenSomeoneWrites);
        gRequests += "; " + Setting() + (SystemShellStillOurs() ? " ours" : " not ours") + Boxes();
        EXPECT_EQ(row.want, gRequests) << row.name;
    }
}

// Our text routines answer as the C library's do in its "C" locale, for every byte and every cut.
TEST(Tables, TextAsTheCLibrary)
{
    for (int c = 0; c < 256;
         c++) { // every byte: blank or not; the same text as with bit 5 flipped or not
        const char one[] = { (char)c, 0 }, flipped[] = { (char)(c ^ 0x20), 0 };
        EXPECT_EQ(isspace(c) != 0, IsBlank((char)c)) << "IsBlank, byte " << c;
        EXPECT_EQ(_strcmpi(one, flipped) == 0, SameTextNoCase(one, flipped))
            << "SameTextNoCase, byte " << c;
    }
    const char* f
        = "%s %d%% %u %ld %lu %d"; // into every size: what is kept, cut or not, written past
    for (int size = 1, full = 0; size == 1 || size <= full + 1; size++) {
        char mine[80], its[80];
        full = snprintf(its, size, f, kCaption, INT_MIN, UINT_MAX, LONG_MIN, ULONG_MAX, 0);
        memset(mine, 'Z', sizeof mine);
        const bool whole
            = FormatTextN(mine, size, f, kCaption, INT_MIN, UINT_MAX, LONG_MIN, ULONG_MAX, 0);
        EXPECT_EQ(string(its) + (full < size ? "" : " cut"),
            string(mine) + (whole ? "" : " cut") + (mine[size] == 'Z' ? "" : " written past"))
            << "in " << size;
    }
}

// recovery_key values: the modifiers and key each names; then those refused, the key left as it
// was: a letter or digit alone; no key, or two; no such word; blanks; too long.
TEST(Tables, RecoveryKey)
{
    for (auto [value, modifiers, vk] : initializer_list<tuple<const char*, UINT, UINT>> {
             { "Shift+CTRL+Alt+F12", MOD_CONTROL | MOD_ALT | MOD_SHIFT, VK_F12 },
             { "win+f24", MOD_WIN, VK_F24 }, { "ctrl+f1", MOD_CONTROL, VK_F1 },
             { "alt+Q", MOD_ALT, 'Q' }, { "shift+7", MOD_SHIFT, '7' }, { "pause", 0, VK_PAUSE },
             { "ctrl+scrolllock", MOD_CONTROL, VK_SCROLL }, { "alt+home", MOD_ALT, VK_HOME },
             { "alt+End", MOD_ALT, VK_END }, { "win+insert", MOD_WIN, VK_INSERT },
             { "ctrl+alt+delete", MOD_CONTROL | MOD_ALT, VK_DELETE }, { "None", 0, 0 } }) {
        HotKey key = { ~0u, ~0u };
        EXPECT_TRUE(ParseRecoveryKey(value, &key) && key.modifiers == modifiers && key.vk == vk)
            << value;
    }
    for (const char* value : { "q", "7", "ctrl+alt", "ctrl+f1+alt", "+f1", "", "f25", "f0", "f01",
             "ctl+f1", "ctrl + f1", "shift+none", "alt+f4294967308", "ctrl+pause2" }) {
        HotKey key = { 5, 5 };
        EXPECT_TRUE(!ParseRecoveryKey(value, &key) && key.modifiers == 5 && key.vk == 5) << value;
    }
}
