// Theme installation with real directories and the real wallpaper setting.
#include <gtest/gtest.h>
#include <string.h>

#include "config/state.h"
#include "themes/theme.h"
#include "support/support.h"

namespace {

const char kFailed[] =
    "An error has occured while installing the current user's\ntheme.  Please check "
    "Quillfern.cfg and verify that\nall paths are correct.";

ThemeEntry MakeTheme(const std::string &path, const std::string &back)
{
    ThemeEntry theme = {};
    strcpy(theme.name, "Name plays no part");
    EXPECT_LT(path.size(), sizeof(theme.path));
    EXPECT_LT(back.size(), sizeof(theme.back));
    strncpy(theme.path, path.c_str(), sizeof(theme.path) - 1);
    strncpy(theme.back, back.c_str(), sizeof(theme.back) - 1);
    return theme;
}

class InstallThemeTest : public testing::Test {
protected:
    void SetUp() override
    {
        saved = gState;
        savedWallpaper = Wallpaper();
        dir = MakeScratchDir("install_theme");
        managerDir = dir + "Manager\\";
        liteStepDir = dir + "LiteStep";
        themeDir = dir + "Themes\\Green";
        CreateDirectoryA(managerDir.c_str(), NULL);
        CreateDirectoryA(liteStepDir.c_str(), NULL);
        CreateDirectoryA((dir + "Themes").c_str(), NULL);
        CreateDirectoryA(themeDir.c_str(), NULL);
        strcpy(gState.managerDir, managerDir.c_str());
        // Any 12 characters of file name, in any capitals.
        strcpy(gState.liteStepPath, (liteStepDir + "\\litestep.EXE").c_str());
        WriteTextFile(liteStepDir + "\\step.rc", "own step.rc");
        WriteTextFile(liteStepDir + "\\modules.ini", "own modules.ini");
        WriteTextFile(themeDir + "\\step.rc", "green step.rc");
        WriteTextFile(themeDir + "\\modules.ini", "green modules.ini");
        wallpaper = themeDir + "\\green.bmp";
        WriteBitmap(wallpaper);
        // The last installation's leftovers, to see whether they are replaced.
        WriteTextFile(managerDir + "Previous_Step.rc", "old backup step.rc");
        WriteTextFile(managerDir + "Previous_Modules.ini", "old backup modules.ini");
        unrelatedWallpaper = dir + "unrelated.bmp";
        WriteBitmap(unrelatedWallpaper);
        SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, (void *)unrelatedWallpaper.c_str(), 0);
        ASSERT_EQ(unrelatedWallpaper, Wallpaper()) << "the wallpaper cannot be set here";
    }

    void TearDown() override
    {
        gState = saved;
        SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, (void *)savedWallpaper.c_str(), 0);
    }

    void ExpectNothingChanged()
    {
        EXPECT_EQ("own step.rc", ReadTextFile(liteStepDir + "\\step.rc"));
        EXPECT_EQ("own modules.ini", ReadTextFile(liteStepDir + "\\modules.ini"));
        EXPECT_EQ("old backup step.rc", ReadTextFile(managerDir + "Previous_Step.rc"));
        EXPECT_EQ("old backup modules.ini", ReadTextFile(managerDir + "Previous_Modules.ini"));
        EXPECT_EQ(unrelatedWallpaper, Wallpaper()) << "the wallpaper must stay";
    }

    ManagerState saved;
    std::string savedWallpaper, dir, managerDir, liteStepDir, themeDir, wallpaper;
    std::string unrelatedWallpaper;
    MessageBoxWatcher boxes;
};

TEST_F(InstallThemeTest, BacksUpCopiesAndSetsTheWallpaper)
{
    EXPECT_TRUE(InstallTheme(MakeTheme(themeDir, wallpaper)));
    EXPECT_EQ("own step.rc", ReadTextFile(managerDir + "Previous_Step.rc"));
    EXPECT_EQ("own modules.ini", ReadTextFile(managerDir + "Previous_Modules.ini"));
    EXPECT_EQ("green step.rc", ReadTextFile(liteStepDir + "\\step.rc"));
    EXPECT_EQ("green modules.ini", ReadTextFile(liteStepDir + "\\modules.ini"));
    EXPECT_EQ("green step.rc", ReadTextFile(themeDir + "\\step.rc")) << "the theme is only read";
    EXPECT_EQ(wallpaper, Wallpaper());
    EXPECT_EQ(0u, boxes.Seen().size()) << "no message on success";
}

TEST_F(InstallThemeTest, TwoInstallationsInARow)
{
    std::string blueDir = dir + "Themes\\Blue";
    CreateDirectoryA(blueDir.c_str(), NULL);
    WriteTextFile(blueDir + "\\step.rc", "blue step.rc");
    WriteTextFile(blueDir + "\\modules.ini", "blue modules.ini");
    std::string blueWallpaper = blueDir + "\\blue.bmp";
    WriteBitmap(blueWallpaper);

    EXPECT_TRUE(InstallTheme(MakeTheme(themeDir, wallpaper)));
    EXPECT_TRUE(InstallTheme(MakeTheme(blueDir, blueWallpaper)));
    EXPECT_EQ("green step.rc", ReadTextFile(managerDir + "Previous_Step.rc"))
        << "the second backup holds what the first installed";
    EXPECT_EQ("green modules.ini", ReadTextFile(managerDir + "Previous_Modules.ini"));
    EXPECT_EQ("blue step.rc", ReadTextFile(liteStepDir + "\\step.rc"));
    EXPECT_EQ("blue modules.ini", ReadTextFile(liteStepDir + "\\modules.ini"));
    EXPECT_EQ(blueWallpaper, Wallpaper());
    EXPECT_EQ(0u, boxes.Seen().size());
}

