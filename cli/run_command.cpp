#include "cli/cli.h"

#include <ctype.h>
#include <string.h>

#include "common/message_box.h"
#include "common/text.h"
#include "config/config.h"
#include "config/state.h"
#include "control/control.h"

constexpr char kNoManager[] = "Could not find a currently running instance of Quillfern.";
constexpr char kNotAnOption[] = "%s is not a valid Quillfern option.";

constexpr char kInstallWord[] = "install";
constexpr char kUninstallWord[] = "uninstall";
constexpr char kCheckWord[] = "check";

struct CommandWord {
    const char *word;
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
static void CutAtSpace(char *word)
{
    for (char *c = word; *c != '\0'; c++) {
        if (isspace((unsigned char)*c)) {
            *c = '\0';
            return;
        }
    }
}

// The word is shown cut so that the whole sentence still fits its box text.
static void ReportUnknownWord(const char *word)
{
    char message[256];
    // Room for the word: the message less the rest of the sentence ("%s" is
    // not shown) and the terminating zero.
    char shown[sizeof(message) - (sizeof(kNotAnOption) - 1 - 2)];
    CopyText(shown, word);
    FormatText(message, kNotAnOption, shown);
    ShowMessage(message);
}

// The client reads the configuration only for a word that needs it, so that
// the others stay quick whatever the file holds.
static void LoadClientSettings()
{
    char userSection[kPathSize];
    FindUserName(userSection);
    LoadUserSettings(userSection);
}

int RunCommand(char *word)
{
    // Looked for before the word is read, as the one handle every post uses.
    HWND manager = FindWindowA(kControlClassName, NULL);

    CutAtSpace(word);

    if (_strcmpi(word, kInstallWord) == 0) {
        InstallManager();
        return 0;
    }
    // Reads the file itself and touches no manager.
    if (_strcmpi(word, kCheckWord) == 0)
        return CheckConfiguration();
    if (_strcmpi(word, kUninstallWord) == 0) {
        LoadClientSettings();
        UninstallManager();
        // The manager on its way out sees that the setting is no longer what
        // it wrote and leaves the uninstallation in place.
        if (manager != NULL)
            PostMessageA(manager, CM_QUIT, 0, 0);
        return 0;
    }
    if (manager == NULL) {
        ShowMessage(kNoManager);
        return 0;
    }
    for (const CommandWord &command : kCommandWords) {
        if (_strcmpi(word, command.word) == 0) {
            PostMessageA(manager, command.message, 0, 0);
            return 0;
        }
    }
    ReportUnknownWord(word);
    return 0;
}
