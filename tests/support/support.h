// Helpers for the test programs, which run under Wine against the real
// KERNEL32, USER32 and ADVAPI32; nothing here imitates Windows.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

std::wstring Wide(const std::string &text);            // for paths past MAX_PATH
std::string BinDir();                                  // build\<arch>\ as Wine sees it
std::string MakeScratchDir(const std::string &name);   // fresh build\<arch>\scratch\<name>\ .
std::string ReadTextFile(const std::string &path);     // "<missing>" when it cannot be read
bool WriteTextFile(const std::string &path, const std::string &text);

// Polls every 20 ms until done() holds or timeoutMs has passed; done()'s last answer.
template <typename F> bool WaitUntil(F done, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount(); !done(); Sleep(20))
        if (GetTickCount() - start > timeoutMs)
            return done();
    return true;
}

// "exe" args, started in the exe's directory; NULL when it cannot start.
HANDLE StartProcess(const std::string &exe, const std::string &args);

// Processes whose image lies under dir: id, parent id and lower-case file name.
struct ProcessEntry { DWORD pid, parent; std::string name; };
std::vector<ProcessEntry> ProcessesUnder(const std::string &dir);
void KillProcessesUnder(const std::string &dir);

// A value under the Winlogon key, or any other key: REG_SZ as its text,
// REG_DWORD in decimal, "<missing>" when there is none.
std::string ReadRegValue(HKEY root, const char *key, const char *value);

// Saves a registry value and puts it back (or removes it) on destruction.
struct SavedRegValue {
    SavedRegValue(HKEY root, const char *key, const char *value);
    ~SavedRegValue();
    HKEY root;
    std::string key, value;
    LONG status;
    DWORD type;
    std::vector<BYTE> data;
};
