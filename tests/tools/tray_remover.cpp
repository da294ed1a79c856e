// Wine's own explorer.exe keeps a hidden top-level "Shell_TrayWnd" window,
// which would look like a running desktop shell to the manager. Re-parenting
// it to a message-only window of ours takes it off the desktop; when we exit
// that window goes, and the tray window with it.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    HWND holder = CreateWindowExA(0, "STATIC", "tray holder", 0, 0, 0, 0, 0,
                                  HWND_MESSAGE, NULL, NULL, NULL);
    int removed = 0;
    for (HWND tray; (tray = FindWindowA("Shell_TrayWnd", NULL)) != NULL && removed < 8; removed++)
        SetParent(tray, holder);
    return FindWindowA("Shell_TrayWnd", NULL) == NULL ? 0 : 1;
}
