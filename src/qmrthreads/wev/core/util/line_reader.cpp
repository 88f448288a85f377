#include "core/util/line_reader.h"

#include <cstring>

bool readLine(FILE* f, char* buf, int size)
{
    if (!fgets(buf, size, f))
        return false;
    size_t len = strlen(buf);
    if (len > 0 && buf[len - 1] != '\n') {
        int c;
        while ((c = fgetc(f)) != EOF && c != '\n') {
        }
    }
    return true;
}
