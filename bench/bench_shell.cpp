// The shell the benchmark starts, in the role its file name gives:
// LiteStep.exe makes a "TApplication" window titled "LiteStep", then a
// "TWharfGlobalContainer", and ends on message 9260; any other name is
// Explorer, with "Shell_TrayWnd", then "Progman" titled "Program Manager",
// and ends on WM_QUIT. Nothing else: no settings, no log.
#include <windows.h>

static const UINT kLiteStepQuit = 9260;

static LRESULT CALLBACK ShellWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kLiteStepQuit)
        ExitProcess(0);
    if (message == WM_CLOSE)
        return 0;
    return DefWindowProcA(window, message, wParam, lParam);
}

static void MakeWindow(const char* className, const char* title)
{
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = ShellWndProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = className;
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, className, title, WS_OVERLAPPED, 0, 0, 200, 40,
        NULL, NULL, windowClass.hInstance, NULL);
    ShowWindow(window, SW_SHOWNOACTIVATE);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(NULL, path, sizeof path);
    const char* name = path;
    for (const char* c = path; *c != '\0'; c++)
        if (*c == '\\')
            name = c + 1;
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name, -1, "LiteStep.exe", -1)
        == CSTR_EQUAL) {
        MakeWindow("TApplication", "LiteStep");
        MakeWindow("TWharfGlobalContainer", "Wharf");
    } else {
        MakeWindow("Shell_TrayWnd", "");
        MakeWindow("Progman", "Program Manager");
    }
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}
