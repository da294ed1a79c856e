// The shell-terminated dialog, run for real: its labels by the lost shell's
// kind, OK acting on the first checked choice, Esc ignored.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "dialog_driver.h"
#include "dialogs/dialogs.h"

using namespace dlgtest;

namespace {

constexpr char kTerminatedPrompt[] =
    "Quillfern has detected that your current shell has terminated.  Select from the options below:";
constexpr char kRunningShellMessage[] = "Quillfern has detected that a shell\nis already running.";

std::vector<UINT> gExitRequests;

BOOL WINAPI RecordExitWindowsEx(UINT flags, DWORD reason)
{
    gExitRequests.push_back(flags);
    EXPECT_EQ(0u, reason) << "no reason code is given";
    return TRUE;
}

class ShellTerminated : public ::testing::Test {
protected:
    void SetUp() override
    {
        EndTestShells();
        dir_ = MakeScratchDir("shell_terminated");
        ResetState(dir_);
        CopyText(gState.altShells[0].name, "Bracken");
        CopyText(gState.altShells[0].path, PlaceTestShell(dir_, "Bracken.exe").c_str());
        gState.altShellCount = 1;
        gExitRequests.clear();
        savedExit_ = gExitWindowsEx;
        gExitWindowsEx = RecordExitWindowsEx;
    }
    void TearDown() override
    {
        gExitWindowsEx = savedExit_;
        EndTestShells();
    }

    // The state after the current alternate shell `index` ended.
    void LoseAlternate(LONG index, const std::string &path)
    {
        gState.shellKind = SHELL_ALTERNATE;
        gState.altShellIndex = index;
        CopyText(gState.alternatePath, path.c_str());
    }

    std::string dir_;
    SavedRegValue savedShell_{HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell"};
    ExitWindowsExFn savedExit_ = NULL;
};

}  // namespace

TEST_F(ShellTerminated, LabelsFollowTheLostShell)
{
    // A chosen program's file name may take up most of a path.
    std::string longName(250, 'n');
    std::string longPath = "C:\\" + longName + ".exe";
    CopyText(gState.altShells[0].path, "C:\\Shells\\bracken.exe");
    struct Case {
        ShellKind kind;
        LONG altIndex;
        std::string alternatePath;
        int checked;
        std::string third;
    } cases[] = {
        {SHELL_LITESTEP, -1, "", IDC_LITESTEP, "Reboot"},
        {SHELL_EXPLORER, -1, "", IDC_EXPLORER, "Reboot"},
        {SHELL_ALTERNATE, 0, "C:\\Shells\\Bracken.EXE", IDC_REBOOT_OTHER, "Restart Bracken"},
        {SHELL_ALTERNATE, -1, "C:\\Shells\\MyShell.exe", IDC_REBOOT_OTHER, "Restart MyShell"},
        // Picked in the shell-choice dialog although a configured one was
        // current: the picked program is what OK restarts.
        {SHELL_ALTERNATE, 0, "C:\\Shells\\MyShell.exe", IDC_REBOOT_OTHER, "Restart MyShell"},
        {SHELL_ALTERNATE, -1, longPath, IDC_REBOOT_OTHER, "Restart " + longName},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "shellKind " << c.kind << ", altShellIndex "
                                        << c.altIndex << ", " << c.alternatePath.substr(0, 24));
        gState.shellKind = c.kind;
        gState.altShellIndex = c.altIndex;
        CopyText(gState.alternatePath, c.alternatePath.c_str());
        ModalDialog dialog("IDD_OPTIONS_DLG", ShellTerminatedDlgProc);
        HWND window = dialog.WaitOpen(IDC_PROMPT);
        ASSERT_TRUE(window);

        EXPECT_EQ(kTitle, Text(window));
        EXPECT_EQ(kTerminatedPrompt, ItemText(window, IDC_PROMPT));
        EXPECT_EQ("Restart LiteStep", ItemText(window, IDC_LITESTEP));
        EXPECT_EQ("Restart Explorer", ItemText(window, IDC_EXPLORER));
        EXPECT_EQ(c.third, ItemText(window, IDC_REBOOT_OTHER));
        EXPECT_EQ("Logoff", ItemText(window, IDC_LOGOFF));
        EXPECT_EQ("Shutdown", ItemText(window, IDC_SHUTDOWN));
        for (int id = IDC_LITESTEP; id <= IDC_SHUTDOWN; id++) {
            EXPECT_EQ(id == c.checked, ItemChecked(window, id)) << "radio " << id;
            EXPECT_TRUE(ItemVisible(window, id)) << "radio " << id << " must be shown";
        }
        EXPECT_FALSE(ItemVisible(window, IDC_TERMINATE)) << "the check box must be hidden";

        if (c.kind == SHELL_LITESTEP) {
            // Esc does nothing: no choice made, the dialog stays.
            PressEscape(window);
            Settle(window);
            EXPECT_FALSE(dialog.WaitClosed(300)) << "Esc must not end the dialog";
            EXPECT_TRUE(ItemChecked(window, IDC_LITESTEP));
            SaveScreenshot(window, "shell_terminated");
        }
        dialog.EndByTest();
        EXPECT_TRUE(gExitRequests.empty()) << "nothing may end the session without OK";
        EXPECT_FALSE(FindWindowA(kShellClass, NULL)) << "nothing may start without OK";
    }
}

