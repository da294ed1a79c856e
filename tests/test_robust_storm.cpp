// The control-message storm: a thousand and more random control messages in
// bursts to a manager with cooperative stand-in shells, some of them while a
// message box or a dialog of the manager is open. The manager must never run
// two shells at once, never leave a modifier key down, never crash, and
// after each quit name itself as the system shell.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <map>
#include <set>

#include "config/state.h"
#include "res/resource.h"
#include "test_robust.h"

using robust::Random;

namespace {

constexpr int kMessages = 1000;
constexpr unsigned kSeed = 90210;

const char *Name(UINT message)
{
    switch (message) {
    case CM_SHELLTERMINATED: return "CM_SHELLTERMINATED";
    case CM_SWAP:            return "CM_SWAP";
    case CM_KILL:            return "CM_KILL";
    case CM_QUIT:            return "CM_QUIT";
    case CM_SWAPTHEME:       return "CM_SWAPTHEME";
    case CM_RESTART:         return "CM_RESTART";
    case CM_NUKE:            return "CM_NUKE";
    }
    return "?";
}

// Every message that may come up in a storm; anything else is a fault.
const char *const kExpectedTexts[] = {
    "Quillfern has detected that a shell\nis already running.",
};

// ---- At most one shell: sampled from a thread of its own -------------------------

struct ShellSampler {
    volatile LONG stop = 0;
    volatile LONG samples = 0, most = 0, tooMany = 0;
    std::string worst;      // written only while tooMany is first counted
    HANDLE thread = NULL;

    // A stand-in shell of this test, by its image path (Wine's own
    // explorer.exe runs too, from the system directory).
    static bool IsShell(const PROCESSENTRY32 &entry)
    {
        const char *exe = entry.szExeFile;
        if (_stricmp(exe, "LiteStep.exe") != 0 && _stricmp(exe, "Explorer.exe") != 0 &&
            _stricmp(exe, "Alt.exe") != 0)
            return false;
        std::string path = robust::ImagePath(entry.th32ProcessID);
        std::string scratch = BinDir() + "scratch\\";
        return _strnicmp(path.c_str(), scratch.c_str(), scratch.size()) == 0;
    }
    void Sample()
    {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE)
            return;
        PROCESSENTRY32 entry;
        entry.dwSize = sizeof entry;
        LONG shells = 0;
        std::string names;
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
            if (IsShell(entry)) {
                shells++;
                names += std::string(entry.szExeFile) + " ";
            }
        CloseHandle(snapshot);
        samples++;
        if (shells > most)
            most = shells;
        if (shells > 1 && tooMany++ == 0)
            worst = names;
    }
    static DWORD WINAPI Run(void *param)
    {
        ShellSampler *self = (ShellSampler *)param;
        while (!self->stop) {
            self->Sample();
            Sleep(10);
        }
        return 0;
    }
    void Start() { thread = CreateThread(NULL, 0, Run, this, 0, NULL); }
    void Stop()
    {
        InterlockedExchange(&stop, 1);
        WaitForSingleObject(thread, 5000);
        CloseHandle(thread);
    }
};

// Ends every stand-in shell left after a quit: CM_QUIT leaves the shell
// running by design, and a new manager would find it.
void EndShells()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (!ShellSampler::IsShell(entry))
            continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (process != NULL) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
}

// ---- The manager's dialogs and boxes, answered by the test ---------------------------

struct Open {
    HWND window;
    bool box;           // a message box, else a dialog
};

struct FindDialogsArgs {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM param)
{
    FindDialogsArgs *args = (FindDialogsArgs *)param;
    char windowClass[16] = "", title[32] = "";
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    GetClassNameA(window, windowClass, sizeof windowClass);
    GetWindowTextA(window, title, sizeof title);
    if (pid == args->pid && strcmp(windowClass, "#32770") == 0 &&
        strcmp(title, "Quillfern 1.50") == 0 && IsWindowVisible(window))
        args->found.push_back(window);
    return TRUE;
}

std::vector<Open> OpenWindows(DWORD pid)
{
    FindDialogsArgs args;
    args.pid = pid;
    EnumWindows(CollectDialog, (LPARAM)&args);
    std::vector<Open> open;
    for (HWND window : args.found)
        open.push_back(Open{window, IsQuillfernMessageBox(window)});
    return open;
}

struct Tally {
    std::map<std::string, int> posted, boxes, dialogs;
    int whileOpen = 0, bursts = 0, runs = 0, quits = 0, badTexts = 0, shellDeaths = 0;
    std::set<std::string> unexpected;
};

