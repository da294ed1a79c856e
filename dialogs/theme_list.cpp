// The list of configured themes to switch to; ends with the chosen index or
// -1.
#include "dialogs/dialogs.h"

#include "app/message_box.h"
#include "config/state.h"
#include "res/resource.h"

constexpr char kThemeListPrompt[] = "Select a theme to switch to from the list below:";
constexpr COLORREF kListText = RGB(0, 255, 0);
constexpr COLORREF kListBackground = RGB(0, 0, 0);
constexpr INT_PTR kCancelled = -1;

static void InitThemeList(HWND dialog)
{
    SetWindowTextA(dialog, kCaption);
    SetDlgItemTextA(dialog, IDC_LISTPROMPT, kThemeListPrompt);
    // Unsorted, so that an item's index is its theme's index.
    for (LONG i = 0; i < gState.themeCount && i < kMaxThemes; i++)
        SendDlgItemMessageA(dialog, IDC_THEMELIST, LB_ADDSTRING, 0, (LPARAM)gState.themes[i].name);
}

static INT_PTR PaintThemeList(HDC dc)
{
    SetTextColor(dc, kListText);
    SetBkColor(dc, kListBackground);
    return (INT_PTR)GetStockObject(BLACK_BRUSH);
}

// Ends the dialog with the selected theme; without a selection it stays.
static void EndWithSelection(HWND dialog)
{
    LRESULT selection = SendDlgItemMessageA(dialog, IDC_THEMELIST, LB_GETCURSEL, 0, 0);
    if (selection != LB_ERR)
        EndDialog(dialog, selection);
}

static INT_PTR OnThemeListCommand(HWND dialog, WPARAM wParam)
{
    if (LOWORD(wParam) == IDC_THEMELIST && HIWORD(wParam) == LBN_DBLCLK) {
        EndWithSelection(dialog);
        return TRUE;
    }
    switch (LOWORD(wParam)) {
    case IDOK:
        EndWithSelection(dialog);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, kCancelled);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK ThemeListDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        InitThemeList(dialog);
        return TRUE;
    case WM_CTLCOLORLISTBOX:
        return PaintThemeList((HDC)wParam);
    case WM_COMMAND:
        return OnThemeListCommand(dialog, wParam);
    }
    return FALSE;
}
