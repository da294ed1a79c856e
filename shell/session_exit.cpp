#include "shell/shell.h"
// PLACEHOLDER
ExitWindowsExFn gExitWindowsEx = ExitWindowsEx;
void ExitSession(UINT) {}
