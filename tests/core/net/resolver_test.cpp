#include "core/net/resolver.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "core/params/param_handles.h"
#include "core/addr/sock_addr.h"
#include "core/task/task.h"
#include "support/private_netns.h"
#include "support/missing_requirement.h"

namespace {

using namespace std::chrono_literals;

// Look-ups of names that do not exist must not leave this machine: every
// test runs in an empty network namespace, where the name service fails at
// once for want of a route.
class Resolve : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!netns::enterFresh())
            SKIP_UNLESS_CI("no private network namespace (needs root)");
        params::dns()->setValue(1);
        params::ipv6()->setValue(0);
    }
};

TEST_F(Resolve, LiteralsNamesAndFailures)
{
    SockAddr a;
    EXPECT_EQ(a.resolve(nullptr), 0);
    EXPECT_EQ(a.resolve(""), 0);

    params::dns()->setValue(0);
    EXPECT_EQ(a.resolve("198.18.0.7"), 1) << "a usable address text needs no name service";
    EXPECT_EQ(a.str(), "198.18.0.7");
    EXPECT_EQ(a.resolve("fd42:b0c5::7"), 1);
    EXPECT_EQ(a.str(), "fd42:b0c5::7");
    EXPECT_EQ(a.resolve("localhost"), 0) << "with dns off only address texts resolve";

    params::dns()->setValue(1);
    SockAddr local;
    ASSERT_EQ(local.resolve("localhost"), 1);
    EXPECT_TRUE(local.isIpv4());
    EXPECT_EQ(local.ipv4Value(), inet_addr("127.0.0.1"));

    // 198.18.0.0 parses but is not usable, so the name service is asked;
    // it takes address texts as they are.
    SockAddr network;
    EXPECT_EQ(network.resolve("198.18.0.0"), 1);
    EXPECT_EQ(network.str(), "198.18.0.0");

    // Nothing found: the value keeps its family, the rest is cleared.
    SockAddr failed = SockAddr::parse("198.18.3.3");
    failed.in4.sin_port = htons(80);
    EXPECT_EQ(failed.resolve("no-such-host.invalid"), 0);
    EXPECT_TRUE(failed.isIpv4());
    EXPECT_FALSE(failed.isSet());
    EXPECT_EQ(failed.in4.sin_port, 0);

    // A name with ':' is no IPv6 address just because it does not parse.
    SockAddr colon = SockAddr::parse("198.18.3.3");
    EXPECT_EQ(colon.resolve("no-such-host.invalid:25"), 0);
    EXPECT_FALSE(colon.isSet());

    SockAddr missing = SockAddr::parse("fd42:b0c5::5");
    EXPECT_EQ(missing.resolve("no-such-host.invalid"), 0);
    EXPECT_TRUE(missing.isIpv6());
}

// A task waiting for the resolver mutex keeps serving its messages.
class LockingTask : public Task {
public:
    LockingTask(std::atomic<int>& handled, std::promise<int>& locked)
        : Task("Locking"), handled_(handled), locked_(locked) {}
    void run() override
    {
        lockResolver();
        unlockResolver();
        locked_.set_value(1);
        for (;;)
            waitFor(100, -1);
    }
    uint32_t onMessage(TaskMessage* msg) override
    {
        handled_.fetch_add(1);
        return msg->code & ~0x20u;
    }

private:
    std::atomic<int>& handled_;
    std::promise<int>& locked_;
};

TEST_F(Resolve, BusyMutexKeepsServingTheTasksMessages)
{
    std::atomic<int> handled{0};
    std::promise<int> locked;
    auto done = locked.get_future();

    lockResolver();
    auto* task = new LockingTask(handled, locked);
    const int id = task->start(20480, 0);
    ASSERT_GT(id, 0);
    for (int i = 0; i < 3; ++i) {
        TaskMessage msg{0, 0x20, 0, 0};
        ASSERT_EQ(postToTaskId(id, &msg), 0);
    }
    // Every message is handled while the task still waits for the mutex.
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (handled.load() < 3 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(handled.load(), 3);
    EXPECT_EQ(done.wait_for(0ms), std::future_status::timeout) << "the task went past a busy mutex";
    unlockResolver();

    ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
    TaskMessage stop{0, MSG_STOP, 0, 0};
    postToTaskId(id, &stop);
}

TEST_F(Resolve, BusyMutexOutsideATaskWaits)
{
    lockResolver();
    auto other = std::async(std::launch::async, [] {
        lockResolver();
        unlockResolver();
    });
    EXPECT_EQ(other.wait_for(50ms), std::future_status::timeout);
    unlockResolver();
    ASSERT_EQ(other.wait_for(10s), std::future_status::ready);
}

// A look-up never waits for a rewrite of the resolver file, nor the other
// way round: one that waits for silent name servers would otherwise hold
// back the file that names the servers of a new lease.
TEST_F(Resolve, LookUpsDoNotTakeTheResolverMutex)
{
    lockResolver();
    auto lookup = std::async(std::launch::async, [] {
        SockAddr a;
        return a.resolve("localhost") == 1 && a.ipv4Value() == inet_addr("127.0.0.1");
    });
    const bool finished = lookup.wait_for(10s) == std::future_status::ready;
    unlockResolver();
    ASSERT_TRUE(finished) << "the look-up waited for the resolver mutex";
    EXPECT_TRUE(lookup.get());
}

}  // namespace
