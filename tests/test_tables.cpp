// The procedures with real logic, in process, a table each. A row names its
// case and its inputs, and spells out what must come out, every message box
// included, in order and word for word: any other box fails the row.
#include <gtest/gtest.h>
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "app/manager.h"
#include "app/message_box.h"
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
    {"theme-directive", "The theme directive for this user in Quillfern.cfg is\nundefined.  Please check "
                        "Quillfern.cfg and verify that\nall paths are correct."},
    {"shell-directive", "The shell directive for this user in Quillfern.cfg is\nundefined.  Please check "
                        "Quillfern.cfg and verify that\nall paths are correct."},
    {"theme-failed", "An error has occured while installing the current user's\ntheme.  Please check "
                     "Quillfern.cfg and verify that\nall paths are correct."},
    {"no-manager", "Could not find a currently running instance of Quillfern."},
    {"uninstalled", "Quillfern has been successfully uninstalled."},
    {"shell-failed", kSystemShellFailed},
};
const string kNotAnOption = " is not a valid Quillfern option.";

string Quoted(const string &text) { return " [\"" + text + "\"]"; }

CRITICAL_SECTION gLock;
std::vector<string> gSeen;

// Presses OK in every box of this process captioned kCaption once it shows,
// after keeping its text (marked when the box has an owner). Wine does not
// make a box top-most for MB_TOPMOST, so that cannot be seen here.
DWORD WINAPI WatchBoxes(void *)
{
    for (;; Sleep(10)) {
        HWND box = NULL;
        DWORD pid = 0;
        while ((box = FindWindowExA(NULL, box, "#32770", kCaption)) != NULL)
            if (GetWindowThreadProcessId(box, &pid) && pid == GetCurrentProcessId() && IsWindowVisible(box))
                break;
        if (box == NULL)
            continue;
        char text[1024] = "";
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        EnterCriticalSection(&gLock);
        gSeen.push_back(GetWindow(box, GW_OWNER) ? string("owned: ") + text : text);
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
        string one = Quoted(text);
        for (const auto &known : kTexts)
            one = text == known[1] ? string(" [") + known[0] + "]" : one;
        shown += one;
    }
    gSeen.clear();
    LeaveCriticalSection(&gLock);
    return shown;
}

void Put(const string &path, const string &text)
{
    if (FILE *f = fopen(path.c_str(), "wb"))
        fwrite(text.data(), 1, text.size(), f), fclose(f);
}

// "-" for a file that is not there.
string Get(const string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    string text = f ? "" : "-";
    for (int c; f && (c = fgetc(f)) != EOF;)
        text += (char)c;
    if (f)
        fclose(f);
    return text;
}

// A directory of its own per row: Wine's profile functions keep what they have
// read, and could take a rewritten file of the same name for the old one.
string Scratch(const string &name)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    string dir = string(temp) + "qf_tables\\";
    CreateDirectoryA(dir.c_str(), NULL);
    CreateDirectoryA((dir += name + "\\").c_str(), NULL);
    return dir;
}

string SystemIni()
{
    char dir[MAX_PATH];
    GetWindowsDirectoryA(dir, MAX_PATH);
    return string(dir) + "\\System.ini";
}

string IniShell()
{
    char text[512];
    GetPrivateProfileStringA("boot", "shell", "(none)", text, sizeof text, SystemIni().c_str());
    return text;
}

