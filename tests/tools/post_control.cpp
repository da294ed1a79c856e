// post_control.exe <message>: posts one control message (wParam 0, lParam 0)
// to the running manager's control window, as a client would. Waits up to
// 10 s for the window. Exit code 0 when posted, 1 without a manager, 2 on a
// bad argument.
#include <windows.h>

#include <stdlib.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc != 2)
        return 2;
    char *end = NULL;
    unsigned long message = strtoul(__argv[1], &end, 0);
    if (end == __argv[1] || *end != '\0' || message < WM_USER)
        return 2;
    for (int attempt = 0; attempt < 500; attempt++) {
        HWND window = FindWindowA("QuillfernWndClass", NULL);
        if (window != NULL)
            return PostMessageA(window, (UINT)message, 0, 0) ? 0 : 1;
        Sleep(20);
    }
    return 1;
}
