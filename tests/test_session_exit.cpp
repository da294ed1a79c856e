// The session exit, in process: the exit request goes to a recorder instead
// of ending the Wine session that runs the tests.
#include <gtest/gtest.h>
#include <string.h>

#include "config/state.h"
#include "shell/shell.h"
#include "support/support.h"

namespace {

const char kWinlogon[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const char kSentinel[] = "C:\\Sentinel\\NotTouched.exe";

// -1 when the process token does not hold the privilege at all.
int ShutdownPrivilegeEnabled()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return -1;
    LUID luid;
    LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &luid);
    BYTE buffer[4096];
    DWORD size = 0;
    int enabled = -1;
    if (GetTokenInformation(token, TokenPrivileges, buffer, sizeof(buffer), &size)) {
        TOKEN_PRIVILEGES *privileges = (TOKEN_PRIVILEGES *)buffer;
        for (DWORD i = 0; i < privileges->PrivilegeCount; i++) {
            if (privileges->Privileges[i].Luid.LowPart == luid.LowPart &&
                privileges->Privileges[i].Luid.HighPart == luid.HighPart)
                enabled = (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) ? 1 : 0;
        }
    }
    CloseHandle(token);
    return enabled;
}

void SetShutdownPrivilege(bool enable)
{
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
    CloseHandle(token);
}

// What the system looked like when the exit was requested.
struct ExitRequest {
    int calls;
    UINT flags;
    DWORD reason;
    bool shellExitExpected;
    int privilegeEnabled;
    std::string registryShell;
    std::string bootShell;
    size_t boxesBefore;
};
ExitRequest gRequest;
MessageBoxWatcher *gBoxes;

BOOL WINAPI RecordExit(UINT flags, DWORD reason)
{
    gRequest.calls++;
    gRequest.flags = flags;
    gRequest.reason = reason;
    gRequest.shellExitExpected = gState.shellExitExpected;
    gRequest.privilegeEnabled = ShutdownPrivilegeEnabled();
    gRequest.registryShell = ReadSystemShell();
    gRequest.bootShell = ReadBootShell();
    gRequest.boxesBefore = gBoxes->Seen().size();
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;   // refused: the caller must go on regardless
}

class SessionExit : public testing::Test {
protected:
    void SetUp() override
    {
        saved = gState;
        savedIni = ReadTextFile(SystemIniPath());
        gBoxes = &boxes;
        gRequest = ExitRequest();
        gExitWindowsEx = RecordExit;
        strcpy(gState.managerDir, "C:\\Tools\\");
        gState.uninstalled = false;
        gState.isNT = true;
        gState.shellExitExpected = false;
        WriteSystemShell(kSentinel);
        WritePrivateProfileStringA("boot", "shell", kSentinel, SystemIniPath().c_str());
        ASSERT_NO_FATAL_FAILURE(SetShutdownPrivilege(false));
        ASSERT_EQ(0, ShutdownPrivilegeEnabled()) << "the privilege cannot be turned off here";
    }

    void TearDown() override
    {
        gExitWindowsEx = ExitWindowsEx;
        gBoxes = NULL;
        gState = saved;
        WriteTextFile(SystemIniPath(), savedIni);
    }

    SavedRegValue savedShell{HKEY_LOCAL_MACHINE, kWinlogon, "Shell"};
    ManagerState saved;
    std::string savedIni;
    MessageBoxWatcher boxes;
};

