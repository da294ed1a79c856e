// The memory routines the compiler calls on its own, for zeroed and copied
// records, in an executable linked without a C run-time. Only the shipped
// executable links this file: a program with its run-time has them already.
// Built with -fno-tree-loop-distribute-patterns, so that the compiler does
// not turn these very loops back into calls to themselves.
#include <stddef.h>

extern "C" {

void* memset(void* dest, int value, size_t count)
{
    unsigned char* d = (unsigned char*)dest;
    while (count-- > 0)
        *d++ = (unsigned char)value;
    return dest;
}

void* memcpy(void* dest, const void* src, size_t count)
{
    unsigned char* d = (unsigned char*)dest;
    const unsigned char* s = (const unsigned char*)src;
    while (count-- > 0)
        *d++ = *s++;
    return dest;
}

void* memmove(void* dest, const void* src, size_t count)
{
    unsigned char* d = (unsigned char*)dest;
    const unsigned char* s = (const unsigned char*)src;
    if (d < s)
        return memcpy(dest, src, count);
    while (count-- > 0)
        d[count] = s[count];
    return dest;
}

size_t strlen(const char* text)
{
    size_t length = 0;
    while (text[length] != '\0')
        length++;
    return length;
}
}
