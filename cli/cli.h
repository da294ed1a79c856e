#pragma once

// The client: word is the command tail less its switch character, and is cut
// in place at its first white space. Returns the client's exit code: the
// number of findings for "check", 0 for every other word.
int RunCommand(char* word);

// Reads Quillfern.cfg as the manager would and shows what of it will not act
// as written; returns the number of findings.
int CheckConfiguration();

void InstallManager();
void UninstallManager();
