// Quillfern -check, after the configuration: what Windows will do at the
// next log-on instead of starting this Quillfern.exe, and whether the
// recovery key will work. Each finding says how to mend it.
#include "cli/cli.h"

#include "config/config.h"
#include "config/text.h"
#include "shell/shell.h"

// Each with the way to mend it, kRunInstall.
constexpr char kNotSystemShell[] = "Windows starts %s at log-on, not this Quillfern.exe:%s";
constexpr char kUserShell[] = "For this user Windows starts %s instead:%s";
constexpr char kAutoRestart[]
    = "AutoRestartShell is not 0, so Windows restarts a shell beside Quillfern's:%s";
constexpr char kRunInstall[] = " run Quillfern -install.";
constexpr char kWowShell[]
    = "Wow6432Node's Shell, %s, is never read by Windows: delete it with regedit.";
constexpr char kKeyUnread[] = "recovery_key \"%s\" is no key, so none works: write %s.";
// With the key, whose it is and how to mend it.
constexpr char kKeyNotOurs[] = "recovery_key %s is %s's: it brings no recovery dialog; %s.";
constexpr char kKeyTaken[] = "another program";
constexpr char kKeyTakenMend[] = "choose another key";
constexpr char kKeyNotHeld[] = "not the running Quillfern";
constexpr char kKeyNotHeldMend[] = "log on again";
// The 32-bit view of the Winlogon key, as the 64-bit view names it: the
// Winlogon key's path with "Wow6432Node" after its "SOFTWARE".
constexpr char kWow6432Format[] = "SOFTWARE\\Wow6432Node%s";
constexpr int kSoftwareLength = 8;
constexpr int kCheckHotKeyId = 1;

static struct {
    char* text;
    size_t size;
    int count;
} gFound;

__attribute__((format(printf, 1, 2))) static void Report(const char* format, ...)
{
    // A line break, then the finding, cut to what room is left.
    AppendTextN(gFound.text, gFound.size, "\n");
    size_t used = TextLength(gFound.text);
    va_list args;
    va_start(args, format);
    FormatTextV(gFound.text + used, gFound.size - used, format, args);
    va_end(args);
    gFound.count++;
}

// Windows reads a number: a value of any other type does not turn the
// restart off.
static bool AutoRestartOff()
{
    HKEY key;
    DWORD data = 1;
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (OpenWinlogonKey(HKEY_LOCAL_MACHINE, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    LONG status = RegQueryValueExA(key, kAutoRestartValue, NULL, &type, (BYTE*)&data, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD && data == 0;
}

// The values only NT reads: the user's own shell, the restart of a shell,
// and a 32-bit installation's leftover: a Quillfern.exe in the 32-bit view
// other than the system shell (Windows itself may keep its own there).
static void CheckWinlogon(const char* shell)
{
    char value[kPathSize];
    char path[kPathSize];
    if (ReadShellValue(HKEY_CURRENT_USER, kWinlogonKey, value) && value[0] != '\0'
        && !NamesManager(value))
        Report(kUserShell, value, kRunInstall);
    if (!AutoRestartOff())
        Report(kAutoRestart, kRunInstall);
    FormatText(path, kWow6432Format, kWinlogonKey + kSoftwareLength);
    if (ReadShellValue(HKEY_LOCAL_MACHINE, path, value) && NamesSomeManager(value)
        && !SameTextNoCase(value, shell))
        Report(kWowShell, value);
}

// A key this process can take is nobody's: a running manager does not hold
// it. One it cannot take is the running manager's, or else another's.
static void CheckRecoveryKey()
{
    char value[kPathSize];
    HotKey key;
    if (!ReadRecoveryKey(value, &key))
        return Report(kKeyUnread, value, kDefaultRecoveryKey);
    if (key.vk == 0)
        return;
    bool free = RegisterHotKey(NULL, kCheckHotKeyId, key.modifiers, key.vk) != FALSE;
    if (free)
        UnregisterHotKey(NULL, kCheckHotKeyId);
    bool running = IsManagerRunning();
    if (free == running)
        Report(kKeyNotOurs, value, running ? kKeyNotHeld : kKeyTaken,
            running ? kKeyNotHeldMend : kKeyTakenMend);
}

int CheckInstallation(char* text, size_t size)
{
    char shell[kPathSize];
    gFound.text = text;
    gFound.size = size;
    gFound.count = 0;
    // Without a setting Windows starts its own shell.
    if (!ReadShellText(shell) || shell[0] == '\0')
        CopyText(shell, kExplorerName);
    if (!NamesManager(shell))
        Report(kNotSystemShell, shell, kRunInstall);
    if (gState.isNT)
        CheckWinlogon(shell);
    CheckRecoveryKey();
    return gFound.count;
}
