// What the stand-in shells have in common: settings from standin.ini beside
// the executable, a log in standin.log beside it, the keys held at start, the
// exit timer and the message loop. Each stand-in is one small program that
// includes this header and adds its own windows.
#pragma once

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char gStandInDir[MAX_PATH];       // with its trailing backslash
static char gStandInIni[MAX_PATH];

static void StandInLog(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line - 2, format, args);
    va_end(args);
    if (length < 0 || length > (int)sizeof line - 3)
        length = (int)sizeof line - 3;
    line[length++] = '\r';
    line[length++] = '\n';
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%sstandin.log", gStandInDir);
    // Opened and closed for every line, so that a test reads it at once and
    // a killed stand-in leaves a complete log.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

// [standin] key of standin.ini as a number (decimal, 0x hex, or negative).
static long StandInSetting(const char *key, long defaultValue)
{
    char text[64];
    GetPrivateProfileStringA("standin", key, "", text, sizeof text, gStandInIni);
    if (text[0] == '\0')
        return defaultValue;
    if (text[0] == '-')
        return strtol(text, NULL, 0);
    return (long)strtoul(text, NULL, 0);
}

static void StandInExit(DWORD code)
{
    StandInLog("exit code=%lu", (unsigned long)code);
    ExitProcess(code);
}

static DWORD WINAPI StandInExitTimer(void *)
{
    Sleep((DWORD)StandInSetting("exit_after_ms", 0));
    StandInExit((DWORD)StandInSetting("exit_code", 0));
    return 0;
}

// A key counts as down when either the asynchronous (system-wide) state or
// this thread's state says so: the manager presses it with keybd_event from
// its own process just before it starts us.
static int StandInKeyDown(int key)
{
    return ((GetAsyncKeyState(key) & 0x8000) || (GetKeyState(key) & 0x8000)) ? 1 : 0;
}

// Reads where we are, logs the start line, arms the exit timer and waits out
// the idle delay. Call first.
static void StandInStart()
{
    GetModuleFileNameA(NULL, gStandInDir, sizeof gStandInDir);
    char *slash = strrchr(gStandInDir, '\\');
    if (slash != NULL)
        slash[1] = '\0';
    snprintf(gStandInIni, sizeof gStandInIni, "%sstandin.ini", gStandInDir);
    StandInLog("start pid=%lu shift=%d control=%d", (unsigned long)GetCurrentProcessId(),
               StandInKeyDown(VK_SHIFT), StandInKeyDown(VK_CONTROL));
    if (StandInSetting("exit_after_ms", 0) > 0) {
        HANDLE timer = CreateThread(NULL, 0, StandInExitTimer, NULL, 0, NULL);
        if (timer != NULL)
            CloseHandle(timer);
    }
    long idleDelay = StandInSetting("idle_delay_ms", 0);
    if (idleDelay > 0)
        Sleep((DWORD)idleDelay);
}

// A quit request: logged, then obeyed unless ignore_quit is set.
static void StandInQuitRequest(WPARAM wParam, LPARAM lParam)
{
    StandInLog("quit wparam=%lu lparam=%ld", (unsigned long)wParam, (long)lParam);
    if (!StandInSetting("ignore_quit", 0))
        StandInExit(0);
}

static HWND StandInWindow(const char *className, const char *title, WNDPROC proc,
                          int x, int y)
{
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = proc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = className;
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, className, title,
                                  WS_OVERLAPPED | WS_CAPTION, x, y, 240, 60,
                                  NULL, NULL, GetModuleHandleA(NULL), NULL);
    if (window == NULL)
        StandInLog("error window %s %lu", className, (unsigned long)GetLastError());
    // Shown without taking the focus: on the unmanaged test display, Wine sets
    // the modifier keys back to the real keyboard's state whenever a window
    // takes the focus, which would hide the key the manager holds down.
    else
        ShowWindow(window, SW_SHOWNOACTIVATE);
    return window;
}

// The message loop. A WM_QUIT (posted to any of our windows, or by
// PostQuitMessage) ends GetMessage: that is a quit request too.
static int StandInRun()
{
    MSG message;
    for (;;) {
        BOOL got = GetMessageA(&message, NULL, 0, 0);
        if (got == -1)
            StandInExit(1);
        if (got == 0) {
            StandInQuitRequest(message.wParam, message.lParam);
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}
