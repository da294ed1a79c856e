// A second copy of Quillfern started with a command word, against a running
// manager in another process: each word's effect is seen on the manager and
// its stand-in shells, each wrong word in the client's own message box.
#include "cli_helpers.h"

constexpr char kNoManager[] = "Could not find a currently running instance of Quillfern.";
constexpr char kNotAnOptionTail[] = " is not a valid Quillfern option.";

class CommandWords : public ::testing::Test {
protected:
    void SetUp() override { KillStrays(); }
    void TearDown() override { KillStrays(); }
    // Spawns write the system shell; every test puts it back.
    SavedRegValue systemShell{ HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell" };
};

TEST_F(CommandWords, SwapStopsLiteStepAndStartsExplorer)
{
    // The word ends at the first blank or tab; the switch may be any character.
    static const char *tails[] = { "-swap and more", "/SwAp\tmore" };
    for (const char *tail : tails) {
        SCOPED_TRACE(tail);
        KillStrays();
        Scene s = MakeScene("cli_swap", "litestep_exe");
        HANDLE manager = StartManager(s, s.liteDir);
        ASSERT_TRUE(manager != NULL);

        EXPECT_EQ(0u, RunClient(s.exe, tail)) << "client exit code";
        EXPECT_TRUE(WaitForLogLines(s.liteDir, "quit", 1, 15000))
            << "LiteStep was not asked to quit";
        EXPECT_TRUE(WaitForLogLines(s.explorerDir, "start", 1, 20000))
            << "Explorer was not started";
        std::vector<std::string> log = StandInLog(s.explorerDir);
        ASSERT_FALSE(log.empty());
        EXPECT_NE(std::string::npos, log[0].find("control=1"))
            << "Explorer starts with Control held; got: " << log[0];
        CloseHandle(manager);
    }
}

TEST_F(CommandWords, SwapThemeInAnyCaseInstallsTheNextTheme)
{
    Scene s = MakeScene("cli_swaptheme", "litestep_exe");
    HANDLE manager = StartManager(s, s.liteDir);
    ASSERT_TRUE(manager != NULL);
    EXPECT_EQ("original step\r\n", ReadTextFile(s.liteDir + "step.rc"));

    // No current theme: the first switch installs the first theme.
    EXPECT_EQ(0u, RunClient(s.exe, "-swaptheme")) << "client exit code";
    EXPECT_TRUE(WaitForLogLines(s.liteDir, "start", 2, 20000)) << "LiteStep was not restarted";
    EXPECT_EQ("day step\r\n", ReadTextFile(s.liteDir + "step.rc"));
    EXPECT_EQ("original step\r\n", ReadTextFile(s.mgrDir + "Previous_Step.rc"));

    EXPECT_EQ(0u, RunClient(s.exe, "-SwApThEmE")) << "client exit code";
    EXPECT_TRUE(WaitForLogLines(s.liteDir, "start", 3, 20000)) << "LiteStep was not restarted";
    EXPECT_EQ("night step\r\n", ReadTextFile(s.liteDir + "step.rc"));
    CloseHandle(manager);
}

TEST_F(CommandWords, RestartAndKillActOnTheShell)
{
    Scene s = MakeScene("cli_restart_kill", "litestep_exe");
    HANDLE manager = StartManager(s, s.liteDir);
    ASSERT_TRUE(manager != NULL);

    EXPECT_EQ(0u, RunClient(s.exe, "-restart")) << "client exit code";
    EXPECT_TRUE(WaitForLogLines(s.liteDir, "quit", 1, 15000)) << "LiteStep was not stopped";
    EXPECT_TRUE(WaitForLogLines(s.liteDir, "start", 2, 20000)) << "LiteStep was not started again";
    std::vector<std::string> log = StandInLog(s.liteDir);
    EXPECT_NE(std::string::npos, log.back().find("shift=1"))
        << "LiteStep restarts with Shift held; got: " << log.back();

    DWORD pid = LatestStandInPid(s.liteDir);
    EXPECT_EQ(0u, RunClient(s.exe, "-KILL")) << "client exit code";
    EXPECT_TRUE(ProcessEnds(pid, 15000)) << "LiteStep still runs after kill";
    EXPECT_TRUE(WaitForLogLines(s.liteDir, "quit", 2, 5000)) << "kill asks LiteStep to quit first";
    Sleep(1000);
    EXPECT_EQ(2u, CountLogLines(s.liteDir, "start")) << "kill must not start another shell";
    EXPECT_EQ(STILL_ACTIVE, WaitExit(manager, 0)) << "the manager goes on without a shell";
    CloseHandle(manager);
}

TEST_F(CommandWords, QuitLeavesTheShellNukeKillsIt)
{
    static const struct {
        const char *tail;
        bool shellSurvives;
    } cases[] = {
        { "-quit", true },
        { "-Nuke", false },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tail);
        KillStrays();
        Scene s = MakeScene("cli_quit", "litestep_exe");
        HANDLE manager = StartManager(s, s.liteDir);
        ASSERT_TRUE(manager != NULL);
        DWORD shellPid = LatestStandInPid(s.liteDir);

        EXPECT_EQ(0u, RunClient(s.exe, c.tail)) << "client exit code";
        EXPECT_EQ(0u, WaitExit(manager, 15000)) << "the manager ends with code 0";
        EXPECT_EQ(!c.shellSurvives, ProcessEnds(shellPid, 3000))
            << "LiteStep should " << (c.shellSurvives ? "survive" : "be killed");
        EXPECT_EQ(0u, CountLogLines(s.liteDir, "quit"))
            << "neither word asks the shell to quit politely";
        CloseHandle(manager);
    }
}

