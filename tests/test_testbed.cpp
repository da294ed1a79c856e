// The test bed itself: the session the scripts prepare, the stand-in shells
// and the helpers every other test relies on.
#include <gtest/gtest.h>

#include "support/support.h"

#include <string.h>

namespace {

// Runs MessageBoxA on a thread of its own, as the manager would show it.
struct BoxThread {
    const char *text; const char *caption; UINT type;
    volatile int result = -1;
    HANDLE thread = NULL;
    BoxThread(const char *text_, const char *caption_, UINT type_)
        : text(text_), caption(caption_), type(type_)
    {
        thread = CreateThread(NULL, 0, Run, this, 0, NULL);
    }
    static DWORD WINAPI Run(void *param)
    {
        BoxThread *box = (BoxThread *)param;
        box->result = MessageBoxA(NULL, box->text, box->caption, box->type);
        return 0;
    }
    bool Ended(DWORD timeoutMs) { return WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0; }
    ~BoxThread()
    {
        if (!Ended(0)) {
            HWND box = FindWindowA("#32770", caption);
            if (box != NULL)
                PostMessageA(box, WM_COMMAND, IDOK, 0);
            Ended(5000);
        }
        CloseHandle(thread);
    }
};

bool LogHas(const std::vector<std::string> &log, const std::string &prefix)
{
    for (const std::string &line : log)
        if (line.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

std::string Joined(const std::vector<std::string> &lines)
{
    std::string all;
    for (const std::string &line : lines)
        all += "[" + line + "] ";
    return all;
}

class TestBed : public ::testing::Test {
protected:
    void SetUp() override { KillStrays(); }
    void TearDown() override { KillStrays(); }
};

} // namespace

// The scripts take Wine's own hidden tray window away, so that the manager
// does not take it for a running desktop shell.
TEST_F(TestBed, SessionHasNoShellWindows)
{
    EXPECT_EQ(NULL, FindWindowA("Shell_TrayWnd", NULL))
        << "Wine's Shell_TrayWnd is still on the desktop";
    EXPECT_EQ(NULL, FindWindowA("TWharfGlobalContainer", NULL)) << "a wharf window is left";
    EXPECT_EQ(NULL, FindWindowA("QuillfernWndClass", NULL)) << "a manager is left running";
}

TEST_F(TestBed, CrashEndsProcessAtOnce)
{
    HANDLE process = StartProcess(TestBin("crasher"));
    ASSERT_NE((HANDLE)NULL, process) << "cannot start crasher.exe";
    DWORD code = WaitExit(process, 30000);
    EXPECT_EQ(0xC0000005u, code) << "a crash must end the program, not wait in a debugger";
    if (code == STILL_ACTIVE)
        TerminateProcess(process, 1);
    CloseHandle(process);
}

TEST_F(TestBed, ScratchDirStartsEmpty)
{
    std::string dir = MakeScratchDir("testbed_scratch");
    WriteTextFile(dir + "old.txt", "old");
    CreateDirectoryA((dir + "sub").c_str(), NULL);
    WriteTextFile(dir + "sub\\deep.txt", "deep");
    SetFileAttributesA((dir + "sub\\deep.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ("old", ReadTextFile(dir + "old.txt")) << "file not written";

    std::string again = MakeScratchDir("testbed_scratch");
    EXPECT_EQ(dir, again) << "the same name gives the same directory";
    EXPECT_FALSE(FileExists(again + "old.txt")) << "old file survived";
    EXPECT_FALSE(FileExists(again + "sub")) << "old subdirectory survived";
    EXPECT_TRUE(FileExists(again)) << "directory missing";
    EXPECT_EQ("", ReadTextFile(again + "missing.txt")) << "a missing file reads as empty";
}

// The manager holds a key down with keybd_event and then starts the shell;
// only the system-wide key state shows that to the new process.
TEST_F(TestBed, KeyPressedByAnotherProcess)
{
    std::string dir = MakeScratchDir("testbed_keys");
    HANDLE process = StartProcess(TestBin("keystate"), "press " + dir + "keys.txt");
    ASSERT_NE((HANDLE)NULL, process) << "cannot start keystate.exe";
    EXPECT_EQ(0u, WaitExit(process, 20000)) << "keystate.exe failed";
    CloseHandle(process);
    // GetKeyState (thread=) stays 0 under Wine 8; the stand-ins read both.
    std::string state = ReadTextFile(dir + "keys.txt");
    EXPECT_EQ(0u, state.find("async=1 ")) << "Control held by another process not seen: " << state;
}

TEST_F(TestBed, LiteStepStandIn)
{
    std::string dir = MakeScratchDir("testbed_litestep");
    std::string exe = PlaceStandIn(STANDIN_LITESTEP, dir, "LiteStep.exe");
    HANDLE process = StartProcess(exe);
    ASSERT_NE((HANDLE)NULL, process) << "cannot start " << exe;
    HWND app = WaitForWindow("TApplication", "LiteStep", 10000);
    EXPECT_NE((HWND)NULL, app) << "no TApplication/LiteStep window";
    EXPECT_NE((HWND)NULL, WaitForWindow("TWharfGlobalContainer", NULL, 10000))
        << "no TWharfGlobalContainer window";
    EXPECT_EQ(NULL, FindWindowA("Shell_TrayWnd", NULL)) << "LiteStep must not look like Explorer";

    PostMessageA(app, WM_CLOSE, 0, 0);
    EXPECT_EQ(STILL_ACTIVE, WaitExit(process, 300)) << "WM_CLOSE must not end LiteStep";
    PostMessageA(app, 9260, 2, 0);
    EXPECT_EQ(0u, WaitExit(process, 10000)) << "message 9260 must end LiteStep with 0";
    CloseHandle(process);

    std::vector<std::string> log = StandInLog(dir);
    ASSERT_EQ(3u, log.size()) << Joined(log);
    EXPECT_TRUE(log[0].find("start pid=") == 0 && log[0].find(" shift=0 control=0") != std::string::npos)
        << "got " << log[0];
    EXPECT_EQ("quit wparam=2 lparam=0", log[1]);
    EXPECT_EQ("exit code=0", log[2]);
}

TEST_F(TestBed, StandInSettings)
{
    // ignore_quit: the request is logged, the process stays.
    std::string dir = MakeScratchDir("testbed_ignore");
    HANDLE process = StartProcess(PlaceStandIn(STANDIN_LITESTEP, dir, "LiteStep.exe",
                                               "ignore_quit=1\n"));
    HWND app = WaitForWindow("TApplication", "LiteStep", 10000);
    ASSERT_NE((HWND)NULL, app) << "no LiteStep window";
    PostMessageA(app, 9260, 2, 0);
    EXPECT_EQ(STILL_ACTIVE, WaitExit(process, 1000)) << "ignore_quit=1 must keep it running";
    EXPECT_TRUE(LogHas(StandInLog(dir), "quit wparam=2 lparam=0")) << Joined(StandInLog(dir));
    TerminateProcess(process, 0xFFFFFFFF);
    CloseHandle(process);

    // exit_after_ms with exit_code, hex allowed.
    dir = MakeScratchDir("testbed_exit");
    process = StartProcess(PlaceStandIn(STANDIN_ALTERNATE, dir, "Shell.exe",
                                        "[standin]\nexit_after_ms=300\nexit_code=0x2A\n"));
    EXPECT_EQ(42u, WaitExit(process, 10000)) << "exit_after_ms/exit_code";
    CloseHandle(process);
    EXPECT_TRUE(LogHas(StandInLog(dir), "exit code=42")) << Joined(StandInLog(dir));

    // idle_delay_ms: not idle before the delay has passed.
    dir = MakeScratchDir("testbed_idle");
    process = StartProcess(PlaceStandIn(STANDIN_ALTERNATE, dir, "Shell.exe",
                                        "idle_delay_ms=1500\n"));
    DWORD start = GetTickCount();
    WaitForInputIdle(process, 10000);
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, 1000u) << "idle after " << waited << " ms despite idle_delay_ms=1500";
    TerminateProcess(process, 0);
    CloseHandle(process);

    // Control held (as the manager does for a swap) shows in the start line.
    dir = MakeScratchDir("testbed_control");
    keybd_event(VK_CONTROL, 0, 0, 0);
    process = StartProcess(PlaceStandIn(STANDIN_EXPLORER, dir, "Explorer.exe"));
    WaitForWindow("Progman", "Program Manager", 10000);
    keybd_event(VK_CONTROL, 0, KEYEVENTF_KEYUP, 0);
    std::vector<std::string> log = StandInLog(dir);
    ASSERT_FALSE(log.empty()) << "no log";
    EXPECT_NE(std::string::npos, log[0].find("shift=0 control=1")) << "got " << log[0];
    TerminateProcess(process, 0);
    CloseHandle(process);
}

TEST_F(TestBed, ExplorerAndAlternateStandIns)
{
    std::string dir = MakeScratchDir("testbed_explorer");
    HANDLE process = StartProcess(PlaceStandIn(STANDIN_EXPLORER, dir, "Explorer.exe",
                                               "cabinet=1\n"));
    HWND progman = WaitForWindow("Progman", "Program Manager", 10000);
    ASSERT_NE((HWND)NULL, progman) << "no Progman window";
    EXPECT_NE((HWND)NULL, WaitForWindow("Shell_TrayWnd", NULL, 10000)) << "no tray window";
    HWND cabinet = WaitForWindow("CabinetWClass", NULL, 10000);
    EXPECT_NE((HWND)NULL, cabinet) << "cabinet=1 gives no folder window";
    PostMessageA(cabinet, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitForNoWindow("CabinetWClass", NULL, 5000)) << "the folder window does not close";
    PostMessageA(progman, WM_QUIT, 0, 0);
    EXPECT_EQ(0u, WaitExit(process, 10000)) << "WM_QUIT to Progman must end it";
    CloseHandle(process);
    std::vector<std::string> log = StandInLog(dir);
    EXPECT_TRUE(LogHas(log, "quit wparam=0 lparam=0") && LogHas(log, "exit code=0")) << Joined(log);
    EXPECT_TRUE(WaitForNoWindow("Shell_TrayWnd", NULL, 5000)) << "tray window left";

    dir = MakeScratchDir("testbed_alternate");
    process = StartProcess(PlaceStandIn(STANDIN_ALTERNATE, dir, "Shell.exe"));
    EXPECT_NE((HWND)NULL, WaitForWindow("QuillfernAltShellStandIn", NULL, 10000))
        << "no alternate shell window";
    EXPECT_EQ(NULL, FindWindowA("Shell_TrayWnd", NULL)) << "an alternate shell has no tray";
    EXPECT_EQ(NULL, FindWindowA("TWharfGlobalContainer", NULL)) << "nor a wharf";
    HANDLE notepad = StartProcess(WineNotepad());
    ASSERT_NE((HANDLE)NULL, notepad) << "cannot start " << WineNotepad();
    EXPECT_NE((HWND)NULL, WaitForWindow("Notepad", NULL, 10000)) << "no notepad window";
    // KillStrays ends a stand-in whatever its file is called, and notepad.
    KillStrays();
    EXPECT_EQ(0xDEADu, WaitExit(process, 5000)) << "KillStrays left the stand-in running";
    EXPECT_EQ(0xDEADu, WaitExit(notepad, 5000)) << "KillStrays left notepad running";
    CloseHandle(process);
    CloseHandle(notepad);
}

TEST_F(TestBed, MessageBoxWatcherAnswers)
{
    MessageBoxWatcher watcher;
    watcher.Answer("Really", IDYES);
    {
        BoxThread box("Line one\nline two.", "Quillfern 1.50", MB_OK | MB_TOPMOST);
        ASSERT_TRUE(box.Ended(10000)) << "the OK box was not answered";
        EXPECT_EQ(IDOK, box.result) << "OK box";
    }
    {
        BoxThread box("Start it?", "Quillfern 1.50", MB_YESNO | MB_TOPMOST);
        ASSERT_TRUE(box.Ended(10000)) << "the Yes/No box was not answered";
        EXPECT_EQ(IDNO, box.result) << "a Yes/No box gets No by default";
    }
    {
        BoxThread box("Really quit?", "Quillfern 1.50", MB_YESNO | MB_TOPMOST);
        ASSERT_TRUE(box.Ended(10000)) << "the Yes/No box was not answered";
        EXPECT_EQ(IDYES, box.result) << "the rule gives Yes";
    }
    std::vector<std::string> seen = watcher.Seen();
    ASSERT_EQ(3u, seen.size()) << Joined(seen);
    EXPECT_EQ("Line one\nline two.", seen[0]) << "the text, line break included";
    EXPECT_EQ(1u, watcher.Count("Start it?")) << "each box once";
    watcher.Clear();
    EXPECT_TRUE(watcher.Seen().empty()) << "Clear";

    // Another caption is none of our business.
    BoxThread other("Not ours", "Other caption", MB_OK);
    EXPECT_FALSE(other.Ended(500)) << "a box with another caption was answered";
    EXPECT_FALSE(watcher.WaitFor("Not ours", 100)) << "a box with another caption was seen";
}

// A dialog of ours shares the caption and has an 0xFFFF static; it is no
// message box and must be left for the test to handle.
TEST_F(TestBed, MessageBoxWatcherLeavesDialogs)
{
    struct {
        DLGTEMPLATE dialog; WORD menu, windowClass; WCHAR title[15];
        DLGITEMTEMPLATE text; WORD textClass[2]; WCHAR textTitle[6]; WORD textExtra;
        DLGITEMTEMPLATE ok; WORD okClass[2]; WCHAR okTitle[3]; WORD okExtra;
    } __attribute__((aligned(4))) tmpl;    // items start on DWORD boundaries
    ZeroMemory(&tmpl, sizeof tmpl);
    tmpl.dialog.style = WS_POPUP | WS_CAPTION | WS_VISIBLE | DS_MODALFRAME;
    tmpl.dialog.cdit = 2;
    tmpl.dialog.cx = 160; tmpl.dialog.cy = 60;
    const char *caption = "Quillfern 1.50";
    for (int i = 0; caption[i]; i++) tmpl.title[i] = caption[i];
    ASSERT_EQ(0u, offsetof(decltype(tmpl), text) % 4) << "template layout";
    ASSERT_EQ(0u, offsetof(decltype(tmpl), ok) % 4) << "template layout";
    tmpl.text.style = WS_CHILD | WS_VISIBLE; tmpl.text.id = 0xFFFF;
    tmpl.text.x = 5; tmpl.text.y = 5; tmpl.text.cx = 100; tmpl.text.cy = 10;
    tmpl.textClass[0] = 0xFFFF; tmpl.textClass[1] = 0x0082;
    const char *label = "Label";
    for (int i = 0; label[i]; i++) tmpl.textTitle[i] = label[i];
    tmpl.ok.style = WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON; tmpl.ok.id = IDOK;
    tmpl.ok.x = 5; tmpl.ok.y = 30; tmpl.ok.cx = 40; tmpl.ok.cy = 14;
    tmpl.okClass[0] = 0xFFFF; tmpl.okClass[1] = 0x0080;
    tmpl.okTitle[0] = 'O'; tmpl.okTitle[1] = 'K';

    MessageBoxWatcher watcher;
    HWND dialog = CreateDialogIndirectParamA(GetModuleHandleA(NULL), &tmpl.dialog, NULL,
        [](HWND window, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
            if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
                DestroyWindow(window);
                return TRUE;
            }
            return message == WM_INITDIALOG;
        }, 0);
    ASSERT_NE((HWND)NULL, dialog) << "cannot create the dialog, error " << GetLastError();
    EXPECT_FALSE(IsQuillfernMessageBox(dialog)) << "a dialog taken for a message box";
    DWORD start = GetTickCount();
    MSG message;
    while (GetTickCount() - start < 500)
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    EXPECT_TRUE(IsWindow(dialog)) << "the watcher answered a dialog";
    EXPECT_TRUE(watcher.Seen().empty()) << "the watcher recorded a dialog: " << Joined(watcher.Seen());
    if (IsWindow(dialog))
        DestroyWindow(dialog);
}

TEST_F(TestBed, SavedRegValueRestores)
{
    const char *key = "Software\\QuillfernTestBed";
    HKEY handle;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, NULL, 0, KEY_ALL_ACCESS,
                                             NULL, &handle, NULL));
    RegSetValueExA(handle, "Kept", 0, REG_SZ, (const BYTE *)"before", 7);
    RegDeleteValueA(handle, "New");
    {
        SavedRegValue kept(HKEY_CURRENT_USER, key, "Kept");
        SavedRegValue added(HKEY_CURRENT_USER, key, "New");
        RegSetValueExA(handle, "Kept", 0, REG_SZ, (const BYTE *)"after", 6);
        RegSetValueExA(handle, "New", 0, REG_SZ, (const BYTE *)"x", 2);
        EXPECT_EQ("after", ReadRegString(HKEY_CURRENT_USER, key, "Kept"));
    }
    EXPECT_EQ("before", ReadRegString(HKEY_CURRENT_USER, key, "Kept")) << "value not restored";
    EXPECT_NE(ERROR_SUCCESS, RegQueryValueExA(handle, "New", NULL, NULL, NULL, NULL))
        << "a value that did not exist must be deleted again";
    RegCloseKey(handle);
    RegDeleteKeyA(HKEY_CURRENT_USER, key);
}

