// The shell process, the system shell setting and the end of the session.
#pragma once

#include <windows.h>

#include "config/state.h"

// Shell process lifecycle.
bool SpawnShell();
bool StartShell(ShellKind kind);
void StopShell();
bool KillShell();
DWORD WINAPI ShellMonitorThread(LPVOID parameter);

// Probes by window class.
bool IsShellRunning();
bool AreExplorerWindowsOpen();
bool IsManagerRunning();

// The Winlogon key (under HKLM: the system shell on NT; under HKCU: the
// per-user override), and the one failure text of writing the shell setting,
// which installation shows too.
constexpr char kWinlogonKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr char kAutoRestartValue[] = "AutoRestartShell";
constexpr char kExplorerName[] = "Explorer.exe";
constexpr char kSystemShellFailed[] = "An error has occurred while trying\nto install the shell.";

// Opens the Winlogon key under root for every reader and writer of its
// values, in the view Windows' log-on process reads (see the definition).
LONG OpenWinlogonKey(HKEY root, REGSAM access, HKEY* key);
// Any key under root, in that same view.
LONG OpenRegistryKey(HKEY root, const char* path, REGSAM access, HKEY* key);
// The "Shell" value of the key path under root into text. False when it
// could not be read; a value that is there but cannot be ours (another type,
// too long) reads as "".
bool ReadShellValue(HKEY root, const char* path, char (&text)[kPathSize]);
// The system shell setting (Winlogon on NT, System.ini on 95/98), as Windows
// reads it at the next log-on; false when it could not be read.
bool ReadShellText(char (&text)[kPathSize]);
// The text names this manager's own executable, in any case.
bool NamesManager(const char* text);
// The text names a Quillfern.exe, this one or another.
bool NamesSomeManager(const char* text);

// System shell setting: 0 the manager itself, 1 LiteStep, 2 Explorer,
// 3 the alternate shell. Writes nothing, and returns true, once uninstalled is
// set or the setting is no longer the manager's (see SystemShellStillOurs).
bool SetSystemShell(LONG which);

// Log off (0), shut down (1) or reboot (2). False when Windows refused.
bool ExitSession(UINT flags);

// Shows the system's text for an error code, or its number when the system
// has none.
void ShowSystemError(DWORD code);

// The one seam of the session exit: in-process tests replace it so that they
// do not end the Wine session that runs them.
typedef BOOL(WINAPI* ExitWindowsExFn)(UINT flags, DWORD reason);
extern ExitWindowsExFn gExitWindowsEx;

// True unless the system shell setting has been changed by someone else since
// this manager last wrote it (an uninstallation from another process, say),
// or, before its first write, since it started; the manager then writes it no
// more. True when the setting cannot be read.
bool SystemShellStillOurs();
// The manager notes what the setting holds as it starts.
void NoteSystemShellAtStart();
// Writes again what this process last wrote (an uninstallation, once the
// manager has ended); false, after the failure message, when that fails.
bool RestoreLastWrittenShell();

// True while the process of the shell this manager started last still runs.
bool IsOurShellRunning();
