// The shell process: started as a child of the manager, watched by one
// monitor thread per start, asked to quit or killed.
//
// The monitor reads shellExitExpected only after its wait has returned, so
// every path that ends the shell sets the flag before it acts, and a spawn
// clears it only once the new process exists.
#include "shell/shell.h"

#include "app/message_box.h"
#include "themes/theme.h"

constexpr DWORD kIdleWaitMs = 30000;
constexpr DWORD kKillWaitMs = 30000;
constexpr DWORD kAfterImmediateKillWaitMs = 10000;
constexpr UINT kKilledExitCode = 0xFFFFFFFF;
constexpr UINT kLiteStepQuitMessage = 9260;
constexpr WPARAM kLiteStepQuitWParam = 2;

constexpr char kSpawnFailedText[] = "An error has occurred while trying to spawn the shell.\n"
                                    "Please ensure that the Quillfern.cfg file lists the\n"
                                    "full and correct path to the shell and that the executable\n"
                                    "is a valid shell.";
constexpr char kShellAlreadyRunningText[]
    = "Quillfern has detected that a shell\nis already running.";

// Shells get an empty command line; CreateProcessA may write to it.
static char gShellCommandLine[1];

// The program for the current kind, after the system shell setting (and for
// LiteStep its theme) has been prepared for it.
static const char* PrepareShell()
{
    switch (gState.shellKind) {
    case SHELL_LITESTEP:
        SetSystemShell(1);
        if (gState.themeIndex >= 0 && gState.themeIndex < gState.themeCount)
            InstallTheme(gState.themes[gState.themeIndex]);
        return gState.liteStepPath;
    case SHELL_EXPLORER:
        SetSystemShell(2);
        return gState.explorerPath;
    default:
        // An alternate shell starts while the manager stays the system shell.
        return gState.alternatePath;
    }
}

constexpr char kShellUnwatchedText[] = "Quillfern cannot watch the shell it has just started:\n"
                                       "if that shell ends, Quillfern will not notice.  Use\n"
                                       "Quillfern -restart to start a watched shell again.";

// Gives the new shell a monitor thread with a process handle of its own.
// monitorProcess changes before the caller clears shellExitExpected, so the
// monitor of a replaced shell, which reads the flag first and then compares
// its handle, never takes the cleared flag for its own shell's.
static HANDLE HandleForMonitor(const PROCESS_INFORMATION& created)
{
    HANDLE own = NULL;
    if (!DuplicateHandle(GetCurrentProcess(), created.hProcess, GetCurrentProcess(), &own, 0, FALSE,
            DUPLICATE_SAME_ACCESS))
        own = NULL;
    // The process itself can still be opened by its id, which the handle
    // from its creation keeps from being reused.
    if (own == NULL)
        own = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, created.dwProcessId);
    gState.monitorProcess = own;
    return own;
}

// False when the shell runs unwatched.
static bool StartMonitor(HANDLE own)
{
    if (own == NULL) {
        gState.monitorThreadId = 0;
        return false;
    }
    // CreateThread stores the id before the thread runs, so a monitor that
    // ends at once cannot have its clearing overwritten.
    HANDLE thread
        = CreateThread(NULL, 0, ShellMonitorThread, own, 0, (DWORD*)&gState.monitorThreadId);
    if (thread == NULL) {
        gState.monitorThreadId = 0;
        CloseHandle(own);
        return false;
    }
    CloseHandle(thread);
    return true;
}

// Control messages that came while the start was under way, in the order
// they came; none once the manager has been asked to end.
static void ReplayDeferredCommands()
{
    LONG count = gState.deferredCount;
    gState.deferredCount = 0;
    for (LONG i = 0; i < count && !gState.quitPosted; i++)
        PostMessageA(gState.controlWindow, gState.deferredCommands[i], 0, 0);
}

static bool SpawnChosenShell()
{
    const char* program = PrepareShell();

    SECURITY_ATTRIBUTES security = {};
    security.nLength = sizeof(security);
    security.bInheritHandle = FALSE;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created = {};
    if (!CreateProcessA(program, gShellCommandLine, &security, &security, TRUE, 0, NULL, NULL,
            &startup, &created)) {
        // The setting must not name a program that does not start: Windows
        // would start it at the next log-on, with no manager to recover.
        SetSystemShell(0);
        ShowMessage(kSpawnFailedText);
        return false;
    }

    HANDLE own = HandleForMonitor(created);
    // Only this thread waits on shellProcess, so the replaced shell's handles
    // can go now.
    if (gState.shellProcess.hProcess != NULL)
        CloseHandle(gState.shellProcess.hProcess);
    if (gState.shellProcess.hThread != NULL)
        CloseHandle(gState.shellProcess.hThread);
    gState.shellProcess = created;

    WaitForInputIdle(created.hProcess, kIdleWaitMs);
    gState.shellExitExpected = false;
    if (!StartMonitor(own))
        ShowMessage(kShellUnwatchedText);
    SetSystemShell(0);
    return true;
}