// Answers one open box or dialog. A shell-terminated dialog gets LiteStep or
// Explorer (never one of the session-ending choices); the theme list a theme
// or Cancel.
void Answer(const Open &open, Random &r, Tally &t)
{
    if (open.box) {
        std::string text = WindowText(GetDlgItem(open.window, 0xFFFF));
        t.boxes[text]++;
        bool expected = false;
        for (const char *e : kExpectedTexts)
            expected = expected || text == e;
        if (!expected) {
            t.badTexts++;
            t.unexpected.insert(text);
        }
        PostMessageA(open.window, WM_COMMAND,
                     MAKEWPARAM(DefaultMessageBoxAnswer(open.window), BN_CLICKED), 0);
        return;
    }
    if (GetDlgItem(open.window, IDC_THEMELIST) != NULL) {
        t.dialogs["theme list"]++;
        if (r.OneIn(4)) {
            PostMessageA(open.window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return;
        }
        SendDlgItemMessageA(open.window, IDC_THEMELIST, LB_SETCURSEL, r.Below(3), 0);
        PostMessageA(open.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return;
    }
    if (GetDlgItem(open.window, IDC_LITESTEP) != NULL) {
        t.dialogs["shell terminated"]++;
        int choice = r.OneIn(2) ? IDC_LITESTEP : IDC_EXPLORER;
        CheckRadioButton(open.window, IDC_LITESTEP, IDC_SHUTDOWN, choice);
        PostMessageA(open.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return;
    }
    t.dialogs["other"]++;
}

UINT RandomControlMessage(Random &r)
{
    // Weighted so that a start of a shell (about a fifth of a second under
    // Wine) comes with about every other message.
    const UINT mix[] = {CM_SHELLTERMINATED, CM_SHELLTERMINATED, CM_SHELLTERMINATED,
                        CM_KILL,            CM_KILL,            CM_SWAP,
                        CM_SWAP,            CM_SWAPTHEME,       CM_SWAPTHEME,
                        CM_RESTART};
    return r.Pick(mix);
}

std::string ThemeFiles(const std::string &dir, int n)
{
    std::string themeDir = dir + "theme" + std::to_string(n);
    CreateDirectoryA(themeDir.c_str(), NULL);
    WriteTextFile(themeDir + "\\step.rc", "; theme " + std::to_string(n) + "\r\n");
    WriteTextFile(themeDir + "\\modules.ini", "; theme " + std::to_string(n) + "\r\n");
    return "theme_name_" + std::to_string(n) + "=T" + std::to_string(n) + "\r\ntheme_path_" +
           std::to_string(n) + "=" + themeDir + "\r\ntheme_back_" + std::to_string(n) + "=\r\n";
}

bool KeyDown(int vk) { return (GetAsyncKeyState(vk) & 0x8000) != 0; }

TEST(RobustStorm, ControlMessagesInBurstsWithBoxesAndDialogsOpen)
{
    robust::ManagerRun run("robust_storm");
    WriteTextFile(run.LiteStepDir() + "step.rc", "; LiteStep's own\r\n");
    WriteTextFile(run.LiteStepDir() + "modules.ini", "; LiteStep's own\r\n");
    std::string themes = "[Themes]\r\n";
    for (int n = 1; n <= 3; n++)
        themes += ThemeFiles(run.dir, n);

    // The key check sees keys that another program holds down.
    keybd_event(VK_SHIFT, (BYTE)MapVirtualKeyA(VK_SHIFT, 0), 0, 0);
    bool seesKeys = KeyDown(VK_SHIFT);
    keybd_event(VK_SHIFT, (BYTE)MapVirtualKeyA(VK_SHIFT, 0), KEYEVENTF_KEYUP, 0);
    ASSERT_TRUE(seesKeys) << "a held Shift does not show in GetAsyncKeyState";
    ASSERT_FALSE(KeyDown(VK_SHIFT) || KeyDown(VK_CONTROL)) << "a modifier key is down before the storm";

    ShellSampler sampler;
    sampler.Start();
    Random r(kSeed);
    Tally t;
    int total = 0, keysLeftDown = 0, notSettled = 0, crashes = 0, wrongShellSetting = 0,
        dummy = 0;
    bool marker = false;
    DWORD start = GetTickCount();

    while (total < kMessages) {
        // A manager: LiteStep with a theme, or Explorer; with or without a wait
        // on the held key.
        if (!run.Alive()) {
            t.runs++;
            if (run.process != NULL) {
                CloseHandle(run.process);
                run.process = NULL;
            }
            std::string settings = std::string(t.runs % 2 ? "shell=litestep_exe\r\ntheme=T1\r\n"
                                                           : "shell=explorer_exe\r\n") +
                                   "kill_delay=5\r\n" + (t.runs % 3 == 0 ? "shift_delay=0\r\n" : "");
            ASSERT_TRUE(run.Start(run.Config(settings, themes))) << "manager run " << t.runs
                                                                 << " did not come up";
            marker = false;
            ASSERT_TRUE(robust::Drained(run.control, marker, 20000, &dummy))
                << "manager run " << t.runs << " takes no messages";
        }
        DWORD pid = 0;
        GetWindowThreadProcessId(run.control, &pid);

        // Now and then the shell dies by itself, which brings the
        // shell-terminated dialog.
        if (r.OneIn(6)) {
            t.shellDeaths++;
            EndShells();
        }

        // A burst, perhaps ended by a quit.
        t.bursts++;
        int size = 1 + (int)r.Below(12);
        bool quitAfter = r.OneIn(15);
        for (int i = 0; i < size; i++) {
            UINT message = RandomControlMessage(r);
            PostMessageA(run.control, message, 0, 0);
            t.posted[Name(message)]++;
            total++;
        }

        // Let it work; answer what it opens, sometimes after a few more
        // messages posted while the box or dialog is up.
        for (int round = 0; round < 200; round++) {
            marker = !marker;
            if (!robust::Drained(run.control, marker, 45000, &dummy)) {
                notSettled++;
                break;
            }
            std::vector<Open> open = OpenWindows(pid);
            if (open.empty()) {
                // Nothing open, nothing queued: every start has returned, so
                // no key may be down now.
                Sleep(20);
                if (OpenWindows(pid).empty())
                    break;
                continue;
            }
            if (r.OneIn(3)) {
                int more = 1 + (int)r.Below(3);
                for (int i = 0; i < more; i++) {
                    UINT message = RandomControlMessage(r);
                    PostMessageA(run.control, message, 0, 0);
                    t.posted[Name(message)]++;
                    total++;
                    t.whileOpen++;
                }
            }
            Answer(open.back(), r, t);
        }
        if (KeyDown(VK_SHIFT) || KeyDown(VK_CONTROL))
            keysLeftDown++;

        if (quitAfter || total >= kMessages) {
            UINT quit = quitAfter && r.OneIn(2) ? CM_NUKE : CM_QUIT;
            PostMessageA(run.control, quit, 0, 0);
            t.posted[Name(quit)]++;
            t.quits++;
            DWORD code = WaitExit(run.process, 45000);
            if (code == 0xC0000005)
                crashes++;
            EXPECT_EQ(0u, code) << "exit code of manager run " << t.runs << " after " << Name(quit);
            std::string ours = run.dir + "Quillfern.exe";
            std::string shell = ReadSystemShell();
            if (_stricmp(shell.c_str(), ours.c_str()) != 0) {
                wrongShellSetting++;
                ADD_FAILURE() << "after " << Name(quit) << " the system shell is \"" << shell
                              << "\", expected \"" << ours << "\"";
            }
            if (code == STILL_ACTIVE)
                TerminateProcess(run.process, 1);
            EndShells();
        }
    }
    DWORD elapsed = GetTickCount() - start;
    sampler.Stop();

    EXPECT_EQ(0, crashes) << "the manager crashed";
    EXPECT_EQ(0, notSettled) << "times the manager took no messages for 45 s";
    EXPECT_LE(sampler.most, 1) << "shell processes at one moment; the first time: " << sampler.worst;
    EXPECT_EQ(0, keysLeftDown) << "times Shift or Control was down once the manager was idle";
    EXPECT_EQ(0, t.badTexts) << "unexpected messages, e.g. \""
                             << (t.unexpected.empty() ? "" : *t.unexpected.begin()) << "\"";
    EXPECT_GT(t.whileOpen, 0) << "no message was posted while a box or dialog was open";

    std::string postedList, boxList, dialogList;
    for (const auto &p : t.posted)
        postedList += (postedList.empty() ? "" : ", ") + p.first + " " + std::to_string(p.second);
    for (const auto &b : t.boxes) {
        std::string text = b.first.substr(0, b.first.find('\n'));
        boxList += (boxList.empty() ? "" : "; ") + std::string("\"") + text + "...\" " +
                   std::to_string(b.second);
    }
    for (const auto &d : t.dialogs)
        dialogList += (dialogList.empty() ? "" : ", ") + d.first + " " + std::to_string(d.second);
    robust::RecordFigures(
        "storm",
        {std::to_string(total + t.quits) + " control messages (seed " + std::to_string(kSeed) +
             ") in " + std::to_string(t.bursts) + " bursts over " + std::to_string(t.runs) +
             " manager runs, " + std::to_string(elapsed) + " ms: " + postedList +
             "; shells ended from outside " + std::to_string(t.shellDeaths) + " times",
         std::to_string(t.whileOpen) + " posted while a box or dialog was open; boxes: " +
             (boxList.empty() ? "none" : boxList) + "; dialogs answered: " +
             (dialogList.empty() ? "none" : dialogList),
         "shell processes at one moment: at most " + std::to_string(sampler.most) + " in " +
             std::to_string(sampler.samples) + " toolhelp samples; modifier key left down " +
             std::to_string(keysLeftDown) + " times; crashes " + std::to_string(crashes) +
             "; after each of " + std::to_string(t.quits) +
             " quits the system shell named the manager" +
             (wrongShellSetting ? " except " + std::to_string(wrongShellSetting) + " times" : "")});
}

}  // namespace
