// The hidden control window: every run-time command reaches the manager here,
// posted by a command-line client, by a shell monitor thread or by the system.
//
// Handlers may nest: while one waits in a message box or a modal dialog, that
// modal loop dispatches the control messages posted meanwhile. So no handler
// keeps a decision in gState across such a wait unless it can tell afterwards
// whether a nested handler changed it.
#include "control/control.h"

#include "app/message_box.h"
#include "config/state.h"
#include "dialogs/dialogs.h"
#include "shell/shell.h"

constexpr char kExplorerWindowsOpenText[] = "You must first close any open Explorer\n"
                                            "windows before switching from LiteStep to Explorer.";
constexpr char kSwapUnavailableText[] = "Shell swapping is currently not available when using a\n"
                                        "shell other than LiteStep or Explorer.";
constexpr char kTooFewThemesText[] = "Quillfern could not detect more than one theme in your\n"
                                     "Quillfern.cfg file.  Please check the syntax and\n"
                                     "current user settings.";

constexpr char kOptionsTemplate[] = "IDD_OPTIONS_DLG";
constexpr char kThemeListTemplate[] = "IDD_LIST_DLG";

// The modifier key held while a shell starts; 0 for none.
constexpr BYTE kLiteStepKey = VK_SHIFT;
constexpr BYTE kExplorerKey = VK_CONTROL;
constexpr BYTE kNoKey = 0;

static BYTE KeyForShell(ShellKind kind)
{
    switch (kind) {
    case SHELL_LITESTEP:
        return kLiteStepKey;
    case SHELL_EXPLORER:
        return kExplorerKey;
    }
    return kNoKey;
}

// The key stays down while the shell spawns (and installs its theme) and for
// shiftDelay seconds after; it is let go whatever the start gave.
static bool StartWithKeyHeld(ShellKind kind, BYTE vk)
{
    PressKey(vk);
    bool started = StartShell(kind);
    ReleaseKey(vk);
    return started;
}

void PostManagerQuit()
{
    gState.quitPosted = true;
    PostQuitMessage(0);
}

static void StoreInstance(const CREATESTRUCTA* create)
{
    if (create != NULL)
        gState.instance = create->hInstance;
}

// Close, destroy and end of session: the shell is left running, and its end
// with the session must not be reported as a termination.
static void EndManager()
{
    gState.shellExitExpected = true;
    PostManagerQuit();
}

// The shell-terminated dialog, unless the user has a shell after all or the
// dialog is open already. A report outlives its shell: it may arrive after a
// later start, so a shell process of ours that still runs means the report
// was about an earlier one.
void OfferShellAfterFailedStart()
{
    if (gState.quitPosted || IsShellRunning() || IsOurShellRunning())
        return;
    if (gState.shellTerminatedOpen)
        return;
    gState.shellTerminatedOpen = true;
    DialogBoxParamA(
        gState.instance, kOptionsTemplate, gState.controlWindow, ShellTerminatedDlgProc, 0);
    gState.shellTerminatedOpen = false;
}

static void OfferShellChoice()
{
    if (gState.shellExitExpected)
        return;
    OfferShellAfterFailedStart();
}

static void SwapFromLiteStep()
{
    if (AreExplorerWindowsOpen()) {
        ShowMessage(kExplorerWindowsOpenText);
        return;
    }
    StopShell();
    if (!StartWithKeyHeld(SHELL_EXPLORER, kExplorerKey))
        OfferShellAfterFailedStart();
}

// The first swap back to LiteStep installs the current theme again; later
// ones leave LiteStep's files and the wallpaper as the user left them.
static void SwapFromExplorer()
{
    // Decided once, and consumed at once, so that a swap nested in this one's
    // start takes the later-swap path.
    bool first = gState.firstSwapToLiteStep;
    gState.firstSwapToLiteStep = false;

    StopShell();
    bool started;
    if (first) {
        started = StartWithKeyHeld(SHELL_LITESTEP, kLiteStepKey);
    } else {
        LONG remembered = gState.themeIndex;
        gState.themeIndex = -1;
        started = StartWithKeyHeld(SHELL_LITESTEP, kLiteStepKey);
        // A theme switch nested in the start chose a theme of its own; keep it.
        if (gState.themeIndex == -1)
            gState.themeIndex = remembered;
    }
    if (!started)
        OfferShellAfterFailedStart();
}

static void SwapShells()
{
    switch (gState.shellKind) {
    case SHELL_LITESTEP:
        SwapFromLiteStep();
        return;
    case SHELL_EXPLORER:
        SwapFromExplorer();
        return;
    }
    ShowMessage(kSwapUnavailableText);
}

// The index the user picked in the theme list, or -1 for none.
static LONG PickThemeFromList(HWND window)
{
    // No list once the manager has been asked to end: nothing picked there
    // would be carried out.
    if (gState.themeListOpen || gState.quitPosted)
        return -1;
    gState.themeListOpen = true;
    INT_PTR picked
        = DialogBoxParamA(gState.instance, kThemeListTemplate, window, ThemeListDlgProc, 0);
    gState.themeListOpen = false;
    // A quit taken by the dialog's loop ends it with 0, which is no choice;
    // and a pick made for LiteStep no longer applies once another shell was
    // swapped in while the list was open.
    if (gState.quitPosted || gState.shellKind != SHELL_LITESTEP)
        return -1;
    if (picked < 0 || picked >= gState.themeCount)
        return -1;
    return (LONG)picked;
}

