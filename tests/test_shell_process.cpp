// The shell process in process: SpawnShell, StartShell, StopShell, KillShell
// and the monitor thread, driving the stand-in shells.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "config/state.h"
#include "shell/shell.h"
#include "support/support.h"

namespace {

const char kSpawnFailedText[] =
    "An error has occurred while trying to spawn the shell.\n"
    "Please ensure that the Quillfern.cfg file lists the\n"
    "full and correct path to the shell and that the executable\n"
    "is a valid shell.";
const char kShellRunningText[] = "Quillfern has detected that a shell\nis already running.";
const DWORD kKilled = 0xFFFFFFFF;

int gReports;
WPARAM gReportWParam;
LPARAM gReportLParam;

LRESULT CALLBACK ReportWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == CM_SHELLTERMINATED) {
        gReports++;
        gReportWParam = wParam;
        gReportLParam = lParam;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Dispatches this thread's messages for ms milliseconds; the reports the
// monitor posted meanwhile are counted in gReports.
void Pump(DWORD ms)
{
    DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        Sleep(10);
    } while (GetTickCount() - start < ms);
}

bool LogHas(const std::string &dir, const std::string &line)
{
    std::vector<std::string> log = StandInLog(dir);
    return std::find(log.begin(), log.end(), line) != log.end();
}

std::string LogText(const std::string &dir)
{
    std::string text;
    for (const std::string &line : StandInLog(dir))
        text += line + " | ";
    return text;
}

DWORD ShellExitCode()
{
    DWORD code = 0xdeadbeef;
    GetExitCodeProcess(gState.shellProcess.hProcess, &code);
    return code;
}

class ShellProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        KillStrays();
        savedShell.reset(new SavedRegValue(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell"));
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = ReportWndProc;
        windowClass.hInstance = GetModuleHandleA(NULL);
        windowClass.lpszClassName = "QuillfernTestReports";
        RegisterClassA(&windowClass);
        reports = CreateWindowExA(0, "QuillfernTestReports", "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  NULL, GetModuleHandleA(NULL), NULL);
        ASSERT_TRUE(reports != NULL) << "no report window, error " << GetLastError();

        memset(&gState, 0, sizeof(gState));
        gState.isNT = true;
        gState.controlWindow = reports;
        gState.themeIndex = -1;
        gState.killDelay = 10000;
        gState.shellKind = SHELL_ALTERNATE;
        CopyText(gState.managerDir, MakeScratchDir("shell_manager").c_str());
        gReports = 0;
        gReportWParam = gReportLParam = 0x5a5a;
    }

    void TearDown() override
    {
        if (gState.shellProcess.hProcess != NULL) {
            TerminateProcess(gState.shellProcess.hProcess, 0);
            WaitForSingleObject(gState.shellProcess.hProcess, 5000);
        }
        for (int i = 0; i < 100 && gState.monitorThreadId != 0; i++)
            Sleep(20);
        if (gState.shellProcess.hProcess != NULL)
            CloseHandle(gState.shellProcess.hProcess);
        if (gState.shellProcess.hThread != NULL)
            CloseHandle(gState.shellProcess.hThread);
        memset(&gState.shellProcess, 0, sizeof(gState.shellProcess));
        DestroyWindow(reports);
        KillStrays();
        savedShell.reset();
    }

    // A stand-in of kind in a directory of its own, set as the path of the
    // shell kind that runs it.
    std::string Place(StandIn kind, const char *name, const std::string &ini = "")
    {
        std::string dir = MakeScratchDir(name);
        static const char *fileNames[] = {"LiteStep.exe", "Explorer.exe", "AltShell.exe"};
        std::string exe = PlaceStandIn(kind, dir, fileNames[kind], ini);
        static char *paths[] = {gState.liteStepPath, gState.explorerPath, gState.alternatePath};
        CopyTextN(paths[kind], kPathSize, exe.c_str());
        gState.shellKind = kind == STANDIN_LITESTEP ? SHELL_LITESTEP
                         : kind == STANDIN_EXPLORER ? SHELL_EXPLORER : SHELL_ALTERNATE;
        return dir;
    }

    std::unique_ptr<SavedRegValue> savedShell;
    HWND reports = NULL;
};

// LiteStep is asked with message 9260, Explorer with WM_QUIT to Progman; a
// shell that obeys within killDelay is not killed.
TEST_F(ShellProcess, StopAsksAndWaits)
{
    struct { StandIn kind; const char *name; const char *quitLine; } cases[] = {
        {STANDIN_LITESTEP, "shell_stop_litestep", "quit wparam=2 lparam=0"},
        {STANDIN_EXPLORER, "shell_stop_explorer", "quit wparam=0 lparam=0"},
    };
    MessageBoxWatcher watcher;
    for (const auto &c : cases) {
        std::string dir = Place(c.kind, c.name);
        ASSERT_TRUE(SpawnShell()) << c.name << ": spawn failed";
        EXPECT_FALSE(gState.shellExitExpected) << c.name << ": flag after the spawn";
        EXPECT_NE(0u, gState.monitorThreadId) << c.name << ": no monitor";

        DWORD start = GetTickCount();
        EXPECT_TRUE(StopShell()) << c.name;
        DWORD elapsed = GetTickCount() - start;
        EXPECT_LT(elapsed, 5000u) << c.name << ": StopShell should return once the shell ended";
        EXPECT_TRUE(gState.shellExitExpected) << c.name;
        EXPECT_TRUE(LogHas(dir, c.quitLine)) << c.name << ": log " << LogText(dir);
        EXPECT_TRUE(LogHas(dir, "exit code=0")) << c.name << ": log " << LogText(dir);
        EXPECT_EQ(0u, ShellExitCode()) << c.name << ": the shell's own exit code, not a kill";
        Pump(1000);
        EXPECT_EQ(0, gReports) << c.name << ": an end the manager asked for is not reported";
        EXPECT_EQ(0u, gState.monitorThreadId) << c.name << ": the monitor should have ended";
    }
    EXPECT_EQ(0u, watcher.Count(kSpawnFailedText)) << "no spawn failure expected";
}

TEST_F(ShellProcess, StopKillsWhenIgnoredOrAtOnce)
{
    struct { StandIn kind; LONG killDelay; DWORD minMs, maxMs; bool asked; const char *name; } cases[] = {
        {STANDIN_LITESTEP, 1500, 1400, 20000, true, "shell_kill_ignored"},
        {STANDIN_EXPLORER, 1500, 1400, 20000, true, "shell_kill_ignored_explorer"},
        {STANDIN_LITESTEP, 0, 0, 5000, false, "shell_kill_zero_delay"},
        {STANDIN_ALTERNATE, 10000, 0, 5000, false, "shell_kill_alternate"},
    };
    MessageBoxWatcher watcher;
    for (const auto &c : cases) {
        std::string dir = Place(c.kind, c.name, "ignore_quit=1\n");
        gState.killDelay = c.killDelay;
        ASSERT_TRUE(SpawnShell()) << c.name << ": spawn failed";

        DWORD start = GetTickCount();
        EXPECT_TRUE(StopShell()) << c.name;
        DWORD elapsed = GetTickCount() - start;
        EXPECT_GE(elapsed, c.minMs) << c.name << ": killed too early";
        EXPECT_LT(elapsed, c.maxMs) << c.name << ": killed too late";
        EXPECT_EQ(kKilled, ShellExitCode()) << c.name << ": a killed shell's exit code";
        bool asked = false;
        for (const std::string &line : StandInLog(dir))
            asked |= line.compare(0, 5, "quit ") == 0;
        EXPECT_EQ(c.asked, asked) << c.name << ": log " << LogText(dir);
        Pump(500);
        EXPECT_EQ(0, gReports) << c.name << ": a kill is not reported";
    }
}

TEST_F(ShellProcess, EndOnItsOwnIsReportedOnce)
{
    struct { const char *name; const char *ini; } cases[] = {
        {"shell_exits_running", "exit_after_ms=700\nexit_code=7\n"},
        // Dies while the spawn still waits for it to become idle.
        {"shell_exits_starting", "exit_after_ms=200\nexit_code=7\nidle_delay_ms=3000\n"},
    };
    for (const auto &c : cases) {
        gReports = 0;
        Place(STANDIN_LITESTEP, c.name, c.ini);
        ASSERT_TRUE(SpawnShell()) << c.name;
        Pump(3000);
        EXPECT_EQ(1, gReports) << c.name << ": one CM_SHELLTERMINATED expected";
        EXPECT_EQ(0u, gReportWParam) << c.name << ": wParam";
        EXPECT_EQ(0, gReportLParam) << c.name << ": lParam";
        EXPECT_EQ(7u, ShellExitCode()) << c.name;
        EXPECT_EQ(0u, gState.monitorThreadId) << c.name << ": the monitor should have ended";
    }
}

// No window to ask: nothing is posted or killed, and the flag stays set, so
// the shell's later end goes unreported.
TEST_F(ShellProcess, StopWithoutAWindowToAsk)
{
    std::string dir = Place(STANDIN_ALTERNATE, "shell_stop_no_window", "exit_after_ms=1500\n");
    CopyText(gState.liteStepPath, gState.alternatePath);
    gState.shellKind = SHELL_LITESTEP;
    ASSERT_TRUE(SpawnShell());
    EXPECT_FALSE(StopShell()) << "LiteStep's window is missing";
    EXPECT_TRUE(gState.shellExitExpected) << "the flag must stay set";
    EXPECT_EQ(STILL_ACTIVE, ShellExitCode()) << "the shell must be left running";
    Pump(3000);
    EXPECT_EQ(0u, ShellExitCode()) << "the shell should have ended by itself; log "
                                   << LogText(dir);
    EXPECT_EQ(0, gReports) << "its end must not be reported";
}

// A spawn over a shell that still runs (its quit request found no window)
// replaces it: when the old one ends later, its monitor stays silent and
// leaves the new monitor's id alone.
TEST_F(ShellProcess, ReplacedShellIsNotReported)
{
    std::string oldDir = Place(STANDIN_ALTERNATE, "shell_replaced_old", "exit_after_ms=1500\n");
    ASSERT_TRUE(SpawnShell());
    HANDLE oldProcess = NULL;
    DuplicateHandle(GetCurrentProcess(), gState.shellProcess.hProcess, GetCurrentProcess(),
                    &oldProcess, SYNCHRONIZE, FALSE, 0);
    Place(STANDIN_ALTERNATE, "shell_replaced_new");
    ASSERT_TRUE(SpawnShell());
    DWORD newMonitor = gState.monitorThreadId;
    EXPECT_NE(0u, newMonitor) << "the new shell's monitor";

    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(oldProcess, 5000)) << "the old shell should end";
    CloseHandle(oldProcess);
    Pump(1000);
    EXPECT_EQ(0, gReports) << "the replaced shell's end must not be reported";
    EXPECT_EQ(newMonitor, gState.monitorThreadId) << "the new monitor's id was touched";
    EXPECT_EQ(STILL_ACTIVE, ShellExitCode()) << "the new shell should still run";
}

