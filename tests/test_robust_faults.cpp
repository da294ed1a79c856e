// Faults for real: what Wine can be made to refuse, refused for the manager
// while it runs, with the message that is due, nothing left half-done, and the
// manager still running afterwards.
#include <gtest/gtest.h>

#include <windows.h>

#include "config/state.h"
#include "test_robust.h"

namespace {

constexpr char kInstallShellFailed[] = "An error has occurred while trying\nto install the shell.";
constexpr char kSpawnFailed[] =
    "An error has occurred while trying to spawn the shell.\n"
    "Please ensure that the Quillfern.cfg file lists the\n"
    "full and correct path to the shell and that the executable\n"
    "is a valid shell.";
constexpr char kThemeFailed[] =
    "An error has occured while installing the current user's\ntheme.  Please check "
    "Quillfern.cfg and verify that\nall paths are correct.";
constexpr char kNotInstalled[] = "Quillfern was NOT installed successfully";

// ---- A registry key taken away and put back, values and subkeys -----------------

struct KeyCopy {
    struct Value {
        std::string name;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::vector<Value> values;
    std::vector<std::pair<std::string, KeyCopy>> subkeys;
};

bool ReadKey(HKEY root, const std::string &path, KeyCopy &copy)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    for (DWORD i = 0;; i++) {
        char name[16384];
        DWORD nameSize = sizeof name, type = 0, dataSize = 0;
        if (RegEnumValueA(key, i, name, &nameSize, NULL, &type, NULL, &dataSize) != ERROR_SUCCESS)
            break;
        KeyCopy::Value value{name, type, std::vector<BYTE>(dataSize + 1)};
        nameSize = sizeof name;
        RegEnumValueA(key, i, name, &nameSize, NULL, &type, value.data.data(), &dataSize);
        value.data.resize(dataSize);
        copy.values.push_back(value);
    }
    for (DWORD i = 0;; i++) {
        char name[256];
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameSize, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        KeyCopy sub;
        ReadKey(key, name, sub);
        copy.subkeys.push_back(std::make_pair(std::string(name), sub));
    }
    RegCloseKey(key);
    return true;
}

void DeleteTree(HKEY root, const std::string &path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    char name[256];
    DWORD nameSize = sizeof name;
    while (RegEnumKeyExA(key, 0, name, &nameSize, NULL, NULL, NULL, NULL) == ERROR_SUCCESS) {
        DeleteTree(key, name);
        nameSize = sizeof name;
    }
    RegCloseKey(key);
    RegDeleteKeyA(root, path.c_str());
}

void WriteKey(HKEY root, const std::string &path, const KeyCopy &copy)
{
    HKEY key;
    if (RegCreateKeyExA(root, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return;
    for (const KeyCopy::Value &v : copy.values)
        RegSetValueExA(key, v.name.c_str(), 0, v.type, v.data.data(), (DWORD)v.data.size());
    for (const auto &sub : copy.subkeys)
        WriteKey(key, sub.first, sub.second);
    RegCloseKey(key);
}

// Takes the key away for the scope and puts it back as it was.
struct KeyAway {
    HKEY root;
    std::string path;
    KeyCopy copy;
    bool existed;
    KeyAway(HKEY r, const char *p) : root(r), path(p)
    {
        existed = ReadKey(root, path, copy);
        DeleteTree(root, path);
    }
    ~KeyAway()
    {
        if (existed)
            WriteKey(root, path, copy);
    }
};

bool KeyExists(HKEY root, const char *path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// ---- Helpers ---------------------------------------------------------------------------

size_t CountText(MessageBoxWatcher &watcher, const char *text)
{
    size_t n = 0;
    for (const std::string &seen : watcher.Seen())
        n += seen == text;
    return n;
}

// Waits until the manager has taken what was posted so far and shows no
// message box (a box's own loop takes the marker too, so its caller may still
// have more to say once the watcher has answered it).
void Settle(robust::ManagerRun &run)
{
    int releases = 0;
    for (int quiet = 0, round = 0; quiet < 2 && round < 400; round++) {
        robust::Drained(run.control, !IsWindowVisible(run.control), 45000, &releases);
        if (FindMessageBoxes().empty()) {
            quiet++;
        } else {
            quiet = 0;
            Sleep(50);
        }
    }
}

std::string Joined(const std::vector<std::string> &texts)
{
    std::string all;
    for (const std::string &t : texts)
        all += "[" + t.substr(0, t.find('\n')) + "...] ";
    return all;
}

// ---- The faults ---------------------------------------------------------------------------

TEST(RobustFaults, WinlogonKeyMissing)
{
    robust::ManagerRun run("robust_fault_winlogon");
    MessageBoxWatcher watcher;
    ASSERT_TRUE(run.Start(run.Config("shell=litestep_exe\r\n"))) << "the manager did not come up";
    ASSERT_NE((HWND)NULL, WaitForWindow("TApplication", "LiteStep", 20000)) << "no LiteStep";
    Settle(run);
    watcher.Clear();
    std::vector<std::string> figures;
    {
        KeyAway away(HKEY_LOCAL_MACHINE, kWinlogonKey);
        ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kWinlogonKey)) << "the key is still there";

        // A swap writes Explorer, then the manager: both writes fail.
        PostMessageA(run.control, CM_SWAP, 0, 0);
        EXPECT_NE((HWND)NULL, WaitForWindow("Shell_TrayWnd", NULL, 20000))
            << "Explorer did not start after the failed write";
        Settle(run);
        EXPECT_EQ(2u, CountText(watcher, kInstallShellFailed))
            << "failure messages, one per write; seen: " << Joined(watcher.Seen());
        EXPECT_EQ(2u, watcher.Seen().size()) << "messages seen: " << Joined(watcher.Seen());
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kWinlogonKey))
            << "the missing key was made";
        EXPECT_TRUE(run.Alive()) << "the manager ended";

        // The client's installation stops at its first step, with both messages.
        watcher.Clear();
        HANDLE client = StartProcess(run.exe, "-install");
        EXPECT_EQ(0u, WaitExit(client, 20000)) << "exit code of -install";
        CloseHandle(client);
        EXPECT_EQ(1u, CountText(watcher, kInstallShellFailed)) << "seen: " << Joined(watcher.Seen());
        EXPECT_EQ(1u, CountText(watcher, kNotInstalled)) << "seen: " << Joined(watcher.Seen());
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kWinlogonKey))
            << "installation made the missing key";
        figures.push_back("HKLM Winlogon key removed: a swap starts Explorer all the same, with \"" +
                          std::string("An error has occurred while trying to install the shell.") +
                          "\" once per failed write (" + std::to_string(2) +
                          "); -install stops at once with it and \"" + kNotInstalled +
                          "\"; the key is not made; manager alive");
    }
    // With the key back the manager names itself again when it ends.
    watcher.Clear();
    PostMessageA(run.control, CM_QUIT, 0, 0);
    EXPECT_EQ(0u, WaitExit(run.process, 20000)) << "exit code after CM_QUIT";
    EXPECT_EQ(0u, watcher.Seen().size()) << "seen: " << Joined(watcher.Seen());
    EXPECT_STRCASEEQ((run.dir + "Quillfern.exe").c_str(), ReadSystemShell().c_str())
        << "the system shell after the quit";
    robust::RecordFigures("fault winlogon", figures);
}

