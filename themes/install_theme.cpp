// Installing a LiteStep theme: back up LiteStep's step.rc and modules.ini
// beside the manager, copy the theme's over them, set its wallpaper.
#include "app/message_box.h"
#include "config/text.h"
#include "themes/theme.h"

constexpr char kThemeFailed[] = "An error has occured while installing the current user's\ntheme";

// LiteStep's directory is its executable's path less "\LiteStep.exe": a cut
// by length alone, whatever the 12 characters of the file name are.
constexpr size_t kLiteStepNameCut = sizeof("LiteStep.exe");

constexpr char kStepRcFormat[] = "%s\\step.rc";
constexpr char kModulesIniFormat[] = "%s\\modules.ini";
constexpr char kStepRcBackup[] = "Previous_Step.rc";
constexpr char kModulesIniBackup[] = "Previous_Modules.ini";

bool ComposeLiteStepDir(char (&dir)[kPathSize])
{
    dir[0] = '\0';
    size_t length = TextLength(gState.liteStepPath);
    // Too short to hold a file name of 12 characters and its backslash.
    if (length < kLiteStepNameCut)
        return false;
    CopyTextPart(dir, gState.liteStepPath, length - kLiteStepNameCut);
    return true;
}

bool ComposeThemePaths(const ThemeEntry& theme, ThemePaths& paths)
{
    char liteStepDir[kPathSize];
    if (!ComposeLiteStepDir(liteStepDir))
        return false;
    bool whole = FormatText(paths.liteStepStepRc, kStepRcFormat, liteStepDir);
    whole = FormatText(paths.liteStepModulesIni, kModulesIniFormat, liteStepDir) && whole;
    whole = JoinText(paths.backupStepRc, gState.managerDir, kStepRcBackup) && whole;
    whole = JoinText(paths.backupModulesIni, gState.managerDir, kModulesIniBackup) && whole;
    whole = FormatText(paths.themeStepRc, kStepRcFormat, theme.path) && whole;
    whole = FormatText(paths.themeModulesIni, kModulesIniFormat, theme.path) && whole;
    return whole;
}

// The four copies, in order; only the step.rc ones can fail the installation.
static bool CopyThemeFiles(const ThemePaths& paths)
{
    if (!CopyFileA(paths.liteStepStepRc, paths.backupStepRc, FALSE))
        return false;
    // A LiteStep without modules.ini has nothing to back up.
    CopyFileA(paths.liteStepModulesIni, paths.backupModulesIni, FALSE);
    if (!CopyFileA(paths.themeStepRc, paths.liteStepStepRc, FALSE))
        return false;
    // A theme without modules.ini leaves LiteStep its own.
    CopyFileA(paths.themeModulesIni, paths.liteStepModulesIni, FALSE);
    return true;
}

bool InstallTheme(ThemeEntry theme)
{
    ThemePaths paths;
    if (!ComposeThemePaths(theme, paths) || !CopyThemeFiles(paths)) {
        ShowPathFault(kThemeFailed);
        return false;
    }
    // For this session only: SPIF_SENDWININICHANGE without SPIF_UPDATEINIFILE.
    SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, theme.back, SPIF_SENDWININICHANGE);
    return true;
}