TEST_F(ShellProcess, StartRefusesWhileADesktopShellRuns)
{
    MessageBoxWatcher watcher;
    Place(STANDIN_ALTERNATE, "shell_start_refused");
    for (const char *className : {"Shell_TrayWnd", "TWharfGlobalContainer"}) {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcA;
        windowClass.hInstance = GetModuleHandleA(NULL);
        windowClass.lpszClassName = className;
        RegisterClassA(&windowClass);
        HWND shellWindow = CreateWindowExA(0, className, "", WS_POPUP, 0, 0, 1, 1, NULL, NULL,
                                           GetModuleHandleA(NULL), NULL);
        ASSERT_TRUE(shellWindow != NULL) << className;
        watcher.Clear();
        gState.shellKind = SHELL_EXPLORER;
        EXPECT_FALSE(StartShell(SHELL_ALTERNATE)) << className;
        EXPECT_EQ(SHELL_EXPLORER, gState.shellKind) << className << ": shellKind changed";
        EXPECT_EQ(0u, gState.shellProcess.dwProcessId) << className << ": a shell was started";
        EXPECT_EQ(std::vector<std::string>{kShellRunningText}, watcher.Seen()) << className;
        DestroyWindow(shellWindow);
        UnregisterClassA(className, GetModuleHandleA(NULL));
    }
    watcher.Clear();
    EXPECT_TRUE(StartShell(SHELL_ALTERNATE)) << "no desktop shell any more";
    EXPECT_EQ(SHELL_ALTERNATE, gState.shellKind);
    EXPECT_EQ(0u, watcher.Seen().size()) << "no message expected";
}

