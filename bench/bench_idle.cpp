// Benchmark reference for idle CPU: a program that does nothing but wait in
// its message loop with a hidden window, as the manager does between
// commands. Ends on WM_CLOSE.
#include <windows.h>

static LRESULT CALLBACK IdleWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WNDCLASSEXA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = IdleWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "QuillfernBenchIdle";
    RegisterClassExA(&windowClass);
    CreateWindowExA(WS_EX_TOOLWINDOW, "QuillfernBenchIdle", "", 0, 0, 0, 0, 0, NULL, NULL,
                    instance, NULL);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}
