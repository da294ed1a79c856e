#include <gtest/gtest.h>
#include <string.h>

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
