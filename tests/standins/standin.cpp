// The one stand-in shell; its role is its file name. Its windows, what <role>.txt beside it may ask
// (stubborn, busy, dies, windowless) and its lines in events.log beside it: docs/testbed.md.
#include <windows.h>
#include <stdio.h>
#include <string.h>

static char gDir[MAX_PATH], gRole[64], gBehaviour[256];

// Opened for each line, so that a killed stand-in leaves a whole log.
static void Log(const char* event)
{
    char path[MAX_PATH + 16];
    char line[160];
    snprintf(path, sizeof path, "%sevents.log", gDir);
    DWORD length = snprintf(line, sizeof line, "%s %s\r\n", gRole, event);
    DWORD written;
    HANDLE file = CreateFileA(
        path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    WriteFile(file, line, length, &written, NULL);
    CloseHandle(file);
}
// Explorer's quit request is WM_QUIT, LiteStep's message 9260: gone at once, unless stubborn.
static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_QUIT || (message == 9260 && !strcmp(gRole, "litestep"))) {
        Log("quit");
        if (!strstr(gBehaviour, "stubborn"))
            ExitProcess(0);
    }
    return message == WM_CLOSE ? 0 : DefWindowProcA(window, message, wParam, lParam);
}
// Shown without taking the focus, which makes Wine set held modifier keys back (docs/testbed.md).
static void MakeWindow(const char* className, const char* title)
{
    WNDCLASSA windowClass = { .lpfnWndProc = WndProc, .lpszClassName = className };
    RegisterClassA(&windowClass);
    ShowWindow(
        CreateWindowExA(WS_EX_TOOLWINDOW, className, title, WS_CAPTION, 0, 0, 200, 40, 0, 0, 0, 0),
        SW_SHOWNOACTIVATE);
}
static int Down(int key)
{
    return (GetAsyncKeyState(key) & 0x8000) || (GetKeyState(key) & 0x8000);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    GetModuleFileNameA(NULL, gDir, sizeof gDir);
    char* name = strrchr(gDir, '\\') + 1;
    char path[MAX_PATH];
    char start[64];
    snprintf(gRole, sizeof gRole, "%.*s", (int)strcspn(name, "."), CharLowerA(name));
    *name = '\0'; // gDir: the folder, ending in a backslash
    snprintf(path, sizeof path, "%s%s.txt", gDir, gRole);
    if (FILE* behaviour = fopen(path, "rb")) {
        fread(gBehaviour, 1, sizeof gBehaviour - 1, behaviour);
        fclose(behaviour);
    }
    // The keys as they are at the start; the line once the windows exist.
    snprintf(start, sizeof start, "start shift=%d control=%d", Down(VK_SHIFT), Down(VK_CONTROL));
    if (strstr(gBehaviour, "dies")) {
        Log(start);
        Log("exit");
        return 3;
    }
    if (!strcmp(gRole, "litestep")) {
        if (!strstr(gBehaviour, "windowless")) // its main window missing, the Wharf there
            MakeWindow("TApplication", "LiteStep");
        MakeWindow("TWharfGlobalContainer", "Wharf");
    } else if (!strcmp(gRole, "explorer")) {
        MakeWindow("Shell_TrayWnd", "");
        MakeWindow("Progman", "Program Manager");
    } else { // a folder window of either kind ("explore" in folder.txt), or an alternate shell
        const char* folder = strstr(gBehaviour, "explore") ? "ExploreWClass" : "CabinetWClass";
        MakeWindow(strcmp(gRole, "folder") ? "AltShellWindow" : folder, gRole);
    }
    Log(start);
    if (strstr(gBehaviour, "busy"))
        Sleep(INFINITE);
    for (MSG m; GetMessageA(&m, NULL, 0, 0) != -1;) // WM_QUIT is for no window
        m.hwnd ? DispatchMessageA(&m) : WndProc(NULL, m.message, m.wParam, m.lParam);
    return 1;
}