// A failed spawn changes nothing; the first KillShell has nothing to kill.
TEST_F(ShellProcess, SpawnFailureAndNothingToKill)
{
    MessageBoxWatcher watcher;
    std::string dir = MakeScratchDir("shell_missing");
    CopyText(gState.alternatePath, (dir + "NoSuchShell.exe").c_str());
    gState.shellExitExpected = true;
    gState.monitorThreadId = 0x5a5a;

    EXPECT_FALSE(SpawnShell()) << "spawning a missing program";
    EXPECT_EQ(std::vector<std::string>{kSpawnFailedText}, watcher.Seen());
    EXPECT_TRUE(gState.shellExitExpected) << "the flag must stay as it was";
    EXPECT_EQ(0x5a5au, gState.monitorThreadId) << "no monitor may start";
    EXPECT_TRUE(gState.shellProcess.hProcess == NULL) << "shellProcess changed";

    gState.monitorThreadId = 0;
    DWORD start = GetTickCount();
    EXPECT_FALSE(KillShell()) << "no shell yet";
    EXPECT_TRUE(StopShell()) << "an alternate shell is killed, whatever the kill gave";
    EXPECT_LT(GetTickCount() - start, 2000u) << "the waits on no process return at once";
}

// Wine's GetProcessHandleCount answers 0, so count the handle values that
// name an open object.
DWORD OpenHandleCount()
{
    DWORD count = 0, flags;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4)
        count += GetHandleInformation((HANDLE)value, &flags) ? 1 : 0;
    return count;
}

// Every spawn replaces its predecessor's handles and every monitor closes its
// own: the handle count grows no more than with bare process starts (Wine's
// WaitForInputIdle keeps one handle per process it has waited for).
TEST_F(ShellProcess, HandlesStayFlat)
{
    Place(STANDIN_ALTERNATE, "shell_handles");
    auto bareCycle = [] {
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION created = {};
        char commandLine[1] = "";
        ASSERT_TRUE(CreateProcessA(gState.alternatePath, commandLine, NULL, NULL, FALSE, 0,
                                   NULL, NULL, &startup, &created));
        WaitForInputIdle(created.hProcess, 30000);
        TerminateProcess(created.hProcess, 0);
        WaitForSingleObject(created.hProcess, 5000);
        CloseHandle(created.hProcess);
        CloseHandle(created.hThread);
    };
    auto shellCycle = [] {
        ASSERT_TRUE(SpawnShell());
        KillShell();
        for (int i = 0; i < 250 && gState.monitorThreadId != 0; i++)
            Sleep(20);
        ASSERT_EQ(0u, gState.monitorThreadId) << "the monitor did not end";
        Sleep(100);     // let the monitor thread finish closing
    };
    shellCycle();
    DWORD start = OpenHandleCount();
    for (int i = 0; i < 8; i++)
        bareCycle();
    DWORD afterBare = OpenHandleCount();
    for (int i = 0; i < 8; i++)
        shellCycle();
    DWORD afterShells = OpenHandleCount();
    EXPECT_LE(afterShells - afterBare, afterBare - start + 2)
        << "handles: " << start << " at first, " << afterBare << " after 8 bare starts, "
        << afterShells << " after 8 shells";
}

}  // namespace