TEST_F(InstallThemeTest, MissingModulesIniIsNoFailure)
{
    // The theme has none: LiteStep keeps its own.
    DeleteFileA((themeDir + "\\modules.ini").c_str());
    EXPECT_TRUE(InstallTheme(MakeTheme(themeDir, wallpaper)));
    EXPECT_EQ("green step.rc", ReadTextFile(liteStepDir + "\\step.rc"));
    EXPECT_EQ("own modules.ini", ReadTextFile(liteStepDir + "\\modules.ini"));
    EXPECT_EQ("own modules.ini", ReadTextFile(managerDir + "Previous_Modules.ini"));
    EXPECT_EQ(wallpaper, Wallpaper());

    // LiteStep has none: the old backup stays, the theme's arrives.
    WriteTextFile(themeDir + "\\modules.ini", "green modules.ini");
    WriteTextFile(managerDir + "Previous_Modules.ini", "old backup modules.ini");
    DeleteFileA((liteStepDir + "\\modules.ini").c_str());
    EXPECT_TRUE(InstallTheme(MakeTheme(themeDir, wallpaper)));
    EXPECT_EQ("old backup modules.ini", ReadTextFile(managerDir + "Previous_Modules.ini"));
    EXPECT_EQ("green modules.ini", ReadTextFile(liteStepDir + "\\modules.ini"));
    EXPECT_EQ(0u, boxes.Seen().size());
}

TEST_F(InstallThemeTest, FailedStepRcCopies)
{
    // The theme has no step.rc: the backups are made, LiteStep's files stay.
    DeleteFileA((themeDir + "\\step.rc").c_str());
    EXPECT_FALSE(InstallTheme(MakeTheme(themeDir, wallpaper)));
    EXPECT_EQ(1u, boxes.Count(kFailed)) << "the failure message, once";
    EXPECT_EQ(1u, boxes.Seen().size());
    EXPECT_EQ("own step.rc", ReadTextFile(managerDir + "Previous_Step.rc"));
    EXPECT_EQ("own step.rc", ReadTextFile(liteStepDir + "\\step.rc"));
    EXPECT_EQ("own modules.ini", ReadTextFile(liteStepDir + "\\modules.ini"));
    EXPECT_EQ(unrelatedWallpaper, Wallpaper());

    // LiteStep has no step.rc: nothing at all changes.
    WriteTextFile(themeDir + "\\step.rc", "green step.rc");
    WriteTextFile(managerDir + "Previous_Step.rc", "old backup step.rc");
    WriteTextFile(managerDir + "Previous_Modules.ini", "old backup modules.ini");
    DeleteFileA((liteStepDir + "\\step.rc").c_str());
    boxes.Clear();
    EXPECT_FALSE(InstallTheme(MakeTheme(themeDir, wallpaper)));
    EXPECT_EQ(1u, boxes.Count(kFailed)) << "the failure message, once";
    EXPECT_EQ(1u, boxes.Seen().size());
    EXPECT_FALSE(FileExists(liteStepDir + "\\step.rc"));
    WriteTextFile(liteStepDir + "\\step.rc", "own step.rc");
    ExpectNothingChanged();
}

TEST_F(InstallThemeTest, LiteStepDirectoryIsCutByLength)
{
    // D:\Shells\LS\ls.exe gives D:\She: the same shape under the scratch dir.
    std::string drive = dir + "D";
    CreateDirectoryA(drive.c_str(), NULL);
    CreateDirectoryA((drive + "\\Shells").c_str(), NULL);
    CreateDirectoryA((drive + "\\Shells\\LS").c_str(), NULL);
    CreateDirectoryA((drive + "\\She").c_str(), NULL);
    WriteTextFile(drive + "\\Shells\\LS\\step.rc", "LS step.rc");
    WriteTextFile(drive + "\\She\\step.rc", "She step.rc");
    strcpy(gState.liteStepPath, (drive + "\\Shells\\LS\\ls.exe").c_str());

    EXPECT_TRUE(InstallTheme(MakeTheme(themeDir, wallpaper)));
    EXPECT_EQ("She step.rc", ReadTextFile(managerDir + "Previous_Step.rc"));
    EXPECT_EQ("green step.rc", ReadTextFile(drive + "\\She\\step.rc"));
    EXPECT_EQ("LS step.rc", ReadTextFile(drive + "\\Shells\\LS\\step.rc"));
    EXPECT_EQ(0u, boxes.Seen().size());
}

TEST_F(InstallThemeTest, PathsThatCannotBeComposedChangeNothing)
{
    std::string longTheme = dir + std::string(250 - dir.size(), 't');
    std::string longManager = dir + std::string(242 - dir.size(), 'm') + "\\";
    const struct {
        const char *what;
        std::string liteStepPath, managerDir, themePath;
    } cases[] = {
        {"empty LiteStep path", "", managerDir, themeDir},
        {"LiteStep path of 12 characters", "C:\\LiteS.exe", managerDir, themeDir},
        {"theme path too long for \\modules.ini", liteStepDir + "\\LiteStep.exe", managerDir,
         longTheme},
        {"manager dir too long for Previous_Modules.ini", liteStepDir + "\\LiteStep.exe",
         longManager, themeDir},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_LT(c.managerDir.size(), sizeof(gState.managerDir));
        strcpy(gState.liteStepPath, c.liteStepPath.c_str());
        strcpy(gState.managerDir, c.managerDir.c_str());
        boxes.Clear();
        EXPECT_FALSE(InstallTheme(MakeTheme(c.themePath, wallpaper)));
        EXPECT_EQ(1u, boxes.Count(kFailed)) << "the failure message, once";
        EXPECT_EQ(1u, boxes.Seen().size());
        ExpectNothingChanged();
    }
}

}  // namespace
