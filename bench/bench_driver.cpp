// Drives the benchmark under Wine (bench/bench.sh runs it): starts the
// manager and the minimal reference programs in turn, times each with the
// performance counter, and appends the samples to work\samples.txt of the
// benchmark's build directory, one "<measure> <arm> <milliseconds>" line each.
//   bench_driver.exe logon <runs>     start to the LiteStep stand-in's window
//   bench_driver.exe client <runs>    a -kill client from start to exit
//   bench_driver.exe swap <runs>      CM_SWAP to the Explorer stand-in's window
//   bench_driver.exe idle-start       manager, shell and idle reference up
//   bench_driver.exe idle-stop        ... and down again
// Progress and errors go to work\driver.log. The exit code is 0 on success.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config/state.h"

static const std::string kBenchBin = std::string(QF_BENCH_BIN_WIN) + "\\";
static const std::string kBenchDir = kBenchBin + "work\\";

static const UINT kSwapNow = WM_APP + 1; // bench_swapper's trigger
static const DWORD kPollLimitMs = 20000;

static LARGE_INTEGER gFrequency;

static double NowMs()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)gFrequency.QuadPart;
}

static void AppendLine(const std::string& path, const char* format, va_list args)
{
    char line[1024];
    vsnprintf(line, sizeof line, format, args);
    FILE* file = fopen(path.c_str(), "a");
    if (file == NULL)
        return;
    fprintf(file, "%s\n", line);
    fclose(file);
}

static void Log(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    AppendLine(kBenchDir + "driver.log", format, args);
    va_end(args);
}

static void Sample(const char* measure, const char* arm, double ms)
{
    const char* format = "%s %s %.3f";
    char line[256];
    snprintf(line, sizeof line, format, measure, arm, ms);
    FILE* file = fopen((kBenchDir + "samples.txt").c_str(), "a");
    if (file != NULL) {
        fprintf(file, "%s\n", line);
        fclose(file);
    }
}

[[noreturn]] static void Fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    AppendLine(kBenchDir + "driver.log", format, args);
    va_end(args);
    ExitProcess(1);
}

static void WriteFileText(const std::string& path, const std::string& text)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (file == NULL)
        Fail("cannot write %s", path.c_str());
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
}

static void Copy(const std::string& from, const std::string& to)
{
    if (!CopyFileA(from.c_str(), to.c_str(), FALSE))
        Fail("cannot copy %s to %s (error %lu)", from.c_str(), to.c_str(), GetLastError());
}

// A 1x1 24-bit bitmap for the theme's wallpaper.
static void WriteBitmap(const std::string& path)
{
    unsigned char bmp[58] = { 'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0,
        0, 1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 4, 0, 0, 0 };
    bmp[54] = 0x00;
    bmp[55] = 0xC0;
    bmp[56] = 0x00; // green, as the banner
    FILE* file = fopen(path.c_str(), "wb");
    if (file == NULL)
        Fail("cannot write %s", path.c_str());
    fwrite(bmp, 1, sizeof bmp, file);
    fclose(file);
}

// A message box of the manager means the set-up is wrong; the benchmark
// would wait for it forever.
static void FailOnMessageBox()
{
    HWND box = FindWindowA("#32770", "Quillfern 1.50");
    if (box == NULL)
        return;
    char text[512] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    Fail("unexpected message box: %s", text);
}

// NULL when no such window appeared in time.
static HWND TryPollWindow(const char* className, const char* title)
{
    DWORD start = GetTickCount();
    for (int i = 0;; i++) {
        HWND window = FindWindowA(className, title);
        if (window != NULL)
            return window;
        if (i % 50 == 0)
            FailOnMessageBox();
        if (GetTickCount() - start > kPollLimitMs)
            return NULL;
        Sleep(1);
    }
}

static HWND PollWindow(const char* className, const char* title)
{
    HWND window = TryPollWindow(className, title);
    if (window == NULL)
        Fail("no window of class %s within %lu ms", className, kPollLimitMs);
    return window;
}

