// The recovery key's dialog: the way out of a shell that hangs. It only
// chooses; the control window carries the choice out once it has closed.
#include "dialogs/dialogs.h"

#include "config/state.h"
#include "config/text.h"
#include "res/resource.h"

constexpr char kRecoveryPrompt[] = "Restart a shell, or end the session.  Esc changes nothing.";

// The result of each choice, in the order of the buttons' ids from
// IDC_LITESTEP on; the third restarts the alternate shell while there is one,
// and reboots otherwise.
static const BYTE kChoices[] = { SHELL_LITESTEP, SHELL_EXPLORER, kRecoverSession + EWX_REBOOT,
    kRecoverSession + EWX_LOGOFF, kRecoverSession + EWX_SHUTDOWN };

// An alternate shell runs, or one has been chosen: the third choice restarts
// it, so that the one checked first is never the reboot.
static bool HasAlternate()
{
    return gState.shellKind == SHELL_ALTERNATE || gState.alternatePath[0] != '\0';
}

static INT_PTR Chosen(HWND dialog)
{
    for (int i = 0; i < (int)ArraySize(kChoices); i++)
        if (IsDlgButtonChecked(dialog, IDC_LITESTEP + i) == BST_CHECKED)
            return i == 2 && HasAlternate() ? SHELL_ALTERNATE : kChoices[i];
    return 0;
}

INT_PTR CALLBACK RecoveryDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        // Restarting the current shell is the likeliest way out.
        InitShellOptions(dialog, kRecoveryPrompt, HasAlternate());
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            EndDialog(dialog, Chosen(dialog));
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}
