// The shell-choice dialog, run for real and driven by window messages: its
// texts per shell kind, the countdown, the file choice through the real
// open-file dialog, and the start of the chosen shell.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "dialog_driver.h"
#include "dialogs/dialogs.h"
#include "support/support.h"

using namespace dlgtest;

namespace {

constexpr char kChoicePrompt[] = "Select the shell you would like to use from those listed below:";
constexpr char kRunningShellMessage[] = "Quillfern has detected that a shell\nis already running.";

class ShellChoice : public ::testing::Test {
protected:
    void SetUp() override
    {
        EndTestShells();
        dir_ = MakeScratchDir("shell_choice");
        ResetState(dir_);
        gState.askBoot = true;
    }
    void TearDown() override { EndTestShells(); }

    std::string dir_;
    SavedRegValue savedShell_{HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell"};
};

// The number in a countdown caption, -1 for the plain title, -2 for anything
// else.
int CountdownShown(const std::string &caption)
{
    if (caption == kTitle)
        return -1;
    int shown = -3;
    char tail[8] = "";
    std::string prefix = std::string(kTitle) + "   ::: ";
    if (caption.compare(0, prefix.size(), prefix) != 0 ||
        sscanf(caption.c_str() + prefix.size(), "%d %7s", &shown, tail) != 2 ||
        strcmp(tail, ":::") != 0)
        return -2;
    return shown;
}

// Records every caption change until the dialog closes or timeoutMs pass.
struct CaptionLog {
    std::vector<std::string> captions;
    std::vector<DWORD> times;
};

CaptionLog WatchCaption(ModalDialog &dialog, DWORD timeoutMs)
{
    CaptionLog log;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs && !dialog.WaitClosed(0)) {
        std::string caption = Text(dialog.window());
        if (!caption.empty() && (log.captions.empty() || log.captions.back() != caption)) {
            log.captions.push_back(caption);
            log.times.push_back(GetTickCount());
        }
        Sleep(10);
    }
    return log;
}

std::string Joined(const std::vector<std::string> &lines)
{
    std::string all;
    for (const std::string &line : lines)
        all += "[" + line + "] ";
    return all;
}

bool WaitCaptionCounting(HWND dialog, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (CountdownShown(Text(dialog)) >= 0)
            return true;
        Sleep(10);
    }
    return false;
}

}  // namespace

TEST_F(ShellChoice, TextsAndCheckedRadioFollowShellKind)
{
    struct Case {
        ShellKind kind;
        int checked;
        const char *other;
    } cases[] = {
        {SHELL_LITESTEP, IDC_LITESTEP, "Start Other..."},
        {SHELL_EXPLORER, IDC_EXPLORER, "Start Other..."},
        // The configured name at its longest (63 characters) is not cut.
        {SHELL_ALTERNATE, IDC_REBOOT_OTHER,
         "Start Fern-Shell-With-A-Name-As-Long-As-The-Configuration-Allows-Thus"},
    };
    CopyText(gState.altShells[0].name, "First");
    CopyText(gState.altShells[1].name, "Fern-Shell-With-A-Name-As-Long-As-The-Configuration-Allows-Thus");
    ASSERT_EQ(63u, strlen(gState.altShells[1].name));
    CopyText(gState.altShells[1].path, "C:\\Shells\\Fern.exe");
    gState.altShellCount = 2;

    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "shellKind " << c.kind);
        gState.shellKind = c.kind;
        gState.altShellIndex = c.kind == SHELL_ALTERNATE ? 1 : -1;
        CopyText(gState.alternatePath, c.kind == SHELL_ALTERNATE ? gState.altShells[1].path : "");
        gState.askBoot = true;
        gState.startDelay = 0;
        ModalDialog dialog("IDD_OPTIONS_DLG", ShellChoiceDlgProc);
        HWND window = dialog.WaitOpen(IDC_PROMPT);
        ASSERT_TRUE(window);

        EXPECT_EQ(kTitle, Text(window));
        EXPECT_EQ(kChoicePrompt, ItemText(window, IDC_PROMPT));
        EXPECT_EQ("Start LiteStep", ItemText(window, IDC_LITESTEP));
        EXPECT_EQ("Start Explorer", ItemText(window, IDC_EXPLORER));
        EXPECT_EQ(c.other, ItemText(window, IDC_REBOOT_OTHER));
        EXPECT_EQ("Terminate after spawn", ItemText(window, IDC_TERMINATE));
        for (int id = IDC_LITESTEP; id <= IDC_REBOOT_OTHER; id++)
            EXPECT_EQ(id == c.checked, ItemChecked(window, id)) << "radio " << id;
        EXPECT_FALSE(ItemChecked(window, IDC_TERMINATE)) << "the check box starts unticked";
        EXPECT_FALSE(ItemVisible(window, IDC_LOGOFF)) << "Logoff must be hidden";
        EXPECT_FALSE(ItemVisible(window, IDC_SHUTDOWN)) << "Shutdown must be hidden";
        EXPECT_TRUE(ItemVisible(window, IDC_TERMINATE));
        EXPECT_TRUE(ItemVisible(window, IDC_REBOOT_OTHER));
        EXPECT_FALSE(gState.askBoot) << "opening the dialog must clear askBoot";

        if (c.kind == SHELL_LITESTEP) {
            // Without a start delay there is no countdown.
            Sleep(1300);
            EXPECT_EQ(kTitle, Text(window)) << "no countdown with start_delay 0";
            EXPECT_EQ(0u, gState.countdownDeadline);
            SaveScreenshot(window, "shell_choice");
        }
        dialog.EndByTest();
        EXPECT_EQ(kEndedByTest, dialog.result());
    }
}