// HKLM Winlogon "Shell", which must be a REG_SZ stored with its terminating zero.
string RegShell()
{
    HKEY key;
    char data[1024];
    DWORD type = 0, size = sizeof data;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "(none)";
    LONG status = RegQueryValueExA(key, "Shell", NULL, &type, (BYTE *)data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return "(none)";
    return type != REG_SZ || size == 0 || data[size - 1] ? "(bad type or length)" : string(data, size - 1);
}

void SetShells(const string &reg, const string &ini)
{
    HKEY key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (reg == "(none)")
        RegDeleteValueA(key, "Shell");
    else
        RegSetValueExA(key, "Shell", 0, REG_SZ, (const BYTE *)reg.c_str(), reg.size() + 1);
    RegCloseKey(key);
    WritePrivateProfileStringA("boot", "shell", ini == "(none)" ? NULL : ini.c_str(), SystemIni().c_str());
}

// Both platforms' system shell setting, put back when a test ends.
struct KeepShells {
    string reg = RegShell(), ini = IniShell();
    ~KeepShells() { SetShells(reg, ini); }
};

// ---- Configuration: both phases, the fall-back to [default], field limits ----

struct ConfigRow {
    const char *name;
    string cfg;             // Quillfern.cfg; "" for none
    const char *user;
    int phases;             // 1: the client's phase alone
    string want;            // Loaded() and the boxes
    std::vector<std::pair<const char *, string>> fields;
    size_t dirLength;       // managerDir padded to this length
};

// Section after the fall-back, shell kind, ask_boot, the delays; after both
// phases the table sizes with the entries chosen.
string Loaded(const char *section, int phases)
{
    const char *const kinds[] = {"?", "litestep", "explorer", "alternate"};
    LONG k = gState.shellKind;
    string s = string(section) + " " + (k >= 1 && k <= 3 ? string(kinds[k]) : "kind " + to_string(k)) +
               " ask=" + to_string(gState.askBoot) + " start=" + to_string(gState.startDelay) +
               " kill=" + to_string(gState.killDelay) + " shift=" + to_string(gState.shiftDelay);
    if (phases == 2)
        s += " themes=" + to_string(gState.themeCount) + "/" + to_string(gState.themeIndex) +
             " alts=" + to_string(gState.altShellCount) + "/" + to_string(gState.altShellIndex);
    return s;
}

// Entries before the count are terminated, the one at the count was looked up
// in vain, and none after it was touched: its canary is still there.
template <typename Entry> void CheckTable(const char *row, const Entry *entry, LONG count, LONG size)
{
    for (LONG i = 0; i < size; i++)
        EXPECT_TRUE(i < count ? memchr(entry[i].name, 0, sizeof entry[i].name) && memchr(entry[i].path, 0, sizeof entry[i].path)
                    : i == count ? !entry[i].name[0] : (BYTE)entry[i].name[0] == 0xCC)
            << row << ": entry " << i << " of " << count << " read starts with byte " << (int)(BYTE)entry[i].name[0];
}

string Delays(const string &kill, const string &shift)
{
    return "[u]\nshell=explorer_exe\nkill_delay=" + kill + "\nshift_delay=" + shift + "\n";
}

TEST(Tables, Configuration)
{
    string sample = __FILE__;
    sample = (sample[0] == '/' ? "Z:" : "") + sample.substr(0, sample.rfind("tests")) + "sample/Quillfern.cfg";
    const string n63(63, 'n'), n64(64, 'n'), s63(63, 's'), s64(64, 's'), p259 = "C:\\" + string(256, 'p'), p260 = p259 + "q";
    const string limits = "[Quillfern]\nlitestep_exe=" + p259 + "\nexplorer_exe=" + p260 + "\n[at]\nshell=" + s63 +
        "\ntheme=" + n63 + "\n[past]\nshell=" + s64 + "\ntheme=" + n64 + "\n[Themes]\ntheme_name_1=" + n64 +
        "\ntheme_path_1=" + p260 + "\ntheme_back_1=" + p259 + "\n[Alternate_Shells]\naltshell_name_1=" + s64 +
        "\naltshell_path_1=" + p260 + "\n";
    string themes = "[Themes]\n", shells = "[Alternate_Shells]\n";
    for (int n = 1; n <= 11; n++) {
        themes += "theme_name_" + to_string(n) + "=T" + to_string(n) + "\n";
        shells += n <= 6 ? "altshell_name_" + to_string(n) + "=S" + to_string(n) + "\n" : "";
    }
    const string tables = "[u]\nshell=S6\ntheme=T11\n[v]\nshell=s5\ntheme=t10\n" + themes + shells;
    const string deep = "[default]\nshell=explorer_exe\nkill_delay=3\n";
    const string delays = "u explorer ask=0 start=0 ";
    const ConfigRow rows[] = {
        {"sample: its user", Get(sample), "operator", 2, "operator litestep ask=0 start=0 kill=5000 shift=2 themes=2/1 alts=1/-1",
         {{gState.liteStepPath, "C:\\LiteStep\\LiteStep.exe"}, {gState.themes[1].back, "C:\\LiteStep\\themes\\night\\back.bmp"},
          {gState.altShells[0].path, "C:\\Shells\\FileMgr.exe"}}, 0},
        {"sample: anyone else", Get(sample), "someone", 2, "default explorer ask=0 start=0 kill=10000 shift=-1 themes=2/-1 alts=1/-1", {}, 0},
        {"no shell of one's own: all from [default]", "[default]\nshell=LITESTEP_EXE\nkill_delay=7\n[u]\nask_boot=1\nstart_delay=9\n"
         "kill_delay=3\nshift_delay=4\ntheme=Day\n[Themes]\ntheme_name_1=Day\n", "u", 2,
         "default litestep ask=0 start=0 kill=7000 shift=-1 themes=1/-1 alts=0/-1", {}, 0},
        {"an empty shell is a missing one", "[default]\nshell=explorer_exe\n[u]\nshell=\nask_boot=1\n", "u", 2,
         "default explorer ask=0 start=0 kill=10000 shift=-1 themes=0/-1 alts=0/-1", {}, 0},
        {"names and keywords in any case", "[QUILLFERN]\nLiteStep_Exe=C:\\ls.exe\n[U]\nSHELL=LiteStep_EXE\nTheme=night\n"
         "Ask_Boot=-3\n[themes]\ntheme_name_1=Day\ntheme_name_2=Night\n", "u", 2,
         "u litestep ask=1 start=0 kill=10000 shift=-1 themes=2/1 alts=0/-1", {{gState.liteStepPath, "C:\\ls.exe"}}, 0},
        {"Explorer is no keyword", "[u]\nshell=Explorer\n[Alternate_Shells]\naltshell_name_1=Other\naltshell_path_1=C:\\o.exe\n",
         "u", 2, "u explorer ask=1 start=0 kill=10000 shift=-1 themes=0/-1 alts=1/-1 [shell-directive]", {}, 0},
        {"the client's phase shows nothing", "[u]\nshell=Nothing\ntheme=Nowhere\n", "u", 1,
         "u alternate ask=0 start=0 kill=10000 shift=-1", {}, 0},
        {"equal names: the first wins", "[u]\nshell=filemgr\ntheme=DUP\n[Themes]\ntheme_name_1=Dup\ntheme_name_2=Dup\n"
         "[Alternate_Shells]\naltshell_name_1=Other\naltshell_name_2=FileMgr\naltshell_path_2=C:\\one.exe\n"
         "altshell_name_3=FileMgr\naltshell_path_3=C:\\two.exe\n", "u", 2,
         "u alternate ask=0 start=0 kill=10000 shift=-1 themes=2/0 alts=3/1", {{gState.alternatePath, "C:\\one.exe"}}, 0},
        {"nothing after a gap in the numbers", "[u]\nshell=explorer_exe\ntheme=E\n[Themes]\ntheme_name_1=A\ntheme_name_2=B\n"
         "theme_name_3=C\ntheme_name_5=E\n[Alternate_Shells]\naltshell_name_1=S\naltshell_name_3=T\n", "u", 2,
         "u explorer ask=0 start=0 kill=10000 shift=-1 themes=3/-1 alts=1/-1 [theme-directive]", {}, 0},
        {"ten themes and five shells at most", tables, "u", 2,
         "u explorer ask=1 start=0 kill=10000 shift=-1 themes=10/-1 alts=5/-1 [theme-directive] [shell-directive]", {}, 0},
        {"the tenth theme and the fifth shell", tables, "v", 2, "v alternate ask=0 start=0 kill=10000 shift=-1 themes=10/9 alts=5/4", {}, 0},
        {"values of 63 and 259 kept, of 64 and 260 cut", limits, "at", 2,
         "at alternate ask=0 start=0 kill=10000 shift=-1 themes=1/0 alts=1/0",
         {{gState.liteStepPath, p259}, {gState.explorerPath, p259}, {gState.themes[0].name, n63}, {gState.themes[0].path, p259},
          {gState.themes[0].back, p259}, {gState.altShells[0].name, s63}, {gState.alternatePath, p259}}, 0},
        {"directives of 64 match no cut name", limits, "past", 2,
         "past explorer ask=1 start=0 kill=10000 shift=-1 themes=1/-1 alts=1/-1 [theme-directive] [shell-directive]", {}, 0},
        {"a theme key with no themes", "[u]\nshell=explorer_exe\ntheme=Nowhere\n", "u", 2,
         "u explorer ask=0 start=0 kill=10000 shift=-1 themes=0/-1 alts=0/-1 [theme-directive]", {}, 0},
        {"an empty theme key", "[u]\nshell=explorer_exe\ntheme=\n", "u", 2,
         "u explorer ask=0 start=0 kill=10000 shift=-1 themes=0/-1 alts=0/-1", {}, 0},
        {"delays of 0", Delays("0", "0"), "u", 1, delays + "kill=0 shift=0", {}, 0},
        {"delays below -1", Delays("-5", "-2147483648"), "u", 1, delays + "kill=10000 shift=-1", {}, 0},
        {"delays past an hour", Delays("3601", "3601"), "u", 1, delays + "kill=3600000 shift=3600", {}, 0},
        {"huge delays do not overflow", Delays("2147484", "2147483647"), "u", 1, delays + "kill=3600000 shift=3600", {}, 0},
        {"numbers that are none", Delays("abc", "x1") + "ask_boot=no\nstart_delay=\n", "u", 1, delays + "kill=0 shift=0", {}, 0},
        {"no file: the client's phase", "", "u", 1, "default alternate ask=0 start=0 kill=10000 shift=-1", {}, 0},
        {"no file: the user is asked", "", "u", 2,
         "default explorer ask=1 start=0 kill=10000 shift=-1 themes=0/-1 alts=0/-1 [shell-directive]", {}, 0},
        {"the longest manager path that fits", deep, "u", 1, "default explorer ask=0 start=0 kill=3000 shift=-1", {}, 246},
        {"a manager path one longer is not cut", deep, "u", 1, "default alternate ask=0 start=0 kill=10000 shift=-1", {}, 247},
    };
    Boxes();
    for (size_t i = 0; i < ARRAYSIZE(rows); i++) {
        const ConfigRow &row = rows[i];
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
        for (const auto &field : row.fields)
            EXPECT_EQ(field.second, field.first) << row.name;
        EXPECT_EQ(string(16, (char)0xCC), string(user.before, 8) + string(user.after, 8)) << row.name << ": around the section";
        if (row.phases == 2) {
            CheckTable(row.name, gState.themes, gState.themeCount, kMaxThemes);
            CheckTable(row.name, gState.altShells, gState.altShellCount, kMaxAltShells);
        }
    }
}

// ---- The command line: the tail after the program name, and its word ----

TEST(Tables, CommandTails)
{
    const struct { const char *line, *tail; } rows[] = {
        {"\"C:\\Program Files\\Quillfern\\Quillfern.exe\"   -restart", "-restart"},
        {"\"C:\\Tools\\Quillfern.exe\"-swap", "-swap"},
        {"\"C:\\Tools\\Quillfern.exe -swap", ""},
        {"C:\\T\xe9l\xe9\\Quillfern\xff.exe -kill", "-kill"},
        {"Quillfern.exe \x01\x1f\t -quit extra", "-quit extra"},
        {"Quillfern.exe    ", ""},
        {"", ""},
    };
    for (const auto &row : rows) {
        char line[128];
        memset(line, 0xCC, sizeof line);
        strcpy(line, row.line);
        const char *tail = FormCommandTail(line);
        EXPECT_EQ(strlen(row.line) - strlen(row.tail), (size_t)(tail - line)) << "[" << row.line << "] gave [" << tail << "]";
        EXPECT_TRUE(strcmp(line, row.line) == 0 && (BYTE)line[strlen(row.line) + 1] == 0xCC) << "[" << row.line << "] changed";
    }
}

TEST(Tables, Words)
{
    KeepShells keep;
    ASSERT_EQ(NULL, FindWindowA(kControlClassName, NULL)) << "a manager runs here and would take the posts";
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = kControlClassName;
    RegisterClassA(&windowClass);
    const string longWord(300, 'w');
    const struct { const char *name; string word; bool manager; string want; } rows[] = {
        {"swap", "swap", true, to_string(CM_SWAP)},
        {"swaptheme in any case", "SwApThEmE", true, to_string(CM_SWAPTHEME)},
        {"restart", "restart", true, to_string(CM_RESTART)},
        {"kill, the word ending at a blank", "kill now", true, to_string(CM_KILL)},
        {"quit, the word ending at a tab", "quit\tx", true, to_string(CM_QUIT)},
        {"reboot", "reboot", true, to_string(CM_REBOOT)},
        {"shutdown", "shutdown", true, to_string(CM_SHUTDOWN)},
        {"logoff", "logoff", true, to_string(CM_LOGOFF)},
        {"nuke", "nuke", true, to_string(CM_NUKE)},
        {"a longer word is another word", "swapx", true, Quoted("swapx" + kNotAnOption)},
        {"the switch alone", "", true, Quoted(kNotAnOption)},
        {"a word too long for the box is cut", longWord, true, Quoted(longWord.substr(0, 255 - kNotAnOption.size()) + kNotAnOption)},
        {"no manager", "swap", false, " [no-manager]"},
        {"no manager, no word", "bogus", false, " [no-manager]"},
        {"uninstall ends the manager", "uninstall", true, to_string(CM_QUIT) + " [uninstalled]"},
        {"uninstall without a manager", "uninstall", false, " [uninstalled]"},
    };
    Boxes();
    for (const auto &row : rows) {
        gState = ManagerState();
        gState.isNT = true;
        gState.shellKind = SHELL_EXPLORER;
        HWND window = row.manager ? CreateWindowExA(0, kControlClassName, "", 0, 0, 0, 0, 0, NULL, NULL, windowClass.hInstance, NULL) : NULL;
        std::vector<char> tail(row.word.begin(), row.word.end());
        tail.insert(tail.end(), 17, (char)0xCC);
        tail[row.word.size()] = '\0';
        RunCommand(tail.data());
        string got;
        MSG m;
        while (window != NULL && PeekMessageA(&m, window, WM_USER, 0xFFFF, PM_REMOVE))
            got += to_string(m.message) + (m.wParam || m.lParam ? " with parameters" : "");
        EXPECT_EQ(row.want, got + Boxes()) << row.name;
        string want = row.word + '\0' + string(16, (char)0xCC);
        size_t blank = want.find_first_of(" \t\n\v\f\r");
        if (blank < row.word.size())
            want[blank] = '\0';
        EXPECT_EQ(want, string(tail.begin(), tail.end())) << row.name << ": only the word's end may be written";
        if (window != NULL)
            DestroyWindow(window);
    }
    UnregisterClassA(kControlClassName, windowClass.hInstance);
}

// ---- The system shell setting: HKLM Winlogon "Shell" on NT, System.ini on 95/98 ----

TEST(Tables, SystemShell)
{
    KeepShells keep;
    const string q = "C:\\Q\\", ls = "C:\\LS\\LiteStep.exe", d246 = "C:\\" + string(242, 'd') + "\\", d247 = "C:\\" + string(243, 'd') + "\\";
    const string refused = "refused reg=- ini=- ours [shell-failed]";
    enum { UNINSTALLED = 1, BLOCKED = 2 };
    // Each row starts from "-" in both stores; `other` is another program's write after the manager's.
    const struct { const char *name; bool nt; LONG which; string dir, lite, alt; int flags; const char *other; string want; } rows[] = {
        {"NT: the manager", true, 0, q, ls, "", 0, NULL, "written reg=C:\\Q\\Quillfern.exe ini=- ours"},
        {"NT: LiteStep", true, 1, q, ls, "", 0, NULL, "written reg=" + ls + " ini=- ours"},
        {"NT: Explorer by its bare name", true, 2, q, ls, "", 0, NULL, "written reg=Explorer.exe ini=- ours"},
        {"NT: the alternate shell", true, 3, q, ls, "C:\\Alt.exe", 0, NULL, "written reg=C:\\Alt.exe ini=- ours"},
        {"NT: uninstalled, not the manager", true, 0, q, ls, "", UNINSTALLED, NULL, "written reg=- ini=- ours"},
        {"NT: uninstalled, LiteStep all the same", true, 1, q, ls, "", UNINSTALLED, NULL, "written reg=" + ls + " ini=- ours"},
        {"NT: a manager path of 259", true, 0, d246, ls, "", 0, NULL, "written reg=" + d246 + "Quillfern.exe ini=- ours"},
        {"NT: a manager path of 260", true, 0, d247, ls, "", 0, NULL, refused},
        {"NT: LiteStep without a path", true, 1, q, "", "", 0, NULL, refused},
        {"NT: an alternate shell without a path", true, 3, q, ls, "", 0, NULL, refused},
        {"NT: no such shell", true, 4, q, ls, "", 0, NULL, refused},
        {"NT: someone else wrote LiteStep since", true, 0, q, ls, "", 0, "C:\\LS\\LiteStep.exe", "written reg=" + ls + " ini=- not ours"},
        {"NT: the same path in other capitals", true, 0, q, ls, "", 0, "C:\\q\\QUILLFERN.EXE", "written reg=C:\\q\\QUILLFERN.EXE ini=- ours"},
        {"NT: the value taken away", true, 0, q, ls, "", 0, "(none)", "written reg=(none) ini=- ours"},
        {"95: the manager", false, 0, q, ls, "", 0, NULL, "written reg=- ini=C:\\Q\\Quillfern.exe ours"},
        {"95: LiteStep", false, 1, q, ls, "", 0, NULL, "written reg=- ini=" + ls + " ours"},
        {"95: Explorer", false, 2, q, ls, "", 0, NULL, "written reg=- ini=Explorer.exe ours"},
        {"95: uninstalled", false, 0, q, ls, "", UNINSTALLED, NULL, "written reg=- ini=- ours"},
        {"95: a manager path of 259", false, 0, d246, ls, "", 0, NULL, "written reg=- ini=" + d246 + "Quillfern.exe ours"},
        {"95: a manager path of 260", false, 0, d247, ls, "", 0, NULL, refused},
        {"95: System.ini cannot be written", false, 2, q, ls, "", BLOCKED, NULL, refused},
        {"95: someone else wrote LiteStep since", false, 0, q, ls, "", 0, "C:\\LS\\LiteStep.exe", "written reg=- ini=" + ls + " not ours"},
    };
    const string ini = SystemIni(), aside = ini + ".qf";
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
        // Running as root, only a directory in its place stops a write.
        if (row.flags & BLOCKED)
            MoveFileA(ini.c_str(), aside.c_str()), CreateDirectoryA(ini.c_str(), NULL);
        string got = SetSystemShell(row.which) ? "written" : "refused";
        if (row.flags & BLOCKED)   // the file back, and the profile functions' copy of it forgotten
            RemoveDirectoryA(ini.c_str()), MoveFileA(aside.c_str(), ini.c_str()), WritePrivateProfileStringA(NULL, NULL, NULL, ini.c_str());
        if (row.other != NULL)
            row.nt ? SetShells(row.other, "-") : SetShells("-", row.other);
        got += " reg=" + RegShell() + " ini=" + IniShell() + (SystemShellStillOurs() ? " ours" : " not ours");
        EXPECT_EQ(row.want, got + Boxes()) << row.name;
    }
}

