#include "themes/theme.h"
// PLACEHOLDER
bool InstallTheme(ThemeEntry) { return true; }
