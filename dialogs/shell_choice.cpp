#include "dialogs/dialogs.h"
// PLACEHOLDER
INT_PTR CALLBACK ShellChoiceDlgProc(HWND, UINT, WPARAM, LPARAM) { return 0; }
void CALLBACK CountdownTimerProc(HWND, UINT, UINT_PTR, DWORD) {}
INT_PTR CALLBACK ShellTerminatedDlgProc(HWND, UINT, WPARAM, LPARAM) { return 0; }
INT_PTR CALLBACK ThemeListDlgProc(HWND, UINT, WPARAM, LPARAM) { return 0; }
