// The long run: two hundred times the shell dies by itself and is restarted
// from the shell-terminated dialog. The manager's threads and handles must
// stay flat: a leak of one handle or thread per cycle would show as 200.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include "config/state.h"
#include "res/resource.h"
#include "test_robust.h"

namespace {

constexpr int kCycles = 200;
constexpr int kWarmUp = 5;       // cycles before the baseline is taken

// Threads of a process, counted in a toolhelp snapshot.
int ThreadCount(DWORD pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == pid;
    CloseHandle(snapshot);
    return count;
}

struct DialogArgs {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindTerminatedDialog(HWND window, LPARAM param)
{
    DialogArgs *args = (DialogArgs *)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char windowClass[16] = "";
    GetClassNameA(window, windowClass, sizeof windowClass);
    if (pid == args->pid && strcmp(windowClass, "#32770") == 0 && IsWindowVisible(window) &&
        GetDlgItem(window, IDC_LITESTEP) != NULL) {
        args->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForTerminatedDialog(DWORD pid, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 5) {
        DialogArgs args = {pid, NULL};
        EnumWindows(FindTerminatedDialog, (LPARAM)&args);
        if (args.found != NULL)
            return args.found;
        Sleep(5);
    }
    return NULL;
}

// The object type number of events in the system's handle list.
int EventType()
{
    DWORD me = GetCurrentProcessId();
    std::map<int, int> before = robust::HandlesByType(me);
    HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL);
    std::map<int, int> after = robust::HandlesByType(me);
    CloseHandle(event);
    for (const auto &t : after)
        if (t.second == before[t.first] + 1)
            return t.first;
    return -1;
}

// Events that Wine's own WaitForInputIdle leaves open in its caller per
// call: measured here, in this process, on a stand-in that is idle.
double WaitForInputIdleLeak(const std::string &standIn, int eventType)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    char commandLine[1] = "";
    if (!CreateProcessA(standIn.c_str(), commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        &info))
        return -1;
    WaitForInputIdle(info.hProcess, 30000);
    DWORD me = GetCurrentProcessId();
    int before = robust::HandlesByType(me)[eventType];
    const int calls = 10;
    for (int i = 0; i < calls; i++)
        WaitForInputIdle(info.hProcess, 30000);
    int after = robust::HandlesByType(me)[eventType];
    TerminateProcess(info.hProcess, 0);
    WaitForSingleObject(info.hProcess, 5000);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return (double)(after - before) / calls;
}

std::string TypeList(const std::map<int, int> &types)
{
    std::string list;
    for (const auto &t : types)
        list += (list.empty() ? "" : " ") + std::to_string(t.first) + ":" + std::to_string(t.second);
    return list;
}

TEST(RobustLongRun, TwoHundredShellDeathsRestartedFromTheDialog)
{
    // A LiteStep that ends by itself, with an exit code of its own, right
    // after it starts.
    robust::ManagerRun run("robust_longrun", "exit_after_ms=1\r\nexit_code=3\r\n");
    std::string calibrationDir = MakeScratchDir("robust_longrun_calibration");
    std::string idleStandIn = PlaceStandIn(STANDIN_LITESTEP, calibrationDir, "LiteStep.exe");
    int eventType = EventType();
    ASSERT_NE(-1, eventType) << "the system's handle list is not available";
    double wineLeak = WaitForInputIdleLeak(idleStandIn, eventType);
    KillStrays();

    MessageBoxWatcher watcher;
    ASSERT_TRUE(run.Start(run.Config("shell=litestep_exe\r\n"))) << "the manager did not come up";
    DWORD pid = 0;
    GetWindowThreadProcessId(run.control, &pid);

    std::vector<std::string> samples;
    int baseThreads = 0, peakThreads = 0;
    std::map<int, int> baseTypes, peakTypes, lastTypes;
    DWORD start = GetTickCount();
    int cycles = 0;
    for (; cycles < kCycles; cycles++) {
        HWND dialog = WaitForTerminatedDialog(pid, 20000);
        if (dialog == NULL) {
            ADD_FAILURE() << "cycle " << cycles << ": no shell-terminated dialog within 20 s"
                          << (run.Alive() ? "" : " (the manager is gone)");
            break;
        }
        // Measured while the dialog waits: no shell runs, its monitor has
        // ended.
        int threads = ThreadCount(pid);
        std::map<int, int> types = robust::HandlesByType(pid);
        if (cycles == kWarmUp) {
            baseThreads = threads;
            baseTypes = types;
        }
        if (cycles >= kWarmUp) {
            peakThreads = std::max(peakThreads, threads);
            for (const auto &t : types)
                peakTypes[t.first] = std::max(peakTypes[t.first], t.second);
        }
        lastTypes = types;
        if (cycles == kWarmUp || cycles % 50 == 0 || cycles == kCycles - 1) {
            int handles = 0;
            for (const auto &t : types)
                handles += t.second;
            samples.push_back("cycle " + std::to_string(cycles) + ": threads " +
                              std::to_string(threads) + ", handles " + std::to_string(handles) +
                              " (events " + std::to_string(types[eventType]) + ")" +
                              (cycles == kWarmUp ? ", the baseline" : ""));
        }
        EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(dialog, IDC_LITESTEP))
            << "cycle " << cycles << ": LiteStep is not the preselected choice";
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        for (int waited = 0; IsWindow(dialog) && waited < 5000; waited += 5)
            Sleep(5);
    }
    DWORD elapsed = GetTickCount() - start;

