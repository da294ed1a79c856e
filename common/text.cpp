#include "common/text.h"

#include <stdio.h>
#include <string.h>

bool CopyTextN(char *dest, size_t destSize, const char *src)
{
    if (destSize == 0)
        return false;
    size_t len = strlen(src);
    bool whole = len < destSize;
    if (!whole)
        len = destSize - 1;
    memmove(dest, src, len);
    dest[len] = '\0';
    return whole;
}

bool AppendTextN(char *dest, size_t destSize, const char *src)
{
    size_t used = 0;
    while (used < destSize && dest[used] != '\0')
        used++;
    if (used >= destSize)
        return false;
    return CopyTextN(dest + used, destSize - used, src);
}

bool FormatTextV(char *dest, size_t destSize, const char *format, va_list args)
{
    if (destSize == 0)
        return false;
    // msvcrt's _vsnprintf neither terminates a cut result nor returns its
    // full length, so terminate here and judge by the result alone.
    int written = _vsnprintf(dest, destSize, format, args);
    dest[destSize - 1] = '\0';
    return written >= 0 && (size_t)written < destSize;
}

bool FormatTextN(char *dest, size_t destSize, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    bool whole = FormatTextV(dest, destSize, format, args);
    va_end(args);
    return whole;
}
