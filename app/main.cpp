// The process entry. Windows calls it directly, with no C run-time start-up
// before it: it runs the static initialisers itself, and nothing may rely on
// atexit or stdio.
#include <windows.h>

#include "app/manager.h"

typedef void (*Initialiser)();
// Framed by the linker with -1 before and a null after.
extern "C" Initialiser __CTOR_LIST__[];

// From the last to the first, as the C run-time would.
static void RunStaticInitialisers()
{
    size_t count = 0;
    while (__CTOR_LIST__[count + 1] != NULL)
        count++;
    for (; count > 0; count--)
        __CTOR_LIST__[count]();
}

extern "C" __attribute__((noreturn)) void __stdcall QuillfernStart()
{
    RunStaticInitialisers();
    ExitProcess((UINT)RunManager(GetModuleHandleA(NULL), FormCommandTail(GetCommandLineA())));
}