    EXPECT_TRUE(run.Alive()) << "the manager ended";
    EXPECT_EQ(kCycles, cycles) << "cycles completed";
    int starts = robust::CountLog(run.LiteStepDir(), "start");
    EXPECT_EQ(kCycles + 1, starts) << "LiteStep starts (the first one and one per cycle)";
    EXPECT_EQ(0u, watcher.Seen().size()) << "message boxes, the first: "
                                         << (watcher.Seen().empty() ? "" : watcher.Seen()[0]);

    // Flat: a leak of one per cycle would add about 200. Events alone may
    // grow by what Wine's WaitForInputIdle leaves behind at each start.
    int measuredCycles = cycles - kWarmUp;
    EXPECT_LE(peakThreads, baseThreads) << "threads grew from " << baseThreads;
    int eventGrowth = peakTypes[eventType] - baseTypes[eventType];
    for (const auto &t : peakTypes) {
        if (t.first == eventType)
            continue;
        EXPECT_LE(t.second, baseTypes[t.first] + 2)
            << "handles of object type " << t.first << " grew; at the baseline "
            << TypeList(baseTypes) << ", at the end " << TypeList(lastTypes);
    }
    EXPECT_LE(eventGrowth, (int)(measuredCycles * wineLeak + 0.5) + 2)
        << "events grew by " << eventGrowth << " in " << measuredCycles
        << " cycles; Wine's WaitForInputIdle leaves " << wineLeak << " per start";

    PostMessageA(run.control, CM_QUIT, 0, 0);
    EXPECT_EQ(0u, WaitExit(run.process, 15000)) << "exit code after CM_QUIT";

    char leak[32];
    snprintf(leak, sizeof leak, "%.2f", wineLeak);
    std::vector<std::string> lines = {
        std::to_string(cycles) + " cycles of the shell dying by itself and restarted from the "
                                 "shell-terminated dialog, " +
            std::to_string(elapsed) + " ms; crashes 0",
        "threads counted in a toolhelp snapshot; handles counted by object type in the system's "
        "handle list (NtQuerySystemInformation; GetProcessHandleCount answers 0 under this Wine)",
        "after the baseline: threads at most " + std::to_string(peakThreads) +
            " (baseline " + std::to_string(baseThreads) + "); every handle type flat but events, +" +
            std::to_string(eventGrowth) + " in " + std::to_string(measuredCycles) +
            " cycles: Wine's own WaitForInputIdle leaves " + leak +
            " event per call in any caller (measured in the test process)"};
    lines.insert(lines.end(), samples.begin(), samples.end());
    robust::RecordFigures("long run", lines);
}

}  // namespace
