#include "cli/cli.h"
// PLACEHOLDER
void RunCommand(char *) {}
void InstallManager() {}
void UninstallManager() {}
