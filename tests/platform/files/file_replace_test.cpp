#include "platform/files/file_replace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

std::string readAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class FileReplace : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/wev-replace-XXXXXX";
        dir_ = mkdtemp(pattern);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_;
};

TEST_F(FileReplace, ModeIsTheGivenOneWhateverTheUmaskAndAStaleTemporary)
{
    const std::string path = dir_ + "/secret";
    std::ofstream(path + ".tmp") << "stale";
    chmod((path + ".tmp").c_str(), 0666);
    mode_t old = umask(0);
    FileReplaceResult r = replaceFile(path, "key material", 0600, true);
    umask(old);
    ASSERT_TRUE(r.ok()) << r.step << ": " << r.error;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(readAll(path), "key material");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(FileReplace, AFailedReplaceKeepsTheOldFileAndSaysWhichStepFailed)
{
    const std::string path = dir_ + "/data";
    ASSERT_TRUE(replaceFile(path, "old", 0644, false).ok());
    // The target is a directory now: the rename must fail.
    const std::string blocked = dir_ + "/blocked";
    std::filesystem::create_directories(blocked + "/inside");
    FileReplaceResult r = replaceFile(blocked, "new", 0644, false);
    EXPECT_FALSE(r.ok());
    EXPECT_STREQ(r.step, "rename");
    EXPECT_FALSE(std::filesystem::exists(blocked + ".tmp"));
    // A directory that does not exist: the temporary cannot be created.
    r = replaceFile(dir_ + "/missing/data", "new", 0644, false);
    EXPECT_STREQ(r.step, "create");
    EXPECT_EQ(r.error, ENOENT);
    EXPECT_EQ(readAll(path), "old");
}

} // namespace

// What a replace that a kill interrupted leaves beside the file goes, the
// file itself stays.
TEST_F(FileReplace, TheLeftoverOfAnInterruptedReplaceIsRemovedAndNothingElse)
{
    const std::string path = dir_ + "/params.dat";
    std::ofstream(path) << "old";
    std::ofstream(path + ".tmp") << "half of the new";
    std::ofstream(path + ".bak") << "someone else's";
    EXPECT_TRUE(removeReplaceLeftover(path));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_EQ(readAll(path), "old");
    EXPECT_TRUE(std::filesystem::exists(path + ".bak"));
    EXPECT_FALSE(removeReplaceLeftover(path)) << "nothing left to remove";
}
