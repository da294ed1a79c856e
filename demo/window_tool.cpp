// Lets the shell scripts look at and act on the Wine desktop (a Wine program's output cannot
// safely be read through $(...), so the answer is the exit code: 0 done, 1 not in time):
//   window_tool wait <class> [ms]      a top-level window of the class exists
//   window_tool gone <class> [ms]      none is left
//   window_tool title <class> <text> [ms]  a window of the class has <text> in its title
//   window_tool kill <class>           ends the process of that window at once (a shell's death)
//   window_tool list [ms]              the manager's theme list is open
//   window_tool choose <index> [ms]    selects entry <index> in the theme list and presses OK
//   window_tool options [ms]           a dialog on the manager's options template is open
//   window_tool pick litestep|explorer [ms]  ticks that restart in it and presses OK
//   window_tool cancel [ms]            presses Cancel (what Esc does) in it
//   window_tool box [ms]               a message box of the manager is open
//   window_tool ok [ms]                presses OK in it
//   window_tool keys <ctrl+alt+shift+win+KEY>  presses the combination (KEY: f1..f24, a letter
//                                      or a digit), as the keyboard would
#include <windows.h>

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "res/resource.h"

// The text of a message box, in Wine as in Windows.
static const int kMessageBoxText = 0xFFFF;

static HWND ManagerDialog(int withControl)
{
    for (HWND dialog = NULL;
         (dialog = FindWindowExA(NULL, dialog, "#32770", "Quillfern 1.50")) != NULL;)
        if (GetDlgItem(dialog, withControl) != NULL)
            return dialog;
    return NULL;
}

static bool Poll(
    bool (*done)(const char*, const char*), const char* arg, const char* text, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (done(arg, text))
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(50);
    }
}

static bool Exists(const char* className, const char*)
{
    return FindWindowA(className, NULL) != NULL;
}
static bool Gone(const char* className, const char*)
{
    return FindWindowA(className, NULL) == NULL;
}
static bool Titled(const char* className, const char* text)
{
    char title[256];
    HWND window = FindWindowA(className, NULL);
    return window != NULL && GetWindowTextA(window, title, sizeof title) > 0
        && strstr(title, text) != NULL;
}
static bool ListOpen(const char*, const char*)
{
    return ManagerDialog(IDC_THEMELIST) != NULL;
}
static bool OptionsOpen(const char*, const char*)
{
    return ManagerDialog(IDC_LITESTEP) != NULL;
}
static bool BoxOpen(const char*, const char*)
{
    return ManagerDialog(kMessageBoxText) != NULL;
}

static void Press(HWND dialog, int button)
{
    PostMessageA(
        dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)GetDlgItem(dialog, button));
}

static bool Kill(const char* className)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(FindWindowA(className, NULL), &processId);
    HANDLE process = processId ? OpenProcess(PROCESS_TERMINATE, FALSE, processId) : NULL;
    bool killed = process != NULL && TerminateProcess(process, 1);
    if (process != NULL)
        CloseHandle(process);
    return killed;
}

static WORD KeyCode(const char* name)
{
    int number = atoi(name + 1);
    if (tolower((unsigned char)name[0]) == 'f' && number >= 1 && number <= 24)
        return VK_F1 + number - 1;
    if (name[0] != '\0' && name[1] == '\0' && isalnum((unsigned char)name[0]))
        return (WORD)toupper((unsigned char)name[0]);
    return 0;
}

static bool Keys(const char* combination)
{
    static const struct {
        const char* name;
        BYTE key;
    } kModifiers[]
        = { { "ctrl", VK_CONTROL }, { "alt", VK_MENU }, { "shift", VK_SHIFT }, { "win", VK_LWIN } };
    BYTE held[4];
    int heldCount = 0;
    const char* part = combination;
    for (const char* plus; (plus = strchr(part, '+')) != NULL; part = plus + 1)
        for (const auto& modifier : kModifiers)
            if (strlen(modifier.name) == (size_t)(plus - part)
                && _strnicmp(part, modifier.name, plus - part) == 0 && heldCount < 4)
                held[heldCount++] = modifier.key;
    WORD key = KeyCode(part);
    if (key == 0)
        return false;
    for (int i = 0; i < heldCount; i++)
        keybd_event(held[i], 0, 0, 0);
    keybd_event((BYTE)key, 0, 0, 0);
    keybd_event((BYTE)key, 0, KEYEVENTF_KEYUP, 0);
    for (int i = heldCount - 1; i >= 0; i--)
        keybd_event(held[i], 0, KEYEVENTF_KEYUP, 0);
    return true;
}

static DWORD Timeout(int argIndex)
{
    return __argc > argIndex ? strtoul(__argv[argIndex], NULL, 10) : 10000;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc < 2)
        return 2;
    const char* verb = __argv[1];
    const char* arg = __argc > 2 ? __argv[2] : "";
    if (strcmp(verb, "list") == 0)
        return Poll(ListOpen, NULL, NULL, Timeout(2)) ? 0 : 1;
    if (strcmp(verb, "options") == 0)
        return Poll(OptionsOpen, NULL, NULL, Timeout(2)) ? 0 : 1;
    if (strcmp(verb, "box") == 0)
        return Poll(BoxOpen, NULL, NULL, Timeout(2)) ? 0 : 1;
    if (strcmp(verb, "cancel") == 0 || strcmp(verb, "ok") == 0) {
        bool cancel = strcmp(verb, "cancel") == 0;
        if (!Poll(cancel ? OptionsOpen : BoxOpen, NULL, NULL, Timeout(2)))
            return 1;
        Press(ManagerDialog(cancel ? IDC_LITESTEP : kMessageBoxText), cancel ? IDCANCEL : IDOK);
        return 0;
    }
    if (__argc < 3)
        return 2;
    if (strcmp(verb, "wait") == 0)
        return Poll(Exists, arg, NULL, Timeout(3)) ? 0 : 1;
    if (strcmp(verb, "gone") == 0)
        return Poll(Gone, arg, NULL, Timeout(3)) ? 0 : 1;
    if (strcmp(verb, "title") == 0)
        return __argc > 3 && Poll(Titled, arg, __argv[3], Timeout(4)) ? 0 : 1;
    if (strcmp(verb, "kill") == 0)
        return Kill(arg) ? 0 : 1;
    if (strcmp(verb, "keys") == 0)
        return Keys(arg) ? 0 : 1;
    if (strcmp(verb, "choose") == 0) {
        if (!Poll(ListOpen, NULL, NULL, Timeout(3)))
            return 1;
        HWND dialog = ManagerDialog(IDC_THEMELIST);
        SendDlgItemMessageA(dialog, IDC_THEMELIST, LB_SETCURSEL, atoi(arg), 0);
        Press(dialog, IDOK);
        return 0;
    }
    if (strcmp(verb, "pick") == 0) {
        int button = strcmp(arg, "explorer") == 0 ? IDC_EXPLORER : IDC_LITESTEP;
        if (!Poll(OptionsOpen, NULL, NULL, Timeout(3)))
            return 1;
        HWND dialog = ManagerDialog(IDC_LITESTEP);
        CheckRadioButton(dialog, IDC_LITESTEP, IDC_SHUTDOWN, button);
        Press(dialog, IDOK);
        return 0;
    }
    return 2;
}
