// The key scenarios once more with Wine reporting Windows 98 and then NT 4.0
// to the manager (HKCU\Software\Wine\AppDefaults\<exe> "Version"), so that
// both branches of the program run for real: on Windows 98 the system shell
// lives in System.ini and installation touches no registry value; on NT it
// lives in the registry.
//
// Each platform runs its own copy of the program under a name of its own, so
// that the version setting reaches nothing else even if a test dies before
// it puts the value back.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "shell/shell.h"
#include "config/state.h"
#include "res/resource.h"
#include "support/support.h"

namespace {

const char kCaption[] = "Quillfern 1.50";
const char kTerminatedPrompt[] =
    "Quillfern has detected that your current shell has terminated.  Select from the options below:";
const char kInstalledLogoff[] = "Quillfern has been successfully installed.\nWould you like to logoff now?";
const char kInstalledReboot[] = "Quillfern has been successfully installed.\nWould you like to reboot now?";
const char kUninstalled[] = "Quillfern has been successfully uninstalled.";
// Values that only the tests write, to show that a store was left alone.
const char kRegistrySentinel[] = "sentinel-registry.exe";
const char kIniSentinel[] = "sentinel-system-ini.exe";

struct Platform {
    const char *version;    // Wine's name for it
    const char *exeName;    // the manager's file name on this platform
    bool nt;
};

// Shown by GoogleTest in the name of each failing case.
void PrintTo(const Platform &platform, std::ostream *out)
{
    *out << platform.version;
}

const Platform kPlatforms[] = {
    { "win98", "QuillfernW98.exe", false },
    { "nt40", "QuillfernNT4.exe", true },
};

// [boot] shell of System.ini; "" when missing.
std::string ReadIniShell()
{
    char value[MAX_PATH] = "";
    GetPrivateProfileStringA("boot", "shell", "", value, sizeof value, SystemIniPath().c_str());
    return value;
}

// Saves [boot] shell of System.ini and puts it back (or removes it).
struct SavedIniShell {
    SavedIniShell()
    {
        char value[MAX_PATH] = "";
        GetPrivateProfileStringA("boot", "shell", "\x01", value, sizeof value,
                                 SystemIniPath().c_str());
        existed = strcmp(value, "\x01") != 0;
        saved = value;
    }
    ~SavedIniShell()
    {
        WritePrivateProfileStringA("boot", "shell", existed ? saved.c_str() : NULL,
                                   SystemIniPath().c_str());
    }
    bool existed;
    std::string saved;
};

bool SetRegString(HKEY root, const char *key, const char *value, const std::string &data)
{
    HKEY opened;
    if (RegCreateKeyExA(root, key, 0, NULL, 0, KEY_SET_VALUE, NULL, &opened, NULL) != ERROR_SUCCESS)
        return false;
    LONG set = RegSetValueExA(opened, value, 0, REG_SZ, (const BYTE *)data.c_str(),
                              (DWORD)data.size() + 1);
    RegCloseKey(opened);
    return set == ERROR_SUCCESS;
}

bool SetRegDword(HKEY root, const char *key, const char *value, DWORD data)
{
    HKEY opened;
    if (RegCreateKeyExA(root, key, 0, NULL, 0, KEY_SET_VALUE, NULL, &opened, NULL) != ERROR_SUCCESS)
        return false;
    LONG set = RegSetValueExA(opened, value, 0, REG_DWORD, (const BYTE *)&data, sizeof data);
    RegCloseKey(opened);
    return set == ERROR_SUCCESS;
}

// The DWORD, or 0xdeadbeef when the value is missing or of another type.
DWORD ReadRegDword(HKEY root, const char *key, const char *value)
{
    DWORD data = 0xdeadbeef, size = sizeof data, type = 0;
    HKEY opened;
    if (RegOpenKeyExA(root, key, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
        return 0xdeadbeef;
    LONG got = RegQueryValueExA(opened, value, NULL, &type, (BYTE *)&data, &size);
    RegCloseKey(opened);
    return got == ERROR_SUCCESS && type == REG_DWORD ? data : 0xdeadbeef;
}

bool RegValueExists(HKEY root, const char *key, const char *value)
{
    HKEY opened;
    if (RegOpenKeyExA(root, key, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
        return false;
    LONG got = RegQueryValueExA(opened, value, NULL, NULL, NULL, NULL);
    RegCloseKey(opened);
    return got == ERROR_SUCCESS;
}

struct DialogSearch { std::vector<HWND> found; };

BOOL CALLBACK CollectTerminatedDialog(HWND window, LPARAM lParam)
{
    char className[32] = "";
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "#32770") == 0 && IsWindowVisible(window) &&
        WindowText(window) == kCaption && GetDlgItem(window, IDC_PROMPT) != NULL)
        ((DialogSearch *)lParam)->found.push_back(window);
    return TRUE;
}

HWND WaitForTerminatedDialog(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    do {
        DialogSearch search;
        EnumWindows(CollectTerminatedDialog, (LPARAM)&search);
        if (!search.found.empty())
            return search.found[0];
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return NULL;
}

bool WaitForNoTerminatedDialog(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        DialogSearch search;
        EnumWindows(CollectTerminatedDialog, (LPARAM)&search);
        if (search.found.empty())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(50);
    }
}

size_t CountLines(const std::string &dir, const std::string &prefix)
{
    size_t count = 0;
    for (const std::string &line : StandInLog(dir))
        count += line.compare(0, prefix.size(), prefix) == 0;
    return count;
}

bool WaitForLines(const std::string &dir, const std::string &prefix, size_t count, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (CountLines(dir, prefix) < count) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(50);
    }
    return true;
}

std::string PlatformName(const ::testing::TestParamInfo<Platform> &info)
{
    return info.param.version;
}

class Platforms : public ::testing::TestWithParam<Platform> {
protected:
    Platforms()
        : savedRegistryShell_(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell"),
          savedUserShell_(HKEY_CURRENT_USER, kWinlogonKey, "Shell"),
          savedAutoRestart_(HKEY_LOCAL_MACHINE, kWinlogonKey, "AutoRestartShell"),
          savedVersion_(HKEY_CURRENT_USER, AppDefaultsKey().c_str(), "Version")
    {
    }

    static std::string AppDefaultsKey()
    {
        return std::string("Software\\Wine\\AppDefaults\\") + GetParam().exeName;
    }

    void SetUp() override
    {
        KillStrays();
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char &c : name)
            if (c == '/')
                c = '_';
        dir_ = MakeScratchDir(name.c_str());
        lsDir_ = dir_ + "ls\\";
        exDir_ = dir_ + "ex\\";
        CreateDirectoryA(lsDir_.c_str(), NULL);
        CreateDirectoryA(exDir_.c_str(), NULL);
        CreateDirectoryA((dir_ + "night").c_str(), NULL);
        ASSERT_TRUE(SetRegString(HKEY_CURRENT_USER, AppDefaultsKey().c_str(), "Version",
                                 GetParam().version)) << "cannot set Wine's version for the manager";
        ASSERT_TRUE(SetRegString(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell", kRegistrySentinel));
        ASSERT_TRUE(WritePrivateProfileStringA("boot", "shell", kIniSentinel,
                                               SystemIniPath().c_str()));
        watcher_.reset(new MessageBoxWatcher());
    }

    void TearDown() override
    {
        KillStrays();
        watcher_.reset();
        if (manager_ != NULL)
            CloseHandle(manager_);
    }

    // Stand-ins, a theme "Night" and Quillfern.cfg with the given shell
    // directive and theme directive.
    void Prepare(const char *shell, const char *theme, const std::string &liteStepIni = "",
                 const std::string &explorerIni = "")
    {
        PlaceStandIn(STANDIN_LITESTEP, lsDir_, "LiteStep.exe", liteStepIni);
        PlaceStandIn(STANDIN_EXPLORER, exDir_, "Explorer.exe", explorerIni);
        WriteTextFile(lsDir_ + "step.rc", "LiteStep's own step.rc\r\n");
        WriteTextFile(lsDir_ + "modules.ini", "LiteStep's own modules.ini\r\n");
        WriteTextFile(dir_ + "night\\step.rc", "Night step.rc\r\n");
        WriteTextFile(dir_ + "night\\modules.ini", "Night modules.ini\r\n");
        std::string config =
            "[Quillfern]\r\n"
            "litestep_exe=" + lsDir_ + "LiteStep.exe\r\n"
            "explorer_exe=" + exDir_ + "Explorer.exe\r\n"
            "[default]\r\n"
            "shell=" + std::string(shell) + "\r\n"
            "kill_delay=5\r\n"
            "theme=" + std::string(theme) + "\r\n"
            "[Themes]\r\n"
            "theme_name_1=Night\r\n"
            "theme_path_1=" + dir_ + "night\r\n"
            "theme_back_1=\r\n";
        exe_ = dir_ + GetParam().exeName;
        CopyFileOrFail(QuillfernExe(), exe_);
        WriteTextFile(dir_ + "Quillfern.cfg", config);
    }

    // The system shell as this platform keeps it, and the store it must
    // leave alone.
    std::string Store() { return GetParam().nt ? ReadSystemShell() : ReadIniShell(); }
    std::string OtherStore() { return GetParam().nt ? ReadIniShell() : ReadSystemShell(); }
    std::string OtherSentinel() { return GetParam().nt ? kIniSentinel : kRegistrySentinel; }
    std::string ManagerAsShell() { return dir_ + "Quillfern.exe"; }

    bool WaitForStore(const std::string &expected, DWORD timeoutMs)
    {
        DWORD start = GetTickCount();
        while (Store() != expected) {
            if (GetTickCount() - start >= timeoutMs)
                return false;
            Sleep(10);
        }
        return true;
    }

    void StartManager()
    {
        manager_ = StartProcess(exe_, "", dir_);
        ASSERT_NE((HANDLE)NULL, manager_) << "cannot start " << exe_;
        ASSERT_NE((HWND)NULL, WaitForWindow("TApplication", "LiteStep", 20000))
            << "LiteStep did not start; boxes: " << ::testing::PrintToString(watcher_->Seen());
        EXPECT_TRUE(WaitForStore(ManagerAsShell(), 10000))
            << "the manager should name itself as the system shell, got " << Store();
    }

    void QuitManager()
    {
        HWND control = FindWindowA("QuillfernWndClass", NULL);
        ASSERT_NE((HWND)NULL, control) << "no control window";
        PostMessageA(control, CM_QUIT, 0, 0);
        EXPECT_EQ(0u, WaitExit(manager_, 10000)) << "exit code of the manager after CM_QUIT";
    }

    SavedRegValue savedRegistryShell_, savedUserShell_, savedAutoRestart_, savedVersion_;
    SavedIniShell savedIniShell_;
    std::unique_ptr<MessageBoxWatcher> watcher_;
    std::string dir_, lsDir_, exDir_, exe_;
    HANDLE manager_ = NULL;
};

TEST_P(Platforms, StartsLiteStepWithItsTheme)
{
    Prepare("litestep_exe", "Night");
    StartManager();
    EXPECT_EQ("Night step.rc\r\n", ReadTextFile(lsDir_ + "step.rc")) << "the theme's step.rc installed";
    EXPECT_EQ("Night modules.ini\r\n", ReadTextFile(lsDir_ + "modules.ini"))
        << "the theme's modules.ini installed";
    EXPECT_EQ("LiteStep's own step.rc\r\n", ReadTextFile(dir_ + "Previous_Step.rc"))
        << "LiteStep's step.rc backed up beside the manager";
    EXPECT_EQ(1u, CountLines(lsDir_, "start ")) << "LiteStep started once";
    QuitManager();
    EXPECT_EQ(ManagerAsShell(), Store()) << "the manager writes itself back on its way out";
    EXPECT_EQ(OtherSentinel(), OtherStore()) << "the other platform's store must stay untouched";
    EXPECT_EQ(0u, watcher_->Seen().size()) << "no message expected, got "
                                           << ::testing::PrintToString(watcher_->Seen());
}

TEST_P(Platforms, SwapsBothWays)
{
    // Slow to become idle, so that the target shell's turn as the system
    // shell lasts long enough to be seen.
    Prepare("litestep_exe", "", "idle_delay_ms=1500\n", "idle_delay_ms=1500\n");
    StartManager();
    HWND control = FindWindowA("QuillfernWndClass", NULL);

    PostMessageA(control, CM_SWAP, 0, 0);
    EXPECT_TRUE(WaitForStore("Explorer.exe", 10000))
        << "Explorer should be the system shell while it starts, got " << Store();
    EXPECT_NE((HWND)NULL, WaitForWindow("Progman", "Program Manager", 15000)) << "Explorer did not start";
    EXPECT_TRUE(WaitForStore(ManagerAsShell(), 10000)) << "then the manager again, got " << Store();
    EXPECT_EQ(1u, CountLines(lsDir_, "quit wparam=2 lparam=0")) << "LiteStep asked to quit with 9260";
    EXPECT_TRUE(WaitForNoWindow("TApplication", "LiteStep", 5000)) << "LiteStep still there";

    PostMessageA(control, CM_SWAP, 0, 0);
    EXPECT_TRUE(WaitForStore(lsDir_ + "LiteStep.exe", 10000))
        << "LiteStep should be the system shell while it starts, got " << Store();
    EXPECT_NE((HWND)NULL, WaitForWindow("TApplication", "LiteStep", 15000)) << "LiteStep did not return";
    EXPECT_TRUE(WaitForStore(ManagerAsShell(), 10000)) << "then the manager again, got " << Store();
    EXPECT_TRUE(WaitForLines(exDir_, "quit wparam=0 lparam=0", 1, 5000)) << "Explorer asked to quit";
    EXPECT_EQ(2u, CountLines(lsDir_, "start ")) << "LiteStep starts, at log-on and after the swap back";

    QuitManager();
    EXPECT_EQ(OtherSentinel(), OtherStore()) << "the other platform's store must stay untouched";
    EXPECT_EQ(0u, watcher_->Seen().size()) << "no message expected, got "
                                           << ::testing::PrintToString(watcher_->Seen());
}

TEST_P(Platforms, OffersToRestartAShellThatEnded)
{
    Prepare("litestep_exe", "", "exit_after_ms=1500\nexit_code=3\n");
    StartManager();
    HWND dialog = WaitForTerminatedDialog(15000);
    ASSERT_NE((HWND)NULL, dialog) << "no shell-terminated dialog after LiteStep ended";
    EXPECT_EQ(kTerminatedPrompt, WindowText(GetDlgItem(dialog, IDC_PROMPT))) << "prompt";
    EXPECT_EQ((UINT)BST_CHECKED, IsDlgButtonChecked(dialog, IDC_LITESTEP)) << "the lost shell preselected";

    // The restarted LiteStep stays.
    PlaceStandIn(STANDIN_LITESTEP, lsDir_, "LiteStep.exe", "");
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitForLines(lsDir_, "start ", 2, 15000)) << "LiteStep restarted from the dialog";
    EXPECT_NE((HWND)NULL, WaitForWindow("TApplication", "LiteStep", 15000)) << "LiteStep window";
    EXPECT_TRUE(WaitForNoTerminatedDialog(10000)) << "the dialog closes on OK";
    EXPECT_TRUE(WaitForStore(ManagerAsShell(), 10000)) << "system shell after the restart: " << Store();

    QuitManager();
    EXPECT_EQ(OtherSentinel(), OtherStore()) << "the other platform's store must stay untouched";
}

TEST_P(Platforms, InstallsAndUninstalls)
{
    Prepare("explorer_exe", "");
    ASSERT_TRUE(SetRegString(HKEY_CURRENT_USER, kWinlogonKey, "Shell", "user-shell.exe"));
    ASSERT_TRUE(SetRegDword(HKEY_LOCAL_MACHINE, kWinlogonKey, "AutoRestartShell", 1));

    // The watcher answers No to the closing question: no log-off, no reboot.
    HANDLE client = StartProcess(exe_, "-install", dir_);
    EXPECT_EQ(0u, WaitExit(client, 15000)) << "exit code of -install";
    CloseHandle(client);
    EXPECT_EQ(ManagerAsShell(), Store()) << "the manager installed as the system shell";
    if (GetParam().nt) {
        EXPECT_EQ(1u, watcher_->Count(kInstalledLogoff)) << "the NT question";
        EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kWinlogonKey, "Shell"))
            << "the per-user shell override removed";
        EXPECT_EQ(0u, ReadRegDword(HKEY_LOCAL_MACHINE, kWinlogonKey, "AutoRestartShell"))
            << "Windows' own shell restart turned off";
    } else {
        EXPECT_EQ(1u, watcher_->Count(kInstalledReboot)) << "the Windows 98 question";
        EXPECT_EQ("user-shell.exe", ReadRegString(HKEY_CURRENT_USER, kWinlogonKey, "Shell"))
            << "Windows 98: no registry value touched";
        EXPECT_EQ(1u, ReadRegDword(HKEY_LOCAL_MACHINE, kWinlogonKey, "AutoRestartShell"))
            << "Windows 98: no registry value touched";
    }
    EXPECT_EQ(OtherSentinel(), OtherStore()) << "the other platform's store must stay untouched";

    client = StartProcess(exe_, "-uninstall", dir_);
    EXPECT_EQ(0u, WaitExit(client, 15000)) << "exit code of -uninstall";
    CloseHandle(client);
    EXPECT_EQ("Explorer.exe", Store()) << "the configured shell written back";
    EXPECT_EQ(1u, watcher_->Count(kUninstalled)) << "boxes: " << ::testing::PrintToString(watcher_->Seen());
    EXPECT_EQ(OtherSentinel(), OtherStore()) << "the other platform's store must stay untouched";
}

INSTANTIATE_TEST_SUITE_P(Versions, Platforms, ::testing::ValuesIn(kPlatforms), PlatformName);

}  // namespace
