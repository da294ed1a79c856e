#include "config/text.h"

#include <windows.h>

size_t TextLength(const char* text)
{
    size_t length = 0;
    while (text[length] != '\0')
        length++;
    return length;
}

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

bool SameTextNoCase(const char* a, const char* b)
{
    while (LowerAscii(*a) == LowerAscii(*b)) {
        if (*a == '\0')
            return true;
        a++;
        b++;
    }
    return false;
}

bool IsBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Copies length characters; the two may overlap.
static void MoveText(char* dest, const char* src, size_t length)
{
    if (dest < src) {
        for (size_t i = 0; i < length; i++)
            dest[i] = src[i];
    } else {
        while (length-- > 0)
            dest[length] = src[length];
    }
}

bool CopyTextPartN(char* dest, size_t destSize, const char* src, size_t length)
{
    if (destSize == 0)
        return false;
    bool whole = length < destSize;
    if (!whole)
        length = destSize - 1;
    MoveText(dest, src, length);
    dest[length] = '\0';
    return whole;
}

bool CopyTextN(char* dest, size_t destSize, const char* src)
{
    return CopyTextPartN(dest, destSize, src, TextLength(src));
}

bool AppendTextN(char* dest, size_t destSize, const char* src)
{
    size_t used = 0;
    while (used < destSize && dest[used] != '\0')
        used++;
    if (used >= destSize)
        return false;
    return CopyTextN(dest + used, destSize - used, src);
}

// Collects formatted output, keeping what fits and counting all of it.
struct Output {
    char* dest;
    size_t size;
    size_t length;
};

static void Put(Output& out, char c)
{
    if (out.length + 1 < out.size)
        out.dest[out.length] = c;
    out.length++;
}

static void PutText(Output& out, const char* text)
{
    while (*text != '\0')
        Put(out, *text++);
}

static void PutNumber(Output& out, unsigned long value, bool negative)
{
    char digits[3 * sizeof(value)];
    size_t count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (negative)
        Put(out, '-');
    while (count > 0)
        Put(out, digits[--count]);
}

static void PutSigned(Output& out, long value)
{
    // Negated as unsigned, so that the most negative value has a magnitude.
    unsigned long magnitude = value < 0 ? 0UL - (unsigned long)value : (unsigned long)value;
    PutNumber(out, magnitude, value < 0);
}

bool FormatTextV(char* dest, size_t destSize, const char* format, va_list args)
{
    if (destSize == 0)
        return false;
    Output out = { dest, destSize, 0 };
    for (const char* f = format; *f != '\0'; f++) {
        if (*f != '%') {
            Put(out, *f);
            continue;
        }
        bool isLong = f[1] == 'l';
        if (isLong)
            f++;
        switch (*++f) {
        case 's': {
            const char* text = va_arg(args, const char*);
            PutText(out, text != NULL ? text : "(null)");
            break;
        }
        case 'd':
            PutSigned(out, isLong ? va_arg(args, long) : va_arg(args, int));
            break;
        case 'u':
            PutNumber(
                out, isLong ? va_arg(args, unsigned long) : va_arg(args, unsigned int), false);
            break;
        case '%':
            Put(out, '%');
            break;
        default:
            // Not a format the program uses; a trailing lone % ends here.
            if (*f == '\0')
                f--;
            break;
        }
    }
    dest[out.length < destSize ? out.length : destSize - 1] = '\0';
    return out.length < destSize;
}

bool FormatTextN(char* dest, size_t destSize, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool whole = FormatTextV(dest, destSize, format, args);
    va_end(args);
    return whole;
}

bool FileBaseNameN(char* dest, size_t destSize, const char* path)
{
    if (path[0] != '\0' && path[1] == ':')
        path += 2;
    const char* name = path;
    const char* dot = NULL;
    // By character: on a double-byte code page a backslash byte can be the
    // second half of one.
    for (const char* c = path; *c != '\0'; c = CharNextA(c)) {
        if (*c == '\\' || *c == '/')
            name = c + 1;
        else if (*c == '.')
            dot = c;
    }
    size_t length = TextLength(name);
    if (dot != NULL && dot >= name)
        length = (size_t)(dot - name);
    return CopyTextPartN(dest, destSize, name, length);
}
