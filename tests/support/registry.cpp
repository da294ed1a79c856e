// Registry, System.ini and wallpaper helpers for tests that change them.
#include "support.h"

#include <gtest/gtest.h>
#include <string.h>

static const char kWinlogonKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Winlogon "Shell"
std::string ReadSystemShell()
{
    return ReadRegString(HKEY_LOCAL_MACHINE, kWinlogonKey, "Shell");
}

std::string ReadRegString(HKEY root, const char *key, const char *value)
{
    HKEY handle;
    if (RegOpenKeyExA(root, key, 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return "";
    char data[1024];
    DWORD size = sizeof data - 1, type = 0;
    LONG status = RegQueryValueExA(handle, value, NULL, &type, (BYTE *)data, &size);
    RegCloseKey(handle);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return "";
    data[size < sizeof data ? size : sizeof data - 1] = '\0';
    return data;
}

SavedRegValue::SavedRegValue(HKEY root_, const char *key_, const char *value_)
    : root(root_), key(key_), value(value_), existed(false), type(0), keyExisted(false)
{
    HKEY handle;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return;
    keyExisted = true;
    DWORD size = 0;
    if (RegQueryValueExA(handle, value.c_str(), NULL, &type, NULL, &size) == ERROR_SUCCESS) {
        data.resize(size);
        if (RegQueryValueExA(handle, value.c_str(), NULL, &type,
                             size ? data.data() : NULL, &size) == ERROR_SUCCESS) {
            data.resize(size);
            existed = true;
        }
    }
    RegCloseKey(handle);
}

SavedRegValue::~SavedRegValue()
{
    if (existed) {
        HKEY handle;
        if (RegCreateKeyExA(root, key.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &handle,
                            NULL) == ERROR_SUCCESS) {
            RegSetValueExA(handle, value.c_str(), 0, type, data.empty() ? NULL : data.data(),
                           (DWORD)data.size());
            RegCloseKey(handle);
        }
        return;
    }
    HKEY handle;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &handle) ==
        ERROR_SUCCESS) {
        RegDeleteValueA(handle, value.c_str());
        DWORD subkeys = 0, values = 0;
        RegQueryInfoKeyA(handle, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL,
                         NULL, NULL);
        RegCloseKey(handle);
        // A key that the test brought into being goes again once empty.
        if (!keyExisted && subkeys == 0 && values == 0)
            RegDeleteKeyA(root, key.c_str());
    }
}

void WriteSystemShell(const char *text)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_SET_VALUE, &key));
    RegSetValueExA(key, "Shell", 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1);
    RegCloseKey(key);
}

std::string SystemIniPath()
{
    char dir[MAX_PATH];
    GetWindowsDirectoryA(dir, MAX_PATH);
    return std::string(dir) + "\\System.ini";
}

std::string ReadBootShell()
{
    char text[1024];
    GetPrivateProfileStringA("boot", "shell", "<missing>", text, sizeof(text),
                             SystemIniPath().c_str());
    return text;
}

std::string Wallpaper()
{
    char path[MAX_PATH];
    memset(path, 0x5a, sizeof(path));
    SystemParametersInfoA(SPI_GETDESKWALLPAPER, sizeof(path), path, 0);
    path[MAX_PATH - 1] = '\0';
    return path;
}

void WriteBitmap(const std::string &path)
{
    static const unsigned char bmp[58] = {
        'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,   // file header
        40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0,  // info header
        0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0x20, 0x80, 0x20, 0,                              // one green pixel
    };
    WriteTextFile(path, std::string((const char *)bmp, sizeof(bmp)));
}
