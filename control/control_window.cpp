#include "control/control.h"
// PLACEHOLDER
LRESULT CALLBACK ControlWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}
void PressKey(BYTE) {}
void ReleaseKey(BYTE) {}
