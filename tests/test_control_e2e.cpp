// End-to-end tests of the control window: a copy of Quillfern.exe runs with
// the stand-in shells, and these tests drive it only as a client would, by
// posting control messages to its hidden window. They observe the stand-ins'
// logs, the theme files, the system shell value, the key state and the boxes
// and dialogs the manager shows.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "shell/shell.h"
#include "config/state.h"
#include "res/resource.h"
#include "support/support.h"

namespace {

const char kManagerClass[] = "QuillfernWndClass";
const char kCaption[] = "Quillfern 1.50";

const char kExplorerWindowsOpenText[] =
    "You must first close any open Explorer\nwindows before switching from LiteStep to Explorer.";
const char kSwapUnavailableText[] =
    "Shell swapping is currently not available when using a\nshell other than LiteStep or Explorer.";
const char kTooFewThemesText[] =
    "Quillfern could not detect more than one theme in your\nQuillfern.cfg file.  Please check the "
    "syntax and\ncurrent user settings.";
const char kShellRunningText[] = "Quillfern has detected that a shell\nis already running.";

const DWORD kKilledExitCode = 0xFFFFFFFF;

bool KeyDown(int vk)
{
    return (GetAsyncKeyState(vk) & 0x8000) != 0;
}

// A top-level window of a given class owned by a thread of this test that
// keeps answering messages (a theme's wallpaper change is broadcast to every
// window, and a window that does not answer would slow the manager down).
class OwnWindow {
public:
    explicit OwnWindow(const char *className) : className_(className)
    {
        ready_ = CreateEventA(NULL, TRUE, FALSE, NULL);
        thread_ = CreateThread(NULL, 0, Run, this, 0, &threadId_);
        WaitForSingleObject(ready_, 10000);
    }
    ~OwnWindow() { Close(); CloseHandle(ready_); }
    void Close()
    {
        if (thread_ == NULL)
            return;
        PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_, 10000);
        CloseHandle(thread_);
        thread_ = NULL;
    }
    HWND window() const { return window_; }

private:
    static DWORD WINAPI Run(LPVOID self)
    {
        OwnWindow *me = (OwnWindow *)self;
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = me->className_.c_str();
        RegisterClassA(&wc);
        me->window_ = CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPED, 0, 0, 10, 10,
                                      NULL, NULL, wc.hInstance, NULL);
        MSG msg;
        PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE);   // make the queue before signalling
        SetEvent(me->ready_);
        while (GetMessageA(&msg, NULL, 0, 0) > 0)
            DispatchMessageA(&msg);
        DestroyWindow(me->window_);
        UnregisterClassA(wc.lpszClassName, wc.hInstance);
        return 0;
    }
    std::string className_;
    HANDLE ready_ = NULL, thread_ = NULL;
    DWORD threadId_ = 0;
    HWND window_ = NULL;
};

struct FindDialogData { int controlId; std::vector<HWND> found; };

BOOL CALLBACK CollectDialog(HWND window, LPARAM lParam)
{
    FindDialogData *data = (FindDialogData *)lParam;
    char className[32] = "";
    GetClassNameA(window, className, sizeof(className));
    if (strcmp(className, "#32770") == 0 && IsWindowVisible(window) &&
        WindowText(window) == kCaption && GetDlgItem(window, data->controlId) != NULL)
        data->found.push_back(window);
    return TRUE;
}

// The manager's dialogs that hold a control of the given id (IDC_THEMELIST
// for the theme list, IDC_PROMPT for the shell-terminated dialog).
std::vector<HWND> DialogsWith(int controlId)
{
    FindDialogData data = {controlId, {}};
    EnumWindows(CollectDialog, (LPARAM)&data);
    return data.found;
}

