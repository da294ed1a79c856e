#include "common/message_box.h"

void ShowMessage(const char *text)
{
    MessageBoxA(NULL, text, kCaption, MB_TOPMOST);
}

bool AskYesNo(const char *text)
{
    return MessageBoxA(NULL, text, kCaption, MB_TOPMOST | MB_YESNO) == IDYES;
}
