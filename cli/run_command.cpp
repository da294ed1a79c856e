#include "cli/cli.h"

#include "app/message_box.h"
#include "config/text.h"
#include "config/config.h"
#include "config/state.h"
#include "control/control.h"
#include "shell/shell.h"

constexpr char kNoManager[] = "Could not find a currently running instance of Quillfern.";
constexpr char kNotAnOption[] = "%s is not a valid Quillfern option.";

// How long an uninstallation waits for a running manager to end before it
// looks at the setting again: more than the manager's longest stretch without
// taking messages (a stop, a kill and a start's idle wait).
constexpr DWORD kManagerEndWaitMs = 120000;

constexpr char kInstallWord[] = "install";
constexpr char kUninstallWord[] = "uninstall";
constexpr char kCheckWord[] = "check";

struct CommandWord {
    const char* word;
    UINT message;
};

// Words that need a running manager, compared in this order.
static const CommandWord kCommandWords[] = {
    { "swap", CM_SWAP },
    { "swaptheme", CM_SWAPTHEME },
    { "restart", CM_RESTART },
    { "kill", CM_KILL },
    { "quit", CM_QUIT },
    { "reboot", CM_REBOOT },
    { "shutdown", CM_SHUTDOWN },
    { "logoff", CM_LOGOFF },
    { "nuke", CM_NUKE },
};

// Ends the word at its first white space; the rest of the tail is ignored.
static void CutAtSpace(char* word)
{
    for (char* c = word; *c != '\0'; c++) {
        if (IsBlank(*c)) {
            *c = '\0';
            return;
        }
    }
}

// A manager that was busy starting a shell when the uninstallation wrote the
// setting may have written it after; once it has ended, nothing will write it
// again, so the uninstallation's value is put back if it is gone.
static void KeepUninstalled(HWND manager)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(manager, &processId);
    if (processId == 0 || processId == GetCurrentProcessId())
        return;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == NULL)
        return;
    bool ended = WaitForSingleObject(process, kManagerEndWaitMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    if (ended)
        RestoreLastWrittenShell();
}

// The word is shown cut so that the whole sentence still fits its box text.
static void ReportUnknownWord(const char* word)
{
    char message[256];
    // Room for the word: the message less the rest of the sentence ("%s" is
    // not shown) and the terminating zero.
    char shown[sizeof(message) - (sizeof(kNotAnOption) - 1 - 2)];
    CopyText(shown, word);
    FormatText(message, kNotAnOption, shown);
    ShowMessage(message);
}

// The first configuration phase (paths, user section, shell kind), which only
// installation and uninstallation use: every other word is passed on without
// the file being read.
static void LoadClientSettings()
{
    char userSection[kPathSize];
    FindUserName(userSection);
    LoadUserSettings(userSection);
}

int RunCommand(char* word)
{
    // Looked for before the word is read, as the one handle every post uses.
    HWND manager = FindWindowA(kControlClassName, NULL);

    CutAtSpace(word);

    if (SameTextNoCase(word, kInstallWord)) {
        LoadClientSettings();
        InstallManager();
        return 0;
    }
    // Reads the file itself and touches no manager.
    if (SameTextNoCase(word, kCheckWord))
        return CheckConfiguration();
    if (SameTextNoCase(word, kUninstallWord)) {
        LoadClientSettings();
        UninstallManager();
        // Told of the uninstallation, the manager writes the setting no more.
        if (manager == NULL)
            return 0;
        PostMessageA(manager, CM_QUIT, gState.uninstalled ? kQuitUninstalled : 0, 0);
        if (gState.uninstalled)
            KeepUninstalled(manager);
        return 0;
    }
    if (manager == NULL) {
        ShowMessage(kNoManager);
        return 0;
    }
    for (const CommandWord& command : kCommandWords) {
        if (SameTextNoCase(word, command.word)) {
            PostMessageA(manager, command.message, 0, 0);
            return 0;
        }
    }
    ReportUnknownWord(word);
    return 0;
}
