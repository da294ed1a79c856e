#include "app/message_box.h"

#include "config/text.h"

constexpr char kCheckPathsText[]
    = ".  Please check Quillfern.cfg and verify that\nall paths are correct.";
constexpr size_t kLongestPathFault = 128; // the longest what, with room to spare

void ShowMessage(const char* text)
{
    MessageBoxA(NULL, text, kCaption, MB_TOPMOST);
}

bool AskYesNo(const char* text)
{
    return MessageBoxA(NULL, text, kCaption, MB_TOPMOST | MB_YESNO) == IDYES;
}

void ShowPathFault(const char* what)
{
    char text[kLongestPathFault + sizeof(kCheckPathsText)];
    JoinText(text, what, kCheckPathsText);
    ShowMessage(text);
}
