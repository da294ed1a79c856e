#pragma once

#include "config/state.h"

// Backs up LiteStep's step.rc and modules.ini beside the manager, copies the
// theme's over them and sets its wallpaper.
bool InstallTheme(ThemeEntry theme);

// Every path one installation touches, composed before anything is copied so
// that a path too long for MAX_PATH stops it with nothing changed.
struct ThemePaths {
    char liteStepStepRc[kPathSize];
    char liteStepModulesIni[kPathSize];
    char backupStepRc[kPathSize];
    char backupModulesIni[kPathSize];
    char themeStepRc[kPathSize];
    char themeModulesIni[kPathSize];
};
// LiteStep's directory as the installation takes it from liteStepPath; false
// (dir empty) when the path is too short to have one.
bool ComposeLiteStepDir(char (&dir)[kPathSize]);
// False when there is no LiteStep directory or a path does not fit.
bool ComposeThemePaths(const ThemeEntry& theme, ThemePaths& paths);
