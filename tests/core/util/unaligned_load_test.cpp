#include "core/util/unaligned_load.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

TEST(LoadU32, UnalignedLoads)
{
    alignas(4) unsigned char bytes[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    for (int offset = 0; offset < 4; ++offset) {
        uint32_t expected;
        memcpy(&expected, bytes + offset, 4);
        EXPECT_EQ(loadU32(bytes + offset), expected) << offset;
    }
}
