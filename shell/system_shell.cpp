#include "shell/shell.h"
// PLACEHOLDER
bool SetSystemShell(LONG) { return true; }
bool SystemShellStillOurs() { return true; }
