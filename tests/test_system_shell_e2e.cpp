// The system shell setting and the theme installation seen from outside a
// running Quillfern.exe: the LiteStep it starts notes what it found at its
// own start (tests/tools/litestep_probe.cpp).
#include <gtest/gtest.h>
#include <string.h>

#include "config/state.h"
#include "support/support.h"

namespace {

const char kWinlogon[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const char kSentinel[] = "C:\\Sentinel\\NotTouched.exe";
const char kAppDefaults[] = "Software\\Wine\\AppDefaults\\Quillfern.exe";

// Polls until read() gives want; returns the last value read.
template <typename Read> std::string WaitForValue(Read read, const std::string &want, DWORD ms)
{
    DWORD start = GetTickCount();
    std::string got = read();
    while (got != want && GetTickCount() - start < ms) {
        Sleep(20);
        got = read();
    }
    return got;
}

// The probe's notes, "" for a key it did not write (or no log yet).
std::string ProbeNote(const std::string &dir, const std::string &key)
{
    for (const std::string &line : SplitLines(ReadTextFile(dir + "probe.log")))
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            return line.substr(key.size() + 1);
    return "";
}

bool WaitForFile(const std::string &path, DWORD ms)
{
    DWORD start = GetTickCount();
    while (!FileExists(path)) {
        if (GetTickCount() - start >= ms)
            return false;
        Sleep(20);
    }
    Sleep(100);   // written in one go, but let the writer close it
    return true;
}

class SystemShellE2E : public testing::Test {
protected:
    void SetUp() override
    {
        KillStrays();
        savedIni = ReadTextFile(SystemIniPath());
        savedWallpaper = Wallpaper();
        dir = MakeScratchDir("system_shell_e2e");
        managerDir = dir + "Manager\\";
        liteStepDir = dir + "LiteStep\\";
        themeDir = dir + "Green";
        CreateDirectoryA(managerDir.c_str(), NULL);
        CreateDirectoryA(liteStepDir.c_str(), NULL);
        CreateDirectoryA(themeDir.c_str(), NULL);
        liteStep = liteStepDir + "LiteStep.exe";
        CopyFileOrFail(TestBin("litestep_probe"), liteStep);
        WriteTextFile(liteStepDir + "step.rc", "own step.rc");
        WriteTextFile(liteStepDir + "modules.ini", "own modules.ini");
        WriteTextFile(themeDir + "\\step.rc", "green step.rc");
        WriteTextFile(themeDir + "\\modules.ini", "green modules.ini");
        wallpaper = themeDir + "\\green.bmp";
        WriteBitmap(wallpaper);
        WriteSystemShell(kSentinel);
        WritePrivateProfileStringA("boot", "shell", kSentinel, SystemIniPath().c_str());
    }

    void TearDown() override
    {
        KillStrays();
        WriteTextFile(SystemIniPath(), savedIni);
        SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, (void *)savedWallpaper.c_str(), 0);
    }

    std::string Config(const std::string &liteStepPath)
    {
        return "[Quillfern]\r\nlitestep_exe=" + liteStepPath +
               "\r\n[default]\r\nshell=litestep_exe\r\ntheme=Green\r\nkill_delay=2\r\n"
               "[Themes]\r\ntheme_name_1=Green\r\ntheme_path_1=" + themeDir +
               "\r\ntheme_back_1=" + wallpaper + "\r\n";
    }

    // Starts the manager copy and waits for its control window.
    void StartManager(const std::string &liteStepPath)
    {
        managerExe = InstallManagerCopy(managerDir, Config(liteStepPath));
        manager = StartProcess(managerExe);
        ASSERT_NE((HANDLE)NULL, manager) << "cannot start " << managerExe;
        ASSERT_NE((HWND)NULL, WaitForWindow("QuillfernWndClass", NULL, 30000))
            << "no control window";
    }

    void QuitManager()
    {
        HWND control = FindWindowA("QuillfernWndClass", NULL);
        ASSERT_NE((HWND)NULL, control);
        PostMessageA(control, CM_QUIT, 0, 0);
        EXPECT_EQ(0u, WaitExit(manager, 30000)) << "the manager did not end with code 0";
        CloseHandle(manager);
        manager = NULL;
    }

    SavedRegValue savedShell{HKEY_LOCAL_MACHINE, kWinlogon, "Shell"};
    std::string savedIni, savedWallpaper;
    std::string dir, managerDir, liteStepDir, themeDir, liteStep, wallpaper, managerExe;
    HANDLE manager = NULL;
    MessageBoxWatcher boxes;
};

TEST_F(SystemShellE2E, LiteStepStartsWithItsThemeAndTheManagerComesBack)
{
    ASSERT_NO_FATAL_FAILURE(StartManager(liteStep));
    ASSERT_TRUE(WaitForFile(liteStepDir + "probe.log", 30000)) << "LiteStep did not start";
    EXPECT_EQ("green step.rc", ProbeNote(liteStepDir, "step.rc"))
        << "the theme must be installed before LiteStep starts";
    EXPECT_EQ(liteStep, ProbeNote(liteStepDir, "registry"))
        << "LiteStep is the system shell while it starts";
    EXPECT_EQ(kSentinel, ProbeNote(liteStepDir, "systemini")) << "System.ini is left alone on NT";

    EXPECT_EQ(managerExe, WaitForValue(ReadSystemShell, managerExe, 30000))
        << "the manager names itself again after the spawn";
    EXPECT_EQ("own step.rc", ReadTextFile(managerDir + "Previous_Step.rc"));
    EXPECT_EQ("own modules.ini", ReadTextFile(managerDir + "Previous_Modules.ini"));
    EXPECT_EQ("green modules.ini", ReadTextFile(liteStepDir + "modules.ini"));

    // An uninstallation from another process names LiteStep: the manager
    // must not undo it on its way out.
    WriteSystemShell(liteStep.c_str());
    ASSERT_NO_FATAL_FAILURE(QuitManager());
    EXPECT_EQ(liteStep, ReadSystemShell());
    EXPECT_EQ(kSentinel, ReadBootShell());
    EXPECT_EQ(0u, boxes.Seen().size()) << "no message expected, first: "
                                       << (boxes.Seen().empty() ? "" : boxes.Seen()[0]);
}

TEST_F(SystemShellE2E, ManagerWritesItselfBackWhenItEnds)
{
    // LiteStep cannot be started: the setting keeps naming it, as the
    // manager itself wrote it, until the manager ends.
    std::string missing = liteStepDir + "NotThere.exe";   // 12 characters, as LiteStep.exe
    ASSERT_NO_FATAL_FAILURE(StartManager(missing));
    EXPECT_TRUE(boxes.WaitFor("An error has occurred while trying to spawn the shell.", 30000));
    EXPECT_EQ(missing, ReadSystemShell());
    EXPECT_EQ("green step.rc", ReadTextFile(liteStepDir + "step.rc"));
    ASSERT_NO_FATAL_FAILURE(QuitManager());
    EXPECT_EQ(managerExe, ReadSystemShell()) << "the manager names itself as it ends";
    EXPECT_EQ(kSentinel, ReadBootShell());
}

TEST_F(SystemShellE2E, Windows98KeepsTheSettingInSystemIni)
{
    // Wine runs every program called Quillfern.exe as on Windows 98.
    SavedRegValue savedVersion(HKEY_CURRENT_USER, kAppDefaults, "Version");
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kAppDefaults, 0, NULL, 0,
                                             KEY_SET_VALUE, NULL, &key, NULL));
    RegSetValueExA(key, "Version", 0, REG_SZ, (const BYTE *)"win98", 6);
    RegCloseKey(key);

    ASSERT_NO_FATAL_FAILURE(StartManager(liteStep));
    ASSERT_TRUE(WaitForFile(liteStepDir + "probe.log", 30000)) << "LiteStep did not start";
    EXPECT_EQ(liteStep, ProbeNote(liteStepDir, "systemini"))
        << "LiteStep is the system shell while it starts";
    EXPECT_EQ(kSentinel, ProbeNote(liteStepDir, "registry")) << "the registry is left alone";
    EXPECT_EQ("green step.rc", ProbeNote(liteStepDir, "step.rc"));
    EXPECT_EQ(managerExe, WaitForValue(ReadBootShell, managerExe, 30000))
        << "[boot] shell names the manager again after the spawn";
    ASSERT_NO_FATAL_FAILURE(QuitManager());
    EXPECT_EQ(managerExe, ReadBootShell());
    EXPECT_EQ(kSentinel, ReadSystemShell()) << "the registry is left alone on Windows 98";
    EXPECT_EQ(0u, boxes.Seen().size());
}

}  // namespace
