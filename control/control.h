#pragma once

#include <windows.h>

constexpr char kControlClassName[] = "QuillfernWndClass";
constexpr char kControlWindowTitle[] = "Quillfern";

LRESULT CALLBACK ControlWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Synthesised modifier key held while a shell starts.
void PressKey(BYTE vk);
void ReleaseKey(BYTE vk);