TEST_F(ShellTerminated, OkActsOnTheFirstCheckedChoice)
{
    struct Case {
        ShellKind lost;
        int click;               // 0: the preselected choice
        const char *started;     // the test shell that must start, or NULL
        int exitFlags;           // the ExitWindowsEx request, or -1
    } cases[] = {
        {SHELL_LITESTEP, 0, "LiteStep.exe", -1},
        {SHELL_EXPLORER, 0, "Explorer.exe", -1},
        {SHELL_ALTERNATE, 0, "Bracken.exe", -1},
        {SHELL_LITESTEP, IDC_EXPLORER, "Explorer.exe", -1},
        {SHELL_EXPLORER, IDC_REBOOT_OTHER, NULL, 2},
        {SHELL_ALTERNATE, IDC_LOGOFF, NULL, 0},
        {SHELL_LITESTEP, IDC_SHUTDOWN, NULL, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "lost " << c.lost << ", clicked " << c.click);
        EndTestShells();
        gExitRequests.clear();
        gState.shellKind = c.lost;
        if (c.lost == SHELL_ALTERNATE)
            LoseAlternate(0, gState.altShells[0].path);
        ModalDialog dialog("IDD_OPTIONS_DLG", ShellTerminatedDlgProc);
        HWND window = dialog.WaitOpen(IDC_PROMPT);
        ASSERT_TRUE(window);
        if (c.click) {
            Click(window, c.click);
            Settle(window);
            ASSERT_TRUE(ItemChecked(window, c.click));
        }
        Click(window, IDOK);
        ASSERT_TRUE(dialog.WaitClosed(10000)) << "OK must end the dialog";
        EXPECT_EQ(0, dialog.result());

        if (c.started)
            EXPECT_TRUE(WaitTestShell(c.started, 5000)) << c.started << " did not start";
        else
            EXPECT_FALSE(FindWindowA(kShellClass, NULL)) << "a shell started";
        std::vector<UINT> expected;
        if (c.exitFlags >= 0)
            expected.push_back((UINT)c.exitFlags);
        EXPECT_EQ(expected, gExitRequests) << "the session exit requests";
    }
}

TEST_F(ShellTerminated, RefusedRestartStillClosesTheDialog)
{
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "TWharfGlobalContainer";
    RegisterClassA(&wc);
    HWND wharf = CreateWindowA("TWharfGlobalContainer", "", WS_POPUP, 0, 0, 1, 1, NULL, NULL,
                               GetModuleHandleA(NULL), NULL);
    ASSERT_TRUE(wharf) << "could not create the other shell's window: " << GetLastError();

    gState.shellKind = SHELL_LITESTEP;
    MessageBoxWatcher boxes;
    ModalDialog dialog("IDD_OPTIONS_DLG", ShellTerminatedDlgProc);
    HWND window = dialog.WaitOpen(IDC_PROMPT);
    ASSERT_TRUE(window);
    Click(window, IDOK);
    EXPECT_TRUE(boxes.WaitFor(kRunningShellMessage, 5000)) << "no message about the running shell";
    EXPECT_TRUE(dialog.WaitClosed(5000)) << "the dialog must close after the refusal";
    EXPECT_EQ(0, dialog.result());
    EXPECT_FALSE(FindWindowA(kShellClass, NULL)) << "a shell started although one runs";

    DestroyWindow(wharf);
    UnregisterClassA("TWharfGlobalContainer", GetModuleHandleA(NULL));
}
