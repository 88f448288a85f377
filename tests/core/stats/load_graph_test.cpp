#include "core/stats/load_graph.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr int W = 768;
constexpr int H = 128;

uint32_t le32(const std::string& s, size_t at)
{
    return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) | static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 | static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

uint16_t le16(const std::string& s, size_t at)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}

class LoadGraphTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.ok());
        std::filesystem::create_directories(root.dir() + "/tmp");
        // Not drawn anywhere unless a case sets it.
        cpu.assign(W, 255);
        mem.assign(W, 200);
        cache.assign(W, 200);
    }

    std::string draw(int firstIndex)
    {
        BmpImage image;
        EXPECT_EQ(image.init(W, H), 1);
        EXPECT_EQ(image.write(cpu.data(), mem.data(), cache.data(), W, firstIndex), 1);
        std::ifstream in(root.dir() + "/tmp/tmp.bmp", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Pixel (x, y), y counted from the bottom row.
    static int pixel(const std::string& file, int x, int y)
    {
        size_t bit = static_cast<size_t>(x + y * W);
        unsigned char byte = static_cast<unsigned char>(file[BmpImage::PIXEL_OFFSET + bit / 8]);
        return (byte >> (7 - bit % 8)) & 1;
    }

    TempBoxRoot root;
    std::vector<uint8_t> cpu, mem, cache;
};

} // namespace

TEST_F(LoadGraphTest, HeadersAndColourTable)
{
    std::string file = draw(0);
    ASSERT_EQ(file.size(), 12406u);
    EXPECT_EQ(file.substr(0, 2), "BM");
    EXPECT_EQ(le32(file, 2), 12406u);
    EXPECT_EQ(le32(file, 6), 0u);
    EXPECT_EQ(le32(file, 10), 118u);
    EXPECT_EQ(le32(file, 14), 40u);
    EXPECT_EQ(le32(file, 18), 768u);
    EXPECT_EQ(le32(file, 22), 128u);
    EXPECT_EQ(le16(file, 26), 1);
    EXPECT_EQ(le16(file, 28), 1);
    EXPECT_EQ(le32(file, 30), 0u);
    EXPECT_EQ(le32(file, 34), 0u);
    EXPECT_EQ(le32(file, 38), 3780u);
    EXPECT_EQ(le32(file, 42), 3780u);
    EXPECT_EQ(le32(file, 46), 0u);
    EXPECT_EQ(le32(file, 50), 0u);
    const unsigned char colours[8] = {250, 8, 2, 0, 8, 255, 244, 0};
    EXPECT_EQ(memcmp(file.data() + 54, colours, 8), 0);
    for (size_t i = 62; i < 118; ++i)
        EXPECT_EQ(file[i], 0) << i;
}

TEST_F(LoadGraphTest, GridRowsOnly)
{
    std::string file = draw(0);
    ASSERT_EQ(file.size(), 12406u);
    for (int row = 0; row < H; ++row) {
        unsigned char expected = (row == 32 || row == 64 || row == 96) ? 0xf0 : 0;
        for (int b = 0; b < W / 8; ++b)
            ASSERT_EQ(static_cast<unsigned char>(file[118 + row * 96 + b]), expected) << row << "/" << b;
    }
}

TEST_F(LoadGraphTest, BarsAndToggledMemoryPixels)
{
    const int first = 700;
    auto at = [first](int x) { return static_cast<size_t>((first + x) % W); };
    cpu[at(0)] = 10;    // bar of rows 0..10
    cpu[at(1)] = 127;   // the whole column
    cpu[at(2)] = 128;   // above the top: not drawn
    cpu[at(3)] = 0;     // just the bottom pixel
    mem[at(5)] = 20;
    cache[at(5)] = 20;  // toggled twice: off again
    mem[at(6)] = 32;    // grid pixel off (x % 8 = 6), toggled on
    mem[at(8)] = 32;    // grid pixel on (x % 8 = 0), toggled off
    cache[at(9)] = 127;
    mem[at(10)] = 128;
    cpu[at(100)] = 64;  // wraps past the ring's end: slot 32

    std::string file = draw(first);
    ASSERT_EQ(file.size(), 12406u);
    for (int y = 0; y <= 10; ++y)
        EXPECT_EQ(pixel(file, 0, y), 1) << y;
    EXPECT_EQ(pixel(file, 0, 11), 0);
    EXPECT_EQ(pixel(file, 0, 32), 1) << "grid";
    for (int y = 0; y < H; ++y)
        EXPECT_EQ(pixel(file, 1, y), 1) << y;
    for (int y = 0; y < H; ++y) {
        int grid = (y == 32 || y == 64 || y == 96) ? 1 : 0;
        EXPECT_EQ(pixel(file, 2, y), grid) << y;
    }
    EXPECT_EQ(pixel(file, 3, 0), 1);
    EXPECT_EQ(pixel(file, 3, 1), 0);
    EXPECT_EQ(pixel(file, 5, 20), 0);
    EXPECT_EQ(pixel(file, 6, 32), 1);
    EXPECT_EQ(pixel(file, 8, 32), 0);
    EXPECT_EQ(pixel(file, 9, 127), 1);
    EXPECT_EQ(pixel(file, 10, 0), 0);
    EXPECT_EQ(pixel(file, 100, 64), 1);
    EXPECT_EQ(pixel(file, 100, 65), 0);
    EXPECT_EQ(pixel(file, 4, 0), 0) << "255 means not measured";
    // Bit order: x = 0 is the top bit of the row's first byte.
    EXPECT_EQ(static_cast<unsigned char>(file[118]) & 0x80, 0x80);
    EXPECT_EQ(static_cast<unsigned char>(file[118]) & 0x08, 0x00) << "column 4, bottom row";
}

TEST_F(LoadGraphTest, FileModeWhateverTheUmask)
{
    mode_t old = umask(077);
    draw(0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat((root.dir() + "/tmp/tmp.bmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0744u);
    EXPECT_FALSE(std::filesystem::exists(root.dir() + "/tmp/tmp.bmp.new"));
}

TEST_F(LoadGraphTest, RefusedSizesAndMissingDirectory)
{
    BmpImage image;
    EXPECT_EQ(image.init(0, 128), 0);
    EXPECT_EQ(image.init(3, 3), 0);
    EXPECT_EQ(image.write(cpu.data(), mem.data(), cache.data(), W, 0), 0) << "never initialised";
    ASSERT_EQ(image.init(W, H), 1);
    std::filesystem::remove_all(root.dir() + "/tmp");
    EXPECT_EQ(image.write(cpu.data(), mem.data(), cache.data(), W, 0), 0);
}