HWND WaitForDialogWith(int controlId, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    do {
        std::vector<HWND> found = DialogsWith(controlId);
        if (!found.empty())
            return found[0];
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return NULL;
}

std::vector<std::string> LinesStarting(const std::string &dir, const char *prefix)
{
    std::vector<std::string> lines;
    for (const std::string &line : StandInLog(dir))
        if (line.compare(0, strlen(prefix), prefix) == 0)
            lines.push_back(line);
    return lines;
}

bool WaitForLines(const std::string &dir, const char *prefix, size_t count, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    do {
        if (LinesStarting(dir, prefix).size() >= count)
            return true;
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

// The stand-in process of the n-th (0-based) start line of dir's log.
HANDLE OpenStart(const std::string &dir, size_t n)
{
    std::vector<std::string> starts = LinesStarting(dir, "start");
    if (n >= starts.size())
        return NULL;
    DWORD pid = strtoul(starts[n].c_str() + strlen("start pid="), NULL, 10);
    return OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, pid);
}

bool Alive(HANDLE process)
{
    return process != NULL && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

std::string ThemeStep(int n) { return "theme " + std::to_string(n) + " step.rc\r\n"; }

struct Options {
    const char *shell = "litestep_exe";   // the shell directive
    int themes = 2;
    const char *theme = "";               // the theme directive
    int shiftDelay = -1;
    std::string liteStepIni, explorerIni, alternateIni;
};

class ControlWindow : public ::testing::Test {
protected:
    ControlWindow() : savedShell_(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell") {}

    void SetUp() override
    {
        KillStrays();
        dir_ = MakeScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        lsDir_ = dir_ + "ls\\";
        exDir_ = dir_ + "ex\\";
        altDir_ = dir_ + "alt\\";
        CreateDirectoryA(lsDir_.c_str(), NULL);
        CreateDirectoryA(exDir_.c_str(), NULL);
        CreateDirectoryA(altDir_.c_str(), NULL);
        CreateDirectoryA((dir_ + "themes").c_str(), NULL);
    }

    void TearDown() override
    {
        KillStrays();
        watcher_.reset();
        if (manager_ != NULL)
            CloseHandle(manager_);
    }

    // Starts the manager and waits until its first shell runs and the system
    // shell names the manager again. No message box is answered before
    // WatchBoxes() when watchBoxes is false.
    void StartManager(const Options &options, bool watchBoxes = true)
    {
        if (watchBoxes)
            WatchBoxes();
        PlaceStandIn(STANDIN_LITESTEP, lsDir_, "LiteStep.exe", options.liteStepIni);
        PlaceStandIn(STANDIN_EXPLORER, exDir_, "Explorer.exe", options.explorerIni);
        PlaceStandIn(STANDIN_ALTERNATE, altDir_, "AltShell.exe", options.alternateIni);
        WriteTextFile(lsDir_ + "step.rc", "original step.rc\r\n");
        WriteTextFile(lsDir_ + "modules.ini", "original modules.ini\r\n");

        std::string config = "[Quillfern]\r\nlitestep_exe=" + lsDir_ + "LiteStep.exe\r\n" +
                             "explorer_exe=" + exDir_ + "Explorer.exe\r\n\r\n[default]\r\n" +
                             "shell=" + options.shell + "\r\nask_boot=0\r\nkill_delay=3\r\n" +
                             "shift_delay=" + std::to_string(options.shiftDelay) + "\r\n";
        if (*options.theme)
            config += std::string("theme=") + options.theme + "\r\n";
        config += "\r\n[Themes]\r\n";
        for (int n = 1; n <= options.themes; ++n) {
            std::string themeDir = dir_ + "themes\\t" + std::to_string(n);
            CreateDirectoryA(themeDir.c_str(), NULL);
            WriteTextFile(themeDir + "\\step.rc", ThemeStep(n));
            WriteTextFile(themeDir + "\\modules.ini", "theme modules.ini\r\n");
            std::string number = std::to_string(n);
            config += "theme_name_" + number + "=Theme" + number + "\r\n" +
                      "theme_path_" + number + "=" + themeDir + "\r\n" +
                      "theme_back_" + number + "=" + themeDir + "\\back.bmp\r\n";
        }
        config += "\r\n[Alternate_Shells]\r\naltshell_name_1=Alt\r\naltshell_path_1=" + altDir_ +
                  "AltShell.exe\r\n";

        exe_ = InstallManagerCopy(dir_, config);
        manager_ = StartProcess(exe_);
        ASSERT_TRUE(manager_ != NULL) << "could not start " << exe_;
        window_ = WaitForWindow(kManagerClass, NULL, 15000);
        ASSERT_TRUE(window_ != NULL) << "the manager's control window did not appear";
        const std::string &first = !strcmp(options.shell, "litestep_exe")   ? lsDir_
                                   : !strcmp(options.shell, "explorer_exe") ? exDir_
                                                                             : altDir_;
        ASSERT_TRUE(WaitForLines(first, "start", 1, 40000)) << "the first shell did not start";
        ExpectSystemShellIsManager();
        Settle();
    }

    void WatchBoxes() { watcher_.reset(new MessageBoxWatcher()); }

    // A fresh start within the same test: strays gone, scratch state new.
    void Restart()
    {
        KillStrays();
        watcher_.reset();
        if (manager_ != NULL)
            CloseHandle(manager_);
        manager_ = NULL;
        SetUp();
    }

    void Post(UINT message)
    {
        EXPECT_TRUE(PostMessageA(window_, message, 0, 0)) << "PostMessage " << message
                                                         << " failed: " << GetLastError();
    }

    // Returns once the manager has handled what was posted before: a sent
    // message is taken only when the manager's thread asks for messages again
    // (or from inside a modal loop).
    void Settle()
    {
        Sleep(500);
        DWORD_PTR result = 0;
        SendMessageTimeoutA(window_, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result);
    }

    void ExpectSystemShellIsManager()
    {
        DWORD start = GetTickCount();
        while (_stricmp(ReadSystemShell().c_str(), exe_.c_str()) != 0 &&
               GetTickCount() - start < 15000)
            Sleep(50);
        EXPECT_STREQ(exe_.c_str(), ReadSystemShell().c_str())
            << "the system shell must name the manager again";
    }

    void ExpectNoShellTerminatedDialog()
    {
        EXPECT_EQ(0u, DialogsWith(IDC_PROMPT).size()) << "no shell-terminated dialog expected";
    }

    void ExpectBoxesSeen(const std::vector<std::string> &expected)
    {
        ASSERT_TRUE(watcher_ != nullptr);
        std::vector<std::string> seen = watcher_->Seen();
        EXPECT_EQ(expected, seen) << "message boxes seen";
    }

    SavedRegValue savedShell_;
    std::string dir_, lsDir_, exDir_, altDir_, exe_;
    HANDLE manager_ = NULL;
    HWND window_ = NULL;
    std::unique_ptr<MessageBoxWatcher> watcher_;
};

TEST_F(ControlWindow, SwapBetweenLiteStepAndExplorer)
{
    Options options;
    options.theme = "Theme2";
    StartManager(options);
    EXPECT_EQ(ThemeStep(2), ReadTextFile(lsDir_ + "step.rc")) << "the start installs the theme";
    HANDLE liteStep = OpenStart(lsDir_, 0);
    WriteTextFile(lsDir_ + "step.rc", "user's step.rc\r\n");

    Post(CM_SWAP);
    ASSERT_TRUE(WaitForLines(exDir_, "start", 1, 40000)) << "Explorer did not start";
    std::vector<std::string> quits = LinesStarting(lsDir_, "quit");
    ASSERT_EQ(1u, quits.size()) << "LiteStep must be asked to quit once";
    EXPECT_EQ("quit wparam=2 lparam=0", quits[0]);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(liteStep, 5000)) << "LiteStep must have ended";
    EXPECT_NE(std::string::npos, LinesStarting(exDir_, "start")[0].find("control=1"))
        << "Explorer must start with Control down: " << LinesStarting(exDir_, "start")[0];
    ExpectSystemShellIsManager();
    Settle();
    EXPECT_EQ("user's step.rc\r\n", ReadTextFile(lsDir_ + "step.rc"));

    Post(CM_SWAP);
    ASSERT_TRUE(WaitForLines(lsDir_, "start", 2, 40000)) << "LiteStep did not start again";
    quits = LinesStarting(exDir_, "quit");
    ASSERT_EQ(1u, quits.size()) << "Explorer must be asked to quit once";
    EXPECT_EQ("quit wparam=0 lparam=0", quits[0]);
    EXPECT_NE(std::string::npos, LinesStarting(lsDir_, "start")[1].find("shift=1"))
        << "LiteStep must start with Shift down: " << LinesStarting(lsDir_, "start")[1];
    ExpectSystemShellIsManager();
    Settle();
    EXPECT_EQ(ThemeStep(2), ReadTextFile(lsDir_ + "step.rc"))
        << "the first swap to LiteStep installs the current theme";

    WriteTextFile(lsDir_ + "step.rc", "user's step.rc again\r\n");
    Post(CM_SWAP);
    Post(CM_SWAP);
    ASSERT_TRUE(WaitForLines(lsDir_, "start", 3, 60000)) << "LiteStep did not start a third time";
    Settle();
    EXPECT_EQ(2u, LinesStarting(exDir_, "start").size());
    EXPECT_EQ("user's step.rc again\r\n", ReadTextFile(lsDir_ + "step.rc"))
        << "a later swap to LiteStep installs no theme";

    Post(CM_RESTART);
    ASSERT_TRUE(WaitForLines(lsDir_, "start", 4, 40000)) << "LiteStep did not restart";
    Settle();
    EXPECT_EQ(ThemeStep(2), ReadTextFile(lsDir_ + "step.rc"))
        << "the theme must still be the current one after the swaps";
    ExpectNoShellTerminatedDialog();
    ExpectBoxesSeen({});
    CloseHandle(liteStep);
}

// The first swap back to LiteStep is used up even when the start was refused.
TEST_F(ControlWindow, FirstSwapToLiteStepUsedUpWhenRefused)
{
    Options options;
    options.shell = "explorer_exe";
    options.theme = "Theme1";
    StartManager(options);
    {
        OwnWindow tray("Shell_TrayWnd");
        Post(CM_SWAP);
        EXPECT_TRUE(watcher_->WaitFor(kShellRunningText, 40000)) << "the start must be refused";
        Settle();
    }
    EXPECT_EQ(0u, LinesStarting(lsDir_, "start").size()) << "no LiteStep expected";
    Post(CM_RESTART);
    ASSERT_TRUE(WaitForLines(exDir_, "start", 2, 40000)) << "the restart must start Explorer";
    Settle();

    WriteTextFile(lsDir_ + "step.rc", "user's step.rc\r\n");
    Post(CM_SWAP);
    ASSERT_TRUE(WaitForLines(lsDir_, "start", 1, 40000)) << "LiteStep did not start";
    Settle();
    EXPECT_EQ("user's step.rc\r\n", ReadTextFile(lsDir_ + "step.rc"))
        << "the refused swap was the first one: no theme now";
    Post(CM_RESTART);
    ASSERT_TRUE(WaitForLines(lsDir_, "start", 2, 40000)) << "LiteStep did not restart";
    Settle();
    EXPECT_EQ(ThemeStep(1), ReadTextFile(lsDir_ + "step.rc")) << "the theme is still current";
    ExpectBoxesSeen({kShellRunningText});
}

TEST_F(ControlWindow, SwapRefused)
{
    // LiteStep with an Explorer folder window open.
    StartManager(Options());
    HANDLE liteStep = OpenStart(lsDir_, 0);
    {
        OwnWindow cabinet("CabinetWClass");
        Post(CM_SWAP);
        EXPECT_TRUE(watcher_->WaitFor(kExplorerWindowsOpenText, 10000));
        Settle();
    }
    EXPECT_TRUE(Alive(liteStep)) << "LiteStep must keep running";
    EXPECT_EQ(0u, LinesStarting(lsDir_, "quit").size()) << "LiteStep must not be asked to quit";
    EXPECT_EQ(0u, LinesStarting(exDir_, "start").size()) << "Explorer must not start";
    ExpectBoxesSeen({kExplorerWindowsOpenText});
    CloseHandle(liteStep);

    // An alternate shell.
    Restart();
    Options alternate;
    alternate.shell = "Alt";
    StartManager(alternate);
    HANDLE alt = OpenStart(altDir_, 0);
    Post(CM_SWAP);
    EXPECT_TRUE(watcher_->WaitFor(kSwapUnavailableText, 10000));
    Settle();
    EXPECT_TRUE(Alive(alt)) << "the alternate shell must keep running";
    EXPECT_EQ(1u, StandInLog(altDir_).size()) << "only its start expected";
    EXPECT_EQ(0u, StandInLog(lsDir_).size() + StandInLog(exDir_).size());
    ExpectBoxesSeen({kSwapUnavailableText});
    CloseHandle(alt);
}

TEST_F(ControlWindow, SwapThemeToggleOfTwo)
{
    StartManager(Options());   // no theme directive: no current theme
    EXPECT_EQ("original step.rc\r\n", ReadTextFile(lsDir_ + "step.rc"));
    const int expected[] = {1, 2, 1};   // -1 gives 0, 0 gives 1, 1 gives 0
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("switch " + std::to_string(i));
        HANDLE old = OpenStart(lsDir_, i);
        Post(CM_SWAPTHEME);
        ASSERT_TRUE(WaitForLines(lsDir_, "start", i + 2, 40000)) << "LiteStep did not start";
        Settle();
        EXPECT_EQ(ThemeStep(expected[i]), ReadTextFile(lsDir_ + "step.rc"));
        DWORD code = 0xdeadbeef;
        GetExitCodeProcess(old, &code);
        EXPECT_EQ(kKilledExitCode, code) << "LiteStep must be killed";
        EXPECT_NE(std::string::npos, LinesStarting(lsDir_, "start")[i + 1].find("shift=1"));
        CloseHandle(old);
    }
    EXPECT_EQ(0u, LinesStarting(lsDir_, "quit").size()) << "LiteStep must not be asked to quit";
    ExpectNoShellTerminatedDialog();
    ExpectBoxesSeen({});
}

TEST_F(ControlWindow, SwapThemeFromList)
{
    Options options;
    options.themes = 3;
    options.theme = "Theme1";
    StartManager(options);
    HANDLE first = OpenStart(lsDir_, 0);

    Post(CM_SWAPTHEME);
    HWND list = WaitForDialogWith(IDC_THEMELIST, 10000);
    ASSERT_TRUE(list != NULL) << "the theme list must open";
    Post(CM_SWAPTHEME);
    Sleep(1000);
    EXPECT_EQ(1u, DialogsWith(IDC_THEMELIST).size()) << "a second request opens no second list";
    HWND items = GetDlgItem(list, IDC_THEMELIST);
    EXPECT_EQ(3, (int)SendMessageA(items, LB_GETCOUNT, 0, 0)) << "one item per theme";
    SendMessageA(items, LB_SETCURSEL, 2, 0);
    PostMessageA(list, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(list, IDOK));
    ASSERT_TRUE(WaitForLines(lsDir_, "start", 2, 40000)) << "LiteStep did not start";
    Settle();
    EXPECT_EQ(ThemeStep(3), ReadTextFile(lsDir_ + "step.rc"));
    DWORD code = 0xdeadbeef;
    GetExitCodeProcess(first, &code);
    EXPECT_EQ(kKilledExitCode, code) << "LiteStep must be killed";
    EXPECT_EQ(0u, DialogsWith(IDC_THEMELIST).size()) << "no list may be left open";

    // Cancel changes nothing.
    HANDLE second = OpenStart(lsDir_, 1);
    Post(CM_SWAPTHEME);
    list = WaitForDialogWith(IDC_THEMELIST, 10000);
    ASSERT_TRUE(list != NULL) << "the theme list must open again";
    PostMessageA(list, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    Settle();
    EXPECT_EQ(0u, DialogsWith(IDC_THEMELIST).size());
    EXPECT_TRUE(Alive(second)) << "LiteStep must keep running after a cancel";
    EXPECT_EQ(2u, LinesStarting(lsDir_, "start").size());
    WriteTextFile(lsDir_ + "step.rc", "user's step.rc\r\n");
    Post(CM_RESTART);
    ASSERT_TRUE(WaitForLines(lsDir_, "start", 3, 40000));
    Settle();
    EXPECT_EQ(ThemeStep(3), ReadTextFile(lsDir_ + "step.rc")) << "the cancel kept the theme";
    EXPECT_EQ(1u, LinesStarting(lsDir_, "quit").size()) << "only the restart asks LiteStep to quit";

    // A quit taken by the list's own loop ends it with no theme chosen.
    HANDLE third = OpenStart(lsDir_, 2);
    Post(CM_SWAPTHEME);
    ASSERT_TRUE(WaitForDialogWith(IDC_THEMELIST, 10000) != NULL) << "the theme list must open";
    Post(CM_QUIT);
    EXPECT_EQ(0u, WaitExit(manager_, 20000)) << "the manager must end with 0";
    EXPECT_TRUE(Alive(third)) << "LiteStep must be left running";
    EXPECT_EQ(3u, LinesStarting(lsDir_, "start").size()) << "no LiteStep may start";
    EXPECT_EQ(ThemeStep(3), ReadTextFile(lsDir_ + "step.rc")) << "no theme may be installed";
    ExpectBoxesSeen({});
    CloseHandle(first);
    CloseHandle(second);
    CloseHandle(third);
}

TEST_F(ControlWindow, SwapThemeRefused)
{
    Options options;
    options.themes = 1;
    options.theme = "Theme1";
    StartManager(options);
    HANDLE liteStep = OpenStart(lsDir_, 0);
    Post(CM_SWAPTHEME);
    EXPECT_TRUE(watcher_->WaitFor(kTooFewThemesText, 10000));
    Settle();
    EXPECT_TRUE(Alive(liteStep)) << "LiteStep must keep running";
    EXPECT_EQ(1u, StandInLog(lsDir_).size()) << "only its start expected";

    Post(CM_SWAP);
    ASSERT_TRUE(WaitForLines(exDir_, "start", 1, 40000)) << "Explorer did not start";
    Settle();
    Post(CM_SWAPTHEME);
    Settle();
    EXPECT_EQ(1u, StandInLog(exDir_).size()) << "Explorer must be left alone";
    EXPECT_EQ(1u, LinesStarting(lsDir_, "start").size()) << "no LiteStep expected";
    ExpectBoxesSeen({kTooFewThemesText});
    CloseHandle(liteStep);
}

TEST_F(ControlWindow, RestartEachKind)
{
    struct Case { const char *shell; const std::string *dir; const char *keys; bool asked; };
    const Case cases[] = {
        {"litestep_exe", &lsDir_, "shift=1 control=0", true},
        {"explorer_exe", &exDir_, "shift=0 control=1", true},
        {"Alt", &altDir_, "shift=0 control=0", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.shell);
        Restart();
        Options options;
        options.shell = c.shell;
        options.shiftDelay = 3;
        StartManager(options);
        HANDLE old = OpenStart(*c.dir, 0);
        {
            // A shell window that would make a start refuse.
            OwnWindow tray("Shell_TrayWnd");
            DWORD start = GetTickCount();
            Post(CM_RESTART);
            ASSERT_TRUE(WaitForLines(*c.dir, "start", 2, 40000)) << "no new start";
            Settle();
            DWORD elapsed = GetTickCount() - start;
            std::string line = LinesStarting(*c.dir, "start")[1];
            EXPECT_NE(std::string::npos, line.find(c.keys)) << "got " << line;
            if (!c.asked) {
                EXPECT_GT(2800u, elapsed) << "no shift_delay wait for an alternate shell";
            }
        }
        EXPECT_FALSE(Alive(old)) << "the old shell must have ended";
        EXPECT_EQ(c.asked ? 1u : 0u, LinesStarting(*c.dir, "quit").size());
        EXPECT_FALSE(KeyDown(VK_SHIFT) || KeyDown(VK_CONTROL)) << "no key may stay down";
        ExpectBoxesSeen({});
        CloseHandle(old);
    }
}

TEST_F(ControlWindow, KillQuitNuke)
{
    // CM_KILL: the manager stays, without a shell, and reports nothing.
    StartManager(Options());
    HANDLE liteStep = OpenStart(lsDir_, 0);
    Post(CM_KILL);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(liteStep, 10000)) << "LiteStep must end";
    EXPECT_EQ(1u, LinesStarting(lsDir_, "quit").size()) << "LiteStep must be asked to quit";
    Sleep(1500);
    Settle();
    ExpectNoShellTerminatedDialog();
    EXPECT_TRUE(Alive(manager_)) << "the manager must keep running";
    EXPECT_EQ(1u, LinesStarting(lsDir_, "start").size()) << "no new shell expected";
    ExpectBoxesSeen({});
    CloseHandle(liteStep);

    // CM_QUIT: the shell stays; the manager ends and names itself the system shell.
    Restart();
    StartManager(Options());
    liteStep = OpenStart(lsDir_, 0);
    Post(CM_QUIT);
    EXPECT_EQ(0u, WaitExit(manager_, 20000)) << "the manager must end with 0";
    EXPECT_TRUE(Alive(liteStep)) << "LiteStep must keep running";
    EXPECT_EQ(0u, LinesStarting(lsDir_, "quit").size());
    ExpectSystemShellIsManager();
    CloseHandle(liteStep);

    // CM_NUKE: the shell is killed, then the manager ends.
    Restart();
    StartManager(Options());
    liteStep = OpenStart(lsDir_, 0);
    Post(CM_NUKE);
    EXPECT_EQ(0u, WaitExit(manager_, 40000)) << "the manager must end with 0";
    DWORD code = 0xdeadbeef;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(liteStep, 0));
    GetExitCodeProcess(liteStep, &code);
    EXPECT_EQ(kKilledExitCode, code) << "LiteStep must be killed";
    EXPECT_EQ(0u, LinesStarting(lsDir_, "quit").size()) << "LiteStep must not be asked";
    ExpectBoxesSeen({});
    CloseHandle(liteStep);
}

TEST_F(ControlWindow, EndingMessagesLeaveShellRunning)
{
    const UINT messages[] = {WM_CLOSE, WM_DESTROY, WM_QUERYENDSESSION};
    for (UINT message : messages) {
        SCOPED_TRACE("message " + std::to_string(message));
        Restart();
        StartManager(Options());
        HANDLE liteStep = OpenStart(lsDir_, 0);
        if (message == WM_QUERYENDSESSION) {
            DWORD_PTR result = 0xdeadbeef;
            EXPECT_TRUE(SendMessageTimeoutA(window_, message, 0, 0, SMTO_NORMAL, 10000, &result));
            EXPECT_EQ(1u, result) << "the session may end";
        } else {
            Post(message);
        }
        EXPECT_EQ(0u, WaitExit(manager_, 20000)) << "the manager must end with 0";
        EXPECT_TRUE(Alive(liteStep)) << "LiteStep must be left running";
        ExpectBoxesSeen({});
        CloseHandle(liteStep);
    }
}

TEST_F(ControlWindow, ShellTerminatedOfferedOnce)
{
    Options options;
    options.liteStepIni = "[standin]\r\nexit_after_ms=1500\r\nexit_code=3\r\n";
    StartManager(options);
    HWND dialog = WaitForDialogWith(IDC_PROMPT, 20000);
    ASSERT_TRUE(dialog != NULL) << "the shell-terminated dialog must open";
    Post(CM_SHELLTERMINATED);   // a second report while the dialog is open
    Sleep(1500);
    EXPECT_EQ(1u, DialogsWith(IDC_PROMPT).size()) << "one dialog at a time";
    EXPECT_EQ(BST_CHECKED, (int)SendMessageA(GetDlgItem(dialog, IDC_LITESTEP), BM_GETCHECK, 0, 0));

    WriteTextFile(lsDir_ + "standin.ini", "");   // the next LiteStep stays
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
    ASSERT_TRUE(WaitForLines(lsDir_, "start", 2, 40000)) << "the dialog must restart LiteStep";
    Settle();
    Sleep(1000);
    ExpectNoShellTerminatedDialog();
    ExpectBoxesSeen({});
}

TEST_F(ControlWindow, ShellTerminatedIgnoredWhileShellWindowExists)
{
    Options options;
    options.shell = "Alt";
    options.alternateIni = "[standin]\r\nexit_after_ms=2000\r\n";
    StartManager(options);
    HANDLE alt = OpenStart(altDir_, 0);
    // A report while our shell process still runs is about an earlier one,
    // even with no desktop shell window about.
    Post(CM_SHELLTERMINATED);
    Settle();
    ExpectNoShellTerminatedDialog();
    OwnWindow tray("Shell_TrayWnd");
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(alt, 20000)) << "the shell must end by itself";
    Sleep(1500);
    Settle();
    ExpectNoShellTerminatedDialog();
    EXPECT_TRUE(Alive(manager_));
    ExpectBoxesSeen({});
    CloseHandle(alt);
}

