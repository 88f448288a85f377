#include "core/storage/mtd_partitions.h"

#include "core/util/line_reader.h"
#include "platform/files/root_path.h"

#include <cstdio>
#include <cstring>

int readMtdPartitions(int n, uint32_t* sizeKB, char* name)
{
    *sizeKB = 0;
    name[0] = 0;
    FILE* f = fopen(boxPath("/proc/product_params").c_str(), "r");
    if (!f)
        return 0;
    char line[256];
    while (readLine(f, line, sizeof line)) {
        int index = -1;
        char text[MTD_NAME_MAX + 1];
        unsigned size = 0;
        if (sscanf(line, "mtd0_part%d_name=%32[^\n]", &index, text) == 2 && index == n) {
            memcpy(name, text, sizeof text);
            continue;
        }
        if (sscanf(line, "mtd0_part%d_size=%8x", &index, &size) == 2 && index == n)
            *sizeKB = size >> 10;
    }
    fclose(f);
    return 1;
}
