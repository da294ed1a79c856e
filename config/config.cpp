#include "config/config.h"

#include "app/message_box.h"
#include "config/text.h"

constexpr LONG kDefaultKillDelayMs = 10000;
// Beyond an hour a wait is no longer a delay but a hang; an hour in
// milliseconds also stays far from the 32-bit limit.
constexpr LONG kMaxDelaySeconds = 3600;

// With the directive's key: "theme" or "shell".
constexpr char kDirectiveText[] = "The %s directive for this user in Quillfern.cfg is\nundefined";

// Formed afresh at every lookup: nothing of the file is cached.
bool FormConfigPath(char (&path)[kPathSize])
{
    return FormatText(path, "%s%s", gState.managerDir, kConfigFileName);
}

bool SameProfileName(const char* text, int length, const char* name)
{
    return CompareStringA(
               LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE | SORT_STRINGSORT, text, length, name, -1)
        == CSTR_EQUAL;
}

bool ReadConfigString(const char* section, const char* key, char* buffer, DWORD size)
{
    char path[kPathSize];
    if (size == 0)
        return false;
    buffer[0] = '\0';
    if (!FormConfigPath(path))
        return false;
    GetPrivateProfileStringA(section, key, "", buffer, size, path);
    return buffer[0] != '\0';
}

LONG ReadConfigInt(const char* section, const char* key, LONG defaultValue)
{
    char path[kPathSize];
    if (!FormConfigPath(path))
        return defaultValue;
    return (LONG)GetPrivateProfileIntA(section, key, defaultValue, path);
}

// "kill_delay" in seconds: -1 (or missing) is the default; anything else
// below zero or beyond an hour is no sensible wait and is brought back in
// range.
LONG KillDelayMs(LONG seconds)
{
    if (seconds < 0)
        return kDefaultKillDelayMs;
    if (seconds > kMaxDelaySeconds)
        seconds = kMaxDelaySeconds;
    return seconds * 1000;
}

// "shift_delay" in seconds, -1 for no wait.
LONG ShiftDelaySeconds(LONG seconds)
{
    if (seconds < -1)
        return -1;
    if (seconds > kMaxDelaySeconds)
        return kMaxDelaySeconds;
    return seconds;
}

// The words of a recovery_key value, each ended by a zero: the modifiers
// first, then the keys with a name; and the MOD_ flag or virtual key of each.
constexpr char kKeyWords[]
    = "ctrl\0alt\0shift\0win\0pause\0scrolllock\0home\0end\0insert\0delete\0";
static const BYTE kKeyCodes[] = { MOD_CONTROL, MOD_ALT, MOD_SHIFT, MOD_WIN, VK_PAUSE, VK_SCROLL,
    VK_HOME, VK_END, VK_INSERT, VK_DELETE };
constexpr int kModifierWords = 4;

// The index in kKeyWords of the word of length characters, or -1.
static int KeyWordIndex(const char* word, int length)
{
    const char* name = kKeyWords;
    for (int i = 0; i < (int)ArraySize(kKeyCodes); i++, name += TextLength(name) + 1) {
        int n = 0;
        while (n < length && name[n] != '\0' && LowerAscii(word[n]) == name[n])
            n++;
        if (n == length && name[n] == '\0')
            return i;
    }
    return -1;
}

// The virtual key of a letter, a digit or f1 to f24; 0 for any other word.
static UINT PlainKey(const char* word, int length)
{
    char c = LowerAscii(word[0]);
    if (length == 1 && c >= 'a' && c <= 'z')
        return (UINT)(c - 'a' + 'A');
    if (length == 1 && c >= '0' && c <= '9')
        return (UINT)c;
    int number = 0;
    for (int n = 1; n < length; n++)
        number
            = word[n] >= '0' && word[n] <= '9' && number < 100 ? number * 10 + word[n] - '0' : 100;
    if (c == 'f' && word[1] != '0' && number >= 1 && number <= 24)
        return (UINT)(VK_F1 + number - 1);
    return 0;
}

bool ParseRecoveryKey(const char* value, HotKey* key)
{
    if (SameTextNoCase(value, kNoRecoveryKey)) {
        *key = HotKey();
        return true;
    }
    UINT modifiers = 0;
    for (const char* word = value;;) {
        const char* end = word;
        while (*end != '\0' && *end != '+')
            end++;
        int length = (int)(end - word);
        int index = KeyWordIndex(word, length);
        if (*end == '\0') {
            UINT vk = index >= kModifierWords ? kKeyCodes[index] : PlainKey(word, length);
            // Only a letter or a digit is one character long.
            if (vk == 0 || (length == 1 && modifiers == 0))
                return false;
            key->modifiers = modifiers;
            key->vk = vk;
            return true;
        }
        if (index < 0 || index >= kModifierWords)
            return false;
        modifiers |= kKeyCodes[index];
        word = end + 1;
    }
}

bool ReadRecoveryKey(char (&value)[kPathSize], HotKey* key)
{
    if (!ReadConfigString(kMainSection, kRecoveryKeyKey, value, kPathSize))
        CopyText(value, kDefaultRecoveryKey);
    return ParseRecoveryKey(value, key);
}

static ShellKind ShellKindOf(const char* directive)
{
    if (SameTextNoCase(directive, kLiteStepKey))
        return SHELL_LITESTEP;
    if (SameTextNoCase(directive, kExplorerKey))
        return SHELL_EXPLORER;
    return SHELL_ALTERNATE;
}

