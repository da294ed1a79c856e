// Stray window messages: ten thousand random messages posted to the control
// window of a running manager. It must survive them, leave its shell alone
// and still obey a kill request afterwards.
#include <gtest/gtest.h>

#include <map>

#include "config/state.h"
#include "test_robust.h"

using robust::Random;

namespace {

constexpr int kMessages = 10000;
constexpr int kBatch = 250;
constexpr unsigned kSeed = 4242;

// Left out, each for a reason. (WM_TIMER and WM_SYSTIMER with a random
// callback address stay in: Wine's DispatchMessage calls only callbacks of
// timers that exist. Messages whose parameters are pointers the system would
// follow, such as WM_SETTEXT, WM_CREATE or WM_COPYDATA, stay in too: PostMessage
// refuses them itself, and the test counts them.)
struct LeftOut {
    UINT message;
    const char *name;
    const char *why;
};
const LeftOut kLeftOut[] = {
    // The manager ends on these by design.
    {WM_DESTROY, "WM_DESTROY", "ends the manager by design"},
    {WM_CLOSE, "WM_CLOSE", "ends the manager by design"},
    {WM_QUERYENDSESSION, "WM_QUERYENDSESSION", "ends the manager by design"},
    {WM_QUIT, "WM_QUIT", "ends any message loop, by design of GetMessage"},
    {CM_QUIT, "CM_QUIT", "ends the manager by design"},
    {CM_NUKE, "CM_NUKE", "kills the shell and ends the manager by design"},
    {CM_REBOOT, "CM_REBOOT", "ends the Windows session by design"},
    {CM_SHUTDOWN, "CM_SHUTDOWN", "ends the Windows session by design"},
    {CM_LOGOFF, "CM_LOGOFF", "ends the Windows session by design"},
    // These act on the shell by design; the storm check posts them.
    {CM_KILL, "CM_KILL", "stops the shell by design"},
    {CM_SWAP, "CM_SWAP", "replaces the shell by design"},
    {CM_SWAPTHEME, "CM_SWAPTHEME", "replaces the shell by design"},
    {CM_RESTART, "CM_RESTART", "restarts the shell by design"},
};

// The name and reason of a message left out; NULL for one that is posted.
const LeftOut *LeftOutFor(UINT message, WPARAM wParam)
{
    static const LeftOut kSysClose = {WM_SYSCOMMAND, "WM_SYSCOMMAND SC_CLOSE", "sends WM_CLOSE"};
    static const LeftOut kAltF4 = {WM_SYSKEYDOWN, "WM_SYSKEYDOWN VK_F4", "Alt+F4 sends WM_CLOSE"};
    for (const LeftOut &l : kLeftOut)
        if (l.message == message)
            return &l;
    // The close command of the system menu, and the key that gives it.
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE)
        return &kSysClose;
    if (message == WM_SYSKEYDOWN && wParam == VK_F4)
        return &kAltF4;
    return NULL;
}

// Message numbers from 0 to 0xFFFF, about half of them among the system's own
// (below WM_USER), where DefWindowProc gives them a meaning; parameters small
// (codes, flags, keys) or any 32- or 64-bit value.
UINT RandomMessage(Random &r)
{
    // The shell's end report, with random parameters, while the shell runs:
    // the one control message that must leave a running shell alone.
    if (r.OneIn(50))
        return CM_SHELLTERMINATED;
    switch (r.Below(4)) {
    case 0:
    case 1:  return r.Below(WM_USER);
    case 2:  return WM_USER + r.Below(0x8000 - WM_USER);
    default: return 0x8000 + r.Below(0x8000);
    }
}

ULONG_PTR RandomParam(Random &r)
{
    switch (r.Below(4)) {
    case 0:  return r.Below(16);
    case 1:  return r.Below(0x10000);
    case 2:  return r.Next() | ((ULONG_PTR)r.OneIn(2) << 31);
    default: return ((ULONG_PTR)r.Next() << 32) | r.Next();
    }
}

