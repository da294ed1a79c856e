#pragma once

#include <windows.h>

#include "config/state.h"

// The command tail of a full command line: the program name and the blanks
// behind it skipped. Points into commandLine.
char* FormCommandTail(char* commandLine);

// Start-up, message loop and exit path; returns the exit code.
int RunManager(HINSTANCE instance, char* commandTail);
