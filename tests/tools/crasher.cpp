// Crashes on purpose: the test bed must end it with 0xC0000005 at once
// instead of hanging in a debugger.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // An address the compiler cannot see through, so the fault is real.
    volatile ULONG_PTR address = 0x10;
    *(volatile int *)address = 1;
    return 0;
}