TEST(RobustFaults, SystemIniIsADirectory)
{
    // The Windows 95/98 branch for real: the manager's copy reports Windows 98.
    SavedRegValue version(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Quillfern.exe", "Version");
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER,
                                             "Software\\Wine\\AppDefaults\\Quillfern.exe", 0, NULL,
                                             0, KEY_ALL_ACCESS, NULL, &key, NULL));
    RegSetValueExA(key, "Version", 0, REG_SZ, (const BYTE *)"win98", 6);
    RegCloseKey(key);

    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    std::string ini = std::string(windows) + "\\System.ini";
    std::string aside = std::string(windows) + "\\System.ini.robust-aside";
    std::string before = ReadTextFile(ini);
    ASSERT_TRUE(MoveFileA(ini.c_str(), aside.c_str())) << "cannot move " << ini << " aside";
    ASSERT_TRUE(CreateDirectoryA(ini.c_str(), NULL)) << "cannot put a directory at " << ini;
    std::string winlogonBefore = ReadSystemShell();

    robust::ManagerRun run("robust_fault_systemini");
    MessageBoxWatcher watcher;
    bool started = run.Start(run.Config("shell=litestep_exe\r\n"));
    EXPECT_TRUE(started) << "the manager did not come up";
    if (started) {
        EXPECT_NE((HWND)NULL, WaitForWindow("TApplication", "LiteStep", 20000))
            << "LiteStep did not start after the failed write";
        Settle(run);
        // LiteStep before the start, the manager after it: two failed writes.
        EXPECT_EQ(2u, CountText(watcher, kInstallShellFailed)) << "seen: " << Joined(watcher.Seen());
        EXPECT_EQ(2u, watcher.Seen().size()) << "seen: " << Joined(watcher.Seen());
        EXPECT_TRUE(run.Alive()) << "the manager ended";
        watcher.Clear();
        PostMessageA(run.control, CM_QUIT, 0, 0);
        EXPECT_EQ(0u, WaitExit(run.process, 20000)) << "exit code after CM_QUIT";
        EXPECT_EQ(1u, CountText(watcher, kInstallShellFailed))
            << "the write on the way out fails too; seen: " << Joined(watcher.Seen());
    }
    DWORD attributes = GetFileAttributesA(ini.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        << "the directory in System.ini's place was changed";
    EXPECT_EQ(winlogonBefore, ReadSystemShell()) << "the Windows 98 branch touched the registry";
    RemoveDirectoryA(ini.c_str());
    ASSERT_TRUE(MoveFileA(aside.c_str(), ini.c_str())) << "cannot put " << ini << " back";
    EXPECT_EQ(before, ReadTextFile(ini));
    robust::RecordFigures("fault system.ini",
                          {"System.ini a directory (Windows 98 branch): LiteStep starts all the "
                           "same; \"An error has occurred while trying to install the shell.\" "
                           "for each of the 3 writes (before, after the start, on the way out); "
                           "the registry untouched; manager alive, exit code 0"});
}

