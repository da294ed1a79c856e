// The dialog shown when the shell ended without being asked to: restart a
// shell, or end the session.
#include "dialogs/dialogs.h"

#include "common/message_box.h"
#include "config/state.h"
#include "dialogs/shell_label.h"
#include "res/resource.h"
#include "shell/shell.h"

constexpr char kTerminatedPrompt[] =
    "Quillfern has detected that your current shell has terminated.  Select from the options below:";
constexpr char kRestartPrefix[] = "Restart ";

constexpr UINT kLogOff = 0;
constexpr UINT kShutDown = 1;
constexpr UINT kReboot = 2;

static void InitShellTerminated(HWND dialog)
{
    SetWindowTextA(dialog, kCaption);
    SetDlgItemTextA(dialog, IDC_PROMPT, kTerminatedPrompt);
    ShowWindow(GetDlgItem(dialog, IDC_TERMINATE), SW_HIDE);

    if (gState.shellKind == SHELL_LITESTEP) {
        CheckDlgButton(dialog, IDC_LITESTEP, BST_CHECKED);
    } else if (gState.shellKind == SHELL_EXPLORER) {
        CheckDlgButton(dialog, IDC_EXPLORER, BST_CHECKED);
    } else {
        // The lost shell was an alternate one: the third choice restarts it
        // instead of rebooting.
        char label[kShellLabelSize];
        AlternateShellLabel(kRestartPrefix, label);
        SetDlgItemTextA(dialog, IDC_REBOOT_OTHER, label);
        CheckDlgButton(dialog, IDC_REBOOT_OTHER, BST_CHECKED);
    }
}

// Acts on the first checked choice. A failed start has shown its own
// message; the dialog closes all the same.
static void ActOnChoice(HWND dialog)
{
    if (IsDlgButtonChecked(dialog, IDC_LITESTEP) == BST_CHECKED)
        StartShell(SHELL_LITESTEP);
    else if (IsDlgButtonChecked(dialog, IDC_EXPLORER) == BST_CHECKED)
        StartShell(SHELL_EXPLORER);
    else if (IsDlgButtonChecked(dialog, IDC_REBOOT_OTHER) == BST_CHECKED) {
        if (gState.shellKind == SHELL_ALTERNATE)
            StartShell(SHELL_ALTERNATE);
        else
            ExitSession(kReboot);
    } else if (IsDlgButtonChecked(dialog, IDC_LOGOFF) == BST_CHECKED)
        ExitSession(kLogOff);
    else if (IsDlgButtonChecked(dialog, IDC_SHUTDOWN) == BST_CHECKED)
        ExitSession(kShutDown);
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
