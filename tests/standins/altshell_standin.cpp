// Stand-in for an alternate shell: one plain window of its own class and
// nothing else; the manager only ever kills it.
#include "standin.h"

static LRESULT CALLBACK AltShellWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    StandInStart();
    StandInWindow("QuillfernAltShellStandIn", "Alternate shell", AltShellWndProc, 520, 0);
    return StandInRun();
}
