// Benchmark reference for a client command: the least a program can do to
// pass a command to the manager. Finds the control window and posts CM_KILL.
#include <windows.h>

#include "config/state.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    HWND manager = FindWindowA("QuillfernWndClass", NULL);
    if (manager == NULL)
        return 1;
    PostMessageA(manager, CM_KILL, 0, 0);
    return 0;
}
