// The shell-choice dialog shown at start-up, with its countdown in the
// caption.
#include "dialogs/dialogs.h"

#include <commdlg.h>
#include <stddef.h>

#include "app/message_box.h"
#include "config/text.h"
#include "config/state.h"
#include "control/control.h"
#include "dialogs/shell_label.h"
#include "res/resource.h"
#include "shell/shell.h"

constexpr char kChoicePrompt[] = "Select the shell you would like to use from those listed below:";
constexpr char kStartLiteStep[] = "Start LiteStep";
constexpr char kStartExplorer[] = "Start Explorer";
constexpr char kStartOther[] = "Start Other...";
constexpr char kStartPrefix[] = "Start ";
constexpr char kTerminateAfterSpawn[] = "Terminate after spawn";
constexpr char kCountdownFormat[] = "%s   ::: %d :::";

// Three strings, not description and pattern pairs; the literal's own zero
// byte ends the list.
constexpr char kShellFileFilter[] = "Executable Files (*.exe)\0*.exe\0*.lnk\0";
constexpr char kShellFileTitle[] = "Select Shell Executable";
constexpr char kShellFileDefExt[] = "*.exe";

constexpr UINT kCountdownPeriodMs = 250;

// Windows 95 and NT 4.0 refuse any other size than that of their own
// structure, which ends with lpTemplateName (what
// OPENFILENAME_SIZE_VERSION_400A measures).
static_assert(sizeof(void*) != 4 || offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76,
    "the open-file structure of Windows 95 and NT 4.0");

static bool CountdownConfigured()
{
    return gState.startDelay > 0;
}

static void StopCountdown(HWND dialog)
{
    if (!CountdownConfigured())
        return;
    SetWindowTextA(dialog, kCaption);
    KillTimer(dialog, IDT_COUNTDOWN);
}

static void InitShellChoice(HWND dialog)
{
    SetWindowTextA(dialog, kCaption);

    CheckCurrentShell(dialog);

    char otherLabel[kShellLabelSize];
    if (gState.shellKind == SHELL_ALTERNATE)
        AlternateShellLabel(kStartPrefix, otherLabel);
    else
        CopyText(otherLabel, kStartOther);

    SetDlgItemTextA(dialog, IDC_PROMPT, kChoicePrompt);
    SetDlgItemTextA(dialog, IDC_LITESTEP, kStartLiteStep);
    SetDlgItemTextA(dialog, IDC_EXPLORER, kStartExplorer);
    SetDlgItemTextA(dialog, IDC_REBOOT_OTHER, otherLabel);
    SetDlgItemTextA(dialog, IDC_TERMINATE, kTerminateAfterSpawn);

    // The check box takes the fifth row of the group; the session choices
    // belong to the shell-terminated dialog only.
    ShowWindow(GetDlgItem(dialog, IDC_LOGOFF), SW_HIDE);
    ShowWindow(GetDlgItem(dialog, IDC_SHUTDOWN), SW_HIDE);

    gState.askBoot = false;

    if (CountdownConfigured())
        SetTimer(dialog, IDT_COUNTDOWN, kCountdownPeriodMs, CountdownTimerProc);
}

// comdlg32 brings a dozen more DLLs into every start of the program, each
// log-on and each client command, for a dialog that few users ever open: it
// is loaded only when the file choice is made. False when it cannot be.
// Once loaded it stays: the file dialog brings in shell extensions whose
// threads may still run in code that freeing the library would unmap.
static BOOL ShowOpenFileDialog(OPENFILENAMEA* choice)
{
    typedef BOOL(WINAPI * OpenFileNameFn)(OPENFILENAMEA*);
    static HMODULE comdlg = NULL;
    if (comdlg == NULL)
        comdlg = LoadLibraryA("comdlg32.dll");
    if (comdlg == NULL)
        return FALSE;
    OpenFileNameFn open
        = (OpenFileNameFn)(void (*)(void))GetProcAddress(comdlg, "GetOpenFileNameA");
    return open != NULL && open(choice);
}

