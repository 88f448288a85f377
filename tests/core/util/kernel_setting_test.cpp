#include "core/util/kernel_setting.h"

#include "platform/files/root_path.h"
#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST(WriteStringToFile, WritesTheRootsCopyOfAKernelSetting)
{
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    root.writeFile("/proc/sys/vm/dirty_expire_centisecs", "3000\n");
    root.writeFile("/proc/sys/vm/dirty_writeback_centisecs", "500\n");
    for (const char* setting : {"/proc/sys/vm/dirty_expire_centisecs", "/proc/sys/vm/dirty_writeback_centisecs"}) {
        std::string path = boxPath(setting);
        ASSERT_EQ(path.rfind(root.dir(), 0), 0u) << "never the host's own /proc";
        EXPECT_EQ(writeStringToFile(path.c_str(), "100"), 1);
        EXPECT_EQ(readAll(path), "100");
    }
}

TEST(WriteStringToFile, ReportsFailures)
{
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    std::string missing = root.dir() + "/no/such/dir/setting";
    testing::internal::CaptureStderr();
    EXPECT_EQ(writeStringToFile(missing.c_str(), "1"), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(missing), std::string::npos);

    // A write that fails (device full) is a failure even though the open
    // worked and stdio buffered the text.
    if (access("/dev/full", W_OK) == 0) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(writeStringToFile("/dev/full", "100"), 0);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("/dev/full"), std::string::npos);
    }
}
