// Every message to the user is a box without owner, with the program's
// caption, on top of every other window.
#pragma once

#include <windows.h>

constexpr char kCaption[] = "Quillfern 1.50";

// An OK box with text.
void ShowMessage(const char* text);
// A Yes/No question; true only for Yes.
bool AskYesNo(const char* text);
// Shows what, followed by ".  Please check Quillfern.cfg and verify that\nall
// paths are correct.": the close of every message about a path of the
// configuration that does not serve.
void ShowPathFault(const char* what);
