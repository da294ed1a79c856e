#pragma once

#include <windows.h>

INT_PTR CALLBACK ShellChoiceDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void CALLBACK CountdownTimerProc(HWND window, UINT message, UINT_PTR timerId, DWORD tickTime);
INT_PTR CALLBACK ShellTerminatedDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ThemeListDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Both dialogs on the options template: the caption, the prompt, no check
// box, the alternate shell in place of the reboot when offerAlternate, and
// the current shell checked (the third choice for an alternate one).
void InitShellOptions(HWND dialog, const char* prompt, bool offerAlternate);
// The recovery key's dialog. Its result: 0 for nothing, the ShellKind to
// start in place of the current shell, or kRecoverSession plus the flags of
// the ExitSession to do.
INT_PTR CALLBACK RecoveryDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
constexpr INT_PTR kRecoverSession = 16;
