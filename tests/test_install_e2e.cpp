// Installation and uninstallation run by a client process (-install,
// -uninstall) and offered by a start-up that finds a desktop shell running:
// the registry values and System.ini they leave, and the questions they ask.
#include "cli_helpers.h"

constexpr char kLogoffQuestion[] =
    "Quillfern has been successfully installed.\nWould you like to logoff now?";
constexpr char kRebootQuestion[] =
    "Quillfern has been successfully installed.\nWould you like to reboot now?";
constexpr char kUninstalled[] = "Quillfern has been successfully uninstalled.";
constexpr char kNotUninstalled[] = "Quillfern was NOT uninstalled successfully";
constexpr char kShellError[] = "An error has occurred while trying\nto install the shell.";
constexpr char kOffer[] = "Quillfern has detected that a shell\nis already running.  Would you "
                          "like Quillfern\nto set itself as your new shell?";
constexpr char kRebootNow[] = "Would you like to reboot now?";
constexpr char kNeedReboot[] =
    "You will need to reboot before Quillfern can act as you shell manager.";

constexpr char kAppDefaultsKey[] = "Software\\Wine\\AppDefaults\\Quillfern.exe";
constexpr char kSentinelShell[] = "C:\\sentinel\\shell.exe";
constexpr char kUserShell[] = "C:\\per-user\\shell.exe";

typedef std::vector<std::string> Texts;

static std::string SystemIniShell()
{
    char value[1024];
    memset(value, 0x5a, sizeof(value));
    GetPrivateProfileStringA("boot", "shell", "<missing>", value, sizeof(value),
                             SystemIniPath().c_str());
    return value;
}

// AutoRestartShell as "<type>:<value>", so that a wrong type shows.
static std::string AutoRestartShell()
{
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_READ, &k) != ERROR_SUCCESS)
        return "<no key>";
    DWORD data = 0xdeadbeef, size = sizeof(data), type = 0;
    LONG ret = RegQueryValueExA(k, "AutoRestartShell", NULL, &type, (BYTE *)&data, &size);
    RegCloseKey(k);
    if (ret != ERROR_SUCCESS)
        return "<missing>";
    return std::to_string(type) + ":" + std::to_string(size) + ":" + std::to_string(data);
}
constexpr char kAutoRestartOff[] = "4:4:0";     // REG_DWORD, 4 bytes, 0
constexpr char kAutoRestartOn[] = "4:4:1";