static void PollNoWindow(const char* className)
{
    DWORD start = GetTickCount();
    while (FindWindowA(className, NULL) != NULL) {
        if (GetTickCount() - start > kPollLimitMs)
            Fail("window of class %s still there after %lu ms", className, kPollLimitMs);
        Sleep(5);
    }
}

static HANDLE Start(const std::string& commandLine, const std::string& dir)
{
    std::string line = commandLine;
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL,
            dir.empty() ? NULL : dir.c_str(), &startup, &process))
        Fail("cannot start %s (error %lu)", commandLine.c_str(), GetLastError());
    CloseHandle(process.hThread);
    return process.hProcess;
}

static DWORD WaitAndClose(HANDLE process, DWORD timeoutMs)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

// Ends the process behind every window of the class, except Wine's own
// desktop process.
static void KillWindowOwners(const char* className)
{
    DWORD desktopPid = 0;
    GetWindowThreadProcessId(GetDesktopWindow(), &desktopPid);
    for (int tries = 0; tries < 20; tries++) {
        HWND window = FindWindowA(className, NULL);
        if (window == NULL)
            return;
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == desktopPid || pid == GetCurrentProcessId())
            return;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (process == NULL)
            return;
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
        Sleep(20);
    }
}

// Nothing of an earlier run may be left: a running manager or shell would
// change what the next start does.
static void Clean()
{
    static const char* const kClasses[] = {
        "QuillfernWndClass",
        "QuillfernBenchSwapper",
        "QuillfernBenchIdle",
        "TWharfGlobalContainer",
        "TApplication",
        "Progman",
        "Shell_TrayWnd",
    };
    for (const char* className : kClasses)
        KillWindowOwners(className);
    PollNoWindow("TWharfGlobalContainer");
    PollNoWindow("QuillfernWndClass");
}

// A scratch directory with a copy of the manager, the two stand-ins as
// LiteStep\LiteStep.exe and Explorer\Explorer.exe, a theme, and a
// Quillfern.cfg for them.
static std::string SetUp(const char* name, bool withTheme)
{
    std::string dir = kBenchDir + name + "\\";
    CreateDirectoryA(kBenchDir.c_str(), NULL);
    CreateDirectoryA(dir.c_str(), NULL);
    CreateDirectoryA((dir + "LiteStep").c_str(), NULL);
    CreateDirectoryA((dir + "Explorer").c_str(), NULL);
    CreateDirectoryA((dir + "theme").c_str(), NULL);
    Copy(QF_MANAGER_WIN, dir + "Quillfern.exe");
    Copy(kBenchBin + "bench_shell.exe", dir + "LiteStep\\LiteStep.exe");
    Copy(kBenchBin + "bench_shell.exe", dir + "Explorer\\Explorer.exe");
    WriteFileText(dir + "LiteStep\\step.rc", "; LiteStep's own step.rc\r\n");
    WriteFileText(dir + "LiteStep\\modules.ini", "; LiteStep's own modules.ini\r\n");
    WriteFileText(dir + "theme\\step.rc", "; the theme's step.rc\r\n");
    WriteFileText(dir + "theme\\modules.ini", "; the theme's modules.ini\r\n");
    WriteBitmap(dir + "theme\\back.bmp");

    std::string config = "[Quillfern]\r\n"
                         "litestep_exe="
        + dir
        + "LiteStep\\LiteStep.exe\r\n"
          "explorer_exe="
        + dir
        + "Explorer\\Explorer.exe\r\n"
          "[default]\r\n"
          "shell=litestep_exe\r\n"
          "kill_delay=5\r\n";
    if (withTheme)
        config += "theme=Bench\r\n"
                  "[Themes]\r\n"
                  "theme_name_1=Bench\r\n"
                  "theme_path_1="
            + dir
            + "theme\r\n"
              "theme_back_1="
            + dir + "theme\\back.bmp\r\n";
    WriteFileText(dir + "Quillfern.cfg", config);
    return dir;
}

static std::string Quoted(const std::string& path)
{
    return "\"" + path + "\"";
}

