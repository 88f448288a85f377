#include "core/storage/romfs_mount.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <glob.h>
#include <linux/loop.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include "support/missing_requirement.h"

namespace {

namespace fs = std::filesystem;

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool isSymlink(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

class RomfsTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.ok());
        fs::create_directories(path("/flash"));
        fs::create_directories(path("/tmp"));
        fs::create_directories(path("/romfs"));
    }
    std::string path(const char* boxFile) const { return root.dir() + boxFile; }
    TempBoxRoot root;
};

} // namespace

TEST_F(RomfsTest, DirectoryStandsInForTheImage)
{
    root.writeFile("/flash/wev.cramfs/templates/index.html", "<html>");
    root.writeFile("/flash/wev.cramfs/locale/de/LC_MESSAGES/wev.mo", "mo");
    ASSERT_EQ(mountRomfs(), 1);
    EXPECT_EQ(readAll(path("/romfs/templates/index.html")), "<html>");
    EXPECT_TRUE(fs::exists(path("/romfs/locale/de/LC_MESSAGES/wev.mo")));

    // Mounting again (start-up after a crash) replaces the earlier link.
    ASSERT_EQ(mountRomfs(), 1);
    EXPECT_EQ(readAll(path("/romfs/templates/index.html")), "<html>");

    switchRomfs();
    EXPECT_FALSE(isSymlink(path("/romfs")));
    EXPECT_TRUE(fs::is_directory(path("/romfs")));
    EXPECT_TRUE(fs::is_empty(path("/romfs")));
    EXPECT_EQ(readAll(path("/flash/wev.cramfs/templates/index.html")), "<html>") << "the image stays";
}