class Installation : public ::testing::Test {
protected:
    void SetUp() override
    {
        KillStrays();
        iniPath = SystemIniPath();
        iniExisted = FileExists(iniPath);
        iniText = ReadTextFile(iniPath);
        // Known values, so that every write and every value left alone shows.
        SetRegText(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell", kSentinelShell);
        SetRegDword(HKEY_LOCAL_MACHINE, kWinlogonKey, "AutoRestartShell", 1);
        SetRegText(HKEY_CURRENT_USER, kWinlogonKey, "Shell", kUserShell);
        DeleteRegValue(HKEY_CURRENT_USER, kAppDefaultsKey, "Version");
        WritePrivateProfileStringA("boot", "shell", kSentinelShell, iniPath.c_str());
    }
    void TearDown() override
    {
        KillStrays();
        if (iniExisted)
            WriteTextFile(iniPath, iniText);
        else
            DeleteFileA(iniPath.c_str());
    }
    SavedRegValue systemShell{ HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell" };
    SavedRegValue autoRestart{ HKEY_LOCAL_MACHINE, kWinlogonKey, "AutoRestartShell" };
    SavedRegValue userShell{ HKEY_CURRENT_USER, kWinlogonKey, "Shell" };
    SavedRegValue version{ HKEY_CURRENT_USER, kAppDefaultsKey, "Version" };
    std::string iniPath, iniText;
    bool iniExisted = false;
};

TEST_F(Installation, OnNtRemovesTheUserShellAndAsksToLogOff)
{
    static const struct {
        const char *what;
        std::string userShell;          // "" = no per-user value
    } cases[] = {
        { "per-user shell present", kUserShell },
        { "per-user shell absent", "" },
        { "per-user shell longer than 260", std::string("C:\\") + std::string(300, 'x') },
    };
    Scene s = MakeScene("install_nt", "litestep_exe");
    MessageBoxWatcher boxes;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        boxes.Clear();
        SetRegText(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell", kSentinelShell);
        SetRegDword(HKEY_LOCAL_MACHINE, kWinlogonKey, "AutoRestartShell", 1);
        if (c.userShell.empty())
            DeleteRegValue(HKEY_CURRENT_USER, kWinlogonKey, "Shell");
        else
            SetRegText(HKEY_CURRENT_USER, kWinlogonKey, "Shell", c.userShell);

        EXPECT_EQ(0u, RunClient(s.exe, "-install")) << "client exit code";
        EXPECT_EQ(Texts{ kLogoffQuestion }, boxes.Seen()) << "only the question, answered No";
        EXPECT_STRCASEEQ(s.exe.c_str(), ReadSystemShell().c_str());
        EXPECT_EQ("<missing>", RegText(HKEY_CURRENT_USER, kWinlogonKey, "Shell"));
        EXPECT_EQ(kAutoRestartOff, AutoRestartShell());
        EXPECT_EQ(kSentinelShell, SystemIniShell()) << "System.ini is not touched on NT";
    }
}

TEST_F(Installation, TwiceAsksTwiceAndLeavesARunningManagerAlone)
{
    Scene s = MakeScene("install_twice", "litestep_exe");
    HANDLE manager = StartManager(s, s.liteDir);
    ASSERT_TRUE(manager != NULL);
    MessageBoxWatcher boxes;
    for (int run = 1; run <= 2; run++) {
        SCOPED_TRACE(run);
        SetRegText(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell", kSentinelShell);
        SetRegDword(HKEY_LOCAL_MACHINE, kWinlogonKey, "AutoRestartShell", 1);
        EXPECT_EQ(0u, RunClient(s.exe, "-INSTALL")) << "client exit code";
        EXPECT_STRCASEEQ(s.exe.c_str(), ReadSystemShell().c_str());
        EXPECT_EQ(kAutoRestartOff, AutoRestartShell());
    }
    EXPECT_EQ((Texts{ kLogoffQuestion, kLogoffQuestion }), boxes.Seen());
    EXPECT_EQ(STILL_ACTIVE, WaitExit(manager, 1000)) << "install posts nothing to the manager";
    EXPECT_EQ(1u, CountLogLines(s.liteDir, "start")) << "the shell was left alone";
    CloseHandle(manager);
}

// Windows 98 as Wine plays it for this executable name: no registry at all.
TEST_F(Installation, OnWindows98WritesSystemIniOnly)
{
    SetRegText(HKEY_CURRENT_USER, kAppDefaultsKey, "Version", "win98");
    Scene s = MakeScene("install_98", "litestep_exe");
    MessageBoxWatcher boxes;

    EXPECT_EQ(0u, RunClient(s.exe, "-install")) << "client exit code";
    EXPECT_EQ(Texts{ kRebootQuestion }, boxes.Seen()) << "only the reboot question";
    EXPECT_STRCASEEQ(s.exe.c_str(), SystemIniShell().c_str());
    EXPECT_EQ(kSentinelShell, ReadSystemShell()) << "no registry write on Windows 98";
    EXPECT_EQ(kUserShell, RegText(HKEY_CURRENT_USER, kWinlogonKey, "Shell"));
    EXPECT_EQ(kAutoRestartOn, AutoRestartShell());

    boxes.Clear();
    EXPECT_EQ(0u, RunClient(s.exe, "-uninstall")) << "client exit code";
    EXPECT_EQ(Texts{ kUninstalled }, boxes.Seen());
    EXPECT_STRCASEEQ(s.liteExe.c_str(), SystemIniShell().c_str());
    EXPECT_EQ(kSentinelShell, ReadSystemShell()) << "no registry write on Windows 98";
}

TEST_F(Installation, UninstallWritesTheConfiguredShell)
{
    char user[256] = "";
    DWORD size = sizeof(user);
    GetUserNameA(user, &size);
    std::string altShells =
        "[Alternate_Shells]\r\n"
        "altshell_name_1=Other\r\n"
        "altshell_path_1=C:\\Shells\\Other.exe\r\n"
        "altshell_name_2=Files\r\n"
        "altshell_path_2=C:\\Shells\\FileMgr.exe\r\n";
    static const struct {
        const char *what, *directive;
        std::string userSection, expected;
    } cases[] = {
        { "LiteStep", "litestep_exe", "", "<litestep>" },
        { "Explorer, bare name", "EXPLORER_EXE", "", "Explorer.exe" },
        { "alternate shell, any case", "fILES", "", "C:\\Shells\\FileMgr.exe" },
        // The user's own section wins over "default".
        { "alternate shell of the user", "litestep_exe", "shell=other\r\n",
          "C:\\Shells\\Other.exe" },
    };
    MessageBoxWatcher boxes;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        boxes.Clear();
        SetRegText(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell", kSentinelShell);
        std::string extra = altShells;
        if (!c.userSection.empty())
            extra += std::string("[") + user + "]\r\n" + c.userSection;
        Scene s = MakeScene("uninstall", c.directive, extra);
        std::string expected = c.expected == "<litestep>" ? s.liteExe : c.expected;

        EXPECT_EQ(0u, RunClient(s.exe, "-uninstall")) << "client exit code";
        EXPECT_EQ(Texts{ kUninstalled }, boxes.Seen());
        EXPECT_EQ(expected, ReadSystemShell());
        // Uninstalling leaves the installation's other values as they are.
        EXPECT_EQ(kUserShell, RegText(HKEY_CURRENT_USER, kWinlogonKey, "Shell"));
        EXPECT_EQ(kAutoRestartOn, AutoRestartShell());
        EXPECT_EQ(kSentinelShell, SystemIniShell()) << "System.ini is not touched on NT";
    }
}

TEST_F(Installation, UninstallToAnUnknownAlternateShellWritesNothing)
{
    static const struct {
        const char *what, *directive, *altShells;
    } cases[] = {
        { "no such name", "Missing",
          "altshell_name_1=Other\r\naltshell_path_1=C:\\Shells\\Other.exe\r\n" },
        { "named after a gap", "Third",
          "altshell_name_1=Other\r\naltshell_path_1=C:\\Shells\\Other.exe\r\n"
          "altshell_name_3=Third\r\naltshell_path_3=C:\\Shells\\Third.exe\r\n" },
        { "no path", "Pathless", "altshell_name_1=Pathless\r\n" },
        { "no directive at all", "", "altshell_name_1=Other\r\n" },
    };
    MessageBoxWatcher boxes;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        boxes.Clear();
        Scene s = MakeScene("uninstall_alt", c.directive,
                            std::string("[Alternate_Shells]\r\n") + c.altShells);
        EXPECT_EQ(0u, RunClient(s.exe, "-uninstall")) << "client exit code";
        EXPECT_EQ((Texts{ kShellError, kNotUninstalled }), boxes.Seen());
        EXPECT_EQ(kSentinelShell, ReadSystemShell()) << "nothing may be written";
    }
}

// The manager that gets the client's quit must not write itself back over
// the shell that the uninstallation just wrote.
TEST_F(Installation, UninstallEndsARunningManagerForGood)
{
    Scene s = MakeScene("uninstall_running", "litestep_exe");
    HANDLE manager = StartManager(s, s.liteDir);
    ASSERT_TRUE(manager != NULL);
    DWORD shellPid = LatestStandInPid(s.liteDir);
    MessageBoxWatcher boxes;

    EXPECT_EQ(0u, RunClient(s.exe, "-uninstall")) << "client exit code";
    EXPECT_EQ(0u, WaitExit(manager, 15000)) << "the manager ends with code 0";
    EXPECT_EQ(Texts{ kUninstalled }, boxes.Seen());
    EXPECT_EQ(s.liteExe, ReadSystemShell()) << "the uninstallation must stand";
    EXPECT_FALSE(ProcessEnds(shellPid, 1000)) << "quitting leaves the shell running";
    CloseHandle(manager);
}

TEST_F(Installation, StartUpOffersToInstallWhenAShellRuns)
{
    static const struct {
        const char *what;
        int answer;
        Texts expected;
    } cases[] = {
        { "declined", IDNO, { kOffer } },
        { "accepted", IDYES, { kOffer, kLogoffQuestion, kRebootNow, kNeedReboot } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        KillStrays();
        SetRegText(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell", kSentinelShell);
        SetRegDword(HKEY_LOCAL_MACHINE, kWinlogonKey, "AutoRestartShell", 1);
        SetRegText(HKEY_CURRENT_USER, kWinlogonKey, "Shell", kUserShell);
        Scene s = MakeScene("install_offer", "litestep_exe");
        HANDLE explorer = StartProcess(s.explorerExe);
        ASSERT_TRUE(explorer != NULL);
        ASSERT_TRUE(WaitForWindow("Shell_TrayWnd", NULL, 15000) != NULL)
            << "the Explorer stand-in shows no tray window";
        CloseHandle(explorer);
        MessageBoxWatcher boxes;
        boxes.Answer("is already running", c.answer);

        HANDLE manager = StartProcess(s.exe);
        ASSERT_TRUE(manager != NULL);
        EXPECT_EQ(0u, WaitExit(manager, kClientTimeoutMs)) << "the start-up ends with code 0";
        CloseHandle(manager);
        EXPECT_EQ(c.expected, boxes.Seen());
        EXPECT_EQ(0u, CountLogLines(s.liteDir, "start")) << "no shell is started";
        if (c.answer == IDYES) {
            EXPECT_STRCASEEQ(s.exe.c_str(), ReadSystemShell().c_str());
            EXPECT_EQ(kAutoRestartOff, AutoRestartShell());
            EXPECT_EQ("<missing>", RegText(HKEY_CURRENT_USER, kWinlogonKey, "Shell"));
        } else {
            EXPECT_EQ(kSentinelShell, ReadSystemShell()) << "nothing installed";
            EXPECT_EQ(kAutoRestartOn, AutoRestartShell());
            EXPECT_EQ(kUserShell, RegText(HKEY_CURRENT_USER, kWinlogonKey, "Shell"));
        }
    }
}

// A profile without the per-user Winlogon key has no override to remove:
// the installation completes rather than stopping half-way.
TEST_F(Installation, OnNtAProfileWithoutTheUserKeyStillInstalls)
{
    constexpr char kUserKeyParent[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    DeleteRegValue(HKEY_CURRENT_USER, kWinlogonKey, "Shell");
    HKEY parent;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, kUserKeyParent, 0, KEY_ALL_ACCESS, &parent));
    LONG deleted = RegDeleteKeyA(parent, "Winlogon");
    RegCloseKey(parent);
    if (deleted != ERROR_SUCCESS)
        GTEST_SKIP() << "the per-user Winlogon key holds more than this test can put back";

    Scene s = MakeScene("install_no_user_key", "litestep_exe");
    MessageBoxWatcher boxes;
    EXPECT_EQ(0u, RunClient(s.exe, "-install")) << "client exit code";
    EXPECT_EQ(Texts{ kLogoffQuestion }, boxes.Seen());
    EXPECT_EQ(kAutoRestartOff, AutoRestartShell());
    EXPECT_EQ("<no key>", RegText(HKEY_CURRENT_USER, kWinlogonKey, "Shell"))
        << "the installation must not create the key";

    HKEY k;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kWinlogonKey, 0, NULL, 0,
                                             KEY_WRITE, NULL, &k, NULL));
    RegCloseKey(k);
}