// The client reports what it cannot do in its own box, and never becomes a
// manager: while its box is up the only control window is the manager's, or
// there is none at all.
TEST_F(CommandWords, ClientNeverCreatesAControlWindow)
{
    for (bool withManager : { true, false }) {
        SCOPED_TRACE(withManager ? "with a manager" : "without a manager");
        KillStrays();
        Scene s = MakeScene("cli_client_window", "litestep_exe");
        HANDLE manager = withManager ? StartManager(s, s.liteDir) : NULL;
        DWORD managerPid = 0;
        if (withManager) {
            ASSERT_TRUE(manager != NULL);
            GetWindowThreadProcessId(FindWindowA(kControlClass, NULL), &managerPid);
        }

        HANDLE client = StartProcess(s.exe, "-bogus");
        ASSERT_TRUE(client != NULL);
        HWND box = WaitForWindow("#32770", kBoxCaption, 15000);
        ASSERT_TRUE(box != NULL) << "the client showed no message box";
        std::vector<DWORD> owners = ControlWindowOwners();
        if (withManager) {
            ASSERT_EQ(1u, owners.size()) << "one control window, the manager's";
            EXPECT_EQ(managerPid, owners[0]);
            EXPECT_EQ("bogus is not a valid Quillfern option.",
                      WindowText(GetDlgItem(box, 0xFFFF)));
        } else {
            EXPECT_EQ(0u, owners.size()) << "the client must not create a control window";
            EXPECT_EQ(kNoManager, WindowText(GetDlgItem(box, 0xFFFF)));
        }
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(0u, WaitExit(client, kClientTimeoutMs)) << "client exit code";
        CloseHandle(client);
        if (withManager) {
            EXPECT_EQ(STILL_ACTIVE, WaitExit(manager, 0)) << "the manager got nothing to act on";
            EXPECT_EQ(1u, CountLogLines(s.liteDir, "start"));
            CloseHandle(manager);
        }
    }
}

TEST_F(CommandWords, WrongWordsWithAManager)
{
    Scene s = MakeScene("cli_unknown", "litestep_exe");
    HANDLE manager = StartManager(s, s.liteDir);
    ASSERT_TRUE(manager != NULL);
    MessageBoxWatcher boxes;

    std::string longWord(300, 'q');
    // The sentence must fit its 256-byte text: the word is cut, the rest kept.
    std::string cutWord(255 - strlen(kNotAnOptionTail), 'q');
    static const struct {
        std::string tail, expected;
    } cases[] = {
        { "swap", std::string("wap") + kNotAnOptionTail },     // no switch character
        { "-", kNotAnOptionTail },                              // an empty word
        { "- swap", kNotAnOptionTail },                         // the word ends at once
        { "-swapper", std::string("swapper") + kNotAnOptionTail },
        { "-%s%n%d", std::string("%s%n%d") + kNotAnOptionTail },
        { "-" + longWord + " tail", cutWord + kNotAnOptionTail },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tail.substr(0, 20));
        boxes.Clear();
        EXPECT_EQ(0u, RunClient(s.exe, c.tail)) << "client exit code";
        std::vector<std::string> seen = boxes.Seen();
        ASSERT_EQ(1u, seen.size()) << "one message box";
        EXPECT_EQ(c.expected, seen[0]);
    }
    EXPECT_EQ(STILL_ACTIVE, WaitExit(manager, 0)) << "the manager got nothing to act on";
    EXPECT_EQ(1u, CountLogLines(s.liteDir, "start")) << "the shell was left alone";
    CloseHandle(manager);
}

TEST_F(CommandWords, EveryWordButInstallNeedsAManager)
{
    Scene s = MakeScene("cli_no_manager", "litestep_exe");
    MessageBoxWatcher boxes;
    static const char *tails[] = { "-swap", "-nuke", "-quit", "-bogus", "-", "swap" };
    for (const char *tail : tails) {
        SCOPED_TRACE(tail);
        boxes.Clear();
        EXPECT_EQ(0u, RunClient(s.exe, tail)) << "client exit code";
        std::vector<std::string> seen = boxes.Seen();
        ASSERT_EQ(1u, seen.size()) << "one message box";
        EXPECT_EQ(kNoManager, seen[0]);
    }
    EXPECT_EQ(0u, CountLogLines(s.liteDir, "start")) << "no shell was started";
    EXPECT_EQ(0u, CountLogLines(s.explorerDir, "start")) << "no shell was started";
}
