// Stand-in for LiteStep: a "TApplication" window titled "LiteStep" and a
// "TWharfGlobalContainer" window; message 9260 asks it to quit. The wharf
// shows the theme it was started with: the ThemeName and ThemeColor lines of
// the step.rc beside it, so that a theme switch can be seen.
#include "standin.h"

static const UINT kLiteStepQuit = 9260;

static char gThemeName[128] = "(no step.rc)";
static COLORREF gThemeColor = RGB(192, 192, 192);

// step.rc lines: ThemeName "Day"   ThemeColor FFD040 (RRGGBB)
static void ReadStepRc()
{
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%sstep.rc", gStandInDir);
    FILE *file = fopen(path, "r");
    if (file == NULL)
        return;
    char line[256];
    while (fgets(line, sizeof line, file) != NULL) {
        if (strncmp(line, "ThemeName", 9) == 0) {
            char *start = strchr(line, '"');
            char *end = start != NULL ? strchr(start + 1, '"') : NULL;
            if (end != NULL) {
                *end = '\0';
                snprintf(gThemeName, sizeof gThemeName, "%s", start + 1);
            }
        } else if (strncmp(line, "ThemeColor", 10) == 0) {
            unsigned long rgb = strtoul(line + 10, NULL, 16);
            gThemeColor = RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
        }
    }
    fclose(file);
}

static void PaintWharf(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT area;
    GetClientRect(window, &area);
    HBRUSH brush = CreateSolidBrush(gThemeColor);
    FillRect(dc, &area, brush);
    DeleteObject(brush);
    char text[200];
    snprintf(text, sizeof text, "LiteStep theme: %s", gThemeName);
    SetBkMode(dc, TRANSPARENT);
    DrawTextA(dc, text, -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    EndPaint(window, &paint);
}

static LRESULT CALLBACK LiteStepWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case kLiteStepQuit:
        StandInQuitRequest(wParam, lParam);
        return 0;
    case WM_CLOSE:
        return 0;       // only the quit message ends LiteStep
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

static LRESULT CALLBACK WharfWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        PaintWharf(window);
        return 0;
    default:
        return LiteStepWndProc(window, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    StandInStart();
    ReadStepRc();
    StandInWindow("TApplication", "LiteStep", LiteStepWndProc, 0, 0);
    StandInWindow("TWharfGlobalContainer", "Wharf", WharfWndProc, 0, 64);
    return StandInRun();
}