// ---- The end of the session, through the seam that stands for ExitWindowsEx ----

// The shutdown privilege of this process: 1 enabled, 0 not, -1 not held. set
// turns it on (1) or off (0) first.
int ShutdownPrivilege(int set = -1)
{
    HANDLE token;
    TOKEN_PRIVILEGES change = {1, {{{0, 0}, set == 1 ? (DWORD)SE_PRIVILEGE_ENABLED : 0}}};
    union { TOKEN_PRIVILEGES list; BYTE bytes[4096]; } held;
    DWORD size = 0;
    int enabled = -1;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &token))
        return -1;
    LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &change.Privileges[0].Luid);
    if (set >= 0)
        AdjustTokenPrivileges(token, FALSE, &change, 0, NULL, NULL);
    if (GetTokenInformation(token, TokenPrivileges, &held, sizeof held, &size))
        for (DWORD i = 0; i < held.list.PrivilegeCount; i++)
            if (memcmp(&held.list.Privileges[i].Luid, &change.Privileges[0].Luid, sizeof(LUID)) == 0)
                enabled = (held.list.Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    CloseHandle(token);
    return enabled;
}

string gRequests;   // what the system looked like at each exit request

BOOL WINAPI RecordExit(UINT flags, DWORD reason)
{
    gRequests += "flags=" + to_string(flags) + " reason=" + to_string(reason) + (gState.shellExitExpected ? " expected" : " unexpected") +
                 " privilege=" + to_string(ShutdownPrivilege()) + " shell=" + (gState.isNT ? RegShell() : IniShell()) + Boxes() + ";";
    return FALSE;
}