TEST(RobustFaults, ThemeFilesThatCannotBeWritten)
{
    robust::ManagerRun run("robust_fault_theme");
    std::string themeDir = run.dir + "night";
    CreateDirectoryA(themeDir.c_str(), NULL);
    WriteTextFile(themeDir + "\\step.rc", "; night\r\n");
    WriteTextFile(themeDir + "\\modules.ini", "; night modules\r\n");
    WriteTextFile(run.LiteStepDir() + "step.rc", "; LiteStep's own\r\n");
    WriteTextFile(run.LiteStepDir() + "modules.ini", "; LiteStep's own modules\r\n");
    std::string themes = "[Themes]\r\ntheme_name_1=Night\r\ntheme_path_1=" + themeDir +
                         "\r\ntheme_back_1=\r\n";
    std::string backup = run.dir + "Previous_Step.rc";
    std::string backupModules = run.dir + "Previous_Modules.ini";
    ASSERT_TRUE(CreateDirectoryA(backup.c_str(), NULL)) << "cannot put a directory at " << backup;

    MessageBoxWatcher watcher;
    ASSERT_TRUE(run.Start(run.Config("shell=litestep_exe\r\ntheme=Night\r\n", themes)))
        << "the manager did not come up";
    // 1. The backup's place is taken by a directory: the first copy fails,
    //    nothing is changed, LiteStep starts with its own files.
    EXPECT_NE((HWND)NULL, WaitForWindow("TApplication", "LiteStep", 20000)) << "no LiteStep";
    Settle(run);
    EXPECT_EQ(1u, CountText(watcher, kThemeFailed)) << "seen: " << Joined(watcher.Seen());
    EXPECT_EQ(1u, watcher.Seen().size()) << "seen: " << Joined(watcher.Seen());
    EXPECT_EQ("; LiteStep's own\r\n", ReadTextFile(run.LiteStepDir() + "step.rc"));
    EXPECT_EQ("; LiteStep's own modules\r\n", ReadTextFile(run.LiteStepDir() + "modules.ini"));
    EXPECT_FALSE(FileExists(backupModules)) << "a backup of modules.ini after the failed first copy";

    // 2. LiteStep's step.rc held open by another program that lets nobody
    //    write it: backups made, the theme's copy fails, LiteStep's own
    //    files stay.
    RemoveDirectoryA(backup.c_str());
    HANDLE held = CreateFileA((run.LiteStepDir() + "step.rc").c_str(), GENERIC_READ,
                              FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held) << "cannot hold LiteStep's step.rc";
    watcher.Clear();
    PostMessageA(run.control, CM_RESTART, 0, 0);
    Settle(run);
    EXPECT_NE((HWND)NULL, WaitForWindow("TApplication", "LiteStep", 20000)) << "no LiteStep";
    EXPECT_EQ(1u, CountText(watcher, kThemeFailed)) << "seen: " << Joined(watcher.Seen());
    CloseHandle(held);
    EXPECT_EQ("; LiteStep's own\r\n", ReadTextFile(backup)) << "the backup of step.rc";
    EXPECT_EQ("; LiteStep's own modules\r\n", ReadTextFile(backupModules));
    EXPECT_EQ("; LiteStep's own\r\n", ReadTextFile(run.LiteStepDir() + "step.rc"));
    EXPECT_EQ("; LiteStep's own modules\r\n", ReadTextFile(run.LiteStepDir() + "modules.ini"))
        << "modules.ini was replaced though step.rc could not be";

    // 3. Nothing in the way any more: the theme goes in.
    watcher.Clear();
    PostMessageA(run.control, CM_RESTART, 0, 0);
    Settle(run);
    EXPECT_NE((HWND)NULL, WaitForWindow("TApplication", "LiteStep", 20000)) << "no LiteStep";
    EXPECT_EQ(0u, watcher.Seen().size()) << "seen: " << Joined(watcher.Seen());
    EXPECT_EQ("; night\r\n", ReadTextFile(run.LiteStepDir() + "step.rc"));
    EXPECT_TRUE(run.Alive()) << "the manager ended";
    EXPECT_EQ(3, robust::CountLog(run.LiteStepDir(), "start")) << "LiteStep starts";
    PostMessageA(run.control, CM_QUIT, 0, 0);
    EXPECT_EQ(0u, WaitExit(run.process, 20000)) << "exit code after CM_QUIT";
    robust::RecordFigures(
        "fault theme files",
        {"Previous_Step.rc a directory: the theme message, nothing copied, LiteStep started; "
         "LiteStep's step.rc held open against writing: the theme message, backups made, LiteStep's "
         "step.rc and modules.ini unchanged, LiteStep started; with the way clear the theme goes in"});
}

