// The theme list dialog, run for real: the names in configuration order, the
// choice by double click or OK, cancelling, and the green-on-black list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "dialog_driver.h"
#include "dialogs/dialogs.h"

using namespace dlgtest;

namespace {

constexpr char kListPrompt[] = "Select a theme to switch to from the list below:";

class ThemeList : public ::testing::Test {
protected:
    void SetUp() override
    {
        memset(&gState, 0, sizeof(gState));
        gState.themeIndex = -1;
    }

    void SetThemes(const std::vector<const char *> &names)
    {
        for (size_t i = 0; i < names.size(); i++)
            CopyText(gState.themes[i].name, names[i]);
        gState.themeCount = (LONG)names.size();
    }
};

HWND List(HWND dialog)
{
    return GetDlgItem(dialog, IDC_THEMELIST);
}

std::vector<std::string> Items(HWND dialog)
{
    std::vector<std::string> items;
    LRESULT count = SendMessageA(List(dialog), LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        char text[256] = "";
        SendMessageA(List(dialog), LB_GETTEXT, i, (LPARAM)text);
        items.push_back(text);
    }
    return items;
}

// What a click on an item leaves behind: the item selected and, for a double
// click, the list's LBN_DBLCLK to the dialog. Posted mouse messages would
// depend on the pointer's real state, which no test controls under Wine.
void ClickItem(HWND dialog, int index, bool twice)
{
    SendMessageA(List(dialog), LB_SETCURSEL, index, 0);
    if (twice)
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_THEMELIST, LBN_DBLCLK),
                     (LPARAM)List(dialog));
}

}  // namespace

TEST_F(ThemeList, ListsThemesInOrderAndDoubleClickChooses)
{
    SetThemes({"Wavecrest", "Moss", "Ashfall"});
    ModalDialog dialog("IDD_LIST_DLG", ThemeListDlgProc);
    HWND window = dialog.WaitOpen(IDC_THEMELIST);
    ASSERT_TRUE(window);

    EXPECT_EQ(kTitle, Text(window));
    EXPECT_EQ(kListPrompt, ItemText(window, IDC_LISTPROMPT));
    EXPECT_EQ((std::vector<std::string>{"Wavecrest", "Moss", "Ashfall"}), Items(window))
        << "the themes must be listed in configuration order";
    EXPECT_EQ(LB_ERR, SendMessageA(List(window), LB_GETCURSEL, 0, 0)) << "nothing is selected";

    // The list is drawn green on black. Look inside its border, before
    // anything is selected (a selection is drawn in the system colours).
    Sleep(500);
    SaveScreenshot(window, "theme_list");
    RECT rect;
    GetWindowRect(List(window), &rect);
    InflateRect(&rect, -3, -3);
    Shot shot = CaptureScreen(rect);
    ASSERT_GT(shot.width, 20);
    size_t black = 0, green = 0, other = 0;
    uint32_t firstOther = 0;
    for (uint32_t p : shot.pixels) {
        if (p == 0x000000)
            black++;
        else if (p == 0x00FF00)
            green++;
        else if ((p & 0xFF00FF) == 0)
            ;   // a shade of green where a glyph's edge meets the black
        else if (!other++)
            firstOther = p;
    }
    EXPECT_GT(black, shot.pixels.size() / 2) << "the list's ground must be black";
    EXPECT_GT(green, 30u) << "the names must be drawn in pure green";
    EXPECT_EQ(0u, other) << "pixels neither green nor black, the first 0x" << std::hex
                         << firstOther;

    // OK without a selection does nothing.
    Click(window, IDOK);
    Settle(window);
    EXPECT_FALSE(dialog.WaitClosed(300)) << "OK without a selection must not end the dialog";

    ClickItem(window, 1, true);
    ASSERT_TRUE(dialog.WaitClosed(5000)) << "a double click must end the dialog";
    EXPECT_EQ(1, dialog.result()) << "the second theme's index";
}

TEST_F(ThemeList, CancelAndTheCloseButtonReturnMinusOne)
{
    SetThemes({"Wavecrest", "Moss", "Ashfall"});
    for (int way = 0; way < 3; way++) {
        SCOPED_TRACE(way == 0 ? "Esc" : way == 1 ? "close button" : "IDCANCEL after a selection");
        ModalDialog dialog("IDD_LIST_DLG", ThemeListDlgProc);
        HWND window = dialog.WaitOpen(IDC_THEMELIST);
        ASSERT_TRUE(window);
        if (way == 0) {
            PressEscape(window);
        } else if (way == 1) {
            EXPECT_TRUE(GetWindowLongA(window, GWL_STYLE) & WS_SYSMENU) << "no close button";
            PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        } else {
            ClickItem(window, 2, false);
            Settle(window);
            PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
        ASSERT_TRUE(dialog.WaitClosed(5000)) << "the dialog must end";
        EXPECT_EQ(-1, dialog.result());
    }
}

TEST_F(ThemeList, DuplicateNamesEachReturnTheirOwnIndex)
{
    SetThemes({"Twin", "Other", "Twin", "Last"});
    for (int chosen : {0, 2, 3}) {
        SCOPED_TRACE(testing::Message() << "item " << chosen);
        ModalDialog dialog("IDD_LIST_DLG", ThemeListDlgProc);
        HWND window = dialog.WaitOpen(IDC_THEMELIST);
        ASSERT_TRUE(window);
        EXPECT_EQ((std::vector<std::string>{"Twin", "Other", "Twin", "Last"}), Items(window));
        ClickItem(window, chosen, false);
        Settle(window);
        EXPECT_FALSE(dialog.WaitClosed(0)) << "a single click must not end the dialog";
        Click(window, IDOK);
        ASSERT_TRUE(dialog.WaitClosed(5000)) << "OK with a selection must end the dialog";
        EXPECT_EQ(chosen, dialog.result());
    }
}