// Starts the manager and waits until it runs its shell and reads its
// messages. Returns its process handle.
static HANDLE StartManager(const std::string& dir)
{
    HANDLE manager = Start(Quoted(dir + "Quillfern.exe"), dir);
    PollWindow("TWharfGlobalContainer", NULL);
    PollWindow("QuillfernWndClass", NULL);
    WaitForInputIdle(manager, 10000);
    return manager;
}

static void StopManager(HANDLE manager)
{
    HWND window = FindWindowA("QuillfernWndClass", NULL);
    if (window != NULL)
        PostMessageA(window, CM_NUKE, 0, 0);
    if (WaitAndClose(manager, 15000) == STILL_ACTIVE)
        Log("manager did not end on CM_NUKE");
    Clean();
}

// Log-on: from starting the program to the LiteStep stand-in's last
// start-up window, with a current theme installed on the way.
static void BenchLogon(int runs)
{
    std::string dir = SetUp("logon", true);
    std::string launcher = Quoted(kBenchBin + "bench_launcher.exe") + " " + dir
        + "LiteStep\\LiteStep.exe|TWharfGlobalContainer";
    // Three arms in turn: the manager; the bare launcher; the launcher that
    // first creates a hidden window, as the manager must before it starts
    // the shell (the fair comparison).
    static const char* const kArms[] = { "quillfern", "minimal", "minimal-window" };
    Clean();
    for (int run = -1; run < runs; run++) { // run -1 warms the caches
        for (int turn = 0; turn < 3; turn++) {
            int arm = (turn + run + 3) % 3;
            bool manager = arm == 0;
            std::string command
                = manager ? Quoted(dir + "Quillfern.exe") : launcher + (arm == 2 ? "|window" : "");
            double start = NowMs();
            HANDLE process = Start(command, dir);
            PollWindow("TWharfGlobalContainer", NULL);
            double elapsed = NowMs() - start;
            if (run >= 0)
                Sample("logon", kArms[arm], elapsed);
            if (manager) {
                PollWindow("QuillfernWndClass", NULL);
                WaitForInputIdle(process, 10000);
                StopManager(process);
            } else {
                WaitAndClose(process, 10000);
                Clean();
            }
        }
    }
}

// Client command: "Quillfern.exe -kill" from start to exit, against a
// program that only finds the control window and posts the message.
static void BenchClient(int runs)
{
    std::string dir = SetUp("client", false);
    Clean();
    HANDLE manager = StartManager(dir);
    // Stop the shell first, so that every measured CM_KILL finds no shell
    // and the manager stays out of the way of the clients.
    PostMessageA(FindWindowA("QuillfernWndClass", NULL), CM_KILL, 0, 0);
    PollNoWindow("TWharfGlobalContainer");
    Sleep(200);
    std::string client = Quoted(dir + "Quillfern.exe") + " -kill";
    std::string minimal = Quoted(kBenchBin + "bench_client.exe");
    for (int run = -1; run < runs; run++) {
        for (int turn = 0; turn < 2; turn++) {
            bool ours = (turn + run) % 2 == 0;
            double start = NowMs();
            DWORD code = WaitAndClose(Start(ours ? client : minimal, dir), 10000);
            double elapsed = NowMs() - start;
            if (code != 0)
                Fail("%s client ended with %lu", ours ? "Quillfern" : "minimal", code);
            if (run >= 0)
                Sample("client", ours ? "quillfern" : "minimal", elapsed);
            FailOnMessageBox();
            Sleep(50);
        }
    }
    StopManager(manager);
}

