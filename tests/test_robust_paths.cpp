// Paths at and past the 260-byte limit: the manager in a directory whose path
// is 250 characters long (and in one just short enough), theme directories
// at the size limit. Never an overrun; a clear message where a path cannot be
// formed; everything else goes on.
#include <gtest/gtest.h>

#include <windows.h>

#include "config/state.h"
#include "test_robust.h"

namespace {

constexpr char kConfigPathTooLong[] =
    "The path of the folder that holds Quillfern is too long\n"
    "for Quillfern.cfg to be read, so every setting takes its\n"
    "default.  Please move Quillfern to a folder with a shorter path.";
constexpr char kShellDirective[] =
    "The shell directive for this user in Quillfern.cfg is\n"
    "undefined.  Please check Quillfern.cfg and verify that\n"
    "all paths are correct.";
constexpr char kInstallShellFailed[] = "An error has occurred while trying\nto install the shell.";
constexpr char kThemeFailed[] =
    "An error has occured while installing the current user's\ntheme.  Please check "
    "Quillfern.cfg and verify that\nall paths are correct.";

std::wstring Wide(const std::string &text)
{
    std::wstring wide;
    for (char c : text)
        wide += (wchar_t)(unsigned char)c;
    return wide;
}

// A directory below base whose path (without a trailing backslash) is exactly
// length characters, made of nested names of at most 200 characters. Made
// with the wide functions: the ANSI ones stop at MAX_PATH.
std::string DirectoryOfLength(const std::string &base, size_t length)
{
    std::string path = base.substr(0, base.size() - 1);    // no backslash
    CreateDirectoryW(Wide(path).c_str(), NULL);
    char letter = 'a';
    while (path.size() < length) {
        size_t room = length - path.size() - 1;
        size_t take = room > 200 ? 150 : room;
        path += "\\" + std::string(take, letter++);
        CreateDirectoryW(Wide(path).c_str(), NULL);
    }
    return path;
}

void WriteWide(const std::string &path, const std::string &contents)
{
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << "cannot write " << path.size() << "-character path";
    DWORD written = 0;
    WriteFile(file, contents.data(), (DWORD)contents.size(), &written, NULL);
    CloseHandle(file);
}

// Empties dir and removes it, whatever the length of the paths inside.
void RemoveTree(const std::wstring &dir)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = dir + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
}

size_t CountText(MessageBoxWatcher &watcher, const char *text)
{
    size_t n = 0;
    for (const std::string &seen : watcher.Seen())
        n += seen == text;
    return n;
}

std::string Joined(const std::vector<std::string> &texts)
{
    std::string all;
    for (const std::string &t : texts)
        all += "[" + t.substr(0, t.find('\n')) + "...] ";
    return all;
}

// Starts exe, whose path may pass MAX_PATH: from its own directory as the
// current one, by its bare name.
HANDLE StartWide(const std::string &exe)
{
    std::string dir = exe.substr(0, exe.find_last_of('\\'));
    std::wstring commandLine = L"\"" + Wide(exe) + L"\"";
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(Wide(dir).c_str());
    BOOL started = CreateProcessW(Wide(exe).c_str(), writable.data(), NULL, NULL, FALSE, 0, NULL,
                                  NULL, &startup, &info);
    if (!started)
        started = CreateProcessW(L"Quillfern.exe", writable.data(), NULL, NULL, FALSE, 0, NULL,
                                 NULL, &startup, &info);
    DWORD error = GetLastError();
    SetCurrentDirectoryW(saved);
    SetLastError(error);
    if (!started)
        return NULL;
    CloseHandle(info.hThread);
    return info.hProcess;
}

// The manager copied into dir (any length), with its configuration.
std::string PlaceManager(const std::string &dir, const std::string &config)
{
    std::string exe = dir + "\\Quillfern.exe";
    EXPECT_TRUE(CopyFileW(Wide(QuillfernExe()).c_str(), Wide(exe).c_str(), FALSE))
        << "cannot copy the manager to a " << exe.size() << "-character path";
    WriteWide(dir + "\\Quillfern.cfg", config);
    return exe;
}

