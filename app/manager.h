#pragma once

#include <windows.h>

#include "config/state.h"

// The command tail of a full command line: the program name and the blanks
// behind it skipped. Points into commandLine.
char *FormCommandTail(char *commandLine);

// Start-up, message loop and exit path; returns the exit code.
int RunManager(HINSTANCE instance, char *commandTail);

// The Windows user name, the first choice of configuration section; empty
// (which falls back to "default") when it cannot be had.
void FindUserName(char (&userName)[kPathSize]);
