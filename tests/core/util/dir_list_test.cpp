#include "core/util/dir_list.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <glob.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

class DirListTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.ok());
        root.writeFile("/list/zeta.txt", "z");
        root.writeFile("/list/alpha.txt", "a");
        root.writeFile("/list/.hidden", "h");
        root.writeFile("/list/Beta.txt", "b");
        mkdir(path("list/yDir").c_str(), 0755);
        mkdir(path("list/bDir").c_str(), 0755);
        mkdir(path("list/.git").c_str(), 0755);
    }
    std::string path(const char* name) const { return root.dir() + "/" + name; }
    TempBoxRoot root;
};

std::vector<std::string> names(const DirList& list)
{
    std::vector<std::string> out;
    for (int i = 0; i < list.count(); ++i)
        out.push_back(list.entryName(i));
    return out;
}

} // namespace

TEST_F(DirListTest, ReadByNameDirectoriesFirstHiddenLeftOut)
{
    DirList list;
    EXPECT_EQ(list.count(), -1);
    ASSERT_EQ(list.readByName(path("list").c_str()), 5);
    std::vector<std::string> expected = {"bDir", "yDir", "Beta.txt", "alpha.txt", "zeta.txt"};
    EXPECT_EQ(names(list), expected);
}

TEST_F(DirListTest, EntryNameOutsideTheListing)
{
    DirList list;
    EXPECT_EQ(list.entryName(0), nullptr) << "no listing yet";
    EXPECT_EQ(list.entryName(-1), nullptr);
    ASSERT_EQ(list.read(path("list").c_str(), alphasort), 5);
    EXPECT_NE(list.entryName(0), nullptr);
    EXPECT_NE(list.entryName(4), nullptr);
    EXPECT_EQ(list.entryName(5), nullptr);
    EXPECT_EQ(list.entryName(-1), nullptr);
    list.clear();
    EXPECT_EQ(list.count(), -1);
    EXPECT_EQ(list.entryName(0), nullptr);
}

TEST_F(DirListTest, ReadAgainReplacesTheListing)
{
    DirList list;
    ASSERT_EQ(list.readByName(path("list").c_str()), 5);
    root.writeFile("/other/one", "1");
    // A second read on the same thread while the first is still held.
    ASSERT_EQ(list.readByName(path("other").c_str()), 1);
    EXPECT_STREQ(list.entryName(0), "one");
    EXPECT_EQ(list.entryName(1), nullptr);
    EXPECT_EQ(list.readByName(path("missing").c_str()), 0);
    EXPECT_EQ(list.entryName(0), nullptr);
    list.clear();
    list.clear();
}

TEST_F(DirListTest, CustomFilter)
{
    DirList list;
    list.filter = [](const struct dirent* e) { return e->d_name[0] == '.' && e->d_name[1] == 'h' ? 1 : 0; };
    ASSERT_EQ(list.read(path("list").c_str(), nullptr), 1);
    EXPECT_STREQ(list.entryName(0), ".hidden");
}

TEST_F(DirListTest, AnotherThreadWaitsUntilTheListingIsCleared)
{
    DirList list;
    ASSERT_EQ(list.readByName(path("list").c_str()), 5);
    std::atomic<int> step{0};
    std::atomic<int> clearedAt{0};
    std::atomic<int> otherReadAt{0};
    std::atomic<int> otherCount{-2};
    std::string otherFirst;
    testing::internal::CaptureStderr();
    std::thread other([&] {
        otherCount.store(list.readByName(path("list").c_str()));
        otherReadAt.store(++step);
        otherFirst = list.entryName(0);
        list.clear();
    });
    // Give the other thread time to try; while this thread holds the
    // listing its read must not finish and these entries stay valid.
    for (int i = 0; i < 300 && otherReadAt.load() == 0; ++i) {
        ASSERT_STREQ(list.entryName(0), "bDir");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(otherReadAt.load(), 0);
    clearedAt.store(++step);
    list.clear();
    other.join();
    testing::internal::GetCapturedStderr();
    EXPECT_GT(otherReadAt.load(), clearedAt.load());
    EXPECT_EQ(otherCount.load(), 5);
    EXPECT_EQ(otherFirst, "bDir");
}

TEST_F(DirListTest, OnlyTheHoldingThreadClears)
{
    DirList list;
    ASSERT_EQ(list.readByName(path("list").c_str()), 5);
    testing::internal::CaptureStderr();
    std::thread other([&] { list.clear(); });
    other.join();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Param unlock Mutex:"), std::string::npos);
    EXPECT_EQ(list.count(), 5);
    EXPECT_STREQ(list.entryName(0), "bDir");
    list.clear();
    EXPECT_EQ(list.count(), -1);
}

TEST(GlobErr, ReportsAndLetsGlobGoOn)
{
    testing::internal::CaptureStderr();
    errno = EACCES;
    EXPECT_EQ(globErr("/flash/x", 13), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, " 482 globErr(/flash/x,13) Permission denied\n");
}