// Returns 1 when nothing was switched (too few themes, or no choice made).
static LRESULT SwitchTheme(HWND window)
{
    if (gState.shellKind != SHELL_LITESTEP)
        return 0;
    if (gState.themeCount <= 1) {
        ShowMessage(kTooFewThemesText);
        return 1;
    }
    LONG next;
    if (gState.themeCount == 2)
        next = gState.themeIndex == 0 ? 1 : 0;
    else
        next = PickThemeFromList(window);
    if (next == -1)
        return 1;
    // LiteStep is not asked: it would only be started again at once.
    KillShell();
    gState.themeIndex = next;
    if (!StartWithKeyHeld(SHELL_LITESTEP, kLiteStepKey))
        OfferShellAfterFailedStart();
    return 0;
}

// The current shell again, even while a shell window still exists.
static void RestartShell()
{
    StopShell();
    // The key pressed is the one let go: a message nested in the spawn may
    // change shellKind meanwhile.
    BYTE key = KeyForShell(gState.shellKind);
    if (key != kNoKey)
        PressKey(key);
    bool started = SpawnShell();
    if (key != kNoKey)
        ReleaseKey(key);
    if (!started)
        OfferShellAfterFailedStart();
}

// Every window the manager shows is a box or a dialog of this thread; the
// control window itself is never meant to be seen.
static BOOL CALLBACK NoteShownWindow(HWND window, LPARAM shown)
{
    if (window == gState.controlWindow || !IsWindowVisible(window))
        return TRUE;
    *(bool*)shown = true;
    return FALSE;
}

// A shell chosen in the recovery dialog replaces the current one as a swap
// does: asked to quit and killed after killDelay (a hung shell does not
// answer), or killed at once when it has no window to ask.
static void RecoverWith(ShellKind kind)
{
    StopShell();
    if (!StartWithKeyHeld(kind, KeyForShell(kind)))
        OfferShellAfterFailedStart();
}

// The recovery key: its dialog, unless the manager already waits on the user
// or on a start, where a second dialog or a second shell could follow.
static void OfferRecovery()
{
    bool shown = false;
    EnumThreadWindows(GetCurrentThreadId(), NoteShownWindow, (LPARAM)&shown);
    if (shown || gState.spawning || gState.quitPosted)
        return;
    INT_PTR choice = DialogBoxParamA(
        gState.instance, kOptionsTemplate, gState.controlWindow, RecoveryDlgProc, 0);
    if (gState.quitPosted || choice == 0)
        return;
    if (choice >= kRecoverSession)
        ExitSession((UINT)(choice - kRecoverSession));
    else
        RecoverWith((ShellKind)choice);
}

static void NukeShell()
{
    KillShell();
    PostManagerQuit();
}

// An uninstallation's quit says so: the manager writes the setting no more.
static void QuitManager(WPARAM wParam)
{
    if (wParam == kQuitUninstalled)
        gState.uninstalled = true;
    PostManagerQuit();
}

// While a shell start is under way, what would act on the shell waits until
// it is over (the start posts it again), so that one start never runs inside
// another. True when the message was kept for later.
static bool DeferredWhileSpawning(UINT message)
{
    switch (message) {
    case CM_SHELLTERMINATED:
    case CM_SWAP:
    case CM_KILL:
    case CM_SWAPTHEME:
    case CM_RESTART:
    case CM_NUKE:
        break;
    default:
        return false;
    }
    if (!gState.spawning)
        return false;
    if (gState.deferredCount < (LONG)ARRAYSIZE(gState.deferredCommands))
        gState.deferredCommands[gState.deferredCount++] = message;
    return true;
}

LRESULT CALLBACK ControlWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (DeferredWhileSpawning(message))
        return 0;
    switch (message) {
    case WM_CREATE:
        StoreInstance((const CREATESTRUCTA*)lParam);
        return 0;
    case WM_DESTROY:
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
        EndManager();
        return 1;
    case CM_SHELLTERMINATED:
        OfferShellChoice();
        return 0;
    case CM_SWAP:
        SwapShells();
        return 0;
    case CM_KILL:
        StopShell();
        return 0;
    case CM_REBOOT:
        ExitSession(EWX_REBOOT);
        return 0;
    case CM_SHUTDOWN:
        ExitSession(EWX_SHUTDOWN);
        return 0;
    case CM_LOGOFF:
        ExitSession(EWX_LOGOFF);
        return 0;
    case CM_QUIT:
        QuitManager(wParam);
        return 0;
    case CM_SWAPTHEME:
        return SwitchTheme(window);
    case CM_RESTART:
        RestartShell();
        return 0;
    case CM_NUKE:
        NukeShell();
        return 0;
    case WM_HOTKEY:
        OfferRecovery();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