// Wine's own notepad.exe as a real alternate shell: the manager starts it,
// and kills it (an alternate shell is never asked to quit) without a word.
TEST_F(TestBed, NotepadAsAlternateShell)
{
    SavedRegValue shell(HKEY_LOCAL_MACHINE,
                        "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "Shell");
    MessageBoxWatcher watcher;
    std::string dir = MakeScratchDir("testbed_notepad");
    std::string exe = InstallManagerCopy(dir,
        "[default]\r\nshell=Notes\r\n[Alternate_Shells]\r\naltshell_name_1=Notes\r\n"
        "altshell_path_1=" + WineNotepad() + "\r\n");
    HANDLE manager = StartProcess(exe);
    ASSERT_NE((HANDLE)NULL, manager) << "cannot start " << exe;
    HWND control = WaitForWindow("QuillfernWndClass", "Quillfern", 15000);
    EXPECT_NE((HWND)NULL, control) << "no control window";
    HWND notepad = WaitForWindow("Notepad", NULL, 15000);
    ASSERT_NE((HWND)NULL, notepad) << "notepad was not started";
    DWORD pid = 0;
    GetWindowThreadProcessId(notepad, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
    ASSERT_NE((HANDLE)NULL, process) << "cannot open notepad's process";

    PostMessageA(control, 1027 /* CM_KILL */, 0, 0);
    EXPECT_EQ(0xFFFFFFFFu, WaitExit(process, 15000)) << "the alternate shell is killed";
    CloseHandle(process);
    EXPECT_EQ(STILL_ACTIVE, WaitExit(manager, 500)) << "the manager stays after a kill";
    PostMessageA(control, 1031 /* CM_QUIT */, 0, 0);
    EXPECT_EQ(0u, WaitExit(manager, 15000)) << "the manager ends on a quit";
    CloseHandle(manager);
    EXPECT_TRUE(watcher.Seen().empty()) << "no message expected, got " << Joined(watcher.Seen());
}
