// The one stand-in shell. Its role is its file name: litestep.exe ("TApplication"
// titled "LiteStep" and "TWharfGlobalContainer"; quits on message 9260),
// explorer.exe ("Shell_TrayWnd" and "Progman" titled "Program Manager"; quits
// on WM_QUIT), folder.exe (an Explorer folder window, "CabinetWClass"), any
// other name an alternate shell. <role>.txt beside it may hold words that
// change its behaviour: "stubborn" ignores the quit request, "busy" never
// becomes idle, "dies" exits right after starting. Each event is one line of
// events.log beside it: "<role> start shift=<0|1> control=<0|1>",
// "<role> quit", "<role> exit".
#include <windows.h>

#include <stdio.h>
#include <string.h>

static char gDir[MAX_PATH], gRole[64], gBehaviour[256];

static void Log(const char *event)
{
    char path[MAX_PATH + 16], line[160];
    snprintf(path, sizeof path, "%sevents.log", gDir);
    int length = snprintf(line, sizeof line, "%s %s\r\n", gRole, event);
    // Opened for every line, so that a killed stand-in leaves a whole log.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

static void QuitRequested()
{
    Log("quit");
    if (strstr(gBehaviour, "stubborn") == NULL) {
        Log("exit");
        ExitProcess(0);
    }
}

static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == 9260 && strcmp(gRole, "litestep") == 0) {
        QuitRequested();
        return 0;
    }
    return message == WM_CLOSE ? 0 : DefWindowProcA(window, message, wParam, lParam);
}

static void MakeWindow(const char *className, const char *title)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WndProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = className;
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, className, title, WS_CAPTION, 0, 0, 200, 40,
                                  NULL, NULL, windowClass.hInstance, NULL);
    // Without taking the focus: on the unmanaged test display Wine sets the
    // modifier keys back to the real keyboard's whenever a window takes it,
    // which would hide the key the manager holds down.
    ShowWindow(window, SW_SHOWNOACTIVATE);
}

static int KeyDown(int key)
{
    return (GetAsyncKeyState(key) & 0x8000) || (GetKeyState(key) & 0x8000) ? 1 : 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char path[MAX_PATH], event[64];
    GetModuleFileNameA(NULL, path, sizeof path);
    char *name = strrchr(path, '\\') + 1;
    snprintf(gRole, sizeof gRole, "%.*s", (int)(strcspn(name, ".")), name);
    CharLowerA(gRole);
    *name = '\0';
    snprintf(gDir, sizeof gDir, "%s", path);
    snprintf(event, sizeof event, "%s.txt", gRole);
    snprintf(path, sizeof path, "%s%s", gDir, event);
    FILE *behaviour = fopen(path, "rb");
    if (behaviour != NULL) {
        fread(gBehaviour, 1, sizeof gBehaviour - 1, behaviour);
        fclose(behaviour);
    }
    // The keys as they are at the start; the line once the windows exist.
    snprintf(event, sizeof event, "start shift=%d control=%d", KeyDown(VK_SHIFT), KeyDown(VK_CONTROL));
    if (strstr(gBehaviour, "dies") != NULL) {
        Log(event);
        Log("exit");
        return 3;
    }
    if (strcmp(gRole, "litestep") == 0) {
        MakeWindow("TApplication", "LiteStep");
        MakeWindow("TWharfGlobalContainer", "Wharf");
    } else if (strcmp(gRole, "explorer") == 0) {
        MakeWindow("Shell_TrayWnd", "");
        MakeWindow("Progman", "Program Manager");
    } else if (strcmp(gRole, "folder") == 0) {
        MakeWindow("CabinetWClass", "Folder");
    } else {
        MakeWindow("AltShellWindow", gRole);
    }
    Log(event);
    if (strstr(gBehaviour, "busy") != NULL)
        Sleep(INFINITE);
    MSG message;
    for (;;) {
        BOOL got = GetMessageA(&message, NULL, 0, 0);
        if (got == 0)
            QuitRequested();
        else if (got > 0)
            DispatchMessageA(&message);
    }
}