void FindUserName(char (&userName)[kPathSize])
{
    DWORD size = kPathSize;
    if (!GetUserNameA(userName, &size))
        userName[0] = '\0';
    userName[kPathSize - 1] = '\0';
}

// [<user>] shell: without a non-empty one, every per-user value comes from
// [default], even where the user's section holds other keys.
void ReadShellDirective(char* userSection, char (&directive)[kPathSize])
{
    if (!ReadConfigString(userSection, kShellDirectiveKey, directive, kPathSize)) {
        CopyTextN(userSection, kPathSize, kDefaultSection);
        ReadConfigString(userSection, kShellDirectiveKey, directive, kPathSize);
    }
}

void LoadUserSettings(char* userSection)
{
    char directive[kPathSize];

    // [Quillfern] litestep_exe, explorer_exe
    ReadConfigString(kMainSection, kLiteStepKey, gState.liteStepPath, kPathSize);
    ReadConfigString(kMainSection, kExplorerKey, gState.explorerPath, kPathSize);

    ReadShellDirective(userSection, directive);

    // [<user>] ask_boot, start_delay, kill_delay, shift_delay
    LONG read[ArraySize(kNumberKeys)];
    for (size_t i = 0; i < ArraySize(kNumberKeys); i++)
        read[i] = ReadConfigInt(userSection, kNumberKeys[i].key, kNumberKeys[i].missing);
    gState.askBoot = read[kAskBootIndex] != 0;
    gState.startDelay = read[kStartDelayIndex];
    gState.killDelay = KillDelayMs(read[kKillDelayIndex]);
    gState.shiftDelay = ShiftDelaySeconds(read[kShiftDelayIndex]);
    gState.shellKind = ShellKindOf(directive);
}

// [Themes] theme_name_N, theme_path_N, theme_back_N for N = 1..10, up to the
// first missing name.
static void LoadThemes()
{
    char key[kNameSize];
    gState.themeCount = 0;
    for (int n = 1; n <= kMaxThemes; n++) {
        ThemeEntry& theme = gState.themes[n - 1];
        FormatText(key, kNumberedKeyFormat, kThemeNamePrefix, n);
        if (!ReadConfigString(kThemesSection, key, theme.name, sizeof(theme.name)))
            break;
        FormatText(key, kNumberedKeyFormat, kThemePathPrefix, n);
        ReadConfigString(kThemesSection, key, theme.path, sizeof(theme.path));
        FormatText(key, kNumberedKeyFormat, kThemeBackPrefix, n);
        ReadConfigString(kThemesSection, key, theme.back, sizeof(theme.back));
        gState.themeCount++;
    }
}

// [<user>] theme: the name of one of the themes; no key is no fault.
static bool FindUserTheme(const char* userSection)
{
    char directive[kPathSize];
    gState.themeIndex = -1;
    if (!ReadConfigString(userSection, kThemeDirectiveKey, directive, kPathSize))
        return true;
    for (LONG i = 0; i < gState.themeCount; i++) {
        if (SameTextNoCase(directive, gState.themes[i].name)) {
            gState.themeIndex = i;
            return true;
        }
    }
    return false;
}

// [Alternate_Shells] altshell_name_N, altshell_path_N for N = 1..5, up to the
// first missing name.
void LoadAltShells()
{
    char key[kNameSize];
    gState.altShellCount = 0;
    for (int n = 1; n <= kMaxAltShells; n++) {
        AltShellEntry& shell = gState.altShells[n - 1];
        FormatText(key, kNumberedKeyFormat, kAltShellNamePrefix, n);
        if (!ReadConfigString(kAltShellsSection, key, shell.name, sizeof(shell.name)))
            break;
        FormatText(key, kNumberedKeyFormat, kAltShellPathPrefix, n);
        ReadConfigString(kAltShellsSection, key, shell.path, sizeof(shell.path));
        gState.altShellCount++;
    }
}

bool FindAltShell(const char* directive)
{
    for (LONG i = 0; i < gState.altShellCount; i++) {
        if (SameTextNoCase(directive, gState.altShells[i].name)) {
            CopyText(gState.alternatePath, gState.altShells[i].path);
            gState.altShellIndex = i;
            return true;
        }
    }
    return false;
}

// [<user>] shell, read again: the name of an alternate shell. A name that
// matches none leaves the choice to the user, with Explorer preselected.
static bool FindUserAltShell(const char* userSection)
{
    char directive[kPathSize];
    ReadConfigString(userSection, kShellDirectiveKey, directive, kPathSize);
    if (FindAltShell(directive))
        return true;
    gState.askBoot = true;
    gState.shellKind = SHELL_EXPLORER;
    return false;
}

DirectiveFaults ReadThemesAndShells(const char* userSection)
{
    DirectiveFaults faults = {};
    gState.themeIndex = -1;
    LoadThemes();
    faults.theme = !FindUserTheme(userSection);
    gState.altShellIndex = -1;
    LoadAltShells();
    if (gState.shellKind == SHELL_ALTERNATE)
        faults.shell = !FindUserAltShell(userSection);
    return faults;
}

static void ShowDirectiveFault(const char* key)
{
    char text[sizeof(kDirectiveText) + sizeof(kThemeDirectiveKey)];
    FormatText(text, kDirectiveText, key);
    ShowPathFault(text);
}

void LoadThemesAndShells(const char* userSection)
{
    // The theme's message comes before the shell's.
    DirectiveFaults faults = ReadThemesAndShells(userSection);
    if (faults.theme)
        ShowDirectiveFault(kThemeDirectiveKey);
    if (faults.shell)
        ShowDirectiveFault(kShellDirectiveKey);
}
