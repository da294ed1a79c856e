// The manager as a process: copies of Quillfern.exe in scratch directories,
// driven from outside by their windows and the stand-in shells.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "shell/shell.h"
#include "support/support.h"

namespace {

const UINT kKillMessage = 1027;
const int kPromptId = 1005;         // the shell-terminated dialog's prompt
const int kLiteStepButtonId = 1000;

DWORD ProcessIdOf(HANDLE process)
{
    // Newer than the headers this build targets.
    typedef DWORD(WINAPI * ProcessIdFn)(HANDLE);
    ProcessIdFn processId = (ProcessIdFn)(void *)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "GetProcessId");
    return processId != NULL ? processId(process) : 0;
}

struct WindowQuery {
    DWORD pid;
    const char *className;
    int childId;                    // 0: any
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param)
{
    WindowQuery *query = (WindowQuery *)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char className[64] = "";
    GetClassNameA(window, className, sizeof(className));
    if (pid == query->pid && strcmp(className, query->className) == 0
        && (query->childId == 0 || GetDlgItem(window, query->childId) != NULL))
        query->found.push_back(window);
    return TRUE;
}

// Top-level windows of a process, of a class, holding a child of an id.
std::vector<HWND> WindowsOf(HANDLE process, const char *className, int childId = 0)
{
    WindowQuery query = {ProcessIdOf(process), className, childId, {}};
    EnumWindows(CollectWindow, (LPARAM)&query);
    return query.found;
}

