// Benchmark reference for idle CPU and memory: a program that does nothing
// but wait in its message loop with a hidden window, as the manager does
// between commands. With "thread" on its command line it also keeps one
// thread blocked in a wait, as the manager's shell monitor is. Ends on
// WM_CLOSE.
#include <windows.h>

#include <string.h>

static LRESULT CALLBACK IdleWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static DWORD WINAPI WaitForever(void* event)
{
    WaitForSingleObject((HANDLE)event, INFINITE);
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    if (strstr(commandLine, "thread") != NULL) {
        HANDLE never = CreateEventA(NULL, TRUE, FALSE, NULL);
        CloseHandle(CreateThread(NULL, 0, WaitForever, never, 0, NULL));
    }
    WNDCLASSEXA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = IdleWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "QuillfernBenchIdle";
    RegisterClassExA(&windowClass);
    CreateWindowExA(
        WS_EX_TOOLWINDOW, "QuillfernBenchIdle", "", 0, 0, 0, 0, 0, NULL, NULL, instance, NULL);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}
