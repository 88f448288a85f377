#include "core/util/file_copy.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Bit by bit, independent of the table the code uses: reflected polynomial
// 0xEDB88320, start 0, no final inversion.
uint32_t referenceCrc(const std::string& data)
{
    uint32_t crc = 0;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

mode_t modeOf(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

class FileCopyTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(root.ok()); }
    std::string path(const char* name) const { return root.dir() + "/" + name; }
    TempBoxRoot root;
};

} // namespace

TEST_F(FileCopyTest, CopiesAndComputesTheCrc)
{
    struct Case {
        size_t size;
    } cases[] = {{0}, {1}, {4095}, {4096}, {4097}, {3 * 4096 + 17}};
    for (const Case& c : cases) {
        std::string data;
        for (size_t i = 0; i < c.size; ++i)
            data.push_back(static_cast<char>((i * 131 + 7) & 0xff));
        root.writeFile("/src.bin", data);
        uint32_t crc = 0xdeadbeef;
        ASSERT_EQ(copyFile(path("src.bin").c_str(), path("dst.bin").c_str(), &crc), 1) << c.size;
        EXPECT_EQ(readAll(path("dst.bin")), data) << c.size;
        EXPECT_EQ(crc, referenceCrc(data)) << c.size;
    }
    // Known value: "123456789" with start 0 and no final inversion.
    root.writeFile("/check.txt", "123456789");
    uint32_t crc = 0;
    ASSERT_EQ(copyFile(path("check.txt").c_str(), path("check.out").c_str(), &crc), 1);
    EXPECT_EQ(crc, referenceCrc("123456789"));
    EXPECT_EQ(crc, 0x2DFD2D88u);
}

TEST_F(FileCopyTest, ShorterSourceTruncatesTheTarget)
{
    root.writeFile("/dst", std::string(200, 'o'));
    root.writeFile("/src", std::string(100, 'n'));
    ASSERT_EQ(copyFile(path("src").c_str(), path("dst").c_str(), nullptr), 1);
    EXPECT_EQ(readAll(path("dst")), std::string(100, 'n'));
}

TEST_F(FileCopyTest, PrivateSourceGivesPrivateCopyWhateverTheUmask)
{
    root.writeFile("/key.pem", "secret");
    root.writeFile("/cert.pem", "public");
    chmod(path("key.pem").c_str(), 0600);
    chmod(path("cert.pem").c_str(), 0644);
    // An existing public target of a private source becomes private too.
    root.writeFile("/old-copy.pem", "old");
    chmod(path("old-copy.pem").c_str(), 0666);

    for (mode_t mask : {mode_t(0), mode_t(022), mode_t(077)}) {
        mode_t old = umask(mask);
        EXPECT_EQ(copyFile(path("key.pem").c_str(), path("key.copy").c_str(), nullptr), 1);
        EXPECT_EQ(copyFile(path("cert.pem").c_str(), path("cert.copy").c_str(), nullptr), 1);
        EXPECT_EQ(copyFile(path("key.pem").c_str(), path("old-copy.pem").c_str(), nullptr), 1);
        mode_t now = umask(old);
        EXPECT_EQ(now, mask) << "the umask is never changed";
        EXPECT_EQ(modeOf(path("key.copy")), 0600u) << std::oct << mask;
        EXPECT_EQ(modeOf(path("cert.copy")), 0644u) << std::oct << mask;
        EXPECT_EQ(modeOf(path("old-copy.pem")), 0600u) << std::oct << mask;
        unlink(path("key.copy").c_str());
        unlink(path("cert.copy").c_str());
    }
}

TEST_F(FileCopyTest, RefusedSources)
{
    root.writeFile("/dst", "keep");
    uint32_t crc = 77;
    EXPECT_EQ(copyFile(path("missing").c_str(), path("dst").c_str(), &crc), 0);
    EXPECT_EQ(crc, 0u);
    EXPECT_EQ(readAll(path("dst")), "keep") << "a missing source leaves the target alone";
    EXPECT_EQ(copyFile(nullptr, path("dst").c_str(), nullptr), 0);
    EXPECT_EQ(copyFile(root.dir().c_str(), path("dst").c_str(), nullptr), 0) << "a directory";
    EXPECT_EQ(readAll(path("dst")), "keep");

    // Copying a file onto itself would truncate it before reading it.
    root.writeFile("/self", "content");
    EXPECT_EQ(copyFile(path("self").c_str(), path("self").c_str(), nullptr), 0);
    EXPECT_EQ(readAll(path("self")), "content");
    symlink(path("self").c_str(), path("self-link").c_str());
    EXPECT_EQ(copyFile(path("self").c_str(), path("self-link").c_str(), nullptr), 0);
    EXPECT_EQ(readAll(path("self")), "content");

    // A FIFO would block the copy.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    int keepOpen = open(path("fifo").c_str(), O_RDWR);
    EXPECT_EQ(copyFile(path("fifo").c_str(), path("dst").c_str(), nullptr), 0);
    close(keepOpen);
}

TEST_F(FileCopyTest, TargetThatCannotBeWritten)
{
    root.writeFile("/src", "data");
    EXPECT_EQ(copyFile(path("src").c_str(), path("no/such/dir/dst").c_str(), nullptr), 0);
    // /dev/full accepts the open and fails every write.
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(copyFile(path("src").c_str(), "/dev/full", nullptr), 0);
    }
}

TEST_F(FileCopyTest, FsSpace)
{
    uint32_t total = 1, free = 1;
    ASSERT_EQ(fsSpace(root.dir().c_str(), &total, &free), 1);
    EXPECT_GT(total, 0u);
    EXPECT_LE(free, total);

    total = 5;
    free = 5;
    EXPECT_EQ(fsSpace(path("missing").c_str(), &total, &free), 0);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(free, 0u);
}
