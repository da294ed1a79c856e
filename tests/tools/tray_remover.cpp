// Wine's own explorer.exe keeps a hidden top-level "Shell_TrayWnd" window,
// which would look like a running desktop shell to the manager. Re-parenting
// it to a message-only window of ours takes it off the desktop; when we exit
// that window goes, and the tray window with it.
//
// The desktop process starts with the first program of the session that
// needs it (this one, through FindWindowA), so the tray may appear a moment
// after we start: wait for it. Exit code 0 when no tray window is left.
#include <windows.h>

static HWND WaitForTray(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND tray = FindWindowA("Shell_TrayWnd", NULL);
        if (tray != NULL || GetTickCount() - start >= timeoutMs)
            return tray;
        Sleep(50);
    }
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    GetDesktopWindow();
    if (WaitForTray(10000) == NULL)
        return 0;
    HWND holder = CreateWindowExA(0, "STATIC", "tray holder", 0, 0, 0, 0, 0,
                                  HWND_MESSAGE, NULL, NULL, NULL);
    if (holder == NULL)
        return 2;
    for (int round = 0; round < 8; round++) {
        for (HWND tray; (tray = FindWindowA("Shell_TrayWnd", NULL)) != NULL;)
            if (!SetParent(tray, holder))
                return 3;
        // The desktop must not bring a new one up behind our back.
        Sleep(100);
        if (FindWindowA("Shell_TrayWnd", NULL) == NULL && round >= 2)
            break;
    }
    return FindWindowA("Shell_TrayWnd", NULL) == NULL ? 0 : 1;
}
