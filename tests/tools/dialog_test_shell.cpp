// A shell for the dialog tests to start: a hidden window of class
// "QfDialogTestShell" titled with the program's own file name (so a test
// sees which copy started), and a message loop so that it becomes idle at
// once. Ends on WM_CLOSE.
#include <windows.h>
#include <string.h>

static LRESULT CALLBACK ShellWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof(path));
    if (length == 0 || length >= sizeof(path))
        return 2;
    const char *name = strrchr(path, '\\');
    name = name ? name + 1 : path;

    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.lpfnWndProc = ShellWndProc;
    wc.hInstance = instance;
    wc.lpszClassName = "QfDialogTestShell";
    if (!RegisterClassA(&wc))
        return 3;
    if (!CreateWindowA("QfDialogTestShell", name, WS_OVERLAPPED, 0, 0, 10, 10, NULL, NULL,
                       instance, NULL))
        return 4;
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}
