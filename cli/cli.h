#pragma once

// The client: word is the command tail less its switch character, and is cut
// in place at its first white space.
void RunCommand(char *word);

void InstallManager();
void UninstallManager();
