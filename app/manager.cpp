// Start-up, message loop and exit path. One executable is a command-line
// client (a command tail), a refused or installing start (a manager or a
// desktop shell already runs) or the manager; the order below decides which.
#include "app/manager.h"

#include "cli/cli.h"
#include "app/message_box.h"
#include "config/text.h"
#include "config/config.h"
#include "config/state.h"
#include "control/control.h"
#include "dialogs/dialogs.h"
#include "shell/shell.h"

constexpr char kAskInstallText[] = "Quillfern has detected that a shell\n"
                                   "is already running.  Would you like Quillfern\n"
                                   "to set itself as your new shell?";
constexpr char kAskRebootText[] = "Would you like to reboot now?";
constexpr char kRebootLaterText[]
    = "You will need to reboot before Quillfern can act as you shell manager.";
constexpr char kConfigPathTooLongText[]
    = "The path of the folder that holds Quillfern is too long\n"
      "for Quillfern.cfg to be read, so every setting takes its\n"
      "default.  Please move Quillfern to a folder with a shorter path.";

constexpr char kOptionsDialog[] = "IDD_OPTIONS_DLG";
constexpr UINT kRebootFlag = 2;

char* FormCommandTail(char* commandLine)
{
    const unsigned char* p = (const unsigned char*)commandLine;
    if (*p == '"') {
        p++;
        while (*p != '\0' && *p != '"')
            p++;
        if (*p == '"')
            p++;
    } else {
        // Everything above the space belongs to the name, 128 and up too.
        while (*p > ' ')
            p++;
    }
    while (*p >= 1 && *p <= ' ')
        p++;
    return commandLine + (p - (const unsigned char*)commandLine);
}

static void DetectPlatform()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExA(&version);
    gState.isNT = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

// The executable's directory with its trailing backslash; empty when the
// name has none or cannot be had. A name cut by the buffer is kept whole
// instead: its directory would be some other folder, and a full buffer lets
// no path be composed from it, so nothing is read from or written there.
static void FindManagerDir(HINSTANCE instance)
{
    char* dir = gState.managerDir;
    DWORD length = GetModuleFileNameA(instance, dir, kPathSize);
    dir[kPathSize - 1] = '\0';
    if (length == 0) {
        dir[0] = '\0';
        return;
    }
    if (length >= (DWORD)kPathSize)
        return;
    while (length > 0 && dir[length - 1] != '\\')
        dir[--length] = '\0';
}

// A desktop shell already runs: offer to become the system shell instead.
static void OfferInstallation()
{
    if (!AskYesNo(kAskInstallText))
        return;
    InstallManager();
    if (AskYesNo(kAskRebootText))
        ExitSession(kRebootFlag);
    else
        ShowMessage(kRebootLaterText);
}

static void CreateControlWindow(HINSTANCE instance)
{
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = ControlWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kControlClassName;
    RegisterClassExA(&windowClass);
    gState.controlWindow = CreateWindowExA(WS_EX_TOOLWINDOW, kControlClassName, kControlWindowTitle,
        0, 0, 0, 0, 0, NULL, NULL, instance, NULL);
}

// The recovery key, on the control window for as long as the manager runs.
// One that cannot be registered is left out without a word: -check says why.
constexpr int kRecoveryHotKeyId = 1;

static void RegisterRecoveryKey()
{
    char value[kPathSize];
    HotKey key;
    if (ReadRecoveryKey(value, &key) && key.vk != 0)
        RegisterHotKey(gState.controlWindow, kRecoveryHotKeyId, key.modifiers, key.vk);
}

static WPARAM RunMessageLoop()
{
    MSG message = {};
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return message.wParam;
}

int RunManager(HINSTANCE instance, char* commandTail)
{
    char userSection[kPathSize];
    char configPath[kPathSize];

    // Taken first, while the user still holds it through the log-on.
    bool controlHeld = (GetAsyncKeyState(VK_CONTROL) & 0x8000) != 0;
    gState.uninstalled = false;
    gState.monitorThreadId = 0;
    DetectPlatform();
    FindManagerDir(instance);

    // The client skips the switch character, whatever it is, and reads the
    // configuration only if its word needs it.
    if (commandTail[0] != '\0')
        ExitProcess((UINT)RunCommand(commandTail + 1));
    FindUserName(userSection);
    LoadUserSettings(userSection);
    if (IsManagerRunning())
        ExitProcess(0);
    if (IsShellRunning()) {
        OfferInstallation();
        ExitProcess(0);
    }

    // From here on the setting is the manager's only while it holds what it
    // holds now or what the manager itself wrote.
    NoteSystemShellAtStart();
    // Said once, before the directive messages that a file read as missing
    // brings.
    if (!FormConfigPath(configPath))
        ShowMessage(kConfigPathTooLongText);
    LoadThemesAndShells(userSection);
    // The way out of a configured shell that does not work: the choice,
    // without a countdown that would start that shell anyway.
    if (controlHeld) {
        gState.askBoot = true;
        gState.startDelay = 0;
    }
    CreateControlWindow(instance);
    RegisterRecoveryKey();
    if (gState.askBoot)
        DialogBoxParamA(instance, kOptionsDialog, gState.controlWindow, ShellChoiceDlgProc, 0);
    else if (!SpawnShell())
        OfferShellAfterFailedStart();

    WPARAM exitCode = RunMessageLoop();
    UnregisterHotKey(gState.controlWindow, kRecoveryHotKeyId);

    UnregisterClassA(kControlClassName, instance);
    // Not over an uninstallation, ours or another process's.
    SetSystemShell(0);
    return (int)exitCode;
}
