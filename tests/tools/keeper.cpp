// Keeps the Wine session (and so its desktop, without the tray window we
// removed) alive for a whole test run. Ends when the named event is set.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    HANDLE stop = CreateEventA(NULL, TRUE, FALSE, "QuillfernTestKeeperStop");
    WaitForSingleObject(stop, INFINITE);
    return 0;
}
