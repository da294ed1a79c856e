// "session start [witness]" starts a keeper (itself, "keep") that keeps Wine's desktop up all run;
// it exits 0 once the keeper has moved Wine's hidden "Shell_TrayWnd" (a shell to the manager) under
// a message-only window. The keeper appends "endsession <wParam>" to the witness file, if any, when
// the session ends.
#include <windows.h>
#include <stdio.h>

static const char kTray[] = "Shell_TrayWnd";
static char gWitness[MAX_PATH];

static LRESULT CALLBACK WitnessProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (FILE* file = message == WM_ENDSESSION && gWitness[0] ? fopen(gWitness, "ab") : NULL) {
        fprintf(file, "endsession %d\r\n", (int)wParam);
        fclose(file);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    char word[16] = "";
    char exe[MAX_PATH];
    char line[2 * MAX_PATH + 32];
    sscanf(commandLine, "%15s %259[^\n]", word, gWitness);
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, "QuillfernSessionReady");
    if (lstrcmpA(word, "keep") == 0) {
        GetDesktopWindow(); // the desktop process brings its tray up a moment after this
        HWND holder
            = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
        for (int i = 0; i < 200 && FindWindowA(kTray, NULL) == NULL; i++)
            Sleep(50);
        while (HWND tray = FindWindowA(kTray, NULL))
            if (SetParent(tray, holder) == NULL)
                break;
        // The witness: a top-level window, as a message-only one gets no WM_ENDSESSION.
        HWND witness = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
        SetWindowLongPtrA(witness, GWLP_WNDPROC, (LONG_PTR)WitnessProc);
        if (FindWindowA(kTray, NULL) == NULL)
            SetEvent(ready);
        for (MSG message; GetMessageA(&message, NULL, 0, 0) > 0;)
            DispatchMessageA(&message);
        return 0;
    }
    GetModuleFileNameA(NULL, exe, sizeof exe);
    snprintf(line, sizeof line, "\"%s\" keep %s", exe, gWitness);
    STARTUPINFOA startup = { sizeof startup };
    PROCESS_INFORMATION keeper = {};
    if (!CreateProcessA(exe, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &keeper))
        return 2;
    HANDLE either[] = { ready, keeper.hProcess };
    return WaitForMultipleObjects(2, either, FALSE, 30000) == WAIT_OBJECT_0 ? 0 : 1;
}
