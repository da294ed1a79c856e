// The one stand-in shell; its role is its file name. Its windows, what <role>.txt beside it may ask
// (stubborn, busy, dies, windowless) and the lines it writes to events.log beside it: see
// docs/testbed.md.
#include <windows.h>
#include <stdio.h>
#include <string.h>

static char gDir[MAX_PATH], gRole[64], gBehaviour[256];

// Opened for each line, so that a killed stand-in leaves a whole log.
static void Log(const char* event)
{
    char path[MAX_PATH + 16], line[160];
    snprintf(path, sizeof path, "%sevents.log", gDir);
    DWORD length = snprintf(line, sizeof line, "%s %s\r\n", gRole, event), written;
    HANDLE file = CreateFileA(
        path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    WriteFile(file, line, length, &written, NULL);
    CloseHandle(file);
}
static void QuitRequested()
{
    Log("quit"); // and gone at once, unless stubborn
    if (!strstr(gBehaviour, "stubborn"))
        ExitProcess(0);
}
static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == 9260 && !strcmp(gRole, "litestep"))
        QuitRequested();
    return message == WM_CLOSE ? 0 : DefWindowProcA(window, message, wParam, lParam);
}
// Shown without taking the focus, which would make Wine set the held modifier keys back
// (docs/testbed.md).
static void MakeWindow(const char* className, const char* title)
{
    WNDCLASSA windowClass = { .lpfnWndProc = WndProc, .lpszClassName = className };
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(
        WS_EX_TOOLWINDOW, className, title, WS_CAPTION, 0, 0, 200, 40, 0, 0, 0, 0);
    ShowWindow(window, SW_SHOWNOACTIVATE);
}
static int Down(int key)
{
    return (GetAsyncKeyState(key) & 0x8000) || (GetKeyState(key) & 0x8000);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    GetModuleFileNameA(NULL, gDir, sizeof gDir);
    char* name = strrchr(gDir, '\\') + 1;
    char path[MAX_PATH], start[64];
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
    MSG message;
    for (BOOL got; (got = GetMessageA(&message, NULL, 0, 0)) != -1;) {
        if (got)
            DispatchMessageA(&message);
        else
            QuitRequested(); // WM_QUIT
    }
    return 1;
}
