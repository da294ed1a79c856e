// Probes by window class: titles are not compared, and the second class is
// looked for only when the first is not found.
#include "shell/shell.h"

#include "control/control.h"

bool IsShellRunning()
{
    return FindWindowA("Shell_TrayWnd", NULL) != NULL
        || FindWindowA("TWharfGlobalContainer", NULL) != NULL;
}

bool AreExplorerWindowsOpen()
{
    return FindWindowA("ExploreWClass", NULL) != NULL || FindWindowA("CabinetWClass", NULL) != NULL;
}

bool IsManagerRunning()
{
    return FindWindowA(kControlClassName, NULL) != NULL;
}
