// The command tail: what the manager takes from its own command line after
// the program name and the blanks behind it.
#include <gtest/gtest.h>
#include <string.h>

#include "app/manager.h"

namespace {

struct TailCase {
    const char *line;
    const char *tail;
};

const TailCase kCases[] = {
    {"\"C:\\Program Files\\Quillfern\\Quillfern.exe\"   -restart", "-restart"},
    {"Quillfern.exe    ", ""},
    {"\"Quillfern.exe\"   \t ", ""},
    {"\"C:\\Tools\\Quillfern.exe\"-swap", "-swap"},
    {"C:\\T\xe9l\xe9\\Quillfern\xff.exe -kill", "-kill"},
    {"C:\\Tools\\Quillfern.exe", ""},
    {"", ""},
    {"\"C:\\Tools\\Quillfern.exe -swap", ""},
    {"Quillfern.exe \x01\x1f -quit extra", "-quit extra"},
    {"Quillfern.exe swap", "swap"},
};

TEST(CommandTail, Table)
{
    for (const TailCase &c : kCases) {
        char line[300];
        memset(line, 0x5a, sizeof(line));
        strcpy(line, c.line);
        char *tail = FormCommandTail(line);
        ASSERT_TRUE(tail >= line && tail <= line + strlen(c.line))
            << "tail of [" << c.line << "] points outside the line";
        EXPECT_STREQ(c.tail, tail) << "for the command line [" << c.line << "]";
        EXPECT_EQ(0x5a, (unsigned char)line[strlen(c.line) + 1])
            << "the line [" << c.line << "] was written past its end";
    }
}

// The tail points into the line itself: the client cuts the word in place.
TEST(CommandTail, PointsIntoTheLine)
{
    char line[] = "\"Q.exe\" -swaptheme now";
    char *tail = FormCommandTail(line);
    EXPECT_EQ(line + 8, tail) << "expected the tail to start at offset 8, got "
                              << (tail - line);
}

}  // namespace
