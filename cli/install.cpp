#include "cli/cli.h"

#include "app/message_box.h"
#include "config/text.h"
#include "config/config.h"
#include "config/state.h"
#include "shell/shell.h"

constexpr char kNotInstalled[] = "Quillfern was NOT installed successfully";
// With the way the installation takes effect: "logoff" or "reboot".
constexpr char kInstalled[]
    = "Quillfern has been successfully installed.\nWould you like to %s now?";
constexpr char kLogoffWord[] = "logoff";
constexpr char kRebootWord[] = "reboot";
constexpr char kUninstalled[] = "Quillfern has been successfully uninstalled.";
constexpr char kNotUninstalled[] = "Quillfern was NOT uninstalled successfully";

constexpr char kShellValue[] = "Shell";

// Takes away the per-user override (HKCU Winlogon "Shell"), which Windows
// would otherwise start in place of the machine's system shell.
static bool RemoveUserShell()
{
    HKEY key = NULL;
    LONG open = OpenWinlogonKey(HKEY_CURRENT_USER, KEY_ALL_ACCESS, &key);
    // A profile without the key has no override to take away.
    if (open == ERROR_FILE_NOT_FOUND)
        return true;
    if (open != ERROR_SUCCESS)
        return false;

    BYTE data[kPathSize];
    DWORD size = sizeof(data);
    DWORD type = 0;
    LONG query = RegQueryValueExA(key, kShellValue, NULL, &type, data, &size);
    // An override too long for the buffer is still an override.
    bool present = query == ERROR_SUCCESS || query == ERROR_MORE_DATA;
    bool removed = !present || RegDeleteValueA(key, kShellValue) == ERROR_SUCCESS;
    RegCloseKey(key);
    return removed;
}

// Windows must not restart a desktop shell of its own when the manager's
// shell ends: HKLM Winlogon "AutoRestartShell" = REG_DWORD 0.
static bool DisableAutoRestartShell()
{
    HKEY key = NULL;
    if (OpenWinlogonKey(HKEY_LOCAL_MACHINE, KEY_WRITE, &key) != ERROR_SUCCESS)
        return false;
    DWORD off = 0;
    LONG set = RegSetValueExA(key, kAutoRestartValue, 0, REG_DWORD, (const BYTE*)&off, sizeof(off));
    RegCloseKey(key);
    return set == ERROR_SUCCESS;
}

// The installation done: the session ends, with the user's consent, the way
// that lets Windows start the manager.
static void OfferSessionEnd(const char* word, UINT flags)
{
    char text[sizeof(kInstalled) + sizeof(kLogoffWord)];
    FormatText(text, kInstalled, word);
    if (AskYesNo(text))
        ExitSession(flags);
}

void InstallManager()
{
    if (!SetSystemShell(0)) {
        ShowMessage(kNotInstalled);
        return;
    }
    // Windows 95/98 keep their shell in System.ini only, and take it at the
    // next start of Windows.
    if (!gState.isNT) {
        OfferSessionEnd(kRebootWord, EWX_REBOOT);
        return;
    }
    if (!RemoveUserShell() || !DisableAutoRestartShell()) {
        ShowMessage(kSystemShellFailed);
        return;
    }
    OfferSessionEnd(kLogoffWord, EWX_LOGOFF);
}

// The client read only the first configuration phase: for an alternate shell
// it finds the executable the way the manager's second phase does.
// alternatePath stays empty when no alternate shell has that name.
static void FindAlternateShell()
{
    char userSection[kPathSize];
    char directive[kPathSize];
    FindUserName(userSection);
    ReadShellDirective(userSection, directive);
    LoadAltShells();
    FindAltShell(directive);
}

void UninstallManager()
{
    if (gState.shellKind == SHELL_ALTERNATE)
        FindAlternateShell();
    if (!SetSystemShell(gState.shellKind)) {
        ShowMessage(kNotUninstalled);
        return;
    }
    // No later write of this process may name the manager again.
    gState.uninstalled = true;
    ShowMessage(kUninstalled);
}
