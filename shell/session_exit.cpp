// Log off, shut down or reboot.
#include "app/message_box.h"
#include "config/text.h"
#include "shell/shell.h"

// Shown when the system has no text of its own for an error code.
constexpr char kErrorNumberFormat[] = "Error %lu";
constexpr char kShutdownPrivilege[] = "SeShutdownPrivilege";

ExitWindowsExFn gExitWindowsEx = ExitWindowsEx;

void ShowSystemError(DWORD code)
{
    char* systemText = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&systemText, 0, NULL);
    if (length != 0 && systemText != NULL) {
        ShowMessage(systemText);
    } else {
        char number[32];
        FormatText(number, kErrorNumberFormat, (unsigned long)code);
        ShowMessage(number);
    }
    if (systemText != NULL)
        LocalFree(systemText);
}

// NT lets no process end the session without the shutdown privilege, log
// off included. A failed look-up or adjustment still lets the request go on.
static void EnableShutdownPrivilege()
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
        ShowSystemError(GetLastError());
        return;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // Without an identifier there is nothing to enable.
    if (LookupPrivilegeValueA(NULL, kShutdownPrivilege, &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
    CloseHandle(token);
}

bool ExitSession(UINT flags)
{
    SetSystemShell(0);
    if (gState.isNT)
        EnableShutdownPrivilege();
    // Before the request: the shell's end with the session is no surprise, and
    // the monitor thread must see that when the shell goes.
    gState.shellExitExpected = true;
    return gExitWindowsEx(flags, 0) != FALSE;
}
