#include <windows.h>
#include <stdlib.h>

#include "app/manager.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    exit(RunManager(GetModuleHandleA(NULL), FormCommandTail(GetCommandLineA())));
}