// The message boxes of a start let posted control messages and dialog clicks
// through; a start among them would give a second shell, so none begins
// until this one is over (they are deferred, or ignored while it runs). Nor
// does one begin beside a shell of ours that could not be stopped.
bool SpawnShell()
{
    if (gState.spawning)
        return false;
    if (IsOurShellRunning()) {
        ShowMessage(kShellAlreadyRunningText);
        return false;
    }
    gState.spawning = true;
    bool started = SpawnChosenShell();
    gState.spawning = false;
    // The recovery key does nothing while a start is under way: what it
    // brought meanwhile waits unseen in the queue, and goes.
    MSG pressed;
    while (PeekMessageA(&pressed, gState.controlWindow, WM_HOTKEY, WM_HOTKEY, PM_REMOVE))
        continue;
    ReplayDeferredCommands();
    return started;
}

bool IsOurShellRunning()
{
    HANDLE process = gState.shellProcess.hProcess;
    return process != NULL && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

// Refused while a desktop shell's window exists or a shell of ours still
// runs; silently while another start is under way.
bool StartShell(ShellKind kind)
{
    if (gState.spawning)
        return false;
    if (IsShellRunning() || IsOurShellRunning()) {
        ShowMessage(kShellAlreadyRunningText);
        return false;
    }
    gState.shellKind = kind;
    return SpawnShell();
}

// The window that takes the current shell's quit request, with the request.
static HWND FindQuitTarget(UINT* message, WPARAM* wParam)
{
    if (gState.shellKind == SHELL_LITESTEP) {
        *message = kLiteStepQuitMessage;
        *wParam = kLiteStepQuitWParam;
        return FindWindowA("TApplication", "LiteStep");
    }
    *message = WM_QUIT;
    *wParam = 0;
    return FindWindowA("Progman", "Program Manager");
}

void StopShell()
{
    gState.shellExitExpected = true;
    UINT message;
    WPARAM wParam;
    HWND target = FindQuitTarget(&message, &wParam);
    // The manager owns the shell it started: one that is not to be asked, or
    // has no window to take the request (another title, or not yet made), is
    // killed at once.
    if (gState.killDelay == 0 || gState.shellKind == SHELL_ALTERNATE || target == NULL) {
        KillShell();
        WaitForSingleObject(gState.shellProcess.hProcess, kAfterImmediateKillWaitMs);
        return;
    }
    PostMessageA(target, message, wParam, 0);
    if (WaitForSingleObject(gState.shellProcess.hProcess, (DWORD)gState.killDelay) == WAIT_TIMEOUT)
        KillShell();
}

bool KillShell()
{
    // The process handle kept in shellProcess also keeps its id from being
    // reused, so this cannot open some other process.
    HANDLE process
        = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, gState.shellProcess.dwProcessId);
    gState.shellExitExpected = true;
    bool terminated = false;
    if (process != NULL) {
        terminated = TerminateProcess(process, kKilledExitCode) != FALSE;
        CloseHandle(process);
    }
    WaitForSingleObject(gState.shellProcess.hProcess, kKillWaitMs);
    return terminated;
}

// Waits on its own duplicate of the shell's process handle, given as the
// parameter, and closes it.
DWORD WINAPI ShellMonitorThread(LPVOID parameter)
{
    HANDLE process = (HANDLE)parameter;
    DWORD exitCode = 0;

    WaitForSingleObject(process, INFINITE);
    // The flag first, the ownership second: see DuplicateForMonitor.
    bool expected = gState.shellExitExpected;
    if (gState.monitorProcess == process) {
        gState.monitorThreadId = 0;
        if (!expected) {
            GetExitCodeProcess(process, &exitCode);
            PostMessageA(gState.controlWindow, CM_SHELLTERMINATED, 0, 0);
        }
    }
    CloseHandle(process);
    return exitCode;
}
