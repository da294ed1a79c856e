#include "dialogs/shell_label.h"

#include "config/text.h"
#include "res/resource.h"

void ProgramNameOf(const char* path, char (&name)[kPathSize])
{
    FileBaseName(name, path);
}

void AlternateShellLabel(const char* prefix, char (&label)[kShellLabelSize])
{
    // A program picked in the shell-choice dialog replaces alternatePath but
    // leaves altShellIndex as the configuration set it; the configured name
    // only fits while the path is still that entry's.
    LONG index = gState.altShellIndex;
    if (index >= 0 && index < kMaxAltShells
        && SameTextNoCase(gState.alternatePath, gState.altShells[index].path)) {
        JoinText(label, prefix, gState.altShells[index].name);
        return;
    }
    char name[kPathSize];
    ProgramNameOf(gState.alternatePath, name);
    JoinText(label, prefix, name);
}

void CheckCurrentShell(HWND dialog)
{
    int checked = IDC_REBOOT_OTHER;
    if (gState.shellKind == SHELL_LITESTEP)
        checked = IDC_LITESTEP;
    else if (gState.shellKind == SHELL_EXPLORER)
        checked = IDC_EXPLORER;
    CheckDlgButton(dialog, checked, BST_CHECKED);
}