TEST_F(ShellChoice, CountdownCountsDownAndStartsThePreselectedShell)
{
    gState.shellKind = SHELL_LITESTEP;
    gState.startDelay = 3;
    ModalDialog dialog("IDD_OPTIONS_DLG", ShellChoiceDlgProc);
    HWND window = dialog.WaitOpen(IDC_PROMPT);
    ASSERT_TRUE(window);
    CaptionLog log = WatchCaption(dialog, 6000);
    ASSERT_TRUE(dialog.WaitClosed(3000)) << "the countdown did not end the dialog; captions: "
                                          << Joined(log.captions);

    // The numbers shown, and when the countdown ran out: the first caption
    // after them (the 0, or the title restored by the posted OK).
    std::vector<int> numbers;
    DWORD firstShown = 0, expired = 0;
    for (size_t i = 0; i < log.captions.size(); i++) {
        int shown = CountdownShown(log.captions[i]);
        EXPECT_NE(-2, shown) << "unexpected caption [" << log.captions[i] << "]";
        if (shown > 0) {
            numbers.push_back(shown);
            if (!firstShown)
                firstShown = log.times[i];
        } else if (firstShown && !expired) {
            expired = log.times[i];
        }
    }
    EXPECT_EQ((std::vector<int>{3, 2, 1}), numbers) << "captions: " << Joined(log.captions);
    ASSERT_TRUE(firstShown && expired) << "captions: " << Joined(log.captions);
    EXPECT_GE(expired - firstShown, 2000u) << "the countdown of 3 ran out too early";
    EXPECT_LE(expired - firstShown, 3400u) << "the countdown of 3 ran out too late";

    EXPECT_EQ(0, dialog.result()) << "a successful start ends the dialog with 0";
    EXPECT_FALSE(dialog.quitPosted()) << "no quit without the check box";
    EXPECT_TRUE(WaitTestShell("LiteStep.exe", 5000)) << "the preselected LiteStep did not start";
    EXPECT_EQ(SHELL_LITESTEP, gState.shellKind);
    EXPECT_EQ(0u, gState.countdownDeadline) << "the expired countdown must reset its deadline";
}

