// Lets the shell scripts look at the Wine desktop (a Wine program's output
// cannot safely be read through $(...), so the answer is the exit code):
//   window_tool wait <class> [ms]     0 when a top-level window of the class exists
//   window_tool gone <class> [ms]     0 when none is left
//   window_tool list [ms]             0 when the manager's theme list is open
//   window_tool choose <index> [ms]   selects entry <index> in the manager's
//                                     theme list dialog and presses OK
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "res/resource.h"

static HWND ThemeListDialog()
{
    for (HWND dialog = NULL;
         (dialog = FindWindowExA(NULL, dialog, "#32770", "Quillfern 1.50")) != NULL;)
        if (GetDlgItem(dialog, IDC_THEMELIST) != NULL)
            return dialog;
    return NULL;
}

static bool Poll(bool (*done)(const char*), const char* arg, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (done(arg))
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(50);
    }
}

static bool Exists(const char* className)
{
    return FindWindowA(className, NULL) != NULL;
}
static bool Gone(const char* className)
{
    return FindWindowA(className, NULL) == NULL;
}
static bool ListOpen(const char*)
{
    return ThemeListDialog() != NULL;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc >= 2 && strcmp(__argv[1], "list") == 0)
        return Poll(ListOpen, NULL, __argc > 2 ? strtoul(__argv[2], NULL, 10) : 10000) ? 0 : 1;
    if (__argc < 3)
        return 2;
    const char* verb = __argv[1];
    DWORD timeoutMs = __argc > 3 ? strtoul(__argv[3], NULL, 10) : 10000;
    if (strcmp(verb, "wait") == 0)
        return Poll(Exists, __argv[2], timeoutMs) ? 0 : 1;
    if (strcmp(verb, "gone") == 0)
        return Poll(Gone, __argv[2], timeoutMs) ? 0 : 1;
    if (strcmp(verb, "choose") == 0) {
        if (!Poll(ListOpen, NULL, timeoutMs))
            return 1;
        HWND dialog = ThemeListDialog();
        SendDlgItemMessageA(dialog, IDC_THEMELIST, LB_SETCURSEL, atoi(__argv[2]), 0);
        PostMessageA(
            dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
        return 0;
    }
    return 2;
}
