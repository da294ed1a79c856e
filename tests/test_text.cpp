#include <gtest/gtest.h>
#include <ctype.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/text.h"

TEST(Text, CopyCutsAndTerminates)
{
    char buffer[8];
    memset(buffer, 0x5a, sizeof(buffer));
    EXPECT_FALSE(CopyText(buffer, "0123456789")) << "a cut copy must report it";
    EXPECT_STREQ("0123456", buffer);
    EXPECT_TRUE(CopyText(buffer, "0123456")) << "7 characters fit in 8 bytes";
}

TEST(Text, AppendAndFormatRefuseToOverrun)
{
    char buffer[10] = "abc";
    EXPECT_TRUE(AppendText(buffer, "def"));
    EXPECT_FALSE(AppendText(buffer, "ghijkl"));
    EXPECT_STREQ("abcdefghi", buffer);
    char small[6];
    memset(small, 0x5a, sizeof(small));
    EXPECT_FALSE(FormatText(small, "%s-%d", "word", 12345));
    EXPECT_EQ('\0', small[5]) << "a cut format must still be terminated";
    EXPECT_TRUE(FormatText(small, "%d", 12345));
    EXPECT_STREQ("12345", small);
}

// Ours and the library's into every size up to the whole text.
__attribute__((format(printf, 1, 2))) static void ExpectFormatAsLibrary(const char *format, ...)
{
    va_list args, copy;
    va_start(args, format);
    char expected[128], ours[128];
    va_copy(copy, args);
    int full = vsnprintf(expected, sizeof(expected), format, copy);
    va_end(copy);
    for (size_t size = 1; size <= (size_t)full + 1; size++) {
        memset(ours, 0x5a, sizeof(ours));
        va_copy(copy, args);
        bool whole = FormatTextV(ours, size, format, copy);
        va_end(copy);
        EXPECT_EQ(std::string(expected, size - 1), ours) << format << " in " << size << " bytes";
        EXPECT_EQ((size_t)full < size, whole) << format << " in " << size << " bytes";
        EXPECT_EQ(0x5a, ours[size]) << format << ": written past " << size << " bytes";
    }
    va_end(args);
}

// The shipped program has no C library: our routines must answer as the
// library's do, in its "C" locale, for every byte and every cut.
TEST(Text, RoutinesAnswerAsTheCLibrary)
{
    for (int c = 0; c < 256; c++)
        EXPECT_EQ(isspace(c) != 0, IsBlank((char)c)) << "blank test of byte " << c;
    const char *words[] = { "", "swap", "SWAP", "SwapTheme", "swaptheme", "swap ", "@", "`",
                            "[", "{", "Z", "z", "\xC4", "\xE4", "LiteStep", "litestep" };
    for (const char *a : words)
        for (const char *b : words)
            EXPECT_EQ(_strcmpi(a, b) == 0, SameTextNoCase(a, b)) << "'" << a << "' '" << b << "'";
    const char *paths[] = { "C:\\Tools\\LiteStep.exe", "shell", "C:shell.exe", "a.b\\c",
                            "\\\\host\\share\\x.y.z", "dir/name.", ".profile", "C:\\", "" };
    for (const char *path : paths) {
        char drive[_MAX_DRIVE], dir[_MAX_DIR], name[_MAX_FNAME], ext[_MAX_EXT], ours[8];
        _splitpath(path, drive, dir, name, ext);
        EXPECT_EQ(strlen(name) < sizeof(ours), FileBaseName(ours, path)) << path;
        EXPECT_EQ(std::string(name).substr(0, sizeof(ours) - 1), ours) << path;
    }
    ExpectFormatAsLibrary("%s%s", "C:\\Tools\\", "Quillfern.cfg");
    ExpectFormatAsLibrary("theme_name_%d%%", INT_MIN);
    ExpectFormatAsLibrary("%s   ::: %d :::", "Quillfern 1.50", INT_MAX);
    ExpectFormatAsLibrary("Error %lu", ULONG_MAX);
    ExpectFormatAsLibrary("%u %ld %d", UINT_MAX, LONG_MIN, 0);
}
