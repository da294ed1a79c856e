#include "shell/shell.h"
// PLACEHOLDER
bool SpawnShell() { return false; }
bool StartShell(ShellKind) { return false; }
bool StopShell() { return false; }
bool KillShell() { return false; }
DWORD WINAPI ShellMonitorThread(LPVOID) { return 0; }
bool IsShellRunning() { return false; }
bool AreExplorerWindowsOpen() { return false; }
bool IsManagerRunning() { return false; }
