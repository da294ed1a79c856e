// The Windows system shell setting: the program Windows starts at log-on.

#include "app/message_box.h"
#include "config/text.h"
#include "shell/shell.h"

constexpr char kManagerFileName[] = "Quillfern.exe";
constexpr char kShellValue[] = "Shell";
constexpr char kSystemIniName[] = "\\System.ini";
constexpr char kBootSection[] = "boot";
constexpr char kShellKey[] = "shell";

// The text that names shell `which`. False when there is no usable text: an
// unknown kind, an alternate shell or LiteStep without a path, or a manager
// path too long for the buffer (a cut path would name some other program).
static bool ComposeShellText(LONG which, char (&text)[kPathSize])
{
    bool whole;
    switch (which) {
    case 0:
        whole = JoinText(text, gState.managerDir, kManagerFileName);
        break;
    case SHELL_LITESTEP:
        whole = CopyText(text, gState.liteStepPath);
        break;
    case SHELL_EXPLORER:
        whole = CopyText(text, kExplorerName);
        break;
    case SHELL_ALTERNATE:
        whole = CopyText(text, gState.alternatePath);
        break;
    default:
        return false;
    }
    return whole && text[0] != '\0';
}

// "\System.ini" in the Windows directory; false when it does not fit.
static bool ComposeSystemIniPath(char (&path)[kPathSize])
{
    UINT length = GetWindowsDirectoryA(path, kPathSize);
    if (length == 0 || length >= kPathSize)
        return false;
    return AppendText(path, kSystemIniName);
}

// A 32-bit program on 64-bit Windows reads and writes HKLM\SOFTWARE through
// a redirected copy (Wow6432Node) that the log-on process never looks at, so
// there it asks for the 64-bit view. Windows 2000 and earlier know neither
// that flag nor IsWow64Process: both are used only where the function exists
// and says so, and the masks stay as they are everywhere else.
static bool RunsUnderWow64()
{
    typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
    IsWow64ProcessFn isWow64 = (IsWow64ProcessFn)(void (*)(void))GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64 != NULL && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

LONG OpenRegistryKey(HKEY root, const char* path, REGSAM access, HKEY* key)
{
    constexpr REGSAM kWow64Key64 = 0x0100; // KEY_WOW64_64KEY
    return RegOpenKeyExA(root, path, 0, RunsUnderWow64() ? access | kWow64Key64 : access, key);
}

LONG OpenWinlogonKey(HKEY root, REGSAM access, HKEY* key)
{
    return OpenRegistryKey(root, kWinlogonKey, access, key);
}

static bool WriteShellToRegistry(const char* text)
{
    HKEY key;
    // HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Winlogon "Shell"
    if (OpenWinlogonKey(HKEY_LOCAL_MACHINE, KEY_WRITE, &key) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExA(
        key, kShellValue, 0, REG_SZ, (const BYTE*)text, (DWORD)TextLength(text) + 1);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

static bool WriteShellToSystemIni(const char* text)
{
    char iniPath[kPathSize];
    if (!ComposeSystemIniPath(iniPath))
        return false;
    // System.ini [boot] shell=
    return WritePrivateProfileStringA(kBootSection, kShellKey, text, iniPath) != FALSE;
}

// Writes text as the setting and remembers it; the failure message on failure.
static bool WriteShellText(const char* text)
{
    bool written = gState.isNT ? WriteShellToRegistry(text) : WriteShellToSystemIni(text);
    if (!written) {
        ShowMessage(kSystemShellFailed);
        return false;
    }
    CopyText(gState.lastWrittenShell, text);
    return true;
}

bool SetSystemShell(LONG which)
{
    // Once uninstalled, or once someone else has written the setting, it is
    // no longer the manager's: naming a shell to start would undo that as
    // surely as naming the manager.
    if (gState.uninstalled)
        return true;
    if (!SystemShellStillOurs()) {
        gState.uninstalled = true;
        return true;
    }
    char text[kPathSize];
    if (!ComposeShellText(which, text)) {
        ShowMessage(kSystemShellFailed);
        return false;
    }
    return WriteShellText(text);
}

bool ReadShellValue(HKEY root, const char* path, char (&text)[kPathSize])
{
    HKEY key;
    text[0] = '\0';
    if (OpenRegistryKey(root, path, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    // Room for the longest text the manager writes with its zero: a buffer
    // one byte short would read the manager's own 259 characters as foreign.
    DWORD size = kPathSize;
    LONG status = RegQueryValueExA(key, kShellValue, NULL, &type, (BYTE*)text, &size);
    RegCloseKey(key);
    if (status == ERROR_MORE_DATA) {
        text[0] = '\0';
        return true;
    }
    if (status != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        size = 0;
    // The stored data need not carry its terminating zero; 260 characters
    // without one are more than any text the manager writes.
    if (size > 0 && text[size - 1] == '\0')
        size--;
    if (size >= (DWORD)kPathSize)
        size = 0;
    text[size] = '\0';
    return true;
}

static bool ReadShellFromSystemIni(char (&text)[kPathSize])
{
    char iniPath[kPathSize];
    if (!ComposeSystemIniPath(iniPath))
        return false;
    // System.ini [boot] shell=
    GetPrivateProfileStringA(kBootSection, kShellKey, "", text, kPathSize, iniPath);
    // An absent key and an unreadable file both read as nothing to compare.
    return text[0] != '\0';
}

bool ReadShellText(char (&text)[kPathSize])
{
    // HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Winlogon "Shell"
    return gState.isNT ? ReadShellValue(HKEY_LOCAL_MACHINE, kWinlogonKey, text)
                       : ReadShellFromSystemIni(text);
}

bool NamesSomeManager(const char* text)
{
    size_t length = TextLength(text);
    size_t name = sizeof(kManagerFileName) - 1;
    return length >= name && SameTextNoCase(text + length - name, kManagerFileName);
}

bool NamesManager(const char* text)
{
    char ours[kPathSize];
    return ComposeShellText(0, ours) && SameTextNoCase(text, ours);
}

void NoteSystemShellAtStart()
{
    gState.shellAtStartKnown = ReadShellText(gState.shellAtStart);
}

bool SystemShellStillOurs()
{
    const char* ours = gState.lastWrittenShell;
    if (ours[0] == '\0') {
        if (!gState.shellAtStartKnown)
            return true;
        ours = gState.shellAtStart;
    }
    char current[kPathSize];
    if (!ReadShellText(current))
        return true;
    return SameTextNoCase(current, ours);
}

// Written again whatever the setting holds: the same text twice does no harm.
bool RestoreLastWrittenShell()
{
    return gState.lastWrittenShell[0] == '\0' || WriteShellText(gState.lastWrittenShell);
}
