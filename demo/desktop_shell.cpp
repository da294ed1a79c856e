// The demo's stand-in shells, drawn to look like what they stand for; the role is the file name.
//   LiteStep.exe   a bar along the top of the screen that names the theme of the step.rc beside
//                  it (its line ThemeName "..."; ThemeColor RRGGBB colours the bar), and the
//                  hidden "TApplication" window titled "LiteStep" that takes the quit request
//   Explorer.exe   a taskbar along the bottom with a Start button and a clock, and the hidden
//                  "Progman" window titled "Program Manager" that takes WM_QUIT
//   anything else  a plain window titled with its name: an alternate shell
// None of them takes the focus: the manager's dialogs keep it.
#include <windows.h>

#include <stdio.h>
#include <string.h>

static const int kBarHeight = 26;
static const int kTaskbarHeight = 30;
static const UINT kLiteStepQuit = 9260;
static const UINT_PTR kClockTimer = 1;
static const char kStartText[] = "Start";

static char gDir[MAX_PATH];
static char gRole[64];
static char gTheme[64] = "(no ThemeName in step.rc)";
static COLORREF gThemeColor = RGB(192, 192, 192);
static HFONT gBoldFont;

// step.rc lines such as: ThemeName "Night" / ThemeColor 5060C0
static void ReadStepRc()
{
    char path[MAX_PATH + 16];
    char line[256];
    snprintf(path, sizeof path, "%sstep.rc", gDir);
    FILE* file = fopen(path, "rb");
    if (file == NULL)
        return;
    while (fgets(line, sizeof line, file)) {
        unsigned int rgb;
        if (sscanf(line, "ThemeName \"%63[^\"]\"", gTheme) == 1)
            continue;
        if (sscanf(line, "ThemeColor %x", &rgb) == 1)
            gThemeColor = RGB(rgb >> 16, (rgb >> 8) & 0xFF, rgb & 0xFF);
    }
    fclose(file);
}

static COLORREF TextColourOn(COLORREF back)
{
    int light = GetRValue(back) * 3 + GetGValue(back) * 6 + GetBValue(back);
    return light > 1280 ? RGB(0, 0, 0) : RGB(255, 255, 255);
}

static void ClockText(char* text, size_t size)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    snprintf(text, size, "%02d:%02d", now.wHour, now.wMinute);
}

static void PaintLiteStepBar(HWND window, HDC dc)
{
    RECT area;
    char text[128];
    GetClientRect(window, &area);
    HBRUSH back = CreateSolidBrush(gThemeColor);
    FillRect(dc, &area, back);
    DeleteObject(back);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, TextColourOn(gThemeColor));
    SelectObject(dc, gBoldFont);
    snprintf(text, sizeof text, "  LiteStep  |  theme: %s", gTheme);
    DrawTextA(dc, text, -1, &area, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    ClockText(text, sizeof text);
    area.right -= 10;
    DrawTextA(dc, text, -1, &area, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
}

static void PaintTaskbar(HWND window, HDC dc)
{
    RECT area;
    char clock[16];
    GetClientRect(window, &area);
    FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
    DrawEdge(dc, &area, BDR_RAISEDINNER, BF_TOP);
    RECT tray = { area.right - 64, area.top + 4, area.right - 3, area.bottom - 3 };
    DrawEdge(dc, &tray, BDR_SUNKENOUTER, BF_RECT);
    SetBkMode(dc, TRANSPARENT);
    SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    ClockText(clock, sizeof clock);
    DrawTextA(dc, clock, -1, &tray, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

static void PaintAlternateShell(HWND window, HDC dc)
{
    RECT area;
    char text[128];
    GetClientRect(window, &area);
    FillRect(dc, &area, GetSysColorBrush(COLOR_WINDOW));
    SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    snprintf(text, sizeof text, "%s, an alternate shell", gRole);
    DrawTextA(dc, text, -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

static void Paint(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (!strcmp(gRole, "litestep"))
        PaintLiteStepBar(window, dc);
    else if (!strcmp(gRole, "explorer"))
        PaintTaskbar(window, dc);
    else
        PaintAlternateShell(window, dc);
    EndPaint(window, &paint);
}

static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case kLiteStepQuit:
        PostQuitMessage(0);
        return 0;
    case WM_PAINT:
        Paint(window);
        return 0;
    case WM_TIMER:
        InvalidateRect(window, NULL, FALSE);
        return 0;
    case WM_MOUSEACTIVATE:
        return MA_NOACTIVATE;
    case WM_CLOSE:
        return 0; // a shell is ended by the manager or by its own death, not by a close
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

static HWND MakeWindow(const char* className, const char* title, DWORD style, RECT place)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WndProc;
    windowClass.lpszClassName = className;
    windowClass.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    RegisterClassA(&windowClass);
    DWORD exStyle = style & WS_CAPTION ? 0 : WS_EX_TOOLWINDOW;
    return CreateWindowExA(exStyle, className, title, style, place.left, place.top,
        place.right - place.left, place.bottom - place.top, NULL, NULL, NULL, NULL);
}

static void Show(HWND window)
{
    ShowWindow(window, SW_SHOWNOACTIVATE);
    SetTimer(window, kClockTimer, 10000, NULL);
}

static void MakeLiteStep(int width)
{
    char title[128];
    ReadStepRc();
    MakeWindow("TApplication", "LiteStep", WS_POPUP, RECT {});
    snprintf(title, sizeof title, "LiteStep - %s", gTheme);
    Show(MakeWindow("TWharfGlobalContainer", title, WS_POPUP, RECT { 0, 0, width, kBarHeight }));
}

static void MakeExplorer(int width, int height)
{
    MakeWindow("Progman", "Program Manager", WS_POPUP, RECT {});
    HWND bar = MakeWindow(
        "Shell_TrayWnd", "", WS_POPUP, RECT { 0, height - kTaskbarHeight, width, height });
    HWND start = CreateWindowExA(0, "BUTTON", kStartText, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 3,
        4, 60, kTaskbarHeight - 7, bar, NULL, NULL, NULL);
    SendMessageA(start, WM_SETFONT, (WPARAM)gBoldFont, FALSE);
    Show(bar);
}

static void MakeAlternateShell(int width, int height)
{
    RECT place = { width / 2 - 160, height / 2 - 90, width / 2 + 160, height / 2 + 90 };
    Show(MakeWindow("AltShellWindow", gRole, WS_OVERLAPPEDWINDOW, place));
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    GetModuleFileNameA(NULL, gDir, sizeof gDir);
    char* name = strrchr(gDir, '\\') + 1;
    snprintf(gRole, sizeof gRole, "%.*s", (int)strcspn(name, "."), CharLowerA(name));
    *name = '\0'; // gDir: the folder, ending in a backslash
    gBoldFont = CreateFontA(
        -12, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0, 0, "Tahoma");
    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    if (!strcmp(gRole, "litestep"))
        MakeLiteStep(width);
    else if (!strcmp(gRole, "explorer"))
        MakeExplorer(width, height);
    else
        MakeAlternateShell(width, height);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}