// The key stays down shift_delay seconds after the new shell is up; -1 lets it
// go at once.
TEST_F(ControlWindow, ShiftDelayHoldsKey)
{
    const int delays[] = {2, -1};
    for (int delay : delays) {
        SCOPED_TRACE("shift_delay " + std::to_string(delay));
        Restart();
        Options options;
        options.shiftDelay = delay;
        StartManager(options);
        ASSERT_FALSE(KeyDown(VK_SHIFT)) << "Shift must be up before the restart";
        Post(CM_RESTART);
        DWORD started = 0, released = 0, begin = GetTickCount();
        bool seenDown = false;
        while (GetTickCount() - begin < 40000 && released == 0) {
            bool down = KeyDown(VK_SHIFT);
            seenDown = seenDown || down;
            if (started == 0 && LinesStarting(lsDir_, "start").size() >= 2)
                started = GetTickCount();
            if (started != 0 && seenDown && !down)
                released = GetTickCount();
            Sleep(10);
        }
        ASSERT_NE(0u, started) << "LiteStep did not restart";
        ASSERT_TRUE(seenDown) << "Shift was never seen down";
        ASSERT_NE(0u, released) << "Shift was not released";
        DWORD held = released - started;
        if (delay == 2) {
            EXPECT_LE(1800u, held) << "Shift must stay down about two seconds";
            EXPECT_GE(5000u, held) << "Shift stayed down too long";
        } else {
            EXPECT_GE(1000u, held) << "Shift must be released at once";
        }
        Settle();
        ExpectBoxesSeen({});
    }
}