TEST(RobustFaults, ShellExecutableMissing)
{
    robust::ManagerRun run("robust_fault_missing");
    MessageBoxWatcher watcher;
    std::string config = "[Quillfern]\r\nlitestep_exe=" + run.dir +
                         "nowhere\\LiteStep.exe\r\n[default]\r\nshell=litestep_exe\r\n";
    ASSERT_TRUE(run.Start(config)) << "the manager did not come up";
    EXPECT_TRUE(watcher.WaitFor("spawn the shell", 20000)) << "no spawn message";
    Settle(run);
    EXPECT_EQ(1u, CountText(watcher, kSpawnFailed)) << "seen: " << Joined(watcher.Seen());
    EXPECT_EQ(1u, watcher.Seen().size()) << "seen: " << Joined(watcher.Seen());
    EXPECT_TRUE(run.Alive()) << "the manager ended";
    // Kill and restart requests with no shell do no harm; a restart tries
    // again and says so again.
    watcher.Clear();
    PostMessageA(run.control, CM_KILL, 0, 0);
    PostMessageA(run.control, CM_RESTART, 0, 0);
    PostMessageA(run.control, CM_SHELLTERMINATED, 0, 0);
    Settle(run);
    EXPECT_TRUE(watcher.WaitFor("spawn the shell", 5000));
    Settle(run);
    EXPECT_EQ(1u, CountText(watcher, kSpawnFailed)) << "seen: " << Joined(watcher.Seen());
    EXPECT_EQ(1u, watcher.Seen().size()) << "seen: " << Joined(watcher.Seen());
    EXPECT_TRUE(run.Alive()) << "the manager ended";
    PostMessageA(run.control, CM_QUIT, 0, 0);
    EXPECT_EQ(0u, WaitExit(run.process, 20000)) << "exit code after CM_QUIT";
    EXPECT_STRCASEEQ((run.dir + "Quillfern.exe").c_str(), ReadSystemShell().c_str())
        << "the system shell after the quit";
    robust::RecordFigures("fault missing shell",
                          {"LiteStep's executable missing: the spawn message once per attempt (start, "
                           "CM_RESTART), no dialog, manager alive, names itself again on quit"});
}

