#include "core/stats/process_list.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct ProcessListGuard {
    ProcessRecord** list = nullptr;
    ~ProcessListGuard() { freeProcessList(list); }
};

const ProcessRecord* findPid(ProcessRecord** list, int pid)
{
    for (ProcessRecord** p = list; *p; ++p) {
        if ((*p)->pid == pid)
            return *p;
    }
    return nullptr;
}

} // namespace

TEST(ReadProcessList, RecordsFromStatusAndCmdline)
{
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    root.writeFile("/proc/1/status", "Name:\tinit\nState:\tS (sleeping)\nTgid:\t1\nPPid:\t0\nTracerPid:\t0\nThreads:\t1\n");
    root.writeFile("/proc/1/cmdline", std::string("/sbin/init\0splash\0", 18));
    // An old kernel's status with SleepAVG and a long line in between.
    root.writeFile("/proc/42/status", "Name:\twev\nSleepAVG:\t98%\nGroups:\t" + std::string(600, '1') +
                                          "\nPPid:\t1\nThreads:\t23\n");
    root.writeFile("/proc/42/cmdline", "");
    // A process without readable files (it ended while listing).
    mkdir((root.dir() + "/proc/77").c_str(), 0755);
    root.writeFile("/proc/self/status", "Name:\tnot a pid\n");
    root.writeFile("/proc/stat", "cpu  1 2 3 4 5 6 7\n");
    root.writeFile("/proc/12a/status", "Name:\tnot a pid either\n");

    ProcessListGuard guard;
    int n = readProcessList(&guard.list);
    ASSERT_EQ(n, 3);
    ASSERT_NE(guard.list, nullptr);
    EXPECT_EQ(guard.list[3], nullptr);

    const ProcessRecord* init = findPid(guard.list, 1);
    ASSERT_NE(init, nullptr);
    EXPECT_STREQ(init->name, "init");
    EXPECT_STREQ(init->cmdline, "/sbin/init");
    EXPECT_EQ(init->ppid, 0);
    EXPECT_EQ(init->threads, 1);
    EXPECT_EQ(init->sleepAvg, -1);

    const ProcessRecord* wev = findPid(guard.list, 42);
    ASSERT_NE(wev, nullptr);
    EXPECT_STREQ(wev->name, "wev");
    EXPECT_EQ(wev->cmdline, nullptr);
    EXPECT_EQ(wev->sleepAvg, 98);
    EXPECT_EQ(wev->ppid, 1);
    EXPECT_EQ(wev->threads, 23);

    const ProcessRecord* gone = findPid(guard.list, 77);
    ASSERT_NE(gone, nullptr);
    EXPECT_EQ(gone->name, nullptr);
    EXPECT_EQ(gone->ppid, -1);
    EXPECT_EQ(gone->threads, -1);
}

TEST(ReadProcessList, ThisMachinesProcesses)
{
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    ASSERT_EQ(symlink("/proc", (root.dir() + "/proc").c_str()), 0);
    ProcessListGuard guard;
    int n = readProcessList(&guard.list);
    ASSERT_GT(n, 0);
    const ProcessRecord* self = findPid(guard.list, getpid());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->ppid, getppid());
    EXPECT_GE(self->threads, 1);
    ASSERT_NE(self->name, nullptr);
    EXPECT_STRNE(self->name, "");
}

TEST(ReadProcessList, NoProcDirectory)
{
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    ProcessListGuard guard;
    EXPECT_EQ(readProcessList(&guard.list), 0);
    ASSERT_NE(guard.list, nullptr);
    EXPECT_EQ(guard.list[0], nullptr);
}
