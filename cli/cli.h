#pragma once

#include <stddef.h>

// The client: word is the command tail less its switch character, and is cut
// in place at its first white space. Returns the client's exit code: the
// number of findings for "check", 0 for every other word.
int RunCommand(char* word);

// Reads Quillfern.cfg as the manager would and shows what of it will not act
// as written; returns the number of findings.
int CheckConfiguration();
// What of the installation will not let Quillfern act as the shell manager,
// with the recovery key: a line each, "\n" first, appended to the text of
// size bytes. Returns the number of findings.
int CheckInstallation(char* text, size_t size);

void InstallManager();
void UninstallManager();
