#include "core/util/kernel_setting.h"

#include <cstdio>

int writeStringToFile(const char* path, const char* text)
{
    FILE* f = fopen(path, "w");
    if (!f) {
        perror(path);
        return 0;
    }
    // procfs reports a refused value at the write, which stdio may defer to
    // the close: both must succeed.
    bool written = fputs(text, f) >= 0;
    bool closed = fclose(f) == 0;
    if (!written || !closed) {
        perror(path);
        return 0;
    }
    return 1;
}
