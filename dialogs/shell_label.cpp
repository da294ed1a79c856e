#include "dialogs/shell_label.h"

#include <stdlib.h>
#include <string.h>

#include "common/text.h"

void ProgramNameOf(const char *path, char (&name)[kPathSize])
{
    // Every part gets a buffer as large as the whole path may be, so that no
    // part of a long path can overrun its buffer.
    char drive[kPathSize], directory[kPathSize], extension[kPathSize];
    char whole[kPathSize];
    CopyText(whole, path);
    _splitpath(whole, drive, directory, name, extension);
}

void AlternateShellLabel(const char *prefix, char (&label)[kShellLabelSize])
{
    // A program picked in the shell-choice dialog replaces alternatePath but
    // leaves altShellIndex as the configuration set it; the configured name
    // only fits while the path is still that entry's.
    LONG index = gState.altShellIndex;
    if (index >= 0 && index < kMaxAltShells &&
        _strcmpi(gState.alternatePath, gState.altShells[index].path) == 0) {
        JoinText(label, prefix, gState.altShells[index].name);
        return;
    }
    char name[kPathSize];
    ProgramNameOf(gState.alternatePath, name);
    JoinText(label, prefix, name);
}
