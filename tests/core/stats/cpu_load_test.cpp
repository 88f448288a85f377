#include "core/stats/cpu_load.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// /proc/stat's first line with the seven counters that count and three more
// (steal, guest, guest_nice) that do not.
std::string statLine(uint64_t user, uint64_t nice, uint64_t system, uint64_t idle, uint64_t iowait = 0, uint64_t irq = 0,
                     uint64_t softirq = 0)
{
    char line[256];
    snprintf(line, sizeof line, "cpu  %llu %llu %llu %llu %llu %llu %llu 999 888 777\ncpu0 1 2 3 4 5 6 7 0 0 0\n",
             static_cast<unsigned long long>(user), static_cast<unsigned long long>(nice),
             static_cast<unsigned long long>(system), static_cast<unsigned long long>(idle),
             static_cast<unsigned long long>(iowait), static_cast<unsigned long long>(irq),
             static_cast<unsigned long long>(softirq));
    return line;
}

// The layout of current kernels: MemAvailable between MemFree and Buffers,
// and SwapCached after Cached.
std::string memInfo(uint64_t total, uint64_t free, uint64_t cached)
{
    char text[512];
    snprintf(text, sizeof text,
             "MemTotal:       %llu kB\nMemFree:        %llu kB\nMemAvailable:   %llu kB\nBuffers:          1234 kB\n"
             "Cached:         %llu kB\nSwapCached:        999 kB\nActive:         1000 kB\n",
             static_cast<unsigned long long>(total), static_cast<unsigned long long>(free),
             static_cast<unsigned long long>(free + cached), static_cast<unsigned long long>(cached));
    return text;
}

class CpuLoadTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.ok());
        resetLoadHistoryForTest();
    }
    void TearDown() override { resetLoadHistoryForTest(); }
    LoadHistory history() const
    {
        LoadHistory h;
        copyLoadHistory(&h);
        return h;
    }
    TempBoxRoot root;
};

} // namespace

TEST_F(CpuLoadTest, ReadCpuCounters)
{
    root.writeFile("/proc/stat", statLine(100, 20, 30, 800, 40, 5, 5));
    uint64_t total = 0, busy = 0;
    EXPECT_EQ(readCpuCounters(&total, &busy), 0);
    EXPECT_EQ(busy, 150u);
    EXPECT_EQ(total, 1000u);

    // Counters of a long-running many-core host: beyond 32 bits, and a first
    // line longer than 63 characters.
    root.writeFile("/proc/stat", statLine(5000000000ull, 1, 7000000000ull, 90000000000ull, 123456789012ull, 3, 4));
    EXPECT_EQ(readCpuCounters(&total, &busy), 0);
    EXPECT_EQ(busy, 12000000001ull);
    EXPECT_EQ(total, 5000000000ull + 1 + 7000000000ull + 90000000000ull + 123456789012ull + 3 + 4);
}

TEST_F(CpuLoadTest, ReadCpuCountersKeepsValuesWithoutAUsableLine)
{
    uint64_t total = 11, busy = 22;
    EXPECT_EQ(readCpuCounters(&total, &busy), 0);  // no file
    root.writeFile("/proc/stat", "cpu  1 2 3\n");  // too few counters
    EXPECT_EQ(readCpuCounters(&total, &busy), 0);
    root.writeFile("/proc/stat", "intr 1 2 3 4 5 6 7\n");
    EXPECT_EQ(readCpuCounters(&total, &busy), 0);
    EXPECT_EQ(total, 11u);
    EXPECT_EQ(busy, 22u);
}

TEST_F(CpuLoadTest, ReadMemInfoByKey)
{
    root.writeFile("/proc/meminfo", memInfo(1000, 250, 300));
    uint64_t free = 0, freeAndCached = 0, total = 0;
    EXPECT_EQ(readMemInfo(&free, &freeAndCached, &total), 1);
    EXPECT_EQ(total, 1000u);
    EXPECT_EQ(free, 250u);
    EXPECT_EQ(freeAndCached, 550u) << "SwapCached is not Cached";

    // The old kernels' order without MemAvailable works too.
    root.writeFile("/proc/meminfo", "MemTotal: 64 kB\nMemFree: 16 kB\nBuffers: 1 kB\nCached: 8 kB\n");
    EXPECT_EQ(readMemInfo(&free, &freeAndCached, &total), 1);
    EXPECT_EQ(freeAndCached, 24u);

    root.writeFile("/proc/meminfo", "MemTotal: 64 kB\nMemFree: 16 kB\n");
    EXPECT_EQ(readMemInfo(&free, &freeAndCached, &total), 0);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(free, 0u);
    unlink((root.dir() + "/proc/meminfo").c_str());
    EXPECT_EQ(readMemInfo(&free, &freeAndCached, &total), 0);
}

