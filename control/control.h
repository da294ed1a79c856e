#pragma once

#include <windows.h>

constexpr char kControlClassName[] = "QuillfernWndClass";
constexpr char kControlWindowTitle[] = "Quillfern";

LRESULT CALLBACK ControlWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Synthesised modifier key held while a shell starts.
void PressKey(BYTE vk);
void ReleaseKey(BYTE vk);

// Asks the manager to end; every quit the manager posts itself goes here.
void PostManagerQuit();
// After a start that failed: the shell-terminated dialog, unless a shell runs.
void OfferShellAfterFailedStart();
