// Quillfern.cfg read in its two phases, in process, from scratch files.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "config/state.h"
#include "support/support.h"

namespace {

const char kThemeMessage[] =
    "The theme directive for this user in Quillfern.cfg is\n"
    "undefined.  Please check Quillfern.cfg and verify that\n"
    "all paths are correct.";
const char kShellMessage[] =
    "The shell directive for this user in Quillfern.cfg is\n"
    "undefined.  Please check Quillfern.cfg and verify that\n"
    "all paths are correct.";

const char kSample[] =
    "[Quillfern]\n"
    "litestep_exe=C:\\LiteStep\\LiteStep.exe\n"
    "explorer_exe=C:\\Windows\\Explorer.exe\n"
    "\n"
    "[default]\n"
    "shell=explorer_exe\n"
    "ask_boot=1\n"
    "start_delay=5\n"
    "\n"
    "[operator]\n"
    "shell=litestep_exe\n"
    "theme=Night\n"
    "kill_delay=5\n"
    "shift_delay=2\n"
    "\n"
    "[shelluser]\n"
    "shell=FileMgr\n"
    "\n"
    "[Themes]\n"
    "theme_name_1=Day\n"
    "theme_path_1=C:\\LiteStep\\themes\\day\n"
    "theme_back_1=C:\\LiteStep\\themes\\day\\back.bmp\n"
    "theme_name_2=Night\n"
    "theme_path_2=C:\\LiteStep\\themes\\night\n"
    "theme_back_2=C:\\LiteStep\\themes\\night\\back.bmp\n"
    "\n"
    "[Alternate_Shells]\n"
    "altshell_name_1=FileMgr\n"
    "altshell_path_1=C:\\Shells\\FileMgr.exe\n";

// Values no load would leave behind, so that an unwritten field shows.
void FillStateWithSentinels()
{
    memset(&gState, 0, sizeof(gState));
    gState.askBoot = false;
    gState.startDelay = 0x5a5a;
    gState.killDelay = 0x5a5a;
    gState.shiftDelay = 0x5a5a;
    gState.shellKind = 0x5a;
    gState.themeCount = 0x5a;
    gState.themeIndex = 0x5a;
    gState.altShellCount = 0x5a;
    gState.altShellIndex = 0x5a;
    strcpy(gState.liteStepPath, "stale");
    strcpy(gState.explorerPath, "stale");
    for (ThemeEntry &theme : gState.themes)
        strcpy(theme.name, "stale");
    for (AltShellEntry &shell : gState.altShells)
        strcpy(shell.name, "stale");
}

// Each case gets a directory of its own: the profile functions may keep a
// file they read recently, and a rewritten file of the same name and size
// could be taken for it.
std::string ScratchWithConfig(const char *name, const char *config)
{
    std::string dir = MakeScratchDir(name);
    if (config != NULL)
        WriteTextFile(dir + "Quillfern.cfg", config);
    return dir;
}

// Runs phase one (and two) for user in dir; returns the user section that
// phase one left.
std::string Load(const std::string &dir, const char *user, bool bothPhases = true)
{
    FillStateWithSentinels();
    strcpy(gState.managerDir, dir.c_str());
    char section[kPathSize];
    memset(section, 0x5a, sizeof(section));
    strcpy(section, user);
    LoadUserSettings(section);
    if (bothPhases)
        LoadThemesAndShells(section);
    return section;
}

TEST(Config, SampleForOperator)
{
    std::string dir = ScratchWithConfig("config_sample_operator", kSample);
    MessageBoxWatcher watcher;
    EXPECT_EQ("operator", Load(dir, "operator")) << "operator has a shell of their own";
    EXPECT_STREQ("C:\\LiteStep\\LiteStep.exe", gState.liteStepPath);
    EXPECT_STREQ("C:\\Windows\\Explorer.exe", gState.explorerPath);
    EXPECT_EQ(SHELL_LITESTEP, gState.shellKind) << "shellKind";
    EXPECT_EQ(1, gState.themeIndex) << "the theme Night is entry 1";
    EXPECT_FALSE(gState.askBoot) << "askBoot must not come from [default]";
    EXPECT_EQ(0, gState.startDelay) << "startDelay";
    EXPECT_EQ(5000, gState.killDelay) << "killDelay";
    EXPECT_EQ(2, gState.shiftDelay) << "shiftDelay";
    EXPECT_EQ(2, gState.themeCount) << "themeCount";
    EXPECT_EQ(1, gState.altShellCount) << "altShellCount";
    EXPECT_EQ(-1, gState.altShellIndex) << "altShellIndex";
    EXPECT_STREQ("Night", gState.themes[1].name);
    EXPECT_STREQ("C:\\LiteStep\\themes\\night", gState.themes[1].path);
    EXPECT_STREQ("C:\\LiteStep\\themes\\night\\back.bmp", gState.themes[1].back);
    EXPECT_STREQ("C:\\Shells\\FileMgr.exe", gState.altShells[0].path);
    EXPECT_EQ(0u, watcher.Seen().size()) << "no message expected, got "
        << (watcher.Seen().empty() ? "" : watcher.Seen()[0]);
}

TEST(Config, SampleForOtherUsers)
{
    std::string dir = ScratchWithConfig("config_sample_other", kSample);
    MessageBoxWatcher watcher;
    for (const char *user : {"someone", ""}) {
        EXPECT_EQ("default", Load(dir, user)) << "user [" << user << "] has no section";
        EXPECT_EQ(SHELL_EXPLORER, gState.shellKind) << "user [" << user << "]";
        EXPECT_TRUE(gState.askBoot) << "user [" << user << "]";
        EXPECT_EQ(5, gState.startDelay) << "user [" << user << "]";
        EXPECT_EQ(10000, gState.killDelay) << "user [" << user << "]";
        EXPECT_EQ(-1, gState.shiftDelay) << "user [" << user << "]";
        EXPECT_EQ(-1, gState.themeIndex) << "user [" << user << "]";
        EXPECT_EQ(2, gState.themeCount) << "user [" << user << "]";
        EXPECT_EQ(1, gState.altShellCount) << "user [" << user << "]";
        EXPECT_EQ(-1, gState.altShellIndex) << "user [" << user << "]";
    }
    EXPECT_EQ(0u, watcher.Seen().size()) << "no message expected";

    Load(dir, "shelluser");
    EXPECT_EQ(SHELL_ALTERNATE, gState.shellKind) << "shell=FileMgr";
    EXPECT_EQ(0, gState.altShellIndex) << "altShellIndex";
    EXPECT_STREQ("C:\\Shells\\FileMgr.exe", gState.alternatePath);
    EXPECT_EQ(0u, watcher.Seen().size()) << "no message expected";
}

// Without a non-empty "shell" of their own, every per-user value of a user
// comes from [default], even where their section holds it.
TEST(Config, FallBackToDefault)
{
    std::string dir = ScratchWithConfig("config_fallback",
        "[default]\nshell=LITESTEP_EXE\nkill_delay=7\n"
        "[keys]\nask_boot=1\nstart_delay=9\nkill_delay=3\nshift_delay=4\ntheme=Day\n"
        "[empty]\nshell=\nask_boot=1\n"
        "[Themes]\ntheme_name_1=Day\n");
    MessageBoxWatcher watcher;
    for (const char *user : {"keys", "empty"}) {
        EXPECT_EQ("default", Load(dir, user)) << "user " << user;
        EXPECT_EQ(SHELL_LITESTEP, gState.shellKind) << "user " << user;
        EXPECT_FALSE(gState.askBoot) << "user " << user << ": ask_boot is the user's own";
        EXPECT_EQ(0, gState.startDelay) << "user " << user;
        EXPECT_EQ(7000, gState.killDelay) << "user " << user;
        EXPECT_EQ(-1, gState.shiftDelay) << "user " << user;
        EXPECT_EQ(-1, gState.themeIndex) << "user " << user << ": no theme in [default]";
    }
    EXPECT_EQ(0u, watcher.Seen().size()) << "no message expected";
}

TEST(Config, CaseEmptyValuesAndNumbering)
{
    std::string dir = ScratchWithConfig("config_case",
        "[QUILLFERN]\nLiteStep_Exe=C:\\ls.exe\nexplorer_exe=\n"
        "[Operator]\nSHELL=LiteStep_EXE\nTheme=night\nAsk_Boot=-3\n"
        "[themes]\n"
        "theme_name_1=Day\ntheme_name_2=Night\ntheme_path_2=\n"
        "theme_name_3=Dusk\ntheme_name_5=Never\n"
        "[alternate_shells]\naltshell_name_1=One\naltshell_name_3=Never\n");
    MessageBoxWatcher watcher;
    EXPECT_EQ("operator", Load(dir, "operator")) << "section names ignore case";
    EXPECT_STREQ("C:\\ls.exe", gState.liteStepPath);
    EXPECT_STREQ("", gState.explorerPath) << "an empty value gives an empty path";
    EXPECT_EQ(SHELL_LITESTEP, gState.shellKind) << "the keyword ignores case";
    EXPECT_TRUE(gState.askBoot) << "any non-zero ask_boot";
    EXPECT_EQ(1, gState.themeIndex) << "theme=night selects Night";
    EXPECT_EQ(3, gState.themeCount) << "themes after a gap are not read";
    EXPECT_STREQ("", gState.themes[1].path) << "empty theme path";
    EXPECT_STREQ("", gState.themes[3].name) << "the missing theme 4";
    EXPECT_STREQ("stale", gState.themes[4].name) << "theme 5 must never be read";
    EXPECT_EQ(1, gState.altShellCount) << "shells after a gap are not read";
    EXPECT_STREQ("stale", gState.altShells[2].name) << "shell 3 must never be read";
    EXPECT_EQ(0u, watcher.Seen().size()) << "no message expected";
}

TEST(Config, TableLimitsAndLongNames)
{
    std::string config = "[Quillfern]\n[default]\nshell=Six\ntheme=Eleven\n"
                         "[long]\nshell=explorer_exe\ntheme=";
    std::string name70(70, 'n');
    std::string name63(63, 'n');
    config += name63 + "\n[toolong]\nshell=explorer_exe\ntheme=" + name70 + "\n[Themes]\n";
    const char *names[] = {"One", "Two", "Three", "Four", "Five", "Six",
                           "Seven", "Eight", "Nine", "Ten", "Eleven"};
    for (int n = 1; n <= 11; n++) {
        config += "theme_name_" + std::to_string(n) + "=" + (n == 3 ? name70 : names[n - 1]) + "\n";
        config += "theme_path_" + std::to_string(n) + "=C:\\t" + std::to_string(n) + "\n";
    }
    config += "[Alternate_Shells]\n";
    for (int n = 1; n <= 6; n++) {
        config += "altshell_name_" + std::to_string(n) + "=" + names[n - 1] + "\n";
        config += "altshell_path_" + std::to_string(n) + "=C:\\s" + std::to_string(n) + ".exe\n";
    }
    std::string dir = ScratchWithConfig("config_limits", config.c_str());
    MessageBoxWatcher watcher;

    Load(dir, "anyone");
    EXPECT_EQ(10, gState.themeCount) << "only ten themes";
    EXPECT_STREQ("C:\\t10", gState.themes[9].path);
    EXPECT_EQ(5, gState.altShellCount) << "only five alternate shells";
    EXPECT_EQ(-1, gState.themeIndex) << "theme 11 was never read";
    EXPECT_EQ(SHELL_EXPLORER, gState.shellKind) << "shell 6 was never read";
    EXPECT_TRUE(gState.askBoot) << "an unknown shell forces the choice";
    ASSERT_EQ(2u, watcher.Seen().size()) << "theme and shell messages expected";
    EXPECT_EQ(kThemeMessage, watcher.Seen()[0]) << "the theme message comes first";
    EXPECT_EQ(kShellMessage, watcher.Seen()[1]);
    EXPECT_EQ(name63, gState.themes[2].name) << "a 70-character name is cut to 63";

    watcher.Clear();
    Load(dir, "long");
    EXPECT_EQ(2, gState.themeIndex) << "the directive equal to the cut name selects it";
    Load(dir, "toolong");
    EXPECT_EQ(-1, gState.themeIndex) << "the uncut 70-character directive matches nothing";
    ASSERT_EQ(1u, watcher.Seen().size()) << "one theme message expected";
    EXPECT_EQ(kThemeMessage, watcher.Seen()[0]);
}

TEST(Config, MissingFile)
{
    std::string dir = ScratchWithConfig("config_missing", NULL);
    MessageBoxWatcher watcher;
    EXPECT_EQ("default", Load(dir, "operator", false)) << "nothing found: the fall-back";
    EXPECT_EQ(SHELL_ALTERNATE, gState.shellKind) << "an empty directive after phase one";
    EXPECT_EQ(10000, gState.killDelay) << "killDelay";
    EXPECT_EQ(-1, gState.shiftDelay) << "shiftDelay";
    EXPECT_STREQ("", gState.liteStepPath);
    EXPECT_EQ(0u, watcher.Seen().size()) << "phase one shows nothing";

    LoadThemesAndShells("default");
    EXPECT_EQ(0, gState.themeCount) << "themeCount";
    EXPECT_EQ(0, gState.altShellCount) << "altShellCount";
    EXPECT_EQ(SHELL_EXPLORER, gState.shellKind) << "Explorer preselected";
    EXPECT_TRUE(gState.askBoot) << "the user is asked";
    EXPECT_STREQ("", gState.alternatePath);
    ASSERT_EQ(1u, watcher.Seen().size()) << "the shell message only";
    EXPECT_EQ(kShellMessage, watcher.Seen()[0]);
}

// Delays that make no sensible wait are brought back in range; everything
// else is kept exactly.
TEST(Config, DelayConversions)
{
    struct { const char *kill; LONG killMs; const char *shift; LONG shift_; } cases[] = {
        {"5", 5000, "2", 2},
        {"0", 0, "0", 0},
        {"-1", 10000, "-1", -1},
        {NULL, 10000, NULL, -1},
        {"-2", 10000, "-2", -1},
        {"-100000", 10000, "-2147483647", -1},
        {"3600", 3600000, "3600", 3600},
        {"3601", 3600000, "3601", 3600},
        {"2147484", 3600000, "2147483647", 3600},
        {"4294967", 3600000, "100000", 3600},
    };
    std::string config = "[default]\nshell=explorer_exe\n";
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        config += "[u" + std::to_string(i) + "]\nshell=explorer_exe\n";
        if (cases[i].kill)
            config += std::string("kill_delay=") + cases[i].kill + "\n";
        if (cases[i].shift)
            config += std::string("shift_delay=") + cases[i].shift + "\n";
    }
    std::string dir = ScratchWithConfig("config_delays", config.c_str());
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        std::string user = "u" + std::to_string(i);
        Load(dir, user.c_str(), false);
        EXPECT_EQ(cases[i].killMs, gState.killDelay)
            << "kill_delay=" << (cases[i].kill ? cases[i].kill : "(missing)");
        EXPECT_EQ(cases[i].shift_, gState.shiftDelay)
            << "shift_delay=" << (cases[i].shift ? cases[i].shift : "(missing)");
    }
}

