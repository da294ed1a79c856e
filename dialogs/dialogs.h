#pragma once

#include <windows.h>

INT_PTR CALLBACK ShellChoiceDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void CALLBACK CountdownTimerProc(HWND window, UINT message, UINT_PTR timerId, DWORD tickTime);
INT_PTR CALLBACK ShellTerminatedDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ThemeListDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
