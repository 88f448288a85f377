#include "core/util/descriptor_mode.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

TEST(DescriptorMode, SetAndClearNonBlocking)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(isBlocking(fds[0]), 1);

    EXPECT_EQ(setNonBlocking(fds[0], 1), 1);
    EXPECT_EQ(isBlocking(fds[0]), 0);
    EXPECT_NE(fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
    // Already non-blocking: still 1, still non-blocking.
    EXPECT_EQ(setNonBlocking(fds[0], 1), 1);
    EXPECT_NE(fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);

    EXPECT_EQ(setNonBlocking(fds[0], 0), 1);
    EXPECT_EQ(isBlocking(fds[0]), 1);
    EXPECT_EQ(setNonBlocking(fds[0], 0), 1);

    // Other status flags survive the change.
    int flagsBefore = fcntl(fds[1], F_GETFL);
    ASSERT_EQ(fcntl(fds[1], F_SETFL, flagsBefore | O_APPEND), 0);
    EXPECT_EQ(setNonBlocking(fds[1], 1), 1);
    EXPECT_NE(fcntl(fds[1], F_GETFL) & O_APPEND, 0);

    close(fds[0]);
    close(fds[1]);
}

TEST(DescriptorMode, InvalidDescriptors)
{
    EXPECT_EQ(setNonBlocking(-1, 1), 0);
    EXPECT_EQ(isBlocking(-1), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(setNonBlocking(fds[0], 1), 0);
    EXPECT_EQ(isBlocking(fds[0]), 0);
}
