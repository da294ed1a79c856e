#include "dialogs/shell_label.h"

#include "config/text.h"

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
