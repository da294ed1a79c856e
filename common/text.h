// Bounded text helpers. Each deduces the size of its destination array, so
// that no buffer size is ever repeated by hand, and each always terminates.
// They refuse rather than cut where a cut text would be wrong to use (a
// path), and say so by returning false; the destination then holds the
// text cut to fit, terminated.
#pragma once

#include <stdarg.h>
#include <stddef.h>

// Copies src into dest of destSize bytes; false when it had to be cut.
bool CopyTextN(char *dest, size_t destSize, const char *src);
// Appends src to the text in dest; false when it had to be cut.
bool AppendTextN(char *dest, size_t destSize, const char *src);
// printf-style into dest; false when the result had to be cut.
bool FormatTextN(char *dest, size_t destSize, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
bool FormatTextV(char *dest, size_t destSize, const char *format, va_list args);

template <size_t N> inline bool CopyText(char (&dest)[N], const char *src)
{
    return CopyTextN(dest, N, src);
}

template <size_t N> inline bool AppendText(char (&dest)[N], const char *src)
{
    return AppendTextN(dest, N, src);
}

template <size_t N> inline bool JoinText(char (&dest)[N], const char *a, const char *b)
{
    bool whole = CopyTextN(dest, N, a);
    return AppendTextN(dest, N, b) && whole;
}

template <size_t N>
__attribute__((format(printf, 2, 3)))
inline bool FormatText(char (&dest)[N], const char *format, ...)
{
    va_list args;
    va_start(args, format);
    bool whole = FormatTextV(dest, N, format, args);
    va_end(args);
    return whole;
}

template <typename T, size_t N> constexpr size_t ArraySize(T (&)[N]) { return N; }
