// The procedures with real logic, in process: a table each, a row per behaviour, its boxes last.
#include <gtest/gtest.h>
#include <fstream>
#include "app/manager.h"
#include "cli/cli.h"
#include "config/config.h"
#include "config/text.h"
#include "control/control.h"
#include "dialogs/dialogs.h"
#include "shell/shell.h"
extern "C" void* __imp_MessageBoxA;
extern "C" LONG WINAPI RegSetKeyValueA(HKEY, LPCSTR, LPCSTR, DWORD, LPCVOID, DWORD); // Vista's
using namespace std;
using Row = tuple<const char*, string, string>; // what it shows, what goes in, what comes out

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

// For MessageBoxA (its import slot made writable) and ExitWindowsEx, which would wait for a click
// or end the session: each notes the box's first line, or how things stood; OK, refused.
string gNoted;
int WINAPI RecordBox(HWND, const char* text, const char*, UINT)
{
    gNoted += " [" + string(text, strcspn(text, "\n")) + "]";
    return IDOK;
}
BOOL WINAPI RecordExit(UINT flags, DWORD)
{
    BOOL privilege = FALSE;
    PRIVILEGE_SET shutdown = { 1, PRIVILEGE_SET_ALL_NECESSARY, {} };
    LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &shutdown.Privilege[0].Luid);
    PrivilegeCheck((HANDLE)-4, &shutdown, &privilege); // -4: the process's own token
    gNoted += " [exit " + to_string(flags) + (gState.shellExitExpected ? " expected" : "")
        + " privilege=" + to_string(privilege) + " shell=" + Setting() + "]";
    return FALSE;
}
// A manager's control window, for the client to find; what it gets is handled by hand.
WNDCLASSA gClass = { 0, DefWindowProcA, 0, 0, 0, 0, 0, 0, 0, kControlClassName };
const HWND gManager
    = CreateWindowA(MAKEINTATOM(RegisterClassA(&gClass)), "", 0, 0, 0, 0, 0, 0, 0, 0, 0);
DWORD gWas;
const bool gRecorded = VirtualProtect(&__imp_MessageBoxA, sizeof(void*), PAGE_READWRITE, &gWas)
    && (__imp_MessageBoxA = (void*)RecordBox) && (gExitWindowsEx = RecordExit);

// Configuration for user "u": section, shell, ask, delays start/kill/shift, theme/alternate i/count

TEST(Tables, Configuration)
{
    const string e = "C:\\" + string(kPathSize - 3, 'e');
    const string cut = e.substr(0, kPathSize - 1);
    const string is = " directive for this user in Quillfern.cfg is]"; // a box's first line
    string cfg = "[Quillfern]\nexplorer_exe=" + e + "\n[default]\nshell=LITESTEP_EXE\nkill_delay=7";
    // Names of 63 to 65 characters, equal once cut; one entry more than are read.
    auto entries = [&](const string& section, const string& key, char c, int count) {
        cfg += section;
        for (int n = 1; n <= count + 1; n++)
            cfg += "\n" + key + to_string(n) + "="
                + (n < 4 ? string(n + 62, c) : char(c - 32) + to_string(n));
    };
    entries("\n[Themes]", "theme_name_", 't', kMaxThemes);
    entries("\n[Alternate_Shells]\naltshell_path_1=" + e, "altshell_name_", 's', kMaxAltShells);
    const Row rows[] = {
        { "an empty shell: all from [default]; a keyword in any case", "shell=\ntheme=T4",
            "default litestep= ask=0 delays=0/7000/-1 theme=-1/10 alt=-1/5" },
        { "names of 63 in any case: the first cut one; delays that are none",
            "shell=" + string(63, 'S') + "\ntheme=" + string(63, 'T')
                + "\nask_boot=-3\nstart_delay=9\nkill_delay=x",
            "u alternate=" + cut + " ask=1 delays=9/0/-1 theme=0/10 alt=0/5" },
        { "names of 64 find none; delays past an hour",
            "shell=" + string(64, 'S') + "\ntheme=" + string(64, 'T')
                + "\nkill_delay=2147484\nshift_delay=3601",
            "u explorer=" + cut + " ask=1 delays=0/3600000/3600 theme=-1/10 alt=-1/5"
                + " [The theme" + is + " [The shell" + is },
    };
    strcpy(gState.managerDir, QF_BIN_DIR_WIN "\\tables_config\\");
    CreateDirectoryA(gState.managerDir, NULL);
    const string file = gState.managerDir + string(kConfigFileName);
    for (const auto& [name, in, want] : rows) {
        char user[kPathSize] = "u";
        char got[1024];
        ofstream(file, ios::binary) << cfg << "\n[u]\n" << in << "\n";
        // What the profile functions may keep of the last row's file is let go.
        WritePrivateProfileStringA(NULL, NULL, NULL, file.c_str());
        LoadUserSettings(user);
        LoadThemesAndShells(user);
        const LONG k = gState.shellKind & 3;
        const char* const kinds[] = { "?", "litestep", "explorer", "alternate" };
        const char* const paths[]
            = { "", gState.liteStepPath, gState.explorerPath, gState.alternatePath };
        snprintf(got, sizeof got, "%s %s=%s ask=%d delays=%ld/%ld/%ld theme=%ld/%ld alt=%ld/%ld",
            user, kinds[k], paths[k], gState.askBoot, gState.startDelay, gState.killDelay,
            gState.shiftDelay, gState.themeIndex, gState.themeCount, gState.altShellIndex,
            gState.altShellCount);
        EXPECT_EQ(want, got + exchange(gNoted, "")) << name;
    }
}

