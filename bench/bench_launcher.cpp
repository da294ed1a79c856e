// Benchmark reference for the log-on: the least a program can do to start a
// shell. Starts the program named on its command line and ends once that
// program's last start-up window (class given second) exists. With "|window"
// after the class it first creates a hidden top-level window, as a manager
// must to be found by its clients: under Wine the first window of a process
// costs far more than on Windows (display driver, theme engine).
//   bench_launcher.exe <shell program>|<window class>[|window]
#include <windows.h>

#include <string.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    char program[MAX_PATH] = "";
    char windowClass[128] = "";
    const char* bar = strchr(commandLine, '|');
    if (bar == NULL || bar - commandLine >= MAX_PATH)
        return 2;
    memcpy(program, commandLine, bar - commandLine);
    lstrcpynA(windowClass, bar + 1, sizeof windowClass);
    char* withWindow = strchr(windowClass, '|');
    if (withWindow != NULL) {
        *withWindow = '\0';
        WNDCLASSEXA launcherClass;
        ZeroMemory(&launcherClass, sizeof launcherClass);
        launcherClass.cbSize = sizeof launcherClass;
        launcherClass.lpfnWndProc = DefWindowProcA;
        launcherClass.hInstance = GetModuleHandleA(NULL);
        launcherClass.lpszClassName = "QuillfernBenchLauncher";
        RegisterClassExA(&launcherClass);
        CreateWindowExA(WS_EX_TOOLWINDOW, "QuillfernBenchLauncher", "", 0, 0, 0, 0, 0, NULL, NULL,
            launcherClass.hInstance, NULL);
    }

    // The manager gives its shells an empty, writable command line.
    char shellCommandLine[1] = "";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(
            program, shellCommandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process))
        return 1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int i = 0; i < 30000 && FindWindowA(windowClass, NULL) == NULL; i++)
        Sleep(1);
    return 0;
}
