// The test session's helper. "session start [witness]" starts a copy of itself
// that stays up for the whole run (Wine ends its desktop process about 2 s
// after the last program of a session) and exits 0 once that keeper has taken
// Wine's hidden "Shell_TrayWnd" off the desktop, which would otherwise look
// like a running desktop shell to the manager. The keeper re-parents the tray
// window onto a message-only window of its own, so the tray is gone while the
// keeper lives. With a witness file the keeper also writes
// "endsession <wParam> <lParam>" there when the session ends.
#include <windows.h>

#include <stdio.h>
#include <string.h>

static const char kReady[] = "QuillfernSessionReady";
static char gWitness[MAX_PATH];

static LRESULT CALLBACK WitnessProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_ENDSESSION && gWitness[0] != '\0') {
        FILE *file = fopen(gWitness, "ab");
        if (file != NULL) {
            fprintf(file, "endsession %d %#lx\r\n", (int)wParam, (unsigned long)lParam);
            fclose(file);
        }
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static int Keep()
{
    GetDesktopWindow();
    HWND holder = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    // The desktop process brings its tray up a moment after we ask for it.
    HWND tray = NULL;
    for (DWORD start = GetTickCount(); tray == NULL && GetTickCount() - start < 10000; Sleep(50))
        tray = FindWindowA("Shell_TrayWnd", NULL);
    while ((tray = FindWindowA("Shell_TrayWnd", NULL)) != NULL && SetParent(tray, holder) != NULL)
        continue;
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WitnessProc;
    windowClass.lpszClassName = "QuillfernSessionWitness";
    RegisterClassA(&windowClass);
    CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
    if (FindWindowA("Shell_TrayWnd", NULL) == NULL)
        SetEvent(CreateEventA(NULL, TRUE, FALSE, kReady));
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    char word[16] = "", exe[MAX_PATH], line[2 * MAX_PATH + 32];
    sscanf(commandLine, "%15s %259[^\n]", word, gWitness);
    if (strcmp(word, "keep") == 0)
        return Keep();
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, kReady);
    GetModuleFileNameA(NULL, exe, sizeof exe);
    snprintf(line, sizeof line, "\"%s\" keep %s", exe, gWitness);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION keeper = {};
    if (!CreateProcessA(exe, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &keeper))
        return 2;
    HANDLE either[] = {ready, keeper.hProcess};
    return WaitForMultipleObjects(2, either, FALSE, 30000) == WAIT_OBJECT_0 ? 0 : 1;
}