TEST(RobustMessages, TenThousandStrayMessagesToTheControlWindow)
{
    robust::ManagerRun run("robust_messages");
    MessageBoxWatcher watcher;
    ASSERT_TRUE(run.Start(run.Config("shell=litestep_exe\r\nkill_delay=5\r\n")))
        << "the manager did not come up";
    ASSERT_NE((HWND)NULL, WaitForWindow("TApplication", "LiteStep", 20000))
        << "LiteStep's stand-in did not start";
    DWORD shellPid = robust::LastStartedPid(run.LiteStepDir());
    ASSERT_NE(0u, shellPid) << "no start in LiteStep's stand-in log";

    Random r(kSeed);
    std::map<std::string, int> leftOut;
    std::map<UINT, int> refused;      // the system would not post them
    int posted = 0, tried = 0, batches = 0, releases = 0;
    // The first marker sets the visible style: start from it cleared.
    ASSERT_TRUE(robust::Drained(run.control, false, 5000, &releases)) << "the manager takes no WM_SETREDRAW";
    DWORD start = GetTickCount();
    while (posted < kMessages) {
        std::vector<std::string> batch;
        for (int i = 0; i < kBatch && posted < kMessages; i++) {
            UINT message = RandomMessage(r);
            WPARAM wParam = RandomParam(r);
            LPARAM lParam = (LPARAM)RandomParam(r);
            tried++;
            if (const LeftOut *l = LeftOutFor(message, wParam)) {
                leftOut[std::string(l->name) + " (" + l->why + ")"]++;
                continue;
            }
            SetLastError(0xdeadbeef);
            if (!PostMessageA(run.control, message, wParam, lParam)) {
                refused[message]++;
                continue;
            }
            posted++;
            char line[96];
            snprintf(line, sizeof line, "0x%04X %llX %llX", message,
                     (unsigned long long)wParam, (unsigned long long)lParam);
            batch.push_back(line);
        }
        bool settled = robust::Drained(run.control, ++batches % 2 == 1, 15000, &releases);
        if (!run.Alive() || !settled) {
            std::string list;
            for (const std::string &m : batch)
                list += m + "\n";
            GUITHREADINFO gui = {};
            gui.cbSize = sizeof gui;
            DWORD thread = GetWindowThreadProcessId(run.control, NULL);
            GetGUIThreadInfo(thread, &gui);
            char windowClass[64] = "";
            if (gui.hwndActive) GetClassNameA(gui.hwndActive, windowClass, sizeof windowClass);
            FAIL() << "gui flags " << gui.flags << " capture " << gui.hwndCapture << " active " << gui.hwndActive << " " << windowClass << " after " << posted << " messages the manager "
                   << (run.Alive() ? "no longer takes messages" : "is gone")
                   << " (exit code " << WaitExit(run.process, 0) << "); the last batch:\n"
                   << list;
        }
    }
    DWORD elapsed = GetTickCount() - start;

    EXPECT_TRUE(run.Alive()) << "the manager ended";
    EXPECT_TRUE(IsWindow(run.control)) << "the control window is gone";
    EXPECT_TRUE(robust::ProcessRuns(shellPid)) << "LiteStep's stand-in no longer runs";
    EXPECT_EQ(1, robust::CountLog(run.LiteStepDir(), "start")) << "LiteStep was started again";
    EXPECT_EQ(0, robust::CountLog(run.LiteStepDir(), "quit")) << "LiteStep was asked to quit";
    EXPECT_EQ(0u, watcher.Seen().size()) << "message boxes were shown, the first: "
                                         << (watcher.Seen().empty() ? "" : watcher.Seen()[0]);

    // Still obeys: a kill request stops the shell (asked, not reported).
    PostMessageA(run.control, CM_KILL, 0, 0);
    EXPECT_TRUE(WaitForNoWindow("TApplication", "LiteStep", 15000))
        << "LiteStep did not go on CM_KILL";
    EXPECT_EQ(1, robust::CountLog(run.LiteStepDir(), "quit wparam=2"))
        << "LiteStep was not asked to quit with 9260/2";
    EXPECT_TRUE(robust::Drained(run.control, batches % 2 == 0, 15000, &releases))
        << "the manager did not take CM_KILL";
    Sleep(300);
    EXPECT_TRUE(run.Alive()) << "the manager ended with its shell";
    EXPECT_EQ(0u, watcher.Seen().size()) << "a message or dialog after CM_KILL";
    PostMessageA(run.control, CM_QUIT, 0, 0);
    EXPECT_EQ(0u, WaitExit(run.process, 15000)) << "exit code after CM_QUIT";

    std::string refusedList, leftList;
    int refusedCount = 0;
    for (const auto &m : refused) {
        char number[16];
        snprintf(number, sizeof number, "0x%X", m.first);
        refusedList += (refusedList.empty() ? "" : " ") + std::string(number);
        refusedCount += m.second;
    }
    for (const auto &l : leftOut)
        leftList += (leftList.empty() ? "" : "; ") + l.first + " " + std::to_string(l.second);
    robust::RecordFigures(
        "stray messages",
        {std::to_string(posted) + " random messages posted (seed " + std::to_string(kSeed) + ", " +
             std::to_string(tried) + " drawn) in " + std::to_string(elapsed) +
             " ms: crashes 0, the manager alive, its shell untouched, CM_KILL obeyed afterwards",
         "mouse-tracking loops of DefWindowProc (stray button-down on the caption or the "
         "system menu) ended by the test letting the buttons go: " + std::to_string(releases),
         "left out: " + leftList,
         std::to_string(refusedCount) + " refused by PostMessage itself (pointer parameters): " +
             refusedList});
}

}  // namespace
