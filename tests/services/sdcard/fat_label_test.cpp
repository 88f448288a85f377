#include "services/sdcard/fat_label.h"

#include "support/shell_command.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Volumes made by the system's mkfs.fat in a directory of their own; the
// results are read back with fatlabel, mtools and fsck.fat, which share no
// code with the label writer.
class FatLabel : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/wev-fat-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A fresh volume of the FAT type, bits 12, 16 or 32.
    std::string makeVolume(int bits, const std::string& extra = "")
    {
        std::string image = dir_ + "/fat" + std::to_string(bits) + ".img";
        const char* size = bits == 12 ? "1440" : bits == 16 ? "8192" : "34000";
        std::string sectors = bits == 12 ? "" : " -s 1";
        std::filesystem::remove(image);
        ShellResult r = runShell("mkfs.fat -F " + std::to_string(bits) + sectors + extra + " -C " + image + " " + size);
        EXPECT_EQ(r.status, 0) << r.out;
        return image;
    }

    static std::vector<uint8_t> bytes(const std::string& path)
    {
        std::vector<uint8_t> data(std::filesystem::file_size(path));
        std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(data.data()), std::streamsize(data.size()));
        return data;
    }

    static void patch(const std::string& path, size_t offset, const std::vector<uint8_t>& data)
    {
        std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(offset));
        f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }

    static std::string trimmed(std::string s)
    {
        while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
            s.pop_back();
        return s;
    }

    static void expectReadBack(const std::string& image, const std::string& label)
    {
        ShellResult fat = runShell("fatlabel " + image);
        EXPECT_EQ(fat.status, 0) << fat.out;
        EXPECT_EQ(trimmed(fat.out), label);
        ShellResult m = runShell("MTOOLS_SKIP_CHECK=1 mlabel -i " + image + " -s ::");
        EXPECT_EQ(m.status, 0) << m.out;
        EXPECT_EQ(trimmed(m.out), " Volume label is " + label);
        ShellResult fsck = runShell("fsck.fat -n " + image);
        EXPECT_EQ(fsck.status, 0) << fsck.out;
    }

    std::string dir_;
};

TEST_F(FatLabel, EveryFatTypeGetsTheLabelThatOtherToolsReadBack)
{
    for (int bits : {12, 16, 32}) {
        SCOPED_TRACE(bits);
        std::string image = makeVolume(bits, " -n OLDNAME");
        EXPECT_EQ(makelabel(image.c_str(), "BOX_SD"), 1);
        expectReadBack(image, "BOX_SD");
        // A second label replaces the first entry instead of adding one.
        EXPECT_EQ(makelabel(image.c_str(), "ELEVENCHARS"), 1);
        expectReadBack(image, "ELEVENCHARS");
    }
}

TEST_F(FatLabel, AVolumeWithoutLabelEntryGetsOneInTheFirstFreeEntry)
{
    for (int bits : {16, 32}) {
        SCOPED_TRACE(bits);
        std::string image = makeVolume(bits);
        EXPECT_EQ(makelabel(image.c_str(), "FRESH"), 1);
        expectReadBack(image, "FRESH");
    }
}

TEST_F(FatLabel, AFreeEntryBeforeTheLabelEntryTakesTheLabel)
{
    std::string image = makeVolume(16, " -n OLDNAME");
    // Root directory of this layout: boot sector, then the FATs.
    std::vector<uint8_t> boot = bytes(image);
    size_t sector = boot[11] | boot[12] << 8;
    size_t root = (size_t(boot[14] | boot[15] << 8) + boot[16] * size_t(boot[22] | boot[23] << 8)) * sector;
    ASSERT_EQ(std::string(reinterpret_cast<char*>(&boot[root]), 11), "OLDNAME    ");
    // Move the label entry to the third slot and mark the first one deleted,
    // the second one free.
    std::vector<uint8_t> labelEntry(boot.begin() + long(root), boot.begin() + long(root) + 32);
    std::vector<uint8_t> deleted(32, 0);
    deleted[0] = 0xe5;
    deleted[11] = 0x20;
    patch(image, root, deleted);
    patch(image, root + 32, std::vector<uint8_t>(32, 0));
    patch(image, root + 64, labelEntry);

    EXPECT_EQ(makelabel(image.c_str(), "NEW"), 1);
    std::vector<uint8_t> after = bytes(image);
    EXPECT_EQ(after[root], 0xe5) << "a deleted entry is left alone";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&after[root + 32]), 11), "NEW        ");
    EXPECT_EQ(after[root + 32 + 11], 0x08);
}

TEST_F(FatLabel, AFat16BootSectorWithoutExtendedSignatureGetsOne)
{
    std::string image = makeVolume(16);
    patch(image, 38, {0x00, 0x12, 0x34, 0x56, 0x78});  // signature and serial number
    patch(image, 54, std::vector<uint8_t>(8, 'x'));
    EXPECT_EQ(makelabel(image.c_str(), "SIGNED"), 1);
    std::vector<uint8_t> boot = bytes(image);
    EXPECT_EQ(boot[38], 0x29);
    EXPECT_EQ(std::vector<uint8_t>(boot.begin() + 39, boot.begin() + 43), std::vector<uint8_t>(4, 0));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&boot[43]), 11), "SIGNED     ");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&boot[54]), 8), "FAT16   ");
}

