#include "web/info/box_files.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

TEST(BoxFiles, CleanPathsStayUnderTheRoot)
{
    const struct {
        const char* text;
        const char* clean;
    } cases[] = {
        {"", "/"}, {"/", "/"}, {"/proc", "/proc"}, {"proc/net/", "/proc/net"}, {"//etc//./hostname", "/etc/hostname"},
        {"/../../etc", "/etc"}, {"/tmp/a/../../..", "/"}, {"/tmp/..x/y", "/tmp/..x/y"}, {"/a/b/../c", "/a/c"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cleanBoxPath(c.text), c.clean) << c.text;
    EXPECT_EQ(cleanBoxPath(std::string("/etc\0/x", 7)), "");
}

TEST(BoxFiles, ModeTextAsALongListing)
{
    const struct {
        mode_t mode;
        const char* text;
    } cases[] = {
        {S_IFREG | 0644, "-rw-r--r--"}, {S_IFDIR | 0755, "drwxr-xr-x"}, {S_IFLNK | 0777, "lrwxrwxrwx"},
        {S_IFREG | 04755, "-rwsr-xr-x"}, {S_IFREG | 04644, "-rwSr--r--"}, {S_IFDIR | 01777, "drwxrwxrwt"},
        {S_IFDIR | 01776, "drwxrwxrwT"}, {S_IFREG | 02750, "-rwxr-s---"}, {S_IFCHR | 0666, "crw-rw-rw-"},
        {S_IFBLK | 0660, "brw-rw----"}, {S_IFIFO | 0600, "prw-------"}, {S_IFSOCK | 0777, "srwxrwxrwx"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(modeText(c.mode), c.text) << std::oct << c.mode;
}

TEST(BoxFiles, LinkQueriesAreEscaped)
{
    EXPECT_EQ(pathQuery("/tmp/a b+c&d\"<"), "/tmp/a%20b%2Bc%26d%22%3C");
    EXPECT_EQ(pathQuery("/proc/1/net.d_x-y"), "/proc/1/net.d_x-y");
}

class Servable : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root_.ok());
        for (const char* d : {"etc", "tmp", "var/slot1", "flash"})
            fs::create_directories(fs::path(root_.dir()) / d);
    }
    std::string put(const char* path, mode_t mode, const char* text = "content\n")
    {
        std::string full = root_.dir() + path;
        std::ofstream(full) << text;
        chmod(full.c_str(), mode);
        return full;
    }
    std::string serve(const char* path)
    {
        std::string reason;
        int fd = openServableFile(path, &reason);
        if (fd < 0)
            return "refused: " + reason;
        char buffer[64] = {};
        ssize_t n = read(fd, buffer, sizeof buffer - 1);
        close(fd);
        return n >= 0 ? std::string(buffer, static_cast<size_t>(n)) : "read failed";
    }
    TempBoxRoot root_;
};

TEST_F(Servable, OnlyPublicRegularFilesThatHoldNoSecret)
{
    put("/tmp/public.txt", 0644);
    put("/tmp/private.txt", 0600);
    put("/etc/params.dat", 0644);
    put("/var/sessions.raw", 0644);
    put("/flash/cert_pkey.pem", 0644);
    put("/var/slot1/params.dat", 0755);
    put("/var/slot1/cert_fpkey.pem", 0755);
    put("/flash/cert_self.pem", 0644, "certificate\n");
    symlink((root_.dir() + "/etc/params.dat").c_str(), (root_.dir() + "/tmp/alias").c_str());
    link((root_.dir() + "/var/sessions.raw").c_str(), (root_.dir() + "/tmp/hard").c_str());
    mkfifo((root_.dir() + "/tmp/fifo").c_str(), 0644);
    symlink("/dev/zero", (root_.dir() + "/tmp/zero").c_str());

    EXPECT_EQ(serve("/tmp/public.txt"), "content\n");
    EXPECT_EQ(serve("/flash/cert_self.pem"), "certificate\n");
    for (const char* refused : {"/tmp/private.txt", "/etc/params.dat", "/var/sessions.raw", "/flash/cert_pkey.pem",
                                "/var/slot1/params.dat", "/var/slot1/cert_fpkey.pem", "/tmp/alias", "/tmp/hard",
                                "/tmp/fifo", "/tmp/zero", "/tmp"})
        EXPECT_EQ(serve(refused), "refused: Access denied") << refused;
    EXPECT_EQ(serve("/tmp/none"), "refused: No such file or directory");
}

} // namespace