TEST(Config, DirectiveMessages)
{
    std::string dir = ScratchWithConfig("config_directives",
        "[notheme]\nshell=explorer_exe\ntheme=Nowhere\n"
        "[emptytheme]\nshell=explorer_exe\ntheme=\n"
        "[notakeyword]\nshell=Explorer\n"
        "[both]\nshell=Nothing\ntheme=Nowhere\n"
        "[Alternate_Shells]\naltshell_name_1=Other\naltshell_path_1=C:\\o.exe\n");
    MessageBoxWatcher watcher;

    Load(dir, "notheme");
    EXPECT_EQ(-1, gState.themeIndex) << "a theme directive with no themes";
    EXPECT_EQ(SHELL_EXPLORER, gState.shellKind);
    EXPECT_EQ(std::vector<std::string>{kThemeMessage}, watcher.Seen())
        << "exactly the theme message expected";

    watcher.Clear();
    Load(dir, "emptytheme");
    EXPECT_EQ(0u, watcher.Seen().size()) << "an empty theme directive shows nothing";

    Load(dir, "notakeyword", false);
    EXPECT_EQ(SHELL_ALTERNATE, gState.shellKind) << "Explorer is not a keyword";
    EXPECT_EQ(0u, watcher.Seen().size()) << "the client's phase shows nothing";
    LoadThemesAndShells("notakeyword");
    EXPECT_EQ(SHELL_EXPLORER, gState.shellKind) << "forced to Explorer";
    EXPECT_TRUE(gState.askBoot) << "the user is asked";
    EXPECT_EQ(-1, gState.altShellIndex) << "altShellIndex";
    EXPECT_STREQ("", gState.alternatePath);
    EXPECT_EQ(std::vector<std::string>{kShellMessage}, watcher.Seen())
        << "exactly the shell message expected";

    watcher.Clear();
    Load(dir, "both");
    EXPECT_EQ((std::vector<std::string>{kThemeMessage, kShellMessage}), watcher.Seen())
        << "theme message, then shell message";
}

