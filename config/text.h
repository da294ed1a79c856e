// Bounded text helpers, and the few string routines the program needs, ours
// so that it runs on a Windows that has no C run-time DLL. Each helper that
// writes deduces the size of its destination array, so that no buffer size
// is ever repeated by hand, and each always terminates. They refuse rather
// than cut where a cut text would be wrong to use (a path), and say so by
// returning false; the destination then holds the text cut to fit,
// terminated. Comparisons and blanks are those of plain ASCII, whatever the
// system's code page.
#pragma once

#include <stdarg.h>
#include <stddef.h>

size_t TextLength(const char* text);
// The ASCII letters A to Z in lower case; every other byte as it is.
char LowerAscii(char c);
// Equal but for the case of the ASCII letters A to Z.
bool SameTextNoCase(const char* a, const char* b);
// Space, tab, line feed, vertical tab, form feed, carriage return.
bool IsBlank(char c);

// Copies src into dest of destSize bytes; false when it had to be cut.
bool CopyTextN(char* dest, size_t destSize, const char* src);
// Copies the first length characters of src, which has at least that many.
bool CopyTextPartN(char* dest, size_t destSize, const char* src, size_t length);
// Appends src to the text in dest; false when it had to be cut.
bool AppendTextN(char* dest, size_t destSize, const char* src);
// printf-style into dest; false when the result had to be cut. Knows only
// %s, %d, %u, %ld, %lu and %%, without flags, widths or precisions: the
// formats the program uses.
bool FormatTextN(char* dest, size_t destSize, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool FormatTextV(char* dest, size_t destSize, const char* format, va_list args);
// The file name in path without drive, directory and extension: everything
// after the last backslash or slash, up to its last dot, taken character by
// character of the system's code page.
bool FileBaseNameN(char* dest, size_t destSize, const char* path);

template <size_t N> inline bool CopyText(char (&dest)[N], const char* src)
{
    return CopyTextN(dest, N, src);
}

template <size_t N> inline bool CopyTextPart(char (&dest)[N], const char* src, size_t length)
{
    return CopyTextPartN(dest, N, src, length);
}

template <size_t N> inline bool AppendText(char (&dest)[N], const char* src)
{
    return AppendTextN(dest, N, src);
}

template <size_t N> inline bool JoinText(char (&dest)[N], const char* a, const char* b)
{
    bool whole = CopyTextN(dest, N, a);
    return AppendTextN(dest, N, b) && whole;
}

template <size_t N> constexpr size_t TextBufferSize(char (&)[N])
{
    return N;
}
// A macro rather than a template, so that every buffer size shares the one
// formatting function and the compiler still checks the arguments against
// the format; TextBufferSize refuses a pointer for dest.
#define FormatText(dest, ...) FormatTextN(dest, TextBufferSize(dest), __VA_ARGS__)

template <size_t N> inline bool FileBaseName(char (&dest)[N], const char* path)
{
    return FileBaseNameN(dest, N, path);
}

template <typename T, size_t N> constexpr size_t ArraySize(T (&)[N])
{
    return N;
}
