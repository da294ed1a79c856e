// The one stand-in shell; its role is its file name. litestep.exe: windows "TApplication" titled
// "LiteStep" and "TWharfGlobalContainer", quits on message 9260. explorer.exe: "Shell_TrayWnd" and
// "Progman" titled "Program Manager", quits on WM_QUIT. folder.exe: an Explorer folder window,
// "CabinetWClass". Any other name: an alternate shell. <role>.txt beside it may say "stubborn"
// (ignore the quit request), "busy" (never become idle) or "dies" (end right after starting). Each
// event is one line of events.log beside it: "<role> start shift=0|1 control=0|1", "<role> quit",
// "<role> exit".
#include <windows.h>
#include <stdio.h>
#include <string.h>

static char gDir[MAX_PATH], gRole[64], gBehaviour[256];

// Opened for each line, so that a killed stand-in leaves a whole log.
static void Log(const char *event) {
    char path[MAX_PATH + 16], line[160]; DWORD written;
    snprintf(path, sizeof path, "%sevents.log", gDir);
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    WriteFile(file, line, (DWORD)snprintf(line, sizeof line, "%s %s\r\n", gRole, event), &written, NULL), CloseHandle(file);
}
static void QuitRequested() {
    Log("quit");
    if (!strstr(gBehaviour, "stubborn")) Log("exit"), ExitProcess(0);
}
static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == 9260 && !strcmp(gRole, "litestep")) QuitRequested();
    return message == WM_CLOSE ? 0 : DefWindowProcA(window, message, wParam, lParam);
}
// Shown without taking the focus: on the unmanaged test display Wine sets the modifier keys back
// to the real keyboard's whenever a window takes it, which would hide the key held.
static void MakeWindow(const char *className, const char *title) {
    WNDCLASSA windowClass = {0, WndProc}; windowClass.lpszClassName = className; RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, className, title, WS_CAPTION, 0, 0, 200, 40, NULL, NULL, NULL, NULL);
    ShowWindow(window, SW_SHOWNOACTIVATE);
}
static int Down(int key) { return (GetAsyncKeyState(key) & 0x8000) || (GetKeyState(key) & 0x8000); }

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char path[MAX_PATH], start[64]; GetModuleFileNameA(NULL, gDir, sizeof gDir); char *name = strrchr(gDir, '\\') + 1;
    snprintf(gRole, sizeof gRole, "%.*s", (int)strcspn(name, "."), CharLowerA(name)); *name = '\0';
    snprintf(path, sizeof path, "%s%s.txt", gDir, gRole);
    if (FILE *behaviour = fopen(path, "rb")) fread(gBehaviour, 1, sizeof gBehaviour - 1, behaviour), fclose(behaviour);
    // The keys as they are at the start; the line once the windows exist.
    snprintf(start, sizeof start, "start shift=%d control=%d", Down(VK_SHIFT), Down(VK_CONTROL));
    if (strstr(gBehaviour, "dies")) return Log(start), Log("exit"), 3;
    bool litestep = !strcmp(gRole, "litestep"), explorer = !strcmp(gRole, "explorer");
    MakeWindow(litestep ? "TApplication" : explorer ? "Shell_TrayWnd" : strcmp(gRole, "folder") ? "AltShellWindow" : "CabinetWClass",
               litestep ? "LiteStep" : explorer ? "" : gRole);
    if (litestep || explorer) MakeWindow(litestep ? "TWharfGlobalContainer" : "Progman", litestep ? "Wharf" : "Program Manager");
    Log(start);
    if (strstr(gBehaviour, "busy")) Sleep(INFINITE);
    MSG message;
    for (BOOL got; (got = GetMessageA(&message, NULL, 0, 0)) != -1;) got ? (void)DispatchMessageA(&message) : QuitRequested();
    return 1;
}