void Settle(HWND control)
{
    int releases = 0;
    for (int quiet = 0, round = 0; quiet < 2 && round < 400; round++) {
        robust::Drained(control, !IsWindowVisible(control), 30000, &releases);
        if (FindMessageBoxes().empty()) {
            quiet++;
        } else {
            quiet = 0;
            Sleep(50);
        }
    }
}

TEST(RobustPaths, ManagerInADirectoryOf250Characters)
{
    robust::UnmanagedManager fast;
    SavedRegValue shellValue(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell");
    // What an interrupted run left is too deep for the scratch helper to clear.
    RemoveTree(Wide(BinDir() + "scratch\\robust_paths_250"));
    std::string base = MakeScratchDir("robust_paths_250");
    std::string dir = DirectoryOfLength(base, 250);
    ASSERT_EQ(250u, dir.size());
    std::string before = ReadSystemShell();
    std::string exe = PlaceManager(dir, "[default]\r\nshell=explorer_exe\r\n");

    MessageBoxWatcher watcher;
    HANDLE process = StartWide(exe);
    ASSERT_NE((HANDLE)NULL, process) << "cannot start the manager from a 264-character path, error "
                                     << GetLastError() << ", exists " << GetFileAttributesW(Wide(exe).c_str());
    HWND control = WaitForWindow("QuillfernWndClass", NULL, 20000);
    ASSERT_NE((HWND)NULL, control) << "the manager did not come up (exit code "
                                   << WaitExit(process, 0) << ")";
    Settle(control);
    // Its own path does not fit: no configuration can be read, so it says so,
    // then the missing shell directive follows, and the user chooses.
    std::vector<std::string> seen = watcher.Seen();
    ASSERT_EQ(2u, seen.size()) << "seen: " << Joined(seen);
    EXPECT_EQ(kConfigPathTooLong, seen[0]);
    EXPECT_EQ(kShellDirective, seen[1]);
    EXPECT_EQ(before, ReadSystemShell()) << "a cut path was written as the system shell";
    watcher.Clear();
    PostMessageA(control, CM_QUIT, 0, 0);
    EXPECT_EQ(0u, WaitExit(process, 20000)) << "exit code after CM_QUIT";
    CloseHandle(process);
    // On the way out it cannot name itself: it says so and writes nothing.
    EXPECT_EQ(1u, CountText(watcher, kInstallShellFailed)) << "seen: " << Joined(watcher.Seen());
    EXPECT_EQ(before, ReadSystemShell()) << "a cut path was written as the system shell";
    KillStrays();
    RemoveTree(Wide(base.substr(0, base.size() - 1)));
    robust::RecordFigures(
        "paths 250",
        {"manager in a directory of 250 characters (its path 264): \"The path of the folder that "
         "holds Quillfern is too long...\", then the shell-directive message and the shell-choice "
         "dialog; on quit \"An error has occurred while trying to install the shell.\"; nothing "
         "written, exit code 0"});
}

TEST(RobustPaths, ManagerWhosePathIsJustShortEnough)
{
    // 245 + "\Quillfern.exe" = 259 characters: the longest path that fits.
    robust::UnmanagedManager fast;
    SavedRegValue shellValue(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell");
    robust::ManagerRun shells("robust_paths_245_shells");
    std::string dir = DirectoryOfLength(MakeScratchDir("robust_paths_245"), 245);
    std::string exe = PlaceManager(dir, shells.Config("shell=explorer_exe\r\n"));
    ASSERT_EQ(259u, exe.size());

    MessageBoxWatcher watcher;
    HANDLE process = StartWide(exe);
    ASSERT_NE((HANDLE)NULL, process);
    HWND control = WaitForWindow("QuillfernWndClass", NULL, 20000);
    ASSERT_NE((HWND)NULL, control) << "the manager did not come up";
    EXPECT_NE((HWND)NULL, WaitForWindow("Shell_TrayWnd", NULL, 20000)) << "Explorer did not start";
    Settle(control);
    EXPECT_EQ(0u, watcher.Seen().size()) << "seen: " << Joined(watcher.Seen());
    EXPECT_STRCASEEQ(exe.c_str(), ReadSystemShell().c_str()) << "the system shell";
    PostMessageA(control, CM_NUKE, 0, 0);
    EXPECT_EQ(0u, WaitExit(process, 20000)) << "exit code after CM_NUKE";
    CloseHandle(process);
    EXPECT_STRCASEEQ(exe.c_str(), ReadSystemShell().c_str()) << "the system shell after the end";
    KillStrays();
    robust::RecordFigures("paths 245",
                          {"manager whose own path is 259 characters: configuration read, Explorer "
                           "started, the 259-character path written whole as the system shell"});
}

TEST(RobustPaths, ThemeDirectoriesAtTheSizeLimit)
{
    robust::ManagerRun run("robust_paths_theme");
    WriteTextFile(run.LiteStepDir() + "step.rc", "; LiteStep's own\r\n");
    WriteTextFile(run.LiteStepDir() + "modules.ini", "; LiteStep's own modules\r\n");
    // 247 + "\modules.ini" = 259: fits. 248 does not.
    std::string fits = DirectoryOfLength(run.dir, 247);
    std::string tooLong = DirectoryOfLength(run.dir + "x\\", 248);
    for (const std::string &dir : {fits, tooLong}) {
        WriteWide(dir + "\\step.rc", "; theme of " + std::to_string(dir.size()) + "\r\n");
        if (dir.size() + 12 < 260)
            WriteWide(dir + "\\modules.ini", "; modules of " + std::to_string(dir.size()) + "\r\n");
    }
    std::string back(259, 'w');
    std::string themes = "[Themes]\r\ntheme_name_1=Fits\r\ntheme_path_1=" + fits +
                         "\r\ntheme_back_1=\r\ntheme_name_2=TooLong\r\ntheme_path_2=" + tooLong +
                         "\r\ntheme_back_2=" + back.substr(0, 200) + "\r\n";
    MessageBoxWatcher watcher;
    ASSERT_TRUE(run.Start(run.Config("shell=litestep_exe\r\ntheme=Fits\r\n", themes)))
        << "the manager did not come up";
    EXPECT_NE((HWND)NULL, WaitForWindow("TApplication", "LiteStep", 20000)) << "no LiteStep";
    Settle(run.control);
    EXPECT_EQ(0u, watcher.Seen().size()) << "seen: " << Joined(watcher.Seen());
    EXPECT_EQ("; theme of 247\r\n", ReadTextFile(run.LiteStepDir() + "step.rc"));
    EXPECT_EQ("; modules of 247\r\n", ReadTextFile(run.LiteStepDir() + "modules.ini"));

    // The second theme's paths cannot be formed: a message, nothing touched.
    std::string backupBefore = ReadTextFile(run.dir + "Previous_Step.rc");
    PostMessageA(run.control, CM_SWAPTHEME, 0, 0);
    Settle(run.control);
    EXPECT_NE((HWND)NULL, WaitForWindow("TApplication", "LiteStep", 20000))
        << "LiteStep did not start without its theme";
    EXPECT_EQ(1u, CountText(watcher, kThemeFailed)) << "seen: " << Joined(watcher.Seen());
    EXPECT_EQ(1u, watcher.Seen().size()) << "seen: " << Joined(watcher.Seen());
    EXPECT_EQ("; theme of 247\r\n", ReadTextFile(run.LiteStepDir() + "step.rc"));
    EXPECT_EQ("; modules of 247\r\n", ReadTextFile(run.LiteStepDir() + "modules.ini"));
    EXPECT_EQ(backupBefore, ReadTextFile(run.dir + "Previous_Step.rc")) << "the backup was touched";
    EXPECT_TRUE(run.Alive()) << "the manager ended";
    EXPECT_EQ(2, robust::CountLog(run.LiteStepDir(), "start")) << "LiteStep starts";
    PostMessageA(run.control, CM_QUIT, 0, 0);
    EXPECT_EQ(0u, WaitExit(run.process, 20000)) << "exit code after CM_QUIT";
    robust::RecordFigures(
        "paths themes",
        {"theme directory of 247 characters (modules.ini path 259): installed; of 248: the theme "
         "message, LiteStep's files and the backups untouched, LiteStep started"});
}

}  // namespace
