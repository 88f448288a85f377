#include "core/storage/mtd_partitions.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(ReadMtdPartitions, NamesAndSizes)
{
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    const std::string longName(100, 'N');
    root.writeFile("/proc/product_params",
                   "product_id=346\n"
                   "mtd0_part0_name=u-boot\n"
                   "mtd0_part0_size=00080000\n"
                   "mtd0_part1_name=" + longName + "\n"
                   "mtd0_part1_size=00400000\n"
                   "mtd0_part2_name=rootfs with blanks\n"
                   "mtd0_part2_size=0003fc00\n"
                   "mtd0_part12_name=twelve\n"
                   "mtd0_part12_size=00001000\n");
    struct Case {
        int n;
        std::string name;
        uint32_t sizeKB;
    } cases[] = {
        {0, "u-boot", 512},
        {1, std::string(32, 'N'), 4096},
        {2, "rootfs with blanks", 255},
        {12, "twelve", 4},
        {3, "", 0},
    };
    for (const Case& c : cases) {
        // One byte more than the longest name: ASan catches any overrun.
        char* name = static_cast<char*>(malloc(MTD_NAME_MAX + 1));
        memset(name, 'x', MTD_NAME_MAX + 1);
        uint32_t size = 77;
        EXPECT_EQ(readMtdPartitions(c.n, &size, name), 1) << c.n;
        EXPECT_EQ(std::string(name), c.name) << c.n;
        EXPECT_EQ(size, c.sizeKB) << c.n;
        free(name);
    }
}

TEST(ReadMtdPartitions, MissingFile)
{
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    char name[MTD_NAME_MAX + 1];
    uint32_t size = 5;
    EXPECT_EQ(readMtdPartitions(0, &size, name), 0);
}