TEST(Tables, SessionExit)
{
    KeepShells keep;
    const string tooLong(kPathSize - 1, 'd');
    const struct { const char *name; bool nt; UINT flags; bool uninstalled; string dir, want; } rows[] = {
        {"NT: log off", true, EWX_LOGOFF, false, "C:\\Q\\", "flags=0 reason=0 expected privilege=1 shell=C:\\Q\\Quillfern.exe; other=-"},
        {"NT: shut down", true, EWX_SHUTDOWN, false, "C:\\Q\\", "flags=1 reason=0 expected privilege=1 shell=C:\\Q\\Quillfern.exe; other=-"},
        {"NT: reboot", true, EWX_REBOOT, false, "C:\\Q\\", "flags=2 reason=0 expected privilege=1 shell=C:\\Q\\Quillfern.exe; other=-"},
        {"NT: uninstalled: not written back", true, EWX_LOGOFF, true, "C:\\Q\\", "flags=0 reason=0 expected privilege=1 shell=-; other=-"},
        {"NT: a failed write-back is shown first", true, EWX_SHUTDOWN, false, tooLong,
         "flags=1 reason=0 expected privilege=1 shell=- [shell-failed]; other=-"},
        {"95: reboot without privilege work", false, EWX_REBOOT, false, "C:\\Q\\",
         "flags=2 reason=0 expected privilege=0 shell=C:\\Q\\Quillfern.exe; other=-"},
    };
    Boxes();
    for (const auto &row : rows) {
        gState = ManagerState();
        gState.isNT = row.nt;
        gState.uninstalled = row.uninstalled;
        strcpy(gState.managerDir, row.dir.c_str());
        SetShells("-", "-");
        ASSERT_EQ(0, ShutdownPrivilege(0)) << "the shutdown privilege cannot be turned off here";
        gRequests.clear();
        gExitWindowsEx = RecordExit;
        ExitSession(row.flags);
        gExitWindowsEx = ExitWindowsEx;
        EXPECT_EQ(row.want, gRequests + " other=" + (row.nt ? IniShell() : RegShell()) + Boxes()) << row.name;
    }
    char *system = NULL;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL, ERROR_ACCESS_DENIED, 0x400, (LPSTR)&system, 0, NULL);
    // The system's own text; a code the system has no text for.
    const struct { DWORD code; string want; } errors[] = {
        {ERROR_ACCESS_DENIED, Quoted(system ? system : "(the system has no text)")},
        {0x2000abcd, Quoted("Error " + to_string(0x2000abcd))},
    };
    LocalFree(system);
    for (const auto &error : errors) {
        ShowSystemError(error.code);
        EXPECT_EQ(error.want, Boxes()) << "error " << error.code;
    }
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
                                    {"Theme\\modules.ini", "th.ini"}, {"Mgr\\Previous_Step.rc", "old.rc"},
                                    {"Mgr\\Previous_Modules.ini", "old.ini"}};
    const string installed = "ok th.rc th.ini th.rc th.ini ls.rc ls.ini wallpaper";
    const string untouched = "failed ls.rc ls.ini th.rc th.ini old.rc old.ini [theme-failed]";
    const struct { const char *name, *missing; string lite, theme; int times; string want; } rows[] = {
        {"installs", "", lite, theme, 1, installed},
        {"any file name of 12 characters", "", d + "LS\\litestep.EXE", theme, 1, installed},
        {"the directory cut by length alone", "", d + "LS\\ab\\cdefg.exe", theme, 1, installed},
        {"twice: the backups hold what the first installed", "", lite, theme, 2, "ok ok th.rc th.ini th.rc th.ini th.rc th.ini wallpaper"},
        {"a theme without modules.ini", "Theme\\modules.ini", lite, theme, 1, "ok th.rc ls.ini th.rc - ls.rc ls.ini wallpaper"},
        {"a LiteStep without modules.ini", "LS\\modules.ini", lite, theme, 1, "ok th.rc th.ini th.rc th.ini ls.rc old.ini wallpaper"},
        {"a theme without step.rc: the backups only", "Theme\\step.rc", lite, theme, 1,
         "failed ls.rc ls.ini - th.ini ls.rc ls.ini [theme-failed]"},
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
