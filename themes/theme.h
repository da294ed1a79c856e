#pragma once

#include "config/state.h"

// Backs up LiteStep's step.rc and modules.ini beside the manager, copies the
// theme's over them and sets its wallpaper.
bool InstallTheme(ThemeEntry theme);