TEST_F(ShellChoice, ClickStopsTheCountdownForGood)
{
    // A radio button and the check box alike.
    for (int clicked : {IDC_LITESTEP, IDC_TERMINATE}) {
        SCOPED_TRACE(testing::Message() << "clicked control " << clicked);
        EndTestShells();
        gState.shellKind = SHELL_EXPLORER;
        gState.startDelay = 2;
        gState.countdownDeadline = 0;
        ModalDialog dialog("IDD_OPTIONS_DLG", ShellChoiceDlgProc);
        HWND window = dialog.WaitOpen(IDC_PROMPT);
        ASSERT_TRUE(window);
        ASSERT_TRUE(WaitCaptionCounting(window, 3000)) << "no countdown; caption " << Text(window);

        Click(window, clicked);
        Settle(window);
        EXPECT_EQ(kTitle, Text(window)) << "a click must restore the caption";
        EXPECT_TRUE(ItemChecked(window, clicked));

        CaptionLog log = WatchCaption(dialog, 3500);
        EXPECT_FALSE(dialog.WaitClosed(0)) << "the stopped countdown still ended the dialog";
        EXPECT_EQ((std::vector<std::string>{kTitle}), log.captions)
            << "the caption changed after the stop";
        EXPECT_FALSE(FindWindowA(kShellClass, NULL)) << "a shell started without OK";

        if (clicked == IDC_TERMINATE) {
            // The user ticks the box back off; OK starts Explorer and the
            // manager stays.
            Click(window, IDC_TERMINATE);
            Settle(window);
            EXPECT_FALSE(ItemChecked(window, IDC_TERMINATE));
        }
        Click(window, IDOK);
        ASSERT_TRUE(dialog.WaitClosed(10000)) << "OK did not end the dialog";
        EXPECT_EQ(0, dialog.result());
        EXPECT_FALSE(dialog.quitPosted()) << "no quit without the check box";
        const char *expected = clicked == IDC_LITESTEP ? "LiteStep.exe" : "Explorer.exe";
        EXPECT_TRUE(WaitTestShell(expected, 5000)) << expected << " did not start";
    }
}

TEST_F(ShellChoice, EscapeStopsTheCountdownAndTheDialogStays)
{
    gState.shellKind = SHELL_EXPLORER;
    gState.startDelay = 2;
    ModalDialog dialog("IDD_OPTIONS_DLG", ShellChoiceDlgProc);
    HWND window = dialog.WaitOpen(IDC_PROMPT);
    ASSERT_TRUE(window);
    ASSERT_TRUE(WaitCaptionCounting(window, 3000)) << "no countdown; caption " << Text(window);

    PressEscape(window);
    Settle(window);
    EXPECT_EQ(kTitle, Text(window)) << "Esc must restore the caption";
    CaptionLog log = WatchCaption(dialog, 3500);
    EXPECT_FALSE(dialog.WaitClosed(0)) << "Esc must not end the dialog";
    EXPECT_EQ((std::vector<std::string>{kTitle}), log.captions) << "the countdown went on";
    EXPECT_TRUE(ItemChecked(window, IDC_EXPLORER)) << "Esc must leave the choice alone";
    EXPECT_FALSE(FindWindowA(kShellClass, NULL)) << "a shell started after Esc";
    dialog.EndByTest();
}

TEST_F(ShellChoice, RefusedStartKeepsTheDialogOpen)
{
    // A desktop shell's window, whoever owns it, makes StartShell refuse.
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "Shell_TrayWnd";
    RegisterClassA(&wc);
    HWND tray = CreateWindowA("Shell_TrayWnd", "", WS_POPUP, 0, 0, 1, 1, NULL, NULL,
                         GetModuleHandleA(NULL), NULL);
    ASSERT_TRUE(tray) << "could not create the tray window: " << GetLastError();

    gState.shellKind = SHELL_LITESTEP;
    gState.startDelay = 1;
    MessageBoxWatcher boxes;
    ModalDialog dialog("IDD_OPTIONS_DLG", ShellChoiceDlgProc);
    HWND window = dialog.WaitOpen(IDC_PROMPT);
    ASSERT_TRUE(window);

    // The countdown's own OK meets the running shell.
    ASSERT_TRUE(boxes.WaitFor(kRunningShellMessage, 5000)) << "no message about the running shell";
    Settle(window);
    EXPECT_FALSE(dialog.WaitClosed(500)) << "a refused start must keep the dialog open";
    EXPECT_EQ(kTitle, Text(window)) << "the caption must be restored";
    CaptionLog log = WatchCaption(dialog, 2500);
    EXPECT_EQ((std::vector<std::string>{kTitle}), log.captions) << "the countdown came back";
    EXPECT_EQ(1u, boxes.Seen().size()) << "exactly one message";
    EXPECT_FALSE(FindWindowA(kShellClass, NULL)) << "a shell started although one runs";

    // Once the other shell has gone, OK starts the choice.
    DestroyWindow(tray);
    UnregisterClassA("Shell_TrayWnd", GetModuleHandleA(NULL));
    Click(window, IDOK);
    ASSERT_TRUE(dialog.WaitClosed(10000)) << "OK did not end the dialog";
    EXPECT_TRUE(WaitTestShell("LiteStep.exe", 5000));
}

