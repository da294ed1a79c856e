// The system shell setting, in the real registry and the real System.ini of
// the test prefix; both are saved and put back around every test.
#include <gtest/gtest.h>
#include <aclapi.h>
#include <string.h>

#include "config/state.h"
#include "shell/shell.h"
#include "support/support.h"

namespace {

const char kWinlogon[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const char kFailed[] = "An error has occurred while trying\nto install the shell.";
const char kSentinel[] = "C:\\Sentinel\\NotTouched.exe";

struct RawValue {
    LONG status;
    DWORD type;
    std::string bytes;   // exactly as stored, terminating zero included
};

RawValue ReadRegShellRaw()
{
    RawValue raw = {};
    HKEY key;
    raw.status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogon, 0, KEY_QUERY_VALUE, &key);
    if (raw.status != ERROR_SUCCESS)
        return raw;
    char data[1024];
    memset(data, 0x5a, sizeof(data));
    DWORD size = sizeof(data);
    raw.status = RegQueryValueExA(key, "Shell", NULL, &raw.type, (BYTE *)data, &size);
    RegCloseKey(key);
    if (raw.status == ERROR_SUCCESS)
        raw.bytes.assign(data, size);
    return raw;
}

// Expects the registry value to be exactly text as REG_SZ with its zero.
#define EXPECT_REG_SHELL(text)                                                          \
    do {                                                                                \
        std::string expected_ = std::string(text) + '\0';                               \
        RawValue raw_ = ReadRegShellRaw();                                              \
        EXPECT_EQ(ERROR_SUCCESS, raw_.status) << "reading the Shell value";             \
        EXPECT_EQ((DWORD)REG_SZ, raw_.type) << "type of the Shell value";               \
        EXPECT_EQ(expected_.size(), raw_.bytes.size()) << "stored length, got data \""  \
                                                       << raw_.bytes.c_str() << "\"";   \
        EXPECT_EQ(expected_, raw_.bytes);                                               \
    } while (0)

class SystemShell : public testing::Test {
protected:
    void SetUp() override
    {
        saved = gState;
        savedIni = ReadTextFile(SystemIniPath());
        dir = MakeScratchDir("system_shell");
        SetText(gState.managerDir, (dir + "Manager\\").c_str());
        strcpy(gState.liteStepPath, "C:\\Shells\\LiteStep\\LiteStep.exe");
        strcpy(gState.explorerPath, "C:\\windows\\explorer.exe");
        gState.alternatePath[0] = '\0';
        gState.uninstalled = false;
        gState.isNT = true;
        gState.lastWrittenShell[0] = '\0';
        WriteSystemShell(kSentinel);
    }

