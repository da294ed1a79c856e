// Shows how a key pressed with keybd_event by one process looks to another
// started just after it: "keystate press" holds Control, starts
// "keystate report <file>" and releases Control when the report has ended.
// The report writes "async=<0|1> thread=<0|1>" into the file.
#include <windows.h>

#include <stdio.h>
#include <string.h>

static int Report(const char *file)
{
    int async = (GetAsyncKeyState(VK_CONTROL) & 0x8000) ? 1 : 0;
    int thread = (GetKeyState(VK_CONTROL) & 0x8000) ? 1 : 0;
    FILE *out = fopen(file, "wb");
    if (out == NULL)
        return 2;
    fprintf(out, "async=%d thread=%d\n", async, thread);
    fclose(out);
    return 0;
}

static int Press(const char *file)
{
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    char commandLine[MAX_PATH * 2 + 32];
    snprintf(commandLine, sizeof commandLine, "\"%s\" report %s", self, file);
    keybd_event(VK_CONTROL, 0, 0, 0);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    BOOL started = CreateProcessA(self, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                                  &info);
    if (started) {
        WaitForSingleObject(info.hProcess, 10000);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    keybd_event(VK_CONTROL, 0, KEYEVENTF_KEYUP, 0);
    return started ? 0 : 1;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc == 3 && strcmp(__argv[1], "report") == 0)
        return Report(__argv[2]);
    if (__argc == 3 && strcmp(__argv[1], "press") == 0)
        return Press(__argv[2]);
    return 1;
}