// ---- The file choice, through the real open-file dialog ----------------------

namespace {

// The file name box of the open-file dialog: an edit, or the edit inside a
// combo box.
HWND FileNameBox(HWND fileDialog)
{
    HWND box = GetDlgItem(fileDialog, 0x480);   // edt1
    if (!box) {
        HWND combo = GetDlgItem(fileDialog, 0x47c);   // cmb13
        if (combo)
            box = FindWindowExA(combo, NULL, "Edit", NULL);
        if (!box)
            box = combo;
    }
    return box;
}

HWND WaitFileDialog(ModalDialog &dialog)
{
    return WaitThreadDialog(dialog.threadId(), "Select Shell Executable", 0, IDC_PROMPT, 10000);
}

}  // namespace

TEST_F(ShellChoice, ChosenProgramBecomesTheAlternateShell)
{
    std::string shells = MakeScratchDir("shell_choice_programs");
    std::string program = PlaceTestShell(shells, "MyShell.exe");
    gState.shellKind = SHELL_ALTERNATE;
    CopyText(gState.altShells[0].name, "Configured");
    gState.altShellCount = 1;
    gState.altShellIndex = 0;

    ModalDialog dialog("IDD_OPTIONS_DLG", ShellChoiceDlgProc);
    HWND window = dialog.WaitOpen(IDC_PROMPT);
    ASSERT_TRUE(window);
    EXPECT_EQ("Start Configured", ItemText(window, IDC_REBOOT_OTHER));

    Click(window, IDC_REBOOT_OTHER);
    HWND files = WaitFileDialog(dialog);
    ASSERT_TRUE(files) << "the open-file dialog did not appear";
    HWND name = FileNameBox(files);
    ASSERT_TRUE(name) << "no file name box in the open-file dialog";
    SendMessageA(name, WM_SETTEXT, 0, (LPARAM)program.c_str());
    PostMessageA(files, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(files, IDOK));
    for (int i = 0; i < 500 && IsWindow(files); i++)
        Sleep(20);
    ASSERT_FALSE(IsWindow(files)) << "the open-file dialog did not take the file";
    Settle(window);

    EXPECT_EQ("Start MyShell", ItemText(window, IDC_REBOOT_OTHER));
    EXPECT_STRCASEEQ(program.c_str(), gState.alternatePath);
    EXPECT_TRUE(ItemChecked(window, IDC_REBOOT_OTHER));
    EXPECT_EQ(0, gState.altShellIndex) << "the choice must leave altShellIndex alone";

    Click(window, IDOK);
    ASSERT_TRUE(dialog.WaitClosed(10000)) << "OK did not end the dialog";
    EXPECT_TRUE(WaitTestShell("MyShell.exe", 5000)) << "the chosen program did not start";
    EXPECT_EQ(SHELL_ALTERNATE, gState.shellKind);
}