// Swap: from posting the request to the Explorer stand-in's last start-up
// window; LiteStep quits as soon as it is asked.
static void BenchSwap(int runs)
{
    std::string dir = SetUp("swap", false);
    std::string swapper = Quoted(kBenchBin + "bench_swapper.exe") + " " + dir
        + "LiteStep\\LiteStep.exe|" + dir + "Explorer\\Explorer.exe";
    Clean();
    int failures = 0;
    for (int run = -1; run < runs; run++) {
        for (int turn = 0; turn < 2; turn++) {
            bool ours = (turn + run) % 2 == 0;
            HANDLE process;
            HWND target;
            if (ours) {
                process = StartManager(dir);
                target = FindWindowA("QuillfernWndClass", NULL);
            } else {
                process = Start(swapper, dir);
                target = PollWindow("QuillfernBenchSwapper", NULL);
                PollWindow("TWharfGlobalContainer", NULL);
                WaitForInputIdle(process, 10000);
            }
            Sleep(300);
            double start = NowMs();
            PostMessageA(target, ours ? CM_SWAP : kSwapNow, 0, 0);
            bool swapped = TryPollWindow("Progman", "Program Manager") != NULL;
            double elapsed = NowMs() - start;
            if (!swapped) {
                // Say what was left, then do this turn again; more than
                // three failures end the benchmark.
                DWORD code = STILL_ACTIVE;
                GetExitCodeProcess(process, &code);
                Log("swap run %d: %s did not bring Explorer up (its exit code %lu, %lu = "
                    "still running)",
                    run, ours ? "the manager" : "the swapper", code, (DWORD)STILL_ACTIVE);
                if (++failures > 3)
                    Fail("swap failed %d times", failures);
            } else if (run >= 0) {
                Sample("swap", ours ? "quillfern" : "minimal", elapsed);
            }
            if (ours) {
                // The held Control key is released when the start returns.
                WaitForInputIdle(process, 10000);
                Sleep(100);
                StopManager(process);
            } else {
                PostMessageA(target, WM_CLOSE, 0, 0);
                WaitAndClose(process, 10000);
                Clean();
            }
            if (!swapped)
                turn--;
        }
    }
}

static BOOL CALLBACK CountIdleWindow(HWND window, LPARAM count)
{
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "QuillfernBenchIdle") == 0)
        (*(int*)count)++;
    return TRUE;
}

static bool IdleProgramsUp(int wanted)
{
    int count = 0;
    EnumWindows(CountIdleWindow, (LPARAM)&count);
    return count >= wanted;
}

static void IdleStart()
{
    std::string dir = SetUp("idle", false);
    Clean();
    CloseHandle(StartManager(dir));
    CloseHandle(Start(Quoted(kBenchBin + "bench_idle.exe"), dir));
    PollWindow("QuillfernBenchIdle", NULL);
    // The same with one blocked thread, as the manager's shell monitor.
    CloseHandle(Start(Quoted(kBenchBin + "bench_idle.exe") + " thread", dir));
    DWORD start = GetTickCount();
    while (!IdleProgramsUp(2)) {
        if (GetTickCount() - start > kPollLimitMs)
            Fail("the second idle program did not come up");
        Sleep(5);
    }
    WriteFileText(kBenchDir + "idle.ready", "");
}

static void IdleStop()
{
    HWND manager = FindWindowA("QuillfernWndClass", NULL);
    if (manager != NULL)
        PostMessageA(manager, CM_NUKE, 0, 0);
    for (HWND idle = FindWindowA("QuillfernBenchIdle", NULL); idle != NULL;
         idle = FindWindowExA(NULL, idle, "QuillfernBenchIdle", NULL))
        PostMessageA(idle, WM_CLOSE, 0, 0);
    Sleep(500);
    Clean();
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    QueryPerformanceFrequency(&gFrequency);
    CreateDirectoryA(kBenchDir.c_str(), NULL);
    char mode[32] = "";
    int runs = 15;
    sscanf(commandLine, "%31s %d", mode, &runs);
    Log("%s %d", mode, runs);
    if (strcmp(mode, "logon") == 0)
        BenchLogon(runs);
    else if (strcmp(mode, "client") == 0)
        BenchClient(runs);
    else if (strcmp(mode, "swap") == 0)
        BenchSwap(runs);
    else if (strcmp(mode, "idle-start") == 0)
        IdleStart();
    else if (strcmp(mode, "idle-stop") == 0)
        IdleStop();
    else
        Fail("unknown mode %s", mode);
    Log("%s done", mode);
    return 0;
}
