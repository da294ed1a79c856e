// "session start [witness]" starts a keeper (itself, "keep") that keeps Wine's desktop up all run;
// it exits 0 once the keeper has moved Wine's hidden "Shell_TrayWnd" (a shell to the manager) under
// a message-only window. The keeper appends "endsession <wParam> <lParam>" to the witness file, if
// any, when the session ends.
#include <windows.h>
#include <stdio.h>

static const char kTray[] = "Shell_TrayWnd";
static char gWitness[MAX_PATH];

static LRESULT CALLBACK WitnessProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (FILE* file = message == WM_ENDSESSION && gWitness[0] ? fopen(gWitness, "ab") : NULL) {
        fprintf(file, "endsession %d %#lx\r\n", (int)wParam, (unsigned long)lParam);
        fclose(file);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
static WNDCLASSA gWitnessClass
    = { .lpfnWndProc = WitnessProc, .lpszClassName = "QuillfernSessionWitness" };

// "session watch <file> <program>": the program as a debuggee; the flags of each ExitWindowsEx
// call on its main thread go to the file first (under Wine, log-off and shut-down look alike).
static int Watch(const char* file, char* program)
{
    STARTUPINFOA startup = { sizeof startup };
    PROCESS_INFORMATION child = {};
    HMODULE user32 = GetModuleHandleA("user32.dll"); // where the debuggee has it too, under Wine
    BYTE* target = (BYTE*)GetProcAddress(user32, "ExitWindowsEx");
    BYTE bytes[2] = { 0xCC }; // the trap, and the byte it stands in for
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_FULL;
    DEBUG_EVENT event;
    if (!CreateProcessA(NULL, program, NULL, NULL, FALSE, DEBUG_ONLY_THIS_PROCESS, NULL, NULL,
            &startup, &child))
        return 2;
    while (
        WaitForDebugEvent(&event, INFINITE) && event.dwDebugEventCode != EXIT_PROCESS_DEBUG_EVENT) {
        EXCEPTION_RECORD& exception = event.u.Exception.ExceptionRecord;
        bool trapped = event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT;
        if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT
            && event.u.LoadDll.lpBaseOfDll == user32) {
            ReadProcessMemory(child.hProcess, target, &bytes[1], 1, NULL);
            WriteProcessMemory(child.hProcess, target, &bytes[0], 1, NULL);
        } else if (trapped && exception.ExceptionAddress == target) {
            GetThreadContext(child.hThread, &context);
            if (FILE* out = fopen(file, "ab")) {
                fprintf(out, "ExitWindowsEx %u %u\r\n", (UINT)context.Rcx, (UINT)context.Rdx);
                fclose(out);
            }
            WriteProcessMemory(child.hProcess, target, &bytes[1], 1, NULL);
            context.Rip = (DWORD64)target;
            SetThreadContext(child.hThread, &context);
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId,
            trapped && exception.ExceptionCode != EXCEPTION_BREAKPOINT ? DBG_EXCEPTION_NOT_HANDLED
                                                                       : DBG_CONTINUE);
    }
    return 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    char word[16] = "", exe[MAX_PATH], line[2 * MAX_PATH + 32];
    sscanf(commandLine, "%15s %259[^\n]", word, gWitness);
    char program[MAX_PATH] = "";
    if (sscanf(commandLine, "watch %259s %259[^\n]", gWitness, program) == 2)
        return Watch(gWitness, program);
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
        RegisterClassA(&gWitnessClass);
        CreateWindowExA(0, gWitnessClass.lpszClassName, "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
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