TEST_F(RomfsTest, StandInNeverReplacesADirectoryWithContent)
{
    root.writeFile("/flash/wev.cramfs/templates/index.html", "image");
    root.writeFile("/romfs/templates/index.html", "filled by hand");
    testing::internal::CaptureStderr();
    EXPECT_EQ(mountRomfs(), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(readAll(path("/romfs/templates/index.html")), "filled by hand");
    switchRomfs();
    EXPECT_EQ(readAll(path("/romfs/templates/index.html")), "filled by hand") << "not ours to remove";
}

TEST_F(RomfsTest, NoImageGivesZero)
{
    EXPECT_EQ(mountRomfs(), 0);
    switchRomfs();
    EXPECT_TRUE(fs::is_directory(path("/romfs")));
}

TEST_F(RomfsTest, PendingImageIsInstalledBeforeMounting)
{
    root.writeFile("/flash/wev.cramfs", "old image");
    root.writeFile("/flash/live.cramfs", "older scheme");
    root.writeFile("/tmp/tmp.cramfs", "new image");
    testing::internal::CaptureStderr();
    // Neither is a file system: the mount itself fails (or no loop device).
    EXPECT_EQ(mountRomfs(), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(readAll(path("/flash/wev.cramfs")), "new image");
    EXPECT_FALSE(fs::exists(path("/tmp/tmp.cramfs")));
    EXPECT_FALSE(fs::exists(path("/flash/live.cramfs")));
    EXPECT_FALSE(fs::exists(path("/flash/wev.cramfs.new")));
}

TEST_F(RomfsTest, SwitchRomfsInstallsThePendingImage)
{
    root.writeFile("/flash/wev.cramfs", "old image");
    root.writeFile("/tmp/tmp.cramfs", "newer image");
    switchRomfs();
    EXPECT_EQ(readAll(path("/flash/wev.cramfs")), "newer image");
    EXPECT_FALSE(fs::exists(path("/tmp/tmp.cramfs")));
}

TEST_F(RomfsTest, FailedInstallKeepsBothImages)
{
    root.writeFile("/flash/wev.cramfs", "old image");
    root.writeFile("/tmp/tmp.cramfs", "new image");
    // The copy's target cannot be written (as when the flash is full).
    fs::create_directories(path("/flash/wev.cramfs.new"));
    testing::internal::CaptureStderr();
    switchRomfs();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("tmp.cramfs"), std::string::npos) << err;
    EXPECT_EQ(readAll(path("/flash/wev.cramfs")), "old image");
    EXPECT_EQ(readAll(path("/tmp/tmp.cramfs")), "new image");
}

TEST_F(RomfsTest, EmptyOrMissingPendingImageIsIgnored)
{
    root.writeFile("/flash/wev.cramfs", "old image");
    root.writeFile("/tmp/tmp.cramfs", "");
    switchRomfs();
    EXPECT_EQ(readAll(path("/flash/wev.cramfs")), "old image");
    fs::remove(path("/tmp/tmp.cramfs"));
    switchRomfs();
    EXPECT_EQ(readAll(path("/flash/wev.cramfs")), "old image");
}

TEST_F(RomfsTest, LoopRequestsThatCannotWork)
{
    const std::string device = path("/dev/loop9");
    EXPECT_EQ(attachLoop(device.c_str(), path("/flash/missing").c_str(), 0), 0);
    root.writeFile("/flash/image", "x");
    EXPECT_EQ(attachLoop(device.c_str(), path("/flash/image").c_str(), 0), 0) << "no such device";
    // A plain file is no loop device: the request is refused.
    EXPECT_EQ(attachLoop(path("/flash/image").c_str(), path("/flash/image").c_str(), 0), 0);
    EXPECT_EQ(detachLoop(device.c_str()), 0);
    EXPECT_EQ(detachLoop(path("/flash/image").c_str()), 0);
}

namespace {

// A real squashfs image through a real loop device: needs root, loop
// devices and the squashfs tools and file system.
class RomfsLoopTest : public RomfsTest {
protected:
    void SetUp() override
    {
        RomfsTest::SetUp();
        if (geteuid() != 0)
            SKIP_UNLESS_CI("mounting needs root");
        if (access("/dev/loop-control", R_OK | W_OK) != 0)
            SKIP_UNLESS_CI("no /dev/loop-control");
        if (system("command -v mksquashfs >/dev/null 2>&1") != 0)
            SKIP_UNLESS_CI("mksquashfs (squashfs-tools) is not installed");
        if (system("grep -qw squashfs /proc/filesystems") != 0)
            SKIP_UNLESS_CI("the kernel has no squashfs");
        // The root's device directory reaches the host's loop devices.
        fs::create_directories(path("/dev"));
        ASSERT_EQ(symlink("/dev/loop-control", path("/dev/loop-control").c_str()), 0);
        for (int n = 0; n < 256; ++n) {
            std::string name = path("/dev/loop") + std::to_string(n);
            ASSERT_EQ(symlink(("/dev/loop" + std::to_string(n)).c_str(), name.c_str()), 0);
        }
    }
    void TearDown() override
    {
        switchRomfs();
        umount2(path("/romfs").c_str(), MNT_DETACH);
    }

    bool makeImage(const std::string& image)
    {
        root.writeFile("/src/templates/a.html", "from the image");
        std::string cmd = "mksquashfs '" + path("/src") + "' '" + image + "' -quiet -noappend >/dev/null 2>&1";
        return system(cmd.c_str()) == 0;
    }

    // Whether any loop device still holds the file.
    static bool loopHolds(const std::string& file)
    {
        glob_t found{};
        bool held = false;
        if (glob("/sys/block/loop*/loop/backing_file", 0, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i) {
                std::string backing = readAll(found.gl_pathv[i]);
                if (backing.rfind(file, 0) == 0)
                    held = true;
            }
        }
        globfree(&found);
        return held;
    }
};

} // namespace

TEST_F(RomfsLoopTest, MountsASquashfsImageReadOnly)
{
    const std::string image = path("/flash/wev.cramfs");
    ASSERT_TRUE(makeImage(image));
    ASSERT_EQ(mountRomfs(), 1);
    EXPECT_EQ(readAll(path("/romfs/templates/a.html")), "from the image");
    int fd = open(path("/romfs/written").c_str(), O_CREAT | O_WRONLY, 0600);
    EXPECT_LT(fd, 0);
    EXPECT_EQ(errno, EROFS);
    if (fd >= 0)
        close(fd);
    EXPECT_TRUE(loopHolds(image));

    switchRomfs();
    EXPECT_FALSE(fs::exists(path("/romfs/templates/a.html")));
    EXPECT_FALSE(loopHolds(image)) << "the loop device is given back";
}

TEST_F(RomfsLoopTest, BadImageGivesZeroAndFreesTheLoopDevice)
{
    const std::string image = path("/flash/wev.cramfs");
    root.writeFile("/flash/wev.cramfs", std::string(16384, 'x'));
    testing::internal::CaptureStderr();
    EXPECT_EQ(mountRomfs(), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("mount"), std::string::npos) << err;
    EXPECT_FALSE(loopHolds(image));
    EXPECT_TRUE(fs::is_empty(path("/romfs")));
}

TEST_F(RomfsLoopTest, PendingImageIsInstalledAndMounted)
{
    root.writeFile("/flash/wev.cramfs", "old image, not a file system");
    ASSERT_TRUE(makeImage(path("/tmp/tmp.cramfs")));
    ASSERT_EQ(mountRomfs(), 1);
    EXPECT_EQ(readAll(path("/romfs/templates/a.html")), "from the image");
    EXPECT_FALSE(fs::exists(path("/tmp/tmp.cramfs")));
}
