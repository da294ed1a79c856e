// Helpers shared by the test programs. Everything runs under Wine against the
// real USER32, KERNEL32 and ADVAPI32; nothing here imitates Windows.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// ---- Paths (as Wine sees them) -------------------------------------------
std::string BinDir();                       // build\x86_64\ (with backslash)
std::string QuillfernExe();                 // build\x86_64\Quillfern.exe
std::string TestBin(const char *name);      // build\x86_64\testbin\<name>.exe
std::string WineNotepad();                  // Wine's notepad.exe, a real alternate shell
std::string WithBackslash(const std::string &dir);   // dir ending in one backslash

// ---- Scratch directories and files ---------------------------------------
// A fresh, empty directory build\x86_64\scratch\<name>\ (with backslash).
std::string MakeScratchDir(const char *name);
void WriteTextFile(const std::string &path, const std::string &contents);
std::string ReadTextFile(const std::string &path);   // "" when missing
std::vector<std::string> SplitLines(const std::string &text);  // without "\r\n"
bool FileExists(const std::string &path);
void CopyFileOrFail(const std::string &from, const std::string &to);

// Puts a copy of Quillfern.exe and the given Quillfern.cfg into dir and
// returns the copy's full path.
std::string InstallManagerCopy(const std::string &dir, const std::string &config);

// ---- Stand-in shells ------------------------------------------------------
// Each stand-in reads standin.ini beside its own executable (the manager
// starts shells with an empty command line) and appends what happens to it
// to standin.log in the same directory:
//   start pid=<pid> shift=<0|1> control=<0|1>
//   quit wparam=<n> lparam=<n>        (LiteStep: message 9260; Explorer: WM_QUIT)
//   exit code=<n>
// standin.ini, section [standin]:
//   ignore_quit=1       do not end on the quit request
//   exit_after_ms=N     exit by itself after N ms ...
//   exit_code=N         ... with this exit code (default 0)
//   idle_delay_ms=N     sleep N ms before the message loop (slow to be idle)
//   cabinet=1           (Explorer) also open a "CabinetWClass" folder window
// Stand-ins placed in one directory share standin.ini and standin.log: give
// each its own directory.
enum StandIn { STANDIN_LITESTEP, STANDIN_EXPLORER, STANDIN_ALTERNATE };
// Copies the stand-in into dir under fileName (LiteStep.exe, Explorer.exe,
// ...) with the given standin.ini text (the [standin] line is added when the
// text has none, e.g. "ignore_quit=1\n"); returns the full path.
std::string PlaceStandIn(StandIn kind, const std::string &dir, const char *fileName,
                         const std::string &ini = "");
// The lines of dir\standin.log.
std::vector<std::string> StandInLog(const std::string &dir);

// ---- Processes and windows -----------------------------------------------
// Starts exe with the command line "exe" args, in dir (or the exe's own
// directory when dir is empty). Returns the process handle (NULL on failure).
HANDLE StartProcess(const std::string &exe, const std::string &args = "",
                    const std::string &dir = "");
// The exit code, or STILL_ACTIVE when it did not end within timeoutMs.
DWORD WaitExit(HANDLE process, DWORD timeoutMs);
// Polls for a top-level window; NULL when none appeared in time.
HWND WaitForWindow(const char *className, const char *title, DWORD timeoutMs);
// True when no such window exists (any more) within timeoutMs.
bool WaitForNoWindow(const char *className, const char *title, DWORD timeoutMs);
std::string WindowText(HWND window);
// Ends every process that a test may have left: stand-ins, managers, dialogs
// (any Quillfern.exe, Wine's notepad.exe, every program run from the build
// directory but this one and the keeper), then answers message boxes left
// open in this process.
void KillStrays();

// ---- Registry --------------------------------------------------------------
// The machine's system shell value (HKLM Winlogon "Shell"); "" when missing.
std::string ReadSystemShell();
// Sets the machine's system shell value (REG_SZ, with its terminating zero).
void WriteSystemShell(const char *text);
// The Windows directory's System.ini, and its [boot] shell ("<missing>" when
// there is none).
std::string SystemIniPath();
std::string ReadBootShell();
// The desktop wallpaper as this process sees it.
std::string Wallpaper();
// A 1x1 24-bit bitmap, so that a wallpaper has a real image to load.
void WriteBitmap(const std::string &path);
// A REG_SZ / REG_EXPAND_SZ value; "" when missing or of another type.
std::string ReadRegString(HKEY root, const char *key, const char *value);
// Saves a registry value on construction and puts it back on destruction
// (deleting it when it did not exist, and the key too when the test created
// it and left it empty).
struct SavedRegValue {
    SavedRegValue(HKEY root, const char *key, const char *value);
    ~SavedRegValue();
    SavedRegValue(const SavedRegValue &) = delete;
    SavedRegValue &operator=(const SavedRegValue &) = delete;
    HKEY root; std::string key, value; bool existed; DWORD type; std::vector<BYTE> data;
    bool keyExisted;
};

// ---- Message boxes -----------------------------------------------------------
// Watches for message boxes captioned "Quillfern 1.50" (in any process of the
// session) from a thread of its own, records each text once, and answers it:
// with the button given by the first rule whose text is a substring of the
// box's text, otherwise with the default (IDOK, or IDNO for a Yes/No box).
// Each box is recorded and answered once; dialogs that share the caption but
// are not message boxes are left alone. Polls every 20 ms. Keep one watcher
// for a whole test: a box that two watchers see is answered twice.
class MessageBoxWatcher {
public:
    MessageBoxWatcher();
    ~MessageBoxWatcher();
    MessageBoxWatcher(const MessageBoxWatcher &) = delete;
    MessageBoxWatcher &operator=(const MessageBoxWatcher &) = delete;
    void Answer(const std::string &textPart, int button);
    std::vector<std::string> Seen();               // every text so far
    size_t Count(const std::string &textPart);      // boxes seen containing it
    // True when a box containing textPart has been seen within timeoutMs.
    bool WaitFor(const std::string &textPart, DWORD timeoutMs);
    void Clear();
private:
    struct Impl; Impl *impl;
};
// The visible message boxes captioned "Quillfern 1.50" on the desktop, and
// the test that tells them from the dialogs with the same caption.
std::vector<HWND> FindMessageBoxes();
bool IsQuillfernMessageBox(HWND window);
int DefaultMessageBoxAnswer(HWND box);     // IDNO when the box offers No, else IDOK
