#include "core/util/file_queries.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace {

class FileQueriesTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(root.ok()); }
    std::string path(const char* name) const { return root.dir() + "/" + name; }
    TempBoxRoot root;
};

} // namespace

TEST_F(FileQueriesTest, FileSize)
{
    root.writeFile("/empty", "");
    root.writeFile("/five", "12345");
    mkdir(path("dir").c_str(), 0755);
    EXPECT_EQ(fileSize(path("dir").c_str(), nullptr, 0, nullptr), 1);
    EXPECT_EQ(fileSize(path("missing").c_str(), nullptr, 0, nullptr), -1);
    EXPECT_EQ(fileSize(path("empty").c_str(), nullptr, 0, nullptr), 0);
    EXPECT_EQ(fileSize(path("five").c_str(), nullptr, 0, nullptr), 5);
}

TEST_F(FileQueriesTest, FileSizeTimeTextAndArchiveBit)
{
    root.writeFile("/dated", "x");
    struct tm when = {};
    when.tm_year = 2021 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 4;
    when.tm_hour = 5;
    when.tm_min = 6;
    when.tm_isdst = -1;
    time_t t = mktime(&when);
    struct utimbuf times = {t, t};
    ASSERT_EQ(utime(path("dated").c_str(), &times), 0);

    char text[32];
    memset(text, 'Z', sizeof text);
    int archive = 7;
    testing::internal::CaptureStderr();
    EXPECT_EQ(fileSize(path("dated").c_str(), text, sizeof text, &archive), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(text, "2021-03-04 05:06");
    // Not a FAT file system: the request fails, the value stays.
    EXPECT_EQ(archive, 7);
    EXPECT_NE(err.find("fileSize"), std::string::npos);

    // A buffer too small for the text gets an empty one, not a cut one.
    char small[8];
    EXPECT_EQ(fileSize(path("dated").c_str(), small, sizeof small, nullptr), 1);
    EXPECT_STREQ(small, "");
}

TEST_F(FileQueriesTest, IsLinkTo)
{
    root.writeFile("/target", "t");
    root.writeFile("/other", "o");
    ASSERT_EQ(symlink(path("target").c_str(), path("link").c_str()), 0);
    ASSERT_EQ(symlink(path("gone").c_str(), path("dangling").c_str()), 0);
    ASSERT_EQ(link(path("target").c_str(), path("hard").c_str()), 0);
    EXPECT_EQ(isLinkTo(path("link").c_str(), path("target").c_str()), 1);
    EXPECT_EQ(isLinkTo(path("link").c_str(), path("other").c_str()), 0);
    EXPECT_EQ(isLinkTo(path("hard").c_str(), path("target").c_str()), 0) << "same inode, but not a symbolic link";
    EXPECT_EQ(isLinkTo(path("target").c_str(), path("target").c_str()), 0);
    EXPECT_EQ(isLinkTo(path("dangling").c_str(), path("gone").c_str()), 0);
    EXPECT_EQ(isLinkTo(path("missing").c_str(), path("target").c_str()), 0);
}

TEST_F(FileQueriesTest, MakeTempFileIsAnonymousUnderTheRoot)
{
    mkdir(path("tmp").c_str(), 0755);
    int fd = makeTempFile();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "abc", 3), 3);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_nlink, 0u) << "the name is gone";
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    close(fd);
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(path("tmp"))) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 0);

    rmdir(path("tmp").c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(makeTempFile(), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("mkstemp"), std::string::npos);
}

TEST_F(FileQueriesTest, ReadFileTail)
{
    const std::string pem =
        "-----BEGIN CERTIFICATE-----\n"
        "MIIBszCCAR2gAwIBAgIJAKxyz0123456789abcdefghijklmnopqrstuvwxyzABCDEF\n"
        "-----END CERTIFICATE-----\n";
    struct Case {
        const char* name;
        std::string content;
        int size;
        int result;
        std::string line;
    } cases[] = {
        {"pem", pem, 64, 1, "-----END CERTIFICATE-----\n"},
        {"passphrase", "binary\x01\x02 data\nmy pass phrase\n", 20, 1, "my pass phrase\n"},
        {"noFinalNewline", "first\nsecond line", 12, 1, "second line"},
        {"short", "abc\n", 64, 0, ""},                 // shorter than size
        {"noNewline", std::string(80, 'x'), 64, 0, ""},
        {"onlyFinalNewline", std::string(70, 'y') + "\n", 64, 0, ""},
        {"newlineAtFirstByte", "\n" + std::string(10, 'z') + "\n", 12, 1, std::string(10, 'z') + "\n"},
    };
    for (const Case& c : cases) {
        root.writeFile(std::string("/") + c.name, c.content);
        int fd = open(path(c.name).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        // Exact-size buffer: the terminator must fit inside it.
        char* buf = static_cast<char*>(malloc(static_cast<size_t>(c.size)));
        EXPECT_EQ(readFileTail(fd, buf, c.size), c.result) << c.name;
        if (c.result == 1) {
            EXPECT_EQ(std::string(buf), c.line) << c.name;
        }
        free(buf);
        close(fd);
    }
    char buf[8];
    EXPECT_EQ(readFileTail(-1, buf, sizeof buf), 0);
}
