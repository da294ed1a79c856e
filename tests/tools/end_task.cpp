// end_task.exe: answers Wine's own "Waiting for Program" dialog with
// "Terminate Process". Wine's log-off shows that dialog, and then waits for a
// click, when it loses track of a program's answers: it happens now and then
// when a program (the manager) ends its message loop on WM_QUERYENDSESSION
// while Wine still has messages on their way to its other windows.
// Exit code 0 when a dialog was answered, 1 when there was none.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    HWND dialog = FindWindowA("#32770", "Waiting for Program");
    if (dialog == NULL)
        return 1;
    HWND button = FindWindowExA(dialog, NULL, "Button", "Terminate Process");
    if (button == NULL)
        return 1;
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), (LPARAM)button);
    return 0;
}