// The command line: its tail, the messages posted to a manager's window, the boxes, its end kept.
TEST(Tables, CommandLines)
{
    const Row rows[] = {
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
    for (const auto& [name, in, want] : rows) {
        const string past = '\0' + string(16, '\xCC');
        string line = in + past;
        char* tail = FormCommandTail(&line[0]);
        string got = tail + string(":");
        if (*tail)
            RunCommand(tail + 1);
        for (MSG m; PeekMessageA(&m, gManager, 0, 0, PM_REMOVE);)
            got += " " + to_string(m.message);
        got += exchange(gNoted, "") + (line.substr(in.size()) == past ? "" : " [past the end]");
        EXPECT_EQ(want, got) << name;
    }
}

// The system shell setting (NT), C:\Old.exe at the start, for a manager in the row's first word,
// and the session ends asked for: their flags alone tell log-off and shut-down apart. "foreign":
// someone else writes C:\Else.exe since; "lower": someone writes the path in lower case.
TEST(Tables, SystemShellAndExit)
{
    const string before = Setting();
    const string q = "C:\\Q\\ ";
    const string d259 = "C:\\" + string(242, 'D') + "\\";
    const string low = "c:\\" + string(242, 'd') + "\\quillfern.exe";
    const string box = " [An error has occurred while trying]";
    const string asked = "asked; C:\\Q\\Quillfern.exe ours [exit ";
    const string named = " expected privilege=1 shell=C:\\Q\\Quillfern.exe]";
    const Row rows[] = {
        { "a session word: the manager named, then its flags: log off", q + "-logoff",
            asked + "0" + named },
        { "shut down", q + "-shutdown", asked + "1" + named },
        { "reboot", q + "-reboot", asked + "2" + named },
        { "an alternate shell without a path", q + "set 3", "refused; C:\\Old.exe ours" + box },
        { "once uninstalled, nothing", q + "uninstalled set 0", "done; C:\\Old.exe ours" },
        { "written by someone else since the start: nothing", q + "foreign set 0",
            "done; C:\\Else.exe not ours" },
        { "a manager path of 259, read in other capitals", d259 + " lower set 0",
            "done; " + low + " ours" },
        { "in the dialog, a path of 260 refused, the reboot asked, refused: it stays",
            d259 + "D dialog",
            "stays; C:\\Old.exe ours" + box + " [exit 2 expected privilege=1 shell=C:\\Old.exe]" },
    };
    for (const auto& [name, line, want] : rows) {
        string got;
        gState = ManagerState();
        gState.isNT = true;
        gState.uninstalled = strstr(line.c_str(), "uninstalled");
        strcpy(gState.managerDir, line.substr(0, line.find(' ')).c_str());
        Setting("C:\\Old.exe");
        NoteSystemShellAtStart();
        if (strstr(line.c_str(), "foreign"))
            Setting("C:\\Else.exe");
        if (strstr(line.c_str(), "set")) {
            got = SetSystemShell(line.back() - '0') ? "done" : "refused";
        } else if (const char* word = strstr(line.c_str(), " -")) {
            RunCommand(&string(word + 2)[0]);
            for (MSG m; PeekMessageA(&m, gManager, 0, 0, PM_REMOVE);)
                ControlWndProc(m.hwnd, m.message, m.wParam, m.lParam);
            got = "asked";
        } else { // the shell-terminated dialog's reboot
            HWND dialog = CreateDialogParamA(
                LoadLibraryExA(QF_BIN_DIR_WIN "\\Quillfern.exe", NULL, LOAD_LIBRARY_AS_DATAFILE),
                "IDD_OPTIONS_DLG", NULL, ShellTerminatedDlgProc, 0);
            SendMessageA(dialog, WM_COMMAND, IDOK, 0);
            got = IsWindowVisible(dialog) ? "stays" : "closes";
            DestroyWindow(dialog);
        }
        if (strstr(line.c_str(), "lower"))
            Setting(low);
        got += "; " + Setting() + (SystemShellStillOurs() ? " ours" : " not ours")
            + exchange(gNoted, "");
        EXPECT_EQ(want, got) << name;
    }
    Setting(before);
}

// Our text routines answer as the C library's do in its "C" locale, for every byte and every cut;
// a section name matches as for the profile functions, case ignored beyond ASCII (Windows-1252).
TEST(Tables, Text)
{
    // Every byte: blank or not; the same text as with bit 5 flipped or not.
    for (int c = 0; c < 256; c++) {
        const char one[] = { (char)c, 0 };
        const char flipped[] = { (char)(c ^ 0x20), 0 };
        EXPECT_EQ(isspace(c) != 0, IsBlank((char)c)) << "IsBlank, byte " << c;
        EXPECT_EQ(_strcmpi(one, flipped) == 0, SameTextNoCase(one, flipped))
            << "SameTextNoCase, byte " << c;
    }
    // Into every size: what is kept, cut or not, written past.
    const char* f = "%s %d%% %u %ld %lu %d";
    for (int size = 1, full = 0; size == 1 || size <= full + 1; size++) {
        char mine[80];
        char its[80];
        full = snprintf(its, size, f, "Quillfern", INT_MIN, UINT_MAX, LONG_MIN, ULONG_MAX, 0);
        memset(mine, 'Z', sizeof mine);
        const bool whole
            = FormatTextN(mine, size, f, "Quillfern", INT_MIN, UINT_MAX, LONG_MIN, ULONG_MAX, 0);
        EXPECT_EQ(string(its) + (full < size ? "" : " cut"),
            string(mine) + (whole ? "" : " cut") + (mine[size] == 'Z' ? "" : " written past"))
            << "in " << size;
    }
    EXPECT_TRUE(SameProfileName("J\xDCRGEN", -1, "J\xFCrgen")) << "[J\xDCRGEN] for J\xFCrgen";
    EXPECT_FALSE(SameProfileName("JURGEN", -1, "J\xFCrgen")) << "[JURGEN] for J\xFCrgen";
}

// recovery_key values: the modifiers and key each names, or "no" for one refused, the key left as
// it was: a letter or digit alone; no key, or two; no such word; blanks; too long.
TEST(Tables, RecoveryKey)
{
    const UINT no = ~0u;
    for (auto [value, modifiers, vk] : initializer_list<tuple<const char*, UINT, UINT>> {
             { "Shift+CTRL+Alt+F12", MOD_CONTROL | MOD_ALT | MOD_SHIFT, VK_F12 },
             { "win+f24", MOD_WIN, VK_F24 }, { "ctrl+f1", MOD_CONTROL, VK_F1 },
             { "alt+Q", MOD_ALT, 'Q' }, { "shift+7", MOD_SHIFT, '7' }, { "pause", 0, VK_PAUSE },
             { "ctrl+scrolllock", MOD_CONTROL, VK_SCROLL }, { "alt+home", MOD_ALT, VK_HOME },
             { "alt+End", MOD_ALT, VK_END }, { "win+insert", MOD_WIN, VK_INSERT },
             { "ctrl+alt+delete", MOD_CONTROL | MOD_ALT, VK_DELETE }, { "None", 0, 0 },
             { "q", no, no }, { "7", no, no }, { "ctrl+alt", no, no }, { "ctrl+f1+alt", no, no },
             { "+f1", no, no }, { "", no, no }, { "f25", no, no }, { "f0", no, no },
             { "f01", no, no }, { "ctl+f1", no, no }, { "ctrl + f1", no, no },
             { "shift+none", no, no }, { "alt+f4294967308", no, no }, { "ctrl+pause2", no, no } }) {
        HotKey key = { no, no };
        EXPECT_TRUE(ParseRecoveryKey(value, &key) == (vk != no) && key.modifiers == modifiers
            && key.vk == vk)
            << value;
    }
}