// A swap posted while a restart's spawn reports a theme failure waits until
// the restart is over; then one shell runs, and no key stays down.
TEST_F(ControlWindow, RestartReleasesItsOwnKeyAfterNestedSwap)
{
    Options options;
    options.theme = "Theme1";
    StartManager(options, false);
    DeleteFileA((dir_ + "themes\\t1\\step.rc").c_str());
    Post(CM_RESTART);
    ASSERT_TRUE(WaitForWindow("#32770", kCaption, 20000) != NULL) << "the theme failure must show";
    Post(CM_SWAP);
    Sleep(500);
    EXPECT_EQ(0u, LinesStarting(exDir_, "start").size()) << "the swap must wait for the restart";
    WatchBoxes();
    ASSERT_TRUE(WaitForLines(lsDir_, "start", 2, 40000)) << "the restart must go on";
    ASSERT_TRUE(WaitForLines(exDir_, "start", 1, 40000)) << "the swap must follow the restart";
    Settle();
    HANDLE restarted = OpenStart(lsDir_, 1), explorer = OpenStart(exDir_, 0);
    EXPECT_FALSE(Alive(restarted)) << "the swap must stop the restarted LiteStep";
    EXPECT_TRUE(Alive(explorer)) << "Explorer must run";
    CloseHandle(restarted);
    CloseHandle(explorer);
    EXPECT_FALSE(KeyDown(VK_SHIFT)) << "Shift must not stay down";
    EXPECT_FALSE(KeyDown(VK_CONTROL)) << "Control must not stay down";
    EXPECT_EQ(1u, watcher_->Count("theme.  Please check Quillfern.cfg")) << "one theme failure";
}

