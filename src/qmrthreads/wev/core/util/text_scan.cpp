#include "core/util/text_scan.h"

#include <cstring>

int compareNoCase(const char* a, const char* b)
{
    const unsigned char* pa = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(b);
    for (;; ++pa, ++pb) {
        if (*pa == 0)
            return 0;
        int ca = *pa > 'Z' ? *pa - 32 : *pa;
        int cb = *pb > 'Z' ? *pb - 32 : *pb;
        if (ca != cb)
            return ca - cb;
    }
}

char* skipWord(char* line)
{
    char* p = line;
    while (*p && *p != ' ' && *p != '\t')
        ++p;
    while (*p == ' ' || *p == '\t')
        ++p;
    size_t len = strlen(p);
    if (len > 0 && p[len - 1] == '\n')
        p[len - 1] = 0;
    return p;
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