TEST(RobustFaults, ShellThatIgnoresItsQuitRequest)
{
    robust::ManagerRun run("robust_fault_ignore", "ignore_quit=1\r\n");
    MessageBoxWatcher watcher;
    ASSERT_TRUE(run.Start(run.Config("shell=litestep_exe\r\nkill_delay=1\r\n")))
        << "the manager did not come up";
    ASSERT_NE((HWND)NULL, WaitForWindow("TApplication", "LiteStep", 20000)) << "no LiteStep";
    DWORD pid = robust::LastStartedPid(run.LiteStepDir());
    HANDLE shell = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
    ASSERT_NE((HANDLE)NULL, shell) << "cannot open LiteStep's stand-in";
    DWORD start = GetTickCount();
    PostMessageA(run.control, CM_KILL, 0, 0);
    DWORD code = WaitExit(shell, 20000);
    DWORD took = GetTickCount() - start;
    CloseHandle(shell);
    EXPECT_EQ(0xFFFFFFFFu, code) << "LiteStep's exit code: killed";
    EXPECT_GE(took, 900u) << "killed before kill_delay ran out";
    EXPECT_EQ(1, robust::CountLog(run.LiteStepDir(), "quit wparam=2")) << "asked first";
    Settle(run);
    Sleep(300);
    EXPECT_EQ(0u, watcher.Seen().size()) << "seen: " << Joined(watcher.Seen());
    EXPECT_TRUE(run.Alive()) << "the manager ended";
    PostMessageA(run.control, CM_QUIT, 0, 0);
    EXPECT_EQ(0u, WaitExit(run.process, 20000)) << "exit code after CM_QUIT";
    robust::RecordFigures("fault ignored quit",
                          {"a LiteStep that ignores 9260: asked, killed with 0xFFFFFFFF after " +
                           std::to_string(took) + " ms (kill_delay 1 s), no dialog, manager alive"});
}

TEST(RobustFaults, ShellThatNeverBecomesIdle)
{
    // Busy for longer than the manager waits for a new shell.
    robust::ManagerRun run("robust_fault_busy", "idle_delay_ms=45000\r\n");
    MessageBoxWatcher watcher;
    SavedRegValue shellValue(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell");
    DWORD start = GetTickCount();
    ASSERT_TRUE(run.Start(run.Config("shell=explorer_exe\r\n"))) << "the manager did not come up";
    // The setting names Explorer while the manager waits, and the manager
    // again once it has given up waiting.
    std::string ours = run.dir + "Quillfern.exe";
    DWORD waited = 0;
    for (; waited < 45000 && _stricmp(ReadSystemShell().c_str(), ours.c_str()) != 0; waited += 50)
        Sleep(50);
    DWORD took = GetTickCount() - start;
    EXPECT_STRCASEEQ(ours.c_str(), ReadSystemShell().c_str()) << "the manager did not go on";
    EXPECT_GE(took, 29000u) << "gave up waiting too soon";
    EXPECT_LE(took, 40000u) << "waited far beyond 30 s";
    Settle(run);
    EXPECT_TRUE(run.Alive()) << "the manager ended";
    EXPECT_EQ(0u, watcher.Seen().size()) << "seen: " << Joined(watcher.Seen());
    // It watches the busy shell: killed from outside, it is reported.
    DWORD pid = robust::LastStartedPid(run.ExplorerDir());
    HANDLE shell = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    ASSERT_NE((HANDLE)NULL, shell) << "cannot open Explorer's stand-in";
    TerminateProcess(shell, 5);
    WaitForSingleObject(shell, 5000);
    CloseHandle(shell);
    HWND dialog = NULL;
    for (int i = 0; i < 400 && dialog == NULL; i++) {
        HWND found = FindWindowA("#32770", "Quillfern 1.50");
        if (found != NULL && !IsQuillfernMessageBox(found))
            dialog = found;
        else
            Sleep(25);
    }
    EXPECT_NE((HWND)NULL, dialog) << "no shell-terminated dialog after the busy shell ended";
    PostMessageA(run.control, CM_QUIT, 0, 0);
    EXPECT_EQ(0u, WaitExit(run.process, 20000)) << "exit code after CM_QUIT";
    robust::RecordFigures("fault busy shell",
                          {"a shell that is not idle for 45 s: the manager went on after " +
                           std::to_string(took) + " ms (bound 30 s), named itself again, watched "
                           "the shell (its end brought the dialog)"});
}

}  // namespace
