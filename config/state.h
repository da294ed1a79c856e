// The one process-wide state record, its entry records and the control
// messages. Every part of the manager reads and writes gState directly.
#pragma once

#include <windows.h>

// ShellKind: which desktop shell the manager runs.
typedef LONG ShellKind;
constexpr ShellKind SHELL_LITESTEP = 1;
constexpr ShellKind SHELL_EXPLORER = 2;
constexpr ShellKind SHELL_ALTERNATE = 3;

constexpr int kPathSize = 260; // every path and configuration value
constexpr int kNameSize = 64; // theme and alternate-shell names
constexpr int kMaxThemes = 10;
constexpr int kMaxAltShells = 5;

// Control messages: posted (never sent) to the control window, wParam 0 and
// lParam 0; but for CM_QUIT from an uninstallation, whose wParam is
// kQuitUninstalled (older clients send 0).
constexpr UINT CM_SHELLTERMINATED = 1025;
constexpr UINT CM_SWAP = 1026;
constexpr UINT CM_KILL = 1027;
constexpr UINT CM_REBOOT = 1028;
constexpr UINT CM_SHUTDOWN = 1029;
constexpr UINT CM_LOGOFF = 1030;
constexpr UINT CM_QUIT = 1031;
constexpr UINT CM_SWAPTHEME = 1032;
constexpr UINT CM_RESTART = 1033;
constexpr UINT CM_NUKE = 1034;
constexpr WPARAM kQuitUninstalled = 1;

struct ThemeEntry {
    char name[kNameSize];
    char path[kPathSize];
    char back[kPathSize];
};

struct AltShellEntry {
    char name[kNameSize];
    char path[kPathSize];
};

struct ManagerState {
    char managerDir[kPathSize]; // with its trailing backslash
    char liteStepPath[kPathSize];
    char explorerPath[kPathSize];
    char alternatePath[kPathSize];
    bool isNT;
    bool askBoot;
    LONG startDelay; // seconds
    LONG killDelay; // milliseconds
    LONG shiftDelay; // seconds, -1 = no wait
    ShellKind shellKind;
    ThemeEntry themes[kMaxThemes];
    LONG themeCount;
    LONG themeIndex; // -1 = none
    AltShellEntry altShells[kMaxAltShells];
    LONG altShellCount;
    LONG altShellIndex; // -1 = none
    HWND controlWindow;
    HINSTANCE instance;
    PROCESS_INFORMATION shellProcess;

    // Shared with the monitor threads: single aligned words and bytes, read
    // and written whole; correctness rests on the order of the stores.
    volatile DWORD monitorThreadId;
    volatile bool shellExitExpected;
    // The handle the current monitor thread waits on (its own duplicate of
    // the shell's process handle). A monitor whose handle is no longer this
    // one watched a shell that a later spawn replaced, and stays silent.
    volatile HANDLE monitorProcess;

    // No later write may name the manager or a shell to start: set by a
    // successful uninstallation (this process's or, told by its CM_QUIT,
    // another's) and once the setting holds what someone else wrote.
    bool uninstalled;
    bool firstSwapToLiteStep;
    DWORD countdownDeadline; // whole seconds of the tick count, 0 = off

    // Control messages nest while a handler waits in a message box or dialog.
    // A modal loop that takes a quit request ends its dialog with a result
    // that means nothing: quitPosted is set once the manager has asked to end.
    // One of each dialog at a time: a second request while one is open is
    // answered by the open one.
    bool quitPosted;
    bool themeListOpen;
    bool shellTerminatedOpen;
    // How many shell starts currently hold each virtual key down: the key goes
    // up only when the last of them lets it go.
    LONG keyHoldCount[256];

    // One shell start at a time: set from the choice of the program until the
    // start is over, message boxes included. Control messages that would act
    // on the shell wait meanwhile in deferredCommands and are posted again
    // once the start is over.
    bool spawning;
    UINT deferredCommands[16];
    LONG deferredCount;

    // What this manager itself last wrote as the system shell, so that it
    // does not write itself back over a setting someone else changed since
    // (an uninstallation from another process). Empty until the first write;
    // until then the setting is the manager's while it holds what it held
    // when the manager started (shellAtStart, when shellAtStartKnown).
    char lastWrittenShell[kPathSize];
    char shellAtStart[kPathSize];
    bool shellAtStartKnown;
};

extern ManagerState gState;
