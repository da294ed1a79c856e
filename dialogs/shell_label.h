// The label of the third radio button of both shell dialogs: "Start <name>"
// or "Restart <name>" for the alternate shell.
#pragma once

#include "config/state.h"

#include <windows.h>

constexpr char kRestartPrefix[] = "Restart ";

// Long enough for "Restart " and any name a path of kPathSize can hold, so
// the label is never cut.
constexpr int kShellLabelSize = 16 + kPathSize;

// The file name of path without its directory and extension.
void ProgramNameOf(const char* path, char (&name)[kPathSize]);

// prefix followed by the name of the current alternate shell: its configured
// name, or, for a program chosen by the user, the file name of
// alternatePath.
void AlternateShellLabel(const char* prefix, char (&label)[kShellLabelSize]);

// Checks the radio button of the current shell: LiteStep, Explorer, or the
// third one for the alternate shell.
void CheckCurrentShell(HWND dialog);