// Control messages taken by a message box's modal loop nest; none may crash
// the manager or leave a key down.
TEST_F(ControlWindow, BurstWhileMessageBoxOpen)
{
    Options options;
    options.theme = "Theme1";
    options.shiftDelay = 0;
    StartManager(options, false);
    OwnWindow cabinet("CabinetWClass");
    Post(CM_SWAP);
    ASSERT_TRUE(WaitForWindow("#32770", kCaption, 10000) != NULL) << "the message box must open";
    const UINT burst[] = {CM_SWAPTHEME, CM_SWAP,           CM_RESTART, CM_SWAPTHEME,
                          CM_SHELLTERMINATED, CM_SWAP, CM_RESTART};
    for (UINT message : burst)
        Post(message);
    Sleep(2000);
    WatchBoxes();
    DWORD begin = GetTickCount();
    while (watcher_->Count(kExplorerWindowsOpenText) < 3 && GetTickCount() - begin < 60000)
        Sleep(100);
    Settle();
    Settle();
    EXPECT_EQ(3u, watcher_->Count(kExplorerWindowsOpenText)) << "one box per refused swap";
    EXPECT_TRUE(Alive(manager_)) << "the manager must survive";
    EXPECT_FALSE(KeyDown(VK_SHIFT)) << "Shift must not stay down";
    EXPECT_FALSE(KeyDown(VK_CONTROL)) << "Control must not stay down";
    std::vector<std::string> starts = LinesStarting(lsDir_, "start");
    EXPECT_EQ(5u, starts.size()) << "two theme switches and two restarts";
    for (size_t i = 0; i < starts.size(); ++i) {
        HANDLE process = OpenStart(lsDir_, i);
        EXPECT_EQ(i + 1 == starts.size(), Alive(process)) << "only the last LiteStep may run: " << i;
        if (process != NULL)
            CloseHandle(process);
    }
    EXPECT_EQ(0u, StandInLog(exDir_).size()) << "Explorer must not start";
    ExpectNoShellTerminatedDialog();
    Post(CM_QUIT);
    EXPECT_EQ(0u, WaitExit(manager_, 20000)) << "the manager must end normally";
}

}  // namespace
