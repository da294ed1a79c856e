#include "config/config.h"
// PLACEHOLDER
bool ReadConfigString(const char *, const char *, char *buffer, DWORD) { buffer[0] = 0; return false; }
LONG ReadConfigInt(const char *, const char *, LONG defaultValue) { return defaultValue; }
void LoadUserSettings(char *) {}
void LoadThemesAndShells(const char *) {}
