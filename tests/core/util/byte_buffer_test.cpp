#include "core/util/byte_buffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>
#include <cstring>
#include <string>

namespace {

std::string dataOf(const ByteBuffer& b)
{
    return std::string(b.cursor, static_cast<size_t>(b.length));
}

} // namespace

TEST(ByteBuffer, StartsEmptyAndReleasesToZero)
{
    ByteBuffer b;
    EXPECT_EQ(b.memory, nullptr);
    EXPECT_EQ(b.capacity, 0);
    EXPECT_EQ(b.owned, 0);
    EXPECT_EQ(b.cursor, nullptr);
    EXPECT_EQ(b.length, 0);

    ASSERT_EQ(b.reserve(16), 1);
    void* block = b.memory;
    EXPECT_EQ(b.release(), block);
    EXPECT_EQ(b.memory, nullptr);
    EXPECT_EQ(b.capacity, 0);
    EXPECT_EQ(b.owned, 0);
    EXPECT_EQ(b.length, 0);
}

TEST(ByteBuffer, ReserveReusesALargeEnoughOwnedBlock)
{
    ByteBuffer b;
    ASSERT_EQ(b.reserve(64), 1);
    void* block = b.memory;
    b.appendf("hello");
    ASSERT_EQ(b.length, 5);

    ASSERT_EQ(b.reserve(64), 1);
    EXPECT_EQ(b.memory, block);
    EXPECT_EQ(b.length, 0);
    ASSERT_EQ(b.reserve(10), 1);
    EXPECT_EQ(b.memory, block);
    EXPECT_EQ(b.capacity, 64) << "a smaller request keeps the block as it is";
    EXPECT_EQ(b.cursor, static_cast<char*>(block));

    ASSERT_EQ(b.reserve(65), 1);
    EXPECT_EQ(b.capacity, 65);
    EXPECT_EQ(b.owned, 1);
    EXPECT_EQ(b.length, 0);
}

TEST(ByteBuffer, ReserveNeverFreesALentBlock)
{
    char lent[32];
    ByteBuffer b;
    b.memory = lent;
    b.cursor = lent;
    b.capacity = sizeof lent;
    b.owned = 0;
    // Reserve takes a block of its own; the lent array is not passed to free
    // (ASan would report it).
    ASSERT_EQ(b.reserve(16), 1);
    EXPECT_NE(b.memory, static_cast<void*>(lent));
    EXPECT_EQ(b.owned, 1);

    ByteBuffer c;
    c.memory = lent;
    c.cursor = lent;
    c.capacity = sizeof lent;
    EXPECT_EQ(c.release(), static_cast<void*>(lent));
    EXPECT_EQ(c.memory, nullptr);
}

TEST(ByteBuffer, AppendfFitsCutsAndStopsWhenFull)
{
    ByteBuffer b;
    ASSERT_EQ(b.reserve(10), 1);
    EXPECT_EQ(b.appendf("%d-%s", 42, "ab"), 5);
    EXPECT_EQ(dataOf(b), "42-ab");

    // Does not fit: cut, vsnprintf's terminator takes the last byte, and the
    // length becomes the capacity.
    EXPECT_EQ(b.appendf("%s", "0123456789"), 10);
    EXPECT_EQ(b.length, 10);
    EXPECT_EQ(std::string(b.cursor + 5, 4), "0123");

    // Full: nothing written, length stays.
    char before[10];
    memcpy(before, b.cursor, sizeof before);
    EXPECT_EQ(b.appendf("%s", "more"), 4);
    EXPECT_EQ(b.length, 10);
    EXPECT_EQ(memcmp(before, b.cursor, sizeof before), 0);

    b.rewind();
    EXPECT_EQ(b.length, 0);
    b.appendf("x");
    EXPECT_EQ(dataOf(b), "x");
}

TEST(ByteBuffer, AppendfWithoutBlockWritesNothing)
{
    ByteBuffer b;
    EXPECT_EQ(b.appendf("abc"), 3);
    EXPECT_EQ(b.length, 0);
}

TEST(ByteBuffer, AppendfAfterAnAdvancedCursorStaysInsideTheBlock)
{
    ByteBuffer b;
    ASSERT_EQ(b.reserve(8), 1);
    b.appendf("abcd");
    // A consumer took two bytes from the front.
    b.cursor += 2;
    b.length -= 2;
    b.appendf("%s", "0123456789");
    EXPECT_EQ(b.cursor + b.length, static_cast<char*>(b.memory) + b.capacity);
    EXPECT_EQ(std::string(b.cursor, 5), "cd012");
}

TEST(ByteBuffer, AssignCopiesTheData)
{
    ByteBuffer a;
    ASSERT_EQ(a.reserve(32), 1);
    a.appendf("payload %d", 7);
    ByteBuffer b;
    ASSERT_EQ(b.reserve(4), 1);
    b.appendf("old");

    ASSERT_EQ(b.assign(&a), 1);
    EXPECT_EQ(dataOf(b), "payload 7");
    EXPECT_NE(b.memory, a.memory);
    EXPECT_EQ(b.owned, 1);
    EXPECT_EQ(dataOf(a), "payload 7");
}

TEST(ByteBuffer, AssignToItselfKeepsTheData)
{
    ByteBuffer a;
    ASSERT_EQ(a.reserve(32), 1);
    a.appendf("same");
    // Releasing before copying would read freed memory here (ASan).
    EXPECT_EQ(a.assign(&a), 1);
    EXPECT_EQ(dataOf(a), "same");
}

TEST(ByteBuffer, AssignFromALentBlockTakesAnOwnedCopy)
{
    char lent[16] = "lent data";
    ByteBuffer source;
    source.memory = lent;
    source.cursor = lent;
    source.capacity = sizeof lent;
    source.length = 9;
    ByteBuffer copy;
    ASSERT_EQ(copy.assign(&source), 1);
    lent[0] = 'X';
    EXPECT_EQ(dataOf(copy), "lent data");
    source.release();
}

#if defined(__SANITIZE_ADDRESS__)
#define WEV_ASAN_BUILD 1
#endif

#ifndef WEV_ASAN_BUILD
namespace {

// Runs in the death-test child: caps the address space, then asks for more.
[[noreturn]] void reserveBeyondAddressSpaceLimit()
{
    long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (!statm || fscanf(statm, "%ld", &pages) != 1)
        _exit(3);
    fclose(statm);
    rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (64u << 20);
    struct rlimit limit = {cap, cap};
    if (setrlimit(RLIMIT_AS, &limit) != 0)
        _exit(4);
    ByteBuffer b;
    if (b.reserve(16) != 1)
        _exit(5);
    int result = b.reserve(512 << 20);
    bool clean = result == 0 && b.memory == nullptr && b.capacity == 0 && b.length == 0;
    _exit(clean ? 0 : 1);
}

} // namespace
#endif

TEST(ByteBuffer, ReserveFailureReportsAndLeavesNoBlock)
{
#ifdef WEV_ASAN_BUILD
    GTEST_SKIP() << "an address-space limit cannot be combined with ASan's shadow memory";
#else
    // In a child whose address space is capped, so the allocation fails for
    // real instead of being granted by overcommit.
    EXPECT_EXIT(reserveBeyondAddressSpaceLimit(), testing::ExitedWithCode(0), "FATAL ERROR MEM FAULT size:536870912 ");
#endif
}
