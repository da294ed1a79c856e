// Helpers of the dialog tests: run a real modal dialog on a thread of its
// own and drive it from the test's thread with window messages, answer the
// message boxes it raises, start and clean up the test shells, take
// screenshots.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/state.h"
#include "res/resource.h"
#include "shell/shell.h"
#include "support/support.h"

namespace dlgtest {

constexpr char kTitle[] = "Quillfern 1.50";
constexpr char kShellClass[] = "QfDialogTestShell";
// Ends a dialog that the test could not end the ordinary way (the
// shell-choice dialog has no way out but a successful start).
constexpr UINT WM_TEST_END = WM_APP + 0x57;
constexpr INT_PTR kEndedByTest = 0x7e57;

inline std::string Text(HWND window)
{
    char buffer[1024];
    memset(buffer, 0, sizeof(buffer));
    GetWindowTextA(window, buffer, sizeof(buffer));
    return buffer;
}

inline std::string ItemText(HWND dialog, int id)
{
    return Text(GetDlgItem(dialog, id));
}

inline bool ItemVisible(HWND dialog, int id)
{
    return (GetWindowLongA(GetDlgItem(dialog, id), GWL_STYLE) & WS_VISIBLE) != 0;
}

inline bool ItemChecked(HWND dialog, int id)
{
    return SendMessageA(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// A click as the user makes it: the button checks itself (radio, check box)
// and notifies its dialog. Posted, because a click may open a modal dialog
// that would block a sent message until it closes.
inline void Click(HWND dialog, int id)
{
    PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

// The Esc key, as the dialog's message loop sees it.
inline void PressEscape(HWND dialog)
{
    PostMessageA(GetDlgItem(dialog, IDOK), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageA(GetDlgItem(dialog, IDOK), WM_KEYUP, VK_ESCAPE, 0xC0010001);
}

// Waits for all messages posted so far to the dialog's thread to be handled.
inline void Settle(HWND dialog)
{
    SendMessageA(dialog, WM_NULL, 0, 0);
    SendMessageA(dialog, WM_NULL, 0, 0);
}

struct FindArgs {
    const char *title;
    int childId;        // a child that must exist, 0 = any
    int absentId;       // a child that must not exist, 0 = none
    HWND found;
};

inline BOOL CALLBACK FindInThread(HWND window, LPARAM param)
{
    FindArgs *args = (FindArgs *)param;
    char cls[64];
    GetClassNameA(window, cls, sizeof(cls));
    if (strcmp(cls, "#32770") != 0 || !IsWindowVisible(window))
        return TRUE;
    if (args->title && Text(window) != args->title)
        return TRUE;
    if (args->childId && !GetDlgItem(window, args->childId))
        return TRUE;
    if (args->absentId && GetDlgItem(window, args->absentId))
        return TRUE;
    args->found = window;
    return FALSE;
}

inline HWND WaitThreadDialog(DWORD threadId, const char *title, int childId, int absentId,
                             DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        FindArgs args = {title, childId, absentId, NULL};
        EnumThreadWindows(threadId, FindInThread, (LPARAM)&args);
        if (args.found || GetTickCount() - start > timeoutMs)
            return args.found;
        Sleep(20);
    }
}

// One modal dialog of the product, from its resource and its procedure, on
// a thread of its own with no owner. The thread afterwards notes whether a
// WM_QUIT was left in its queue (the "terminate after spawn" request).
class ModalDialog {
public:
    ModalDialog(const char *templateName, DLGPROC proc) : name_(templateName)
    {
        proc_ = proc;
        done_ = CreateEventA(NULL, TRUE, FALSE, NULL);
        thread_ = CreateThread(NULL, 0, Run, this, 0, &threadId_);
    }

    ~ModalDialog()
    {
        if (WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT) {
            if (window_)
                PostMessageA(window_, WM_TEST_END, 0, 0);
            if (WaitForSingleObject(thread_, 10000) == WAIT_TIMEOUT)
                ADD_FAILURE() << "the dialog thread did not end";
        }
        CloseHandle(thread_);
        CloseHandle(done_);
    }

    // The dialog's window once it is shown; NULL (and a failure) when not.
    HWND WaitOpen(int childId)
    {
        window_ = WaitThreadDialog(threadId_, kTitle, childId, 0, 10000);
        EXPECT_TRUE(window_ != NULL) << "no dialog captioned \"" << kTitle << "\" appeared";
        return window_;
    }

    bool WaitClosed(DWORD timeoutMs)
    {
        return WaitForSingleObject(done_, timeoutMs) == WAIT_OBJECT_0;
    }

    // Ends the dialog by the test's own message, where the product offers
    // no way out without side effects.
    void EndByTest()
    {
        PostMessageA(window_, WM_TEST_END, 0, 0);
        WaitClosed(10000);
    }

    DWORD threadId() const { return threadId_; }
    HWND window() const { return window_; }
    INT_PTR result() const { return result_; }
    bool quitPosted() const { return quitPosted_; }

private:
    static DWORD WINAPI Run(LPVOID param)
    {
        ModalDialog *self = (ModalDialog *)param;
        self->result_ = DialogBoxParamA(GetModuleHandleA(NULL), self->name_, NULL, Wrapper, 0);
        MSG msg;
        self->quitPosted_ = PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
        SetEvent(self->done_);
        return 0;
    }

    static INT_PTR CALLBACK Wrapper(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_TEST_END) {
            EndDialog(dialog, kEndedByTest);
            return TRUE;
        }
        return proc_(dialog, message, wParam, lParam);
    }

    static inline DLGPROC proc_;
    const char *name_;
    HANDLE thread_ = NULL;
    HANDLE done_ = NULL;
    DWORD threadId_ = 0;
    HWND window_ = NULL;
    volatile INT_PTR result_ = -12345;
    volatile bool quitPosted_ = false;
};

// ---- Test shells ---------------------------------------------------------

// A copy of the test shell under the given file name; returns its path.
inline std::string PlaceTestShell(const std::string &dir, const char *fileName)
{
    std::string path = dir + fileName;
    CopyFileOrFail(TestBin("dialog_test_shell"), path);
    return path;
}

inline HWND WaitTestShell(const char *fileName, DWORD timeoutMs)
{
    return WaitForWindow(kShellClass, fileName, timeoutMs);
}

// Ends every shell a test started, with the spawn's monitor told to stay
// silent.
inline void EndTestShells()
{
    gState.shellExitExpected = true;
    KillStrays();
}

// A fresh gState as the configuration would leave it: the three test shells
// in dir, no themes, no countdown.
inline void ResetState(const std::string &dir)
{
    memset(&gState, 0, sizeof(gState));
    gState.isNT = true;
    gState.killDelay = 2000;
    gState.shiftDelay = -1;
    gState.themeIndex = -1;
    gState.altShellIndex = -1;
    gState.shellKind = SHELL_EXPLORER;
    GetModuleFileNameA(NULL, gState.managerDir, sizeof(gState.managerDir));
    strcpy(strrchr(gState.managerDir, '\\') + 1, "");
    gState.instance = GetModuleHandleA(NULL);
    strcpy(gState.liteStepPath, PlaceTestShell(dir, "LiteStep.exe").c_str());
    strcpy(gState.explorerPath, PlaceTestShell(dir, "Explorer.exe").c_str());
}

// ---- Screenshots ---------------------------------------------------------

struct Shot {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;   // 0x00RRGGBB, top row first
    uint32_t At(int x, int y) const { return pixels[(size_t)y * width + x]; }
};

// What the screen shows inside rect.
inline Shot CaptureScreen(const RECT &rect)
{
    Shot shot;
    shot.width = rect.right - rect.left;
    shot.height = rect.bottom - rect.top;
    if (shot.width <= 0 || shot.height <= 0)
        return shot;
    BITMAPINFO info;
    ZeroMemory(&info, sizeof(info));
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = shot.width;
    info.bmiHeader.biHeight = -shot.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = NULL;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, shot.width, shot.height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    const uint32_t *source = (const uint32_t *)bits;
    shot.pixels.assign(source, source + (size_t)shot.width * shot.height);
    for (uint32_t &p : shot.pixels)
        p &= 0x00FFFFFF;
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return shot;
}

inline Shot CaptureWindow(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    return CaptureScreen(rect);
}

inline uint32_t Crc32(const unsigned char *data, size_t size, uint32_t crc = 0)
{
    crc = ~crc;
    for (size_t i = 0; i < size; i++) {
        crc ^= data[i];
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

inline void PutBE32(std::string &out, uint32_t v)
{
    out += (char)(v >> 24);
    out += (char)(v >> 16);
    out += (char)(v >> 8);
    out += (char)v;
}

inline void PngChunk(std::string &out, const char *type, const std::string &data)
{
    PutBE32(out, (uint32_t)data.size());
    std::string body = std::string(type, 4) + data;
    out += body;
    PutBE32(out, Crc32((const unsigned char *)body.data(), body.size()));
}

// Writes the shot as an RGB PNG (stored, uncompressed deflate blocks).
inline bool SavePng(const Shot &shot, const std::string &path)
{
    std::string raw;
    for (int y = 0; y < shot.height; y++) {
        raw += '\0';
        for (int x = 0; x < shot.width; x++) {
            uint32_t p = shot.At(x, y);
            raw += (char)(p >> 16);
            raw += (char)(p >> 8);
            raw += (char)p;
        }
    }
    std::string zlib("\x78\x01", 2);
    size_t pos = 0;
    do {
        size_t n = raw.size() - pos < 65535 ? raw.size() - pos : 65535;
        zlib += (char)(pos + n == raw.size() ? 1 : 0);
        zlib += (char)(n & 0xFF);
        zlib += (char)(n >> 8);
        zlib += (char)(~n & 0xFF);
        zlib += (char)((~n >> 8) & 0xFF);
        zlib.append(raw, pos, n);
        pos += n;
    } while (pos < raw.size());
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    PutBE32(zlib, (b << 16) | a);

    std::string header;
    PutBE32(header, (uint32_t)shot.width);
    PutBE32(header, (uint32_t)shot.height);
    header += std::string("\x08\x02\x00\x00\x00", 5);
    std::string png("\x89PNG\r\n\x1a\n", 8);
    PngChunk(png, "IHDR", header);
    PngChunk(png, "IDAT", zlib);
    PngChunk(png, "IEND", "");

    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, png.data(), (DWORD)png.size(), &written, NULL);
    CloseHandle(file);
    return ok && written == png.size();
}

// Saves a screenshot of the window as build\x86_64\screenshots\<name>.png
// for people to look at.
inline void SaveScreenshot(HWND window, const char *name)
{
    std::string dir = BinDir() + "screenshots";
    CreateDirectoryA(dir.c_str(), NULL);
    std::string path = dir + "\\" + name + ".png";
    EXPECT_TRUE(SavePng(CaptureWindow(window), path)) << "could not write " << path;
}

}  // namespace dlgtest