    void TearDown() override
    {
        gState = saved;
        DWORD attributes = GetFileAttributesA(SystemIniPath().c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            RemoveDirectoryA(SystemIniPath().c_str());
        WriteTextFile(SystemIniPath(), savedIni);
    }

    template <size_t N> static void SetText(char (&dest)[N], const char *src)
    {
        ASSERT_LT(strlen(src), N);
        strcpy(dest, src);
    }

    SavedRegValue savedShell{HKEY_LOCAL_MACHINE, kWinlogon, "Shell"};
    ManagerState saved;
    std::string savedIni;
    std::string dir;
    MessageBoxWatcher boxes;
};

TEST_F(SystemShell, NtWritesEachShellAsRegSzWithItsZero)
{
    strcpy(gState.alternatePath, "C:\\Shells\\FileMgr.exe");
    const struct {
        LONG which;
        std::string text;
    } cases[] = {
        {0, std::string(gState.managerDir) + "Quillfern.exe"},
        {1, "C:\\Shells\\LiteStep\\LiteStep.exe"},
        {2, "Explorer.exe"},   // the bare name, not explorerPath
        {3, "C:\\Shells\\FileMgr.exe"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "which " << c.which);
        WriteSystemShell(kSentinel);
        EXPECT_TRUE(SetSystemShell(c.which));
        EXPECT_REG_SHELL(c.text);
        EXPECT_STREQ(c.text.c_str(), gState.lastWrittenShell) << "what the manager last wrote";
    }
    EXPECT_EQ(savedIni, ReadTextFile(SystemIniPath())) << "System.ini must not be touched on NT";
    EXPECT_EQ(0u, boxes.Seen().size()) << "no message on success";
}

TEST_F(SystemShell, UninstalledKeepsOnlyTheManagerFromBeingWritten)
{
    gState.uninstalled = true;
    EXPECT_TRUE(SetSystemShell(0)) << "nothing to write is a success";
    EXPECT_REG_SHELL(kSentinel);
    EXPECT_STREQ("", gState.lastWrittenShell) << "nothing was written";
    EXPECT_TRUE(SetSystemShell(1));
    EXPECT_REG_SHELL(gState.liteStepPath);
    EXPECT_TRUE(SetSystemShell(2));
    EXPECT_REG_SHELL("Explorer.exe");

    gState.isNT = false;
    std::string before = ReadTextFile(SystemIniPath());
    EXPECT_TRUE(SetSystemShell(0));
    EXPECT_EQ(before, ReadTextFile(SystemIniPath())) << "System.ini must not change either";
    EXPECT_EQ(0u, boxes.Seen().size());
}

TEST_F(SystemShell, ManagerPathUpToTheLimitIsWritten)
{
    // 246 characters of directory and "Quillfern.exe" make 259: the most that fits.
    std::string longDir = "C:\\" + std::string(242, 'd') + "\\";
    ASSERT_EQ(246u, longDir.size());
    SetText(gState.managerDir, longDir.c_str());
    EXPECT_TRUE(SetSystemShell(0));
    EXPECT_REG_SHELL(longDir + "Quillfern.exe");
    EXPECT_EQ(0u, boxes.Seen().size());
}

TEST_F(SystemShell, UnusableTextsAreRefusedWithNothingWritten)
{
    std::string tooLong = "C:\\" + std::string(243, 'd') + "\\";   // 260 with the file name
    const struct {
        const char *what;
        LONG which;
        const char *managerDir;
        const char *liteStepPath;
    } cases[] = {
        {"alternate shell without a path", 3, "C:\\Q\\", "C:\\LS\\LiteStep.exe"},
        {"unknown kind 4", 4, "C:\\Q\\", "C:\\LS\\LiteStep.exe"},
        {"unknown kind -1", -1, "C:\\Q\\", "C:\\LS\\LiteStep.exe"},
        {"LiteStep without a path", 1, "C:\\Q\\", ""},
        {"manager path past 259 characters", 0, tooLong.c_str(), "C:\\LS\\LiteStep.exe"},
    };
    for (bool nt : {true, false}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << (nt ? " (NT)" : " (95/98)"));
            gState.isNT = nt;
            SetText(gState.managerDir, c.managerDir);
            SetText(gState.liteStepPath, c.liteStepPath);
            strcpy(gState.lastWrittenShell, "C:\\Before.exe");
            WritePrivateProfileStringA("boot", "shell", kSentinel, SystemIniPath().c_str());
            boxes.Clear();
            EXPECT_FALSE(SetSystemShell(c.which));
            EXPECT_REG_SHELL(kSentinel);
            EXPECT_EQ(kSentinel, ReadBootShell());
            EXPECT_STREQ("C:\\Before.exe", gState.lastWrittenShell);
            EXPECT_EQ(1u, boxes.Count(kFailed)) << "the failure message, once";
            EXPECT_EQ(1u, boxes.Seen().size());
        }
    }
}

TEST_F(SystemShell, Win9xWritesBootShellOfSystemIni)
{
    gState.isNT = false;
    WritePrivateProfileStringA("boot", "other.drv", "kept.drv", SystemIniPath().c_str());
    const struct {
        LONG which;
        std::string text;
    } cases[] = {
        {0, std::string(gState.managerDir) + "Quillfern.exe"},
        {1, gState.liteStepPath},
        {2, "Explorer.exe"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "which " << c.which);
        EXPECT_TRUE(SetSystemShell(c.which));
        EXPECT_EQ(c.text, ReadBootShell());
        EXPECT_STREQ(c.text.c_str(), gState.lastWrittenShell);
    }
    char other[64];
    GetPrivateProfileStringA("boot", "other.drv", "", other, sizeof(other), SystemIniPath().c_str());
    EXPECT_STREQ("kept.drv", other) << "the rest of [boot] stays";
    EXPECT_REG_SHELL(kSentinel);
    EXPECT_EQ(0u, boxes.Seen().size());
}

TEST_F(SystemShell, Win9xSystemIniThatCannotBeWritten)
{
    gState.isNT = false;
    // Running as root, permissions alone would not stop the write: put a
    // directory where the file should be.
    ASSERT_TRUE(DeleteFileA(SystemIniPath().c_str()));
    ASSERT_TRUE(CreateDirectoryA(SystemIniPath().c_str(), NULL));
    strcpy(gState.lastWrittenShell, "C:\\Before.exe");
    for (LONG which : {0, 1, 2}) {
        SCOPED_TRACE(testing::Message() << "which " << which);
        boxes.Clear();
        EXPECT_FALSE(SetSystemShell(which));
        EXPECT_EQ(1u, boxes.Count(kFailed)) << "the failure message, once";
        EXPECT_EQ(1u, boxes.Seen().size());
        EXPECT_STREQ("C:\\Before.exe", gState.lastWrittenShell);
    }
    EXPECT_REG_SHELL(kSentinel);
    EXPECT_TRUE(SystemShellStillOurs()) << "an unreadable setting is no sign of a change";
}

