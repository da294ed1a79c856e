// Quillfern.cfg: an INI file beside the executable, read in two phases at
// start-up and never written.
#pragma once

#include <windows.h>

#include "config/state.h"

constexpr char kConfigFileName[] = "Quillfern.cfg";

// Sections and keys of Quillfern.cfg. A user's section is named after the
// Windows user, with [default] as the fall-back.
constexpr char kMainSection[] = "Quillfern";
constexpr char kDefaultSection[] = "default";
constexpr char kThemesSection[] = "Themes";
constexpr char kAltShellsSection[] = "Alternate_Shells";
// Both the keys of the paths in [Quillfern] and the two keyword values of a
// user's "shell" directive.
constexpr char kLiteStepKey[] = "litestep_exe";
constexpr char kExplorerKey[] = "explorer_exe";
constexpr char kShellDirectiveKey[] = "shell";
constexpr char kAskBootKey[] = "ask_boot";
constexpr char kStartDelayKey[] = "start_delay";
constexpr char kKillDelayKey[] = "kill_delay";
constexpr char kShiftDelayKey[] = "shift_delay";
constexpr char kThemeDirectiveKey[] = "theme";
// [Quillfern] recovery_key: modifiers joined by "+", then one key; "none" for
// no key at all.
constexpr char kRecoveryKeyKey[] = "recovery_key";
constexpr char kDefaultRecoveryKey[] = "ctrl+alt+shift+f12";
constexpr char kNoRecoveryKey[] = "none";
// Numbered keys: the prefix and the entry's number, 1-based, in decimal
// without leading zeros.
constexpr char kNumberedKeyFormat[] = "%s%d";
constexpr char kThemeNamePrefix[] = "theme_name_";
constexpr char kThemePathPrefix[] = "theme_path_";
constexpr char kThemeBackPrefix[] = "theme_back_";
constexpr char kAltShellNamePrefix[] = "altshell_name_";
constexpr char kAltShellPathPrefix[] = "altshell_path_";

// The per-user numbers in the order of their keys, each with the value that a
// missing or unreadable one gives.
struct NumberKey {
    const char* key;
    LONG missing;
};
constexpr NumberKey kNumberKeys[]
    = { { kAskBootKey, 0 }, { kStartDelayKey, 0 }, { kKillDelayKey, -1 }, { kShiftDelayKey, -1 } };
enum NumberKeyIndex {
    kAskBootIndex,
    kStartDelayIndex,
    kKillDelayIndex,
    kShiftDelayIndex
};

// A section or key name of length characters (-1: up to its zero) against
// name, as the profile functions match them: in any case, by the system's
// rules for its code page rather than ASCII's.
bool SameProfileName(const char* text, int length, const char* name);

// managerDir followed by "Quillfern.cfg". False when that does not fit in
// kPathSize bytes; the lookups then act as if the file were missing rather
// than read a cut path.
bool FormConfigPath(char (&path)[kPathSize]);

// The text value of key in section, cut to size - 1 characters; true when it
// is not empty. On false the buffer is empty.
bool ReadConfigString(const char* section, const char* key, char* buffer, DWORD size);
// The key's value as a decimal integer, or defaultValue when it is missing.
LONG ReadConfigInt(const char* section, const char* key, LONG defaultValue);

// The Windows user name, the first choice of configuration section; empty
// (which falls back to "default") when it cannot be had.
void FindUserName(char (&userName)[kPathSize]);

// Phase one: paths, the user's section (with the fall-back to "default"),
// the delays and the shell kind. userSection is overwritten on the fall-back
// and must hold kPathSize bytes.
void LoadUserSettings(char* userSection);
// Phase two: themes, theme directive, alternate shells, shell directive.
void LoadThemesAndShells(const char* userSection);

// Phase two without its messages, for a caller that reports the directives
// that name nothing in its own words. The state is left exactly as
// LoadThemesAndShells leaves it.
struct DirectiveFaults {
    bool theme; // "theme" is set but names no loaded theme
    bool shell; // the alternate shell named by "shell" is not listed
};
DirectiveFaults ReadThemesAndShells(const char* userSection);

// The limits the manager applies to the delays: "kill_delay" seconds to
// milliseconds, "shift_delay" seconds.
LONG KillDelayMs(LONG seconds);
LONG ShiftDelaySeconds(LONG seconds);

// A system-wide hot key: MOD_ flags and a virtual key, 0 for none.
struct HotKey {
    UINT modifiers;
    UINT vk;
};
// A recovery_key value, in any case: "none" (vk 0), or "ctrl", "alt",
// "shift" and "win" joined by "+", then one of f1 to f24, a letter, a digit,
// pause, scrolllock, home, end, insert or delete. A letter or a digit needs a
// modifier: alone it would be taken from every program's typing. False, with
// key untouched, for a value that is none of these.
bool ParseRecoveryKey(const char* value, HotKey* key);
// [Quillfern] recovery_key, or the default when it is missing or empty; the
// text read goes to value. False when the value cannot be read as a key.
bool ReadRecoveryKey(char (&value)[kPathSize], HotKey* key);

// The pieces of the phases that the client's uninstallation needs too.
// The user's shell directive; without a non-empty one the section becomes
// "default" (userSection must hold kPathSize bytes) and its directive is read.
void ReadShellDirective(char* userSection, char (&directive)[kPathSize]);
// Fills altShells and altShellCount from [Alternate_Shells].
void LoadAltShells();
// The loaded alternate shell named by directive becomes alternatePath and
// altShellIndex; false, with nothing changed, when none has that name.
bool FindAltShell(const char* directive);
