// Stand-in for Explorer: "Shell_TrayWnd" and "Progman" titled "Program
// Manager"; a WM_QUIT posted to "Progman" ends it. cabinet=1 also opens a
// "CabinetWClass" folder window.
#include "standin.h"

// The desktop and the tray stay whatever is asked of them.
static LRESULT CALLBACK ExplorerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

// A folder window closes like any window.
static LRESULT CALLBACK CabinetWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    StandInStart();
    StandInWindow("Shell_TrayWnd", "", ExplorerWndProc, 0, 700);
    StandInWindow("Progman", "Program Manager", ExplorerWndProc, 260, 0);
    if (StandInSetting("cabinet", 0))
        StandInWindow("CabinetWClass", "Folder", CabinetWndProc, 260, 64);
    return StandInRun();
}