TEST_F(CpuLoadTest, FirstSampleOnlyStoresSecondWritesEntryZero)
{
    root.writeFile("/proc/meminfo", memInfo(1024, 256, 256));
    root.writeFile("/proc/stat", statLine(100, 0, 0, 900));
    EXPECT_EQ(updateCpuLoad(), 1);
    LoadHistory h = history();
    EXPECT_EQ(h.index, 0);
    EXPECT_EQ(h.cpu[0], 0);

    // 300 of the next 1000 ticks busy: 300 * 128 / 1000 = 38.
    root.writeFile("/proc/stat", statLine(300, 50, 50, 1600));
    EXPECT_EQ(updateCpuLoad(), 1);
    h = history();
    EXPECT_EQ(h.index, 1);
    EXPECT_EQ(h.cpu[0], 38);
    EXPECT_EQ(h.memory[0], 128 - 256 * 128 / 1024);       // 96
    EXPECT_EQ(h.memoryAndCache[0], 128 - 512 * 128 / 1024);  // 64

    // Fully busy interval.
    root.writeFile("/proc/stat", statLine(1300, 50, 50, 1600));
    updateCpuLoad();
    EXPECT_EQ(history().cpu[1], 128);
}

TEST_F(CpuLoadTest, EqualTotalsStore255)
{
    root.writeFile("/proc/meminfo", memInfo(1024, 512, 0));
    root.writeFile("/proc/stat", statLine(100, 0, 0, 900));
    updateCpuLoad();
    updateCpuLoad();
    EXPECT_EQ(history().cpu[0], LOAD_NOT_MEASURED);
    // A vanished /proc/stat keeps the counters: the same.
    unlink((root.dir() + "/proc/stat").c_str());
    updateCpuLoad();
    EXPECT_EQ(history().cpu[1], LOAD_NOT_MEASURED);
}

TEST_F(CpuLoadTest, MissingOrBrokenMeminfoDoesNotDivideByZero)
{
    root.writeFile("/proc/stat", statLine(100, 0, 0, 900));
    updateCpuLoad();
    root.writeFile("/proc/stat", statLine(200, 0, 0, 1800));
    EXPECT_EQ(updateCpuLoad(), 1);
    LoadHistory h = history();
    EXPECT_EQ(h.cpu[0], 12);
    EXPECT_EQ(h.memory[0], LOAD_NOT_MEASURED);
    EXPECT_EQ(h.memoryAndCache[0], LOAD_NOT_MEASURED);

    root.writeFile("/proc/meminfo", memInfo(0, 0, 0));
    root.writeFile("/proc/stat", statLine(300, 0, 0, 2700));
    EXPECT_EQ(updateCpuLoad(), 1);
    EXPECT_EQ(history().memory[1], LOAD_NOT_MEASURED);
}

TEST_F(CpuLoadTest, RingWrapsAfter768Samples)
{
    root.writeFile("/proc/meminfo", memInfo(1024, 1024, 0));
    uint64_t busy = 0, idle = 1000;
    root.writeFile("/proc/stat", statLine(busy, 0, 0, idle));
    updateCpuLoad();
    for (int i = 0; i < LOAD_RING_SIZE + 3; ++i) {
        // Sample i: i % 100 busy ticks out of 100.
        busy += static_cast<uint64_t>(i % 100);
        idle += static_cast<uint64_t>(100 - i % 100);
        root.writeFile("/proc/stat", statLine(busy, 0, 0, idle));
        updateCpuLoad();
    }
    LoadHistory h = history();
    EXPECT_EQ(h.index, 3);
    // Slot 0 was overwritten by sample 768 (768 % 100 = 68 busy).
    EXPECT_EQ(h.cpu[0], 68 * 128 / 100);
    EXPECT_EQ(h.cpu[3], 3 * 128 / 100);
    EXPECT_EQ(h.memory[5], 0);

    clearLoadHistory();
    h = history();
    EXPECT_EQ(h.index, 0);
    EXPECT_EQ(h.cpu[0], 0);
}
