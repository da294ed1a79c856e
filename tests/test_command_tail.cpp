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
        strcpy(line, c.line);
        char *tail = FormCommandTail(line);
        // The client cuts the word in place: the tail lies inside the line.
        EXPECT_EQ(line + strlen(c.line) - strlen(c.tail), tail)
            << "for the command line [" << c.line << "], got [" << tail << "]";
    }
}

}  // namespace
