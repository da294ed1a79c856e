// litestep_probe.exe: a LiteStep for the end-to-end tests that notes, the
// moment it starts, what the manager prepared for it. It writes probe.log
// beside itself:
//   step.rc=<the step.rc beside it>
//   registry=<HKLM Winlogon "Shell">
//   systemini=<System.ini [boot] shell>
// then shows LiteStep's "TApplication" window and ends on message 9260.
#include <windows.h>

#include <stdio.h>
#include <string.h>

static const UINT kLiteStepQuit = 9260;

static void ReadFirstLine(const char *path, char *text, DWORD size)
{
    text[0] = '\0';
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD got = 0;
    ReadFile(file, text, size - 1, &got, NULL);
    CloseHandle(file);
    text[got] = '\0';
    text[strcspn(text, "\r\n")] = '\0';
}

static void ReadRegistryShell(char *text, DWORD size)
{
    text[0] = '\0';
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                      0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    DWORD length = size - 1;
    if (RegQueryValueExA(key, "Shell", NULL, NULL, (BYTE *)text, &length) == ERROR_SUCCESS)
        text[length] = '\0';
    else
        text[0] = '\0';
    RegCloseKey(key);
}

static void WriteProbeLog(const char *dir)
{
    char path[MAX_PATH], stepRc[512], registry[512], systemIni[512], windows[MAX_PATH];
    snprintf(path, sizeof path, "%sstep.rc", dir);
    ReadFirstLine(path, stepRc, sizeof stepRc);
    ReadRegistryShell(registry, sizeof registry);
    GetWindowsDirectoryA(windows, sizeof windows);
    snprintf(path, sizeof path, "%s\\System.ini", windows);
    GetPrivateProfileStringA("boot", "shell", "", systemIni, sizeof systemIni, path);

    char log[2048];
    int length = snprintf(log, sizeof log, "step.rc=%s\r\nregistry=%s\r\nsystemini=%s\r\n",
                          stepRc, registry, systemIni);
    snprintf(path, sizeof path, "%sprobe.log", dir);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, log, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

static LRESULT CALLBACK ProbeWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kLiteStepQuit)
        ExitProcess(0);
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    char dir[MAX_PATH];
    GetModuleFileNameA(NULL, dir, sizeof dir);
    char *slash = strrchr(dir, '\\');
    if (slash != NULL)
        slash[1] = '\0';
    WriteProbeLog(dir);

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = ProbeWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "TApplication";
    RegisterClassA(&windowClass);
    CreateWindowExA(WS_EX_TOOLWINDOW, "TApplication", "LiteStep", WS_OVERLAPPED, 0, 0, 100, 40,
                    NULL, NULL, instance, NULL);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}