// The shell-terminated dialogs that the manager shows, waited for.
std::vector<HWND> WaitForShellDialogs(HANDLE manager, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    std::vector<HWND> dialogs;
    while ((dialogs = WindowsOf(manager, "#32770", kPromptId)).empty()
           && GetTickCount() - start < timeoutMs)
        Sleep(50);
    return dialogs;
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override
    {
        KillStrays();
        savedShell.reset(new SavedRegValue(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell"));
    }

    void TearDown() override
    {
        for (HANDLE process : processes)
            CloseHandle(process);
        KillStrays();
        savedShell.reset();
    }

    // A manager copy in a directory of its own whose LiteStep is the stand-in
    // with the given standin.ini; returns its executable.
    std::string ManagerWithLiteStep(const char *name, const std::string &ini = "")
    {
        std::string base = MakeScratchDir(name);
        liteStepDir = base + "litestep\\";
        CreateDirectoryA(liteStepDir.c_str(), NULL);
        std::string liteStep = PlaceStandIn(STANDIN_LITESTEP, liteStepDir, "LiteStep.exe", ini);
        std::string managerDir = base + "manager\\";
        CreateDirectoryA(managerDir.c_str(), NULL);
        return InstallManagerCopy(managerDir,
                                  "[Quillfern]\nlitestep_exe=" + liteStep +
                                  "\n[default]\nshell=litestep_exe\nkill_delay=5\n");
    }

    HANDLE Start(const std::string &exe, const std::string &args = "")
    {
        HANDLE process = StartProcess(exe, args);
        if (process != NULL)
            processes.push_back(process);
        return process;
    }

    std::unique_ptr<SavedRegValue> savedShell;
    std::vector<HANDLE> processes;
    std::string liteStepDir;
};

TEST_F(Startup, SpawnsTheShellAndQuitsOnClose)
{
    MessageBoxWatcher watcher;
    HANDLE manager = Start(ManagerWithLiteStep("e2e_spawn"));
    ASSERT_TRUE(manager != NULL) << "could not start the manager";

    EXPECT_TRUE(WaitForWindow("TApplication", "LiteStep", 10000) != NULL)
        << "the LiteStep stand-in's main window did not appear";
    EXPECT_TRUE(WaitForWindow("TWharfGlobalContainer", NULL, 2000) != NULL)
        << "the LiteStep stand-in's wharf did not appear";
    HWND control = WaitForWindow("QuillfernWndClass", NULL, 5000);
    ASSERT_TRUE(control != NULL) << "no control window";
    EXPECT_EQ("Quillfern", WindowText(control)) << "control window title";
    EXPECT_FALSE(IsWindowVisible(control)) << "the control window is never shown";
    EXPECT_EQ(1u, WindowsOf(manager, "QuillfernWndClass").size())
        << "the control window should belong to the manager";
    EXPECT_EQ(0u, watcher.Seen().size()) << "no message expected, got "
        << (watcher.Seen().empty() ? "" : watcher.Seen()[0]);

    PostMessageA(control, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, WaitExit(manager, 10000)) << "the manager should end with code 0";
    EXPECT_TRUE(WaitForNoWindow("QuillfernWndClass", NULL, 2000)) << "control window left";
    EXPECT_EQ(0u, WaitForShellDialogs(manager, 0).size());
}

TEST_F(Startup, SecondManagerEndsAtOnce)
{
    MessageBoxWatcher watcher;
    std::string first = ManagerWithLiteStep("e2e_second");
    HANDLE manager = Start(first);
    ASSERT_TRUE(WaitForWindow("QuillfernWndClass", NULL, 10000) != NULL) << "no first manager";
    ASSERT_TRUE(WaitForWindow("TApplication", "LiteStep", 10000) != NULL) << "no shell";

    // Another copy, whose own shell would be a second LiteStep.
    std::string secondDir = MakeScratchDir("e2e_second_copy");
    HANDLE second = Start(InstallManagerCopy(secondDir,
                                             "[default]\nshell=NoSuchShell\nask_boot=1\n"));
    DWORD start = GetTickCount();
    EXPECT_EQ(0u, WaitExit(second, 5000)) << "the second manager should end with code 0";
    EXPECT_LT(GetTickCount() - start, 4000u) << "the second manager should end at once";
    EXPECT_EQ(0u, WindowsOf(second, "QuillfernWndClass").size());
    EXPECT_EQ(STILL_ACTIVE, WaitExit(manager, 0)) << "the first manager must keep running";
    Sleep(300);
    EXPECT_EQ(0u, watcher.Seen().size()) << "a refused start shows nothing, got "
        << (watcher.Seen().empty() ? "" : watcher.Seen()[0]);
}

// A shell that ends by itself is reported to the control window, which then
// shows its shell-terminated dialog; one that the manager ends is not.
TEST_F(Startup, ShellEndIsReportedOnce)
{
    HANDLE manager = Start(ManagerWithLiteStep("e2e_report", "exit_after_ms=1500\n"));
    ASSERT_TRUE(WaitForWindow("TApplication", "LiteStep", 10000) != NULL) << "no shell";
    EXPECT_EQ(0u, WindowsOf(manager, "#32770", kPromptId).size())
        << "no dialog while the shell runs";
    // From here on the stand-in stays, so that a restart from the dialog
    // brings a shell that does not end again.
    WriteTextFile(liteStepDir + "standin.ini", "[standin]\n");

    std::vector<HWND> dialogs = WaitForShellDialogs(manager, 10000);
    ASSERT_EQ(1u, dialogs.size()) << "one shell-terminated dialog expected";
    Sleep(1500);
    EXPECT_EQ(1u, WindowsOf(manager, "#32770", kPromptId).size())
        << "the end must be reported once";

    ASSERT_EQ("Quillfern 1.50", WindowText(dialogs[0])) << "dialog caption";
    // The lost shell was LiteStep: OK restarts it.
    EXPECT_EQ(BST_CHECKED, (int)SendMessageA(GetDlgItem(dialogs[0], kLiteStepButtonId),
                                              BM_GETCHECK, 0, 0));
    PostMessageA(dialogs[0], WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitForNoWindow("#32770", "Quillfern 1.50", 5000)) << "the dialog stayed";
    HWND shell = WaitForWindow("TApplication", "LiteStep", 10000);
    ASSERT_TRUE(shell != NULL) << "LiteStep was not restarted";
    Sleep(1500);
    EXPECT_EQ(0u, WindowsOf(manager, "#32770", kPromptId).size())
        << "the report must not come again";

}

TEST_F(Startup, ShellEndedByTheManagerIsNotReported)
{
    HANDLE manager = Start(ManagerWithLiteStep("e2e_no_report"));
    ASSERT_TRUE(WaitForWindow("TApplication", "LiteStep", 10000) != NULL) << "no shell";
    HWND control = WaitForWindow("QuillfernWndClass", NULL, 5000);
    ASSERT_TRUE(control != NULL) << "no control window";

    PostMessageA(control, kKillMessage, 0, 0);
    EXPECT_TRUE(WaitForNoWindow("TApplication", "LiteStep", 10000)) << "LiteStep not stopped";
    EXPECT_EQ(0u, WaitForShellDialogs(manager, 3000).size())
        << "a shell the manager ended must not be reported";
    std::vector<std::string> log = StandInLog(liteStepDir);
    EXPECT_TRUE(log.size() >= 2 && log[log.size() - 2] == "quit wparam=2 lparam=0"
                && log.back() == "exit code=0")
        << "LiteStep should have been asked to quit, not killed";
}

// A desktop shell already runs: the manager offers to take its place as the
// system shell and ends either way, without starting anything.
TEST_F(Startup, ShellAlreadyRunningOffersInstallation)
{
    const char kAskInstall[] = "Quillfern has detected that a shell\n"
                               "is already running.  Would you like Quillfern\n"
                               "to set itself as your new shell?";
    const char kAskReboot[] = "Would you like to reboot now?";
    const char kRebootLater[] =
        "You will need to reboot before Quillfern can act as you shell manager.";
    SavedRegValue autoRestart(HKEY_LOCAL_MACHINE, kWinlogonKey, "AutoRestartShell");
    SavedRegValue userShell(HKEY_CURRENT_USER, kWinlogonKey, "Shell");
    std::string explorerDir = MakeScratchDir("e2e_offer_explorer");
    Start(PlaceStandIn(STANDIN_EXPLORER, explorerDir, "Explorer.exe"));
    ASSERT_TRUE(WaitForWindow("Shell_TrayWnd", NULL, 10000) != NULL) << "no desktop shell";
    std::string exe = InstallManagerCopy(MakeScratchDir("e2e_offer"),
                                         "[default]\nshell=NoSuchShell\n");

    {
        MessageBoxWatcher watcher;      // answers No
        HANDLE manager = Start(exe);
        EXPECT_EQ(0u, WaitExit(manager, 10000)) << "No: the manager should end with code 0";
        EXPECT_EQ(std::vector<std::string>{kAskInstall}, watcher.Seen())
            << "No: only the question expected";
        EXPECT_EQ(0u, WindowsOf(manager, "QuillfernWndClass").size());
    }
    {
        MessageBoxWatcher watcher;
        watcher.Answer(kAskInstall, IDYES);
        HANDLE manager = Start(exe);
        EXPECT_EQ(0u, WaitExit(manager, 15000)) << "Yes: the manager should end with code 0";
        std::vector<std::string> seen = watcher.Seen();
        ASSERT_LE(3u, seen.size()) << "question, installation's own messages, reboot question";
        EXPECT_EQ(kAskInstall, seen.front());
        EXPECT_EQ(kAskReboot, seen[seen.size() - 2]) << "the reboot question comes last but one";
        EXPECT_EQ(kRebootLater, seen.back()) << "the reboot was declined";
        EXPECT_EQ(exe, ReadSystemShell()) << "the manager should be the system shell now";
    }
    EXPECT_TRUE(FindWindowA("Progman", "Program Manager") != NULL)
        << "the running shell must be left alone";
}

// A folder so deep that Quillfern.cfg no longer fits behind it: the manager
// says so once, and reads nothing from a cut path.
TEST_F(Startup, TooDeepAFolderIsReported)
{
    std::string dir = MakeScratchDir("e2e_deep");
    while (dir.size() < 248) {
        dir += std::string(std::min<size_t>(40, 247 - dir.size()), 'd') + "\\";
        CreateDirectoryA(dir.c_str(), NULL);
    }
    ASSERT_GT(dir.size() + strlen("Quillfern.cfg"), 259u);
    std::string exe = dir + "Q.exe";
    CopyFileOrFail(QuillfernExe(), exe);
    // What a cut configuration path would name.
    WriteTextFile(dir + "Quillfern.c", "[default]\nshell=explorer_exe\n");

    MessageBoxWatcher watcher;
    Start(exe);
    EXPECT_TRUE(watcher.WaitFor("too long", 10000)) << "no message about the path";
    EXPECT_TRUE(watcher.WaitFor("The shell directive", 10000))
        << "the file must be read as missing";
    std::vector<std::string> seen = watcher.Seen();
    ASSERT_LE(1u, seen.size());
    EXPECT_EQ("The path of the folder that holds Quillfern is too long\n"
              "for Quillfern.cfg to be read, so every setting takes its\n"
              "default.  Please move Quillfern to a folder with a shorter path.", seen[0]);
}

}  // namespace