// A directory so deep that "Quillfern.cfg" no longer fits after it: every
// lookup fails as for a missing file, and never reads the cut path.
TEST(Config, ManagerDirTooLong)
{
    std::string base = MakeScratchDir("config_deep");
    // The directory is padded with ".\" to any length; the one- or two-letter
    // subdirectory sets the parity.
    auto deepDir = [&](size_t length) {
        std::string sub = (length - base.size()) % 2 ? "dd\\" : "d\\";
        CreateDirectoryA((base + sub).c_str(), NULL);
        std::string dir = base + sub;
        while (dir.size() < length)
            dir += ".\\";
        return dir;
    };
    const char config[] = "[default]\nshell=explorer_exe\nkill_delay=3\n";
    std::string fits = deepDir(kPathSize - 1 - strlen("Quillfern.cfg"));
    WriteTextFile(fits + "Quillfern.cfg", config);
    std::string tooLong = deepDir(kPathSize - strlen("Quillfern.cfg"));
    // What a path cut to 259 characters would name.
    WriteTextFile(tooLong + std::string("Quillfern.cfg").substr(0, 12), config);
    MessageBoxWatcher watcher;

    ASSERT_EQ(246u, fits.size());
    Load(fits, "anyone", false);
    EXPECT_EQ(3000, gState.killDelay) << "a path of 259 characters is read";
    char path[kPathSize];
    EXPECT_TRUE(FormConfigPath(path)) << "a path of 259 characters fits";

    Load(tooLong, "anyone", false);
    EXPECT_EQ(10000, gState.killDelay) << "the cut path must not be read";
    EXPECT_EQ(SHELL_ALTERNATE, gState.shellKind) << "as for a missing file";
    memset(path, 0x5a, sizeof(path));
    EXPECT_FALSE(FormConfigPath(path)) << "a path of 260 characters does not fit";
    EXPECT_EQ('\0', path[kPathSize - 1]) << "the refused path is still terminated";
    char value[16];
    memset(value, 0x5a, sizeof(value));
    EXPECT_FALSE(ReadConfigString("default", "shell", value, sizeof(value)));
    EXPECT_STREQ("", value) << "a failed lookup leaves an empty value";
    EXPECT_EQ(-7, ReadConfigInt("default", "kill_delay", -7)) << "the default expected";
    EXPECT_EQ(0u, watcher.Seen().size()) << "phase one shows nothing";
}

}  // namespace