// Lets the user pick any program as the alternate shell. The radio button
// has already checked itself when this runs.
static void ChooseShellFile(HWND dialog)
{
    char file[kPathSize] = "";
    OPENFILENAMEA choice;
    ZeroMemory(&choice, sizeof(choice));
    // The structure as Windows 95 and NT 4.0 know it, without the fields
    // added later; its size differs between the 32- and 64-bit builds.
    choice.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    choice.hwndOwner = dialog;
    choice.lpstrFilter = kShellFileFilter;
    choice.lpstrFile = file;
    choice.nMaxFile = sizeof(file);
    choice.nMaxFileTitle = 512;
    choice.lpstrTitle = kShellFileTitle;
    choice.Flags = OFN_HIDEREADONLY;
    choice.lpstrDefExt = kShellFileDefExt;

    if (ShowOpenFileDialog(&choice)) {
        char name[kPathSize];
        ProgramNameOf(file, name);
        char label[kShellLabelSize];
        JoinText(label, kStartPrefix, name);
        SetDlgItemTextA(dialog, IDC_REBOOT_OTHER, label);
        CopyText(gState.alternatePath, file);
        return;
    }

    // Cancelled or failed alike: back to a shell that needs no path.
    int fallback = gState.shellKind == SHELL_LITESTEP ? IDC_LITESTEP : IDC_EXPLORER;
    CheckRadioButton(dialog, IDC_LITESTEP, IDC_SHUTDOWN, fallback);
    SetFocus(GetDlgItem(dialog, fallback));
    SetDlgItemTextA(dialog, IDC_REBOOT_OTHER, kStartOther);
}

static bool IsChecked(HWND dialog, int id)
{
    return IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}

// OK, or the countdown's end: start the checked shell. A refused or failed
// start has shown its own message; the dialog stays for another choice.
static void StartChosenShell(HWND dialog)
{
    ShellKind kind;
    if (IsChecked(dialog, IDC_LITESTEP))
        kind = SHELL_LITESTEP;
    else if (IsChecked(dialog, IDC_EXPLORER))
        kind = SHELL_EXPLORER;
    else if (IsChecked(dialog, IDC_REBOOT_OTHER))
        kind = SHELL_ALTERNATE;
    else
        return;

    if (!StartShell(kind))
        return;
    if (CountdownConfigured())
        KillTimer(dialog, IDT_COUNTDOWN);
    // The quit waits in the queue until the start-up's own loop takes it,
    // after the dialog has gone; the new shell keeps running.
    if (IsChecked(dialog, IDC_TERMINATE))
        PostManagerQuit();
    EndDialog(dialog, 0);
}

static INT_PTR OnShellChoiceCommand(HWND dialog, WPARAM wParam)
{
    WORD id = LOWORD(wParam);
    WORD code = HIWORD(wParam);

    // Any click stops the countdown for good, even one that a start under
    // way swallows.
    if (code == 0)
        StopCountdown(dialog);

    // The boxes of a start under way leave this dialog open to clicks; a
    // second start, or a new program chosen for it, must wait.
    if (gState.spawning)
        return TRUE;

    if (id == IDC_REBOOT_OTHER && code == BN_CLICKED) {
        ChooseShellFile(dialog);
        return TRUE;
    }

    switch (id) {
    case IDOK:
        StartChosenShell(dialog);
        return TRUE;
    case IDCANCEL:
        // No way out without a shell: Esc only stops the countdown.
        StopCountdown(dialog);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK ShellChoiceDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        InitShellChoice(dialog);
        return TRUE;
    case WM_COMMAND:
        return OnShellChoiceCommand(dialog, wParam);
    }
    return FALSE;
}

// Ticks every 250 ms; counts whole seconds of the tick count so that the
// number in the caption changes on the second, and presses OK at the end.
void CALLBACK CountdownTimerProc(HWND window, UINT, UINT_PTR, DWORD tickTime)
{
    DWORD now = tickTime / 1000;
    LONG shown;
    if (gState.countdownDeadline == 0) {
        gState.countdownDeadline = now + gState.startDelay;
        shown = gState.startDelay;
    } else if (now < gState.countdownDeadline) {
        shown = (LONG)(gState.countdownDeadline - now);
    } else {
        // Over at its end, whatever becomes of the OK it presses: a start
        // under way swallows it.
        gState.countdownDeadline = 0;
        StopCountdown(window);
        PostMessageA(window, WM_COMMAND, IDOK, 0);
        return;
    }

    char caption[64];
    FormatText(caption, kCountdownFormat, kCaption, (int)shown);
    SetWindowTextA(window, caption);
}
