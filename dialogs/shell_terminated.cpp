// The dialog shown when the shell ended without being asked to: restart a
// shell, or end the session.
#include "dialogs/dialogs.h"

#include "app/message_box.h"
#include "config/state.h"
#include "dialogs/shell_label.h"
#include "res/resource.h"
#include "shell/shell.h"

constexpr char kTerminatedPrompt[] = "Quillfern has detected that your current shell has "
                                     "terminated.  Select from the options below:";

constexpr UINT kLogOff = 0;
constexpr UINT kShutDown = 1;
constexpr UINT kReboot = 2;

void InitShellOptions(HWND dialog, const char* prompt, bool offerAlternate)
{
    SetWindowTextA(dialog, kCaption);
    SetDlgItemTextA(dialog, IDC_PROMPT, prompt);
    ShowWindow(GetDlgItem(dialog, IDC_TERMINATE), SW_HIDE);
    // The third choice restarts the alternate shell instead of rebooting.
    if (offerAlternate) {
        char label[kShellLabelSize];
        AlternateShellLabel(kRestartPrefix, label);
        SetDlgItemTextA(dialog, IDC_REBOOT_OTHER, label);
    }
    CheckCurrentShell(dialog);
}

// The lost shell was an alternate one: the third choice restarts it.
static void InitShellTerminated(HWND dialog)
{
    InitShellOptions(dialog, kTerminatedPrompt, gState.shellKind == SHELL_ALTERNATE);
}

// Carries out the first checked choice; true when it was done (a shell
// started, or Windows agreed to end the session).
static bool CarryOutChoice(HWND dialog)
{
    if (IsDlgButtonChecked(dialog, IDC_LITESTEP) == BST_CHECKED)
        return StartShell(SHELL_LITESTEP);
    if (IsDlgButtonChecked(dialog, IDC_EXPLORER) == BST_CHECKED)
        return StartShell(SHELL_EXPLORER);
    if (IsDlgButtonChecked(dialog, IDC_REBOOT_OTHER) == BST_CHECKED) {
        if (gState.shellKind == SHELL_ALTERNATE)
            return StartShell(SHELL_ALTERNATE);
        return ExitSession(kReboot);
    }
    if (IsDlgButtonChecked(dialog, IDC_LOGOFF) == BST_CHECKED)
        return ExitSession(kLogOff);
    if (IsDlgButtonChecked(dialog, IDC_SHUTDOWN) == BST_CHECKED)
        return ExitSession(kShutDown);
    return false;
}

// A failed choice has shown its own message. The dialog closes unless the
// user would be left with no shell at all: then it stays for another choice.
static void ActOnChoice(HWND dialog)
{
    // The boxes of a start under way leave this dialog open to clicks.
    if (gState.spawning)
        return;
    if (!CarryOutChoice(dialog) && !gState.quitPosted && !IsShellRunning() && !IsOurShellRunning())
        return;
    EndDialog(dialog, 0);
}

INT_PTR CALLBACK ShellTerminatedDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        InitShellTerminated(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            ActOnChoice(dialog);
            return TRUE;
        case IDCANCEL:
            // A choice is required: Esc leaves the dialog open.
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}