TEST_F(SessionExit, NtWritesTheManagerEnablesThePrivilegeAndAsks)
{
    for (UINT flags : {EWX_LOGOFF, EWX_SHUTDOWN, EWX_REBOOT}) {
        SCOPED_TRACE(testing::Message() << "flags " << flags);
        WriteSystemShell(kSentinel);
        SetShutdownPrivilege(false);
        gState.shellExitExpected = false;
        gRequest = ExitRequest();
        ExitSession(flags);
        EXPECT_EQ(1, gRequest.calls) << "one exit request";
        EXPECT_EQ(flags, gRequest.flags) << "the flags unchanged, no force added";
        EXPECT_EQ(0u, gRequest.reason);
        EXPECT_TRUE(gRequest.shellExitExpected) << "the shell's end must be expected first";
        EXPECT_EQ(1, gRequest.privilegeEnabled) << "shutdown privilege before the request";
        EXPECT_EQ("C:\\Tools\\Quillfern.exe", gRequest.registryShell)
            << "the manager named before the request";
        EXPECT_EQ(kSentinel, gRequest.bootShell) << "System.ini is not touched on NT";
        EXPECT_TRUE(gState.shellExitExpected) << "left set after a refused request";
    }
    EXPECT_EQ(0u, boxes.Seen().size()) << "no message at all";
}

TEST_F(SessionExit, Win9xNeitherTouchesTheTokenNorTheRegistry)
{
    gState.isNT = false;
    ExitSession(EWX_REBOOT);
    EXPECT_EQ(1, gRequest.calls);
    EXPECT_EQ((UINT)EWX_REBOOT, gRequest.flags);
    EXPECT_TRUE(gRequest.shellExitExpected);
    EXPECT_EQ(0, gRequest.privilegeEnabled) << "no privilege work on Windows 95/98";
    EXPECT_EQ("C:\\Tools\\Quillfern.exe", gRequest.bootShell);
    EXPECT_EQ(kSentinel, gRequest.registryShell);
    EXPECT_EQ(0u, boxes.Seen().size());
}

TEST_F(SessionExit, UninstalledEndsWithoutWritingTheManager)
{
    gState.uninstalled = true;
    ExitSession(EWX_LOGOFF);
    EXPECT_EQ(1, gRequest.calls);
    EXPECT_EQ(kSentinel, gRequest.registryShell);
    EXPECT_TRUE(gRequest.shellExitExpected);
    EXPECT_EQ(0u, boxes.Seen().size());
}

TEST_F(SessionExit, FailedWriteBackIsShownAndTheExitGoesOn)
{
    // A manager path past 259 characters cannot be written.
    memset(gState.managerDir, 'd', sizeof(gState.managerDir) - 1);
    gState.managerDir[sizeof(gState.managerDir) - 1] = '\0';
    ExitSession(EWX_SHUTDOWN);
    EXPECT_EQ(1, gRequest.calls) << "the exit is still requested";
    EXPECT_EQ(1u, gRequest.boxesBefore) << "the failure shown before the request";
    EXPECT_EQ(1u, boxes.Count("An error has occurred while trying\nto install the shell."));
    EXPECT_EQ(kSentinel, gRequest.registryShell);
    EXPECT_EQ(1, gRequest.privilegeEnabled);
}

TEST_F(SessionExit, SystemErrorTextOrItsNumber)
{
    char *expected = NULL;
    ASSERT_NE(0u, FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL,
                                 ERROR_ACCESS_DENIED, 0x400, (LPSTR)&expected, 0, NULL));
    ShowSystemError(ERROR_ACCESS_DENIED);
    std::vector<std::string> seen = boxes.Seen();
    ASSERT_EQ(1u, seen.size());
    // The static control may drop the text's closing line break.
    EXPECT_EQ(0u, std::string(expected).find(seen[0])) << "got \"" << seen[0] << "\"";
    EXPECT_LT(0u, seen[0].size());
    LocalFree(expected);

    boxes.Clear();
    const DWORD unknown = 0x2000abcd;   // an application's code: the system has no text
    char *none = NULL;
    SetLastError(0xdeadbeef);
    ASSERT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL,
                                 unknown, 0x400, (LPSTR)&none, 0, NULL));
    ShowSystemError(unknown);
    seen = boxes.Seen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("Error 536914893", seen[0]);
}

}  // namespace