TEST_F(ShellChoice, CancelledFileChoiceFallsBack)
{
    struct Case {
        ShellKind kind;
        int fallback;
    } cases[] = {
        {SHELL_ALTERNATE, IDC_EXPLORER},
        {SHELL_LITESTEP, IDC_LITESTEP},
        {SHELL_EXPLORER, IDC_EXPLORER},
    };
    CopyText(gState.altShells[0].name, "Configured");
    gState.altShellCount = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "shellKind " << c.kind);
        gState.shellKind = c.kind;
        gState.altShellIndex = c.kind == SHELL_ALTERNATE ? 0 : -1;
        CopyText(gState.alternatePath, "C:\\Before\\Previous.exe");
        ModalDialog dialog("IDD_OPTIONS_DLG", ShellChoiceDlgProc);
        HWND window = dialog.WaitOpen(IDC_PROMPT);
        ASSERT_TRUE(window);

        Click(window, IDC_REBOOT_OTHER);
        HWND files = WaitFileDialog(dialog);
        ASSERT_TRUE(files) << "the open-file dialog did not appear";
        PostMessageA(files, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     (LPARAM)GetDlgItem(files, IDCANCEL));
        for (int i = 0; i < 500 && IsWindow(files); i++)
            Sleep(20);
        ASSERT_FALSE(IsWindow(files)) << "the open-file dialog did not close";
        Settle(window);

        for (int id = IDC_LITESTEP; id <= IDC_SHUTDOWN; id++)
            EXPECT_EQ(id == c.fallback, ItemChecked(window, id)) << "radio " << id;
        EXPECT_EQ("Start Other...", ItemText(window, IDC_REBOOT_OTHER));
        EXPECT_STREQ("C:\\Before\\Previous.exe", gState.alternatePath);
        EXPECT_FALSE(dialog.WaitClosed(0)) << "cancelling must not end the dialog";
        dialog.EndByTest();
    }
}

// ---- The manager itself ------------------------------------------------------

namespace {

struct ProcessDialogArgs {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindProcessDialog(HWND window, LPARAM param)
{
    ProcessDialogArgs *args = (ProcessDialogArgs *)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char cls[64];
    GetClassNameA(window, cls, sizeof(cls));
    if (pid == args->pid && strcmp(cls, "#32770") == 0 && GetDlgItem(window, IDC_PROMPT)) {
        args->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitProcessDialog(HANDLE process, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        ProcessDialogArgs args = {GetProcessId(process), NULL};
        EnumWindows(FindProcessDialog, (LPARAM)&args);
        if (args.found || GetTickCount() - start > timeoutMs)
            return args.found;
        Sleep(20);
    }
}

}  // namespace

// The manager asked by its configuration for the dialog: the countdown runs
// in the caption; ticking "Terminate after spawn" stops it, OK starts
// Explorer, and the manager ends while Explorer keeps running.
TEST(ShellChoiceManager, CountdownThenTerminateAfterSpawn)
{
    KillStrays();
    SavedRegValue shell(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell");
    MessageBoxWatcher boxes;
    std::string dir = MakeScratchDir("shell_choice_manager");
    std::string explorer = PlaceStandIn(STANDIN_EXPLORER, dir, "Explorer.exe");
    std::string config = "[Quillfern]\r\n"
                         "litestep_exe=" + dir + "NoLiteStep.exe\r\n"
                         "explorer_exe=" + explorer + "\r\n"
                         "[default]\r\n"
                         "shell=explorer_exe\r\n"
                         "ask_boot=1\r\n"
                         "start_delay=4\r\n";
    std::string manager = InstallManagerCopy(dir, config);
    HANDLE process = StartProcess(manager);
    ASSERT_TRUE(process) << "could not start " << manager;

    HWND window = WaitProcessDialog(process, 15000);
    ASSERT_TRUE(window) << "the manager showed no shell-choice dialog";
    EXPECT_TRUE(ItemChecked(window, IDC_EXPLORER)) << "Explorer is the configured shell";
    ASSERT_TRUE(WaitCaptionCounting(window, 3000)) << "no countdown; caption " << Text(window);

    Click(window, IDC_TERMINATE);
    Sleep(300);
    EXPECT_EQ(kTitle, Text(window)) << "the click must stop the countdown";
    EXPECT_TRUE(ItemChecked(window, IDC_TERMINATE));
    Click(window, IDOK);

    EXPECT_EQ(0u, WaitExit(process, 20000)) << "the manager must end after the start";
    HWND tray = WaitForWindow("Shell_TrayWnd", NULL, 5000);
    EXPECT_TRUE(tray) << "Explorer must keep running after the manager ended";
    std::vector<std::string> log = StandInLog(dir);
    EXPECT_EQ(1u, log.size()) << "Explorer's log: one start and no end";
    EXPECT_TRUE(boxes.Seen().empty()) << "no message expected, got " << boxes.Seen().size();
    CloseHandle(process);
    KillStrays();
}
