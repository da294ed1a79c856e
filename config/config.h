// Quillfern.cfg: an INI file beside the executable, read in two phases at
// start-up and never written.
#pragma once

#include <windows.h>

#include "config/state.h"

constexpr char kConfigFileName[] = "Quillfern.cfg";

// managerDir followed by "Quillfern.cfg". False when that does not fit in
// kPathSize bytes; the lookups then act as if the file were missing rather
// than read a cut path.
bool FormConfigPath(char (&path)[kPathSize]);

// The text value of key in section, cut to size - 1 characters; true when it
// is not empty. On false the buffer is empty.
bool ReadConfigString(const char *section, const char *key, char *buffer, DWORD size);
// The key's value as a decimal integer, or defaultValue when it is missing.
LONG ReadConfigInt(const char *section, const char *key, LONG defaultValue);

// The Windows user name, the first choice of configuration section; empty
// (which falls back to "default") when it cannot be had.
void FindUserName(char (&userName)[kPathSize]);

// Phase one: paths, the user's section (with the fall-back to "default"),
// the delays and the shell kind. userSection is overwritten on the fall-back
// and must hold kPathSize bytes.
void LoadUserSettings(char *userSection);
// Phase two: themes, theme directive, alternate shells, shell directive.
void LoadThemesAndShells(const char *userSection);

// The pieces of the phases that the client's uninstallation needs too.
// The user's shell directive; without a non-empty one the section becomes
// "default" (userSection must hold kPathSize bytes) and its directive is read.
void ReadShellDirective(char *userSection, char (&directive)[kPathSize]);
// Fills altShells and altShellCount from [Alternate_Shells].
void LoadAltShells();
// The loaded alternate shell named by directive becomes alternatePath and
// altShellIndex; false, with nothing changed, when none has that name.
bool FindAltShell(const char *directive);