// Denies the setting of values on the Winlogon key for as long as it lives,
// then puts the key's own access list back.
struct WinlogonWriteDenied {
    WinlogonWriteDenied()
    {
        HKEY key;
        ok = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogon, 0, READ_CONTROL | WRITE_DAC, &key) ==
             ERROR_SUCCESS;
        if (!ok)
            return;
        ok = GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL,
                             &oldDacl, NULL, &descriptor) == ERROR_SUCCESS;
        if (ok) {
            EXPLICIT_ACCESSA deny = {};
            deny.grfAccessPermissions = KEY_SET_VALUE;
            deny.grfAccessMode = DENY_ACCESS;
            deny.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
            deny.Trustee.ptstrName = (LPSTR) "CURRENT_USER";
            PACL newDacl = NULL;
            ok = SetEntriesInAclA(1, &deny, oldDacl, &newDacl) == ERROR_SUCCESS &&
                 SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL,
                                 newDacl, NULL) == ERROR_SUCCESS;
            LocalFree(newDacl);
        }
        RegCloseKey(key);
    }
    ~WinlogonWriteDenied()
    {
        if (descriptor == NULL)
            return;
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogon, 0, WRITE_DAC, &key) == ERROR_SUCCESS) {
            SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, oldDacl,
                            NULL);
            RegCloseKey(key);
        }
        LocalFree(descriptor);
    }
    bool ok = false;
    PACL oldDacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
};

TEST_F(SystemShell, NtKeyThatCannotBeOpenedForWriting)
{
    strcpy(gState.lastWrittenShell, "C:\\Before.exe");
    {
        WinlogonWriteDenied denied;
        ASSERT_TRUE(denied.ok) << "could not deny writes on the Winlogon key";
        HKEY probe;
        SetLastError(0xdeadbeef);
        LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogon, 0, KEY_WRITE, &probe);
        ASSERT_EQ(ERROR_ACCESS_DENIED, status) << "the key still opens for writing";
        for (LONG which : {0, 1, 2}) {
            SCOPED_TRACE(testing::Message() << "which " << which);
            boxes.Clear();
            EXPECT_FALSE(SetSystemShell(which));
            EXPECT_EQ(1u, boxes.Count(kFailed)) << "the failure message, once";
            EXPECT_EQ(1u, boxes.Seen().size());
            EXPECT_STREQ("C:\\Before.exe", gState.lastWrittenShell);
        }
    }
    EXPECT_REG_SHELL(kSentinel);
    EXPECT_EQ(savedIni, ReadTextFile(SystemIniPath())) << "no fall-back to System.ini";
    EXPECT_TRUE(SetSystemShell(2)) << "writable again once the access list is back";
}

TEST_F(SystemShell, StillOursUntilSomeoneElseWrites)
{
    for (bool nt : {true, false}) {
        SCOPED_TRACE(nt ? "NT" : "95/98");
        gState.isNT = nt;
        gState.lastWrittenShell[0] = '\0';
        WriteSystemShell(kSentinel);
        WritePrivateProfileStringA("boot", "shell", kSentinel, SystemIniPath().c_str());
        EXPECT_TRUE(SystemShellStillOurs()) << "nothing written yet";
        ASSERT_TRUE(SetSystemShell(0));
        EXPECT_TRUE(SystemShellStillOurs()) << "just written";

        std::string upper = std::string(gState.managerDir) + "QUILLFERN.EXE";
        if (nt)
            WriteSystemShell(upper.c_str());
        else
            WritePrivateProfileStringA("boot", "shell", upper.c_str(), SystemIniPath().c_str());
        EXPECT_TRUE(SystemShellStillOurs()) << "the same path in other capitals";

        // What an uninstallation in another process does.
        if (nt)
            WriteSystemShell(gState.liteStepPath);
        else
            WritePrivateProfileStringA("boot", "shell", gState.liteStepPath,
                                       SystemIniPath().c_str());
        EXPECT_FALSE(SystemShellStillOurs()) << "someone else wrote LiteStep";
        ASSERT_TRUE(SetSystemShell(1));
        EXPECT_TRUE(SystemShellStillOurs()) << "the manager's own later write counts";
    }
}

TEST_F(SystemShell, StillOursWhenTheValueIsGone)
{
    ASSERT_TRUE(SetSystemShell(0));
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogon, 0, KEY_SET_VALUE, &key));
    RegDeleteValueA(key, "Shell");
    RegCloseKey(key);
    EXPECT_TRUE(SystemShellStillOurs()) << "nothing to compare: the manager writes itself back";
}

}  // namespace