TEST_F(FatLabel, AFat32BackupBootSectorAndADamagedFsInfoAreWrittenToo)
{
    std::string image = makeVolume(32);
    std::vector<uint8_t> boot = bytes(image);
    size_t sector = boot[11] | boot[12] << 8;
    size_t fsInfo = size_t(boot[48] | boot[49] << 8) * sector;
    size_t backup = size_t(boot[50] | boot[51] << 8) * sector;
    ASSERT_GT(fsInfo, 0u);
    ASSERT_GT(backup, 0u);
    patch(image, fsInfo, {0, 0, 0, 0});

    EXPECT_EQ(makelabel(image.c_str(), "BACKED"), 1);
    std::vector<uint8_t> after = bytes(image);
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 512, after.begin() + long(backup)))
        << "the backup boot sector carries the same label";
    EXPECT_EQ(std::vector<uint8_t>(after.begin() + long(fsInfo), after.begin() + long(fsInfo) + 4),
              (std::vector<uint8_t>{0x52, 0x52, 0x61, 0x41}));
    EXPECT_EQ(std::vector<uint8_t>(after.begin() + long(fsInfo) + 488, after.begin() + long(fsInfo) + 496),
              (std::vector<uint8_t>{0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0}));
    expectReadBack(image, "BACKED");
}

// Each case damages one field of a fresh volume; the writer must refuse it
// and leave every byte as it was.
TEST_F(FatLabel, AVolumeWhoseGeometryDoesNotAddUpIsRefusedAndLeftUnchanged)
{
    struct Case {
        const char* what;
        int bits;
        size_t offset;
        std::vector<uint8_t> data;
    } cases[] = {
        {"sector size 1000", 16, 11, {0xe8, 0x03}},
        {"sector size 0", 16, 11, {0, 0}},
        {"no sectors per cluster", 16, 13, {0}},
        {"three FATs", 16, 16, {3}},
        {"no total sectors", 16, 19, {0, 0}},
        {"root entries not a multiple of 16", 16, 17, {0x01, 0x02}},
        {"FAT too short for the clusters", 16, 22, {1, 0}},
        {"FAT32 root cluster 1", 32, 44, {1, 0, 0, 0}},
        {"FAT32 without any root directory", 32, 44, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string image = makeVolume(c.bits);
        patch(image, c.offset, c.data);
        std::vector<uint8_t> before = bytes(image);
        EXPECT_EQ(makelabel(image.c_str(), "REFUSED"), 0);
        EXPECT_TRUE(bytes(image) == before);
    }
}

// An image longer than its volume has zeros past the last cluster; a root
// cluster pointing there would look like an empty directory and take the
// label entry outside the file system.
TEST_F(FatLabel, AFat32RootClusterPastTheLastClusterIsRefused)
{
    std::string image = makeVolume(32);
    std::vector<uint8_t> boot = bytes(image);
    uint64_t sector = boot[11] | boot[12] << 8;
    uint64_t total = uint64_t(boot[32]) | uint64_t(boot[33]) << 8 | uint64_t(boot[34]) << 16 | uint64_t(boot[35]) << 24;
    uint64_t fatLength = uint64_t(boot[36]) | uint64_t(boot[37]) << 8 | uint64_t(boot[38]) << 16;
    uint64_t dataStart = (uint64_t(boot[14] | boot[15] << 8) + boot[16] * fatLength) * sector;
    uint64_t clusters = (total * sector - dataStart) / (sector * boot[13]);
    std::filesystem::resize_file(image, std::filesystem::file_size(image) + (1 << 20));
    uint32_t pastTheEnd = static_cast<uint32_t>(clusters + 2 + 16);
    patch(image, 44, {uint8_t(pastTheEnd), uint8_t(pastTheEnd >> 8), uint8_t(pastTheEnd >> 16), uint8_t(pastTheEnd >> 24)});
    std::vector<uint8_t> before = bytes(image);
    EXPECT_EQ(makelabel(image.c_str(), "OUTSIDE"), 0);
    EXPECT_TRUE(bytes(image) == before);
}

TEST_F(FatLabel, ALabelOfTwelveCharactersIsRefusedBeforeTheDeviceIsTouched)
{
    std::string image = makeVolume(12, " -n KEEP");
    std::vector<uint8_t> before = bytes(image);
    testing::internal::CaptureStderr();
    EXPECT_EQ(makelabel(image.c_str(), "TWELVE_CHARS"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "makelabel: labels can be no longer than 11 characters\n");
    EXPECT_TRUE(bytes(image) == before);
    EXPECT_EQ(makelabel((dir_ + "/missing.img").c_str(), "X"), 0);
}

// The backup boot sector of FAT32 lies past the boot sector: a file size
// limit between the two makes its write fail, and the run must say so.
TEST_F(FatLabel, AWriteThatFailsMakesTheRunFail)
{
    std::string image = makeVolume(32);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {1024, 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(makelabel(image.c_str(), "HALF") == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a failed write was reported as written";
}

}  // namespace
