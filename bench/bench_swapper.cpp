// Benchmark reference for a swap: the least a program can do to replace the
// LiteStep stand-in by the Explorer stand-in, by the steps the manager takes.
// Starts LiteStep, then waits; on the message kSwapNow (posted to its window
// of class "QuillfernBenchSwapper") asks LiteStep to quit, waits for its end
// and starts Explorer.
//   bench_swapper.exe <LiteStep program>|<Explorer program>
#include <windows.h>

#include <string.h>

static const UINT kSwapNow = WM_APP + 1;
static const UINT kLiteStepQuit = 9260;

static char gLiteStep[MAX_PATH];
static char gExplorer[MAX_PATH];
static PROCESS_INFORMATION gShell;

static bool Spawn(const char* program)
{
    char commandLine[1] = "";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(program, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &gShell))
        return false;
    WaitForInputIdle(gShell.hProcess, 30000);
    return true;
}

static void SwapToExplorer()
{
    HWND liteStep = FindWindowA("TApplication", "LiteStep");
    if (liteStep == NULL)
        return;
    PostMessageA(liteStep, kLiteStepQuit, 2, 0);
    if (WaitForSingleObject(gShell.hProcess, 10000) == WAIT_TIMEOUT)
        TerminateProcess(gShell.hProcess, 0xFFFFFFFF);
    // A failed start ends the swapper with the error, for the driver's log.
    if (!Spawn(gExplorer))
        ExitProcess(GetLastError());
}

static LRESULT CALLBACK SwapperWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case kSwapNow:
        SwapToExplorer();
        return 0;
    case WM_CLOSE:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    const char* bar = strchr(commandLine, '|');
    if (bar == NULL || bar - commandLine >= MAX_PATH)
        return 2;
    memcpy(gLiteStep, commandLine, bar - commandLine);
    lstrcpynA(gExplorer, bar + 1, sizeof gExplorer);

    WNDCLASSEXA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = SwapperWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "QuillfernBenchSwapper";
    RegisterClassExA(&windowClass);
    if (!Spawn(gLiteStep))
        return 1;
    CreateWindowExA(
        WS_EX_TOOLWINDOW, "QuillfernBenchSwapper", "", 0, 0, 0, 0, 0, NULL, NULL, instance, NULL);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}
