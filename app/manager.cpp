#include "app/manager.h"
// PLACEHOLDER
char *FormCommandTail(char *commandLine) { return commandLine; }
int RunManager(HINSTANCE, char *) { return 0; }
