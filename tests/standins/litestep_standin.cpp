// Stand-in for LiteStep: a "TApplication" window titled "LiteStep" and a
// "TWharfGlobalContainer" window; message 9260 asks it to quit.
#include "standin.h"

static const UINT kLiteStepQuit = 9260;

static LRESULT CALLBACK LiteStepWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case kLiteStepQuit:
        StandInQuitRequest(wParam, lParam);
        return 0;
    case WM_CLOSE:
        return 0;       // only the quit message ends LiteStep
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    StandInStart();
    StandInWindow("TApplication", "LiteStep", LiteStepWndProc, 0, 0);
    StandInWindow("TWharfGlobalContainer", "Wharf", LiteStepWndProc, 0, 64);
    return StandInRun();
}
