#include "control/control.h"

#include "config/state.h"

// Control messages nest while a start waits in a message box, and two starts
// may then hold the same key: counting the holds keeps a nested start from
// releasing the key under an outer start that has not spawned its shell yet.

static BYTE ScanCodeOf(BYTE vk)
{
    return (BYTE)(MapVirtualKeyA(vk, 0) & 0xFF);
}

void PressKey(BYTE vk)
{
    ++gState.keyHoldCount[vk];
    keybd_event(vk, ScanCodeOf(vk), 0, 0);
}

// Waits shiftDelay seconds first, so that the shell just started still sees
// the key down while it reads it. This thread handles nothing meanwhile.
void ReleaseKey(BYTE vk)
{
    // shiftDelay is -1 (no wait) or 0..3600 as the configuration loader leaves
    // it; anything below 0 means no wait.
    if (gState.shiftDelay >= 0)
        Sleep((DWORD)gState.shiftDelay * 1000);
    if (gState.keyHoldCount[vk] > 0)
        --gState.keyHoldCount[vk];
    if (gState.keyHoldCount[vk] == 0)
        keybd_event(vk, ScanCodeOf(vk), KEYEVENTF_KEYUP, 0);
}
