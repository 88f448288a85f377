#include "core/net/udp_service_task.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/connection_net_fixture.h"
#include "core/util/byte_buffer.h"
#include "core/net/connection.h"
#include "support/fn_task.h"

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kServicePort = 4270;

SockAddr address(const char* text)
{
    return SockAddr::parse(text);
}

ino_t socketInode(const Connection* c)
{
    struct stat st {};
    if (!c || c->fd < 0 || fstat(c->fd, &st) != 0)
        return 0;
    return st.st_ino;
}

// What a responder saw: one line per datagram.
struct Seen {
    std::string text;
    bool onGroup = false;
    int replyVlan = -100;
    std::string sender;
};

class Journal {
public:
    void add(const Seen& s)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(s);
        changed_.notify_all();
    }
    std::vector<Seen> all()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    bool waitFor(size_t count, std::chrono::milliseconds limit = 5s)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return seen_.size() >= count; });
    }
    std::atomic<int> opened{-1};
    // What the task's own thread saw after its last message (the sockets
    // are its alone).
    std::atomic<int> sockets{-1};
    std::atomic<int> rebuilt{0};
    std::atomic<int> messagesServed{0};

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Seen> seen_;
};

// Sockets without a thread: the test calls the operations itself.
class IdleUdpTask : public UdpServiceTask {
public:
    using UdpServiceTask::UdpServiceTask;
    void run() override {}
};

// A responder like the SLP and mDNS tasks: every datagram is answered with
// "re:<text>" from the socket receive names.
class Responder : public UdpServiceTask {
public:
    Responder(NetInterface* iface, const SockAddr* g1, const SockAddr* g2, std::shared_ptr<Journal> journal)
        : UdpServiceTask("Responder", kServicePort, g1, g2), iface_(iface), journal_(std::move(journal))
    {
    }
    void run() override
    {
        const int opened = openSockets(iface_, true);
        journal_->sockets = socketCount();
        journal_->opened = opened;
        ByteBuffer buffer;
        for (;;) {
            Connection* on = nullptr;
            Connection* from = nullptr;
            int n = receive(&buffer, 0, &on, &from);
            if (n <= 0 || !on)
                continue;
            Seen s;
            s.text.assign(static_cast<char*>(buffer.memory), static_cast<size_t>(n));
            s.onGroup = on != from;
            s.replyVlan = from ? from->vlanId : -100;
            s.sender = on->peer.str();
            journal_->add(s);
            if (from && from->fd >= 0) {
                from->peer = on->peer;
                const std::string answer = "re:" + s.text;
                from->sendAll(answer.data(), static_cast<int>(answer.size()), false);
            }
        }
    }
    uint32_t onMessage(TaskMessage* msg) override
    {
        const uint32_t rest = UdpServiceTask::onMessage(msg);
        journal_->sockets = socketCount();
        journal_->rebuilt = rebuilt;
        ++journal_->messagesServed;
        return rest;
    }

private:
    NetInterface* iface_;
    std::shared_ptr<Journal> journal_;
};

// Stops a started task however the test ends.
class StopAtEnd {
public:
    explicit StopAtEnd(int taskId) : taskId_(taskId) {}
    ~StopAtEnd()
    {
        TaskMessage stop{0, MSG_STOP, 0, 0};
        postToTaskId(taskId_, &stop);
    }
    StopAtEnd(const StopAtEnd&) = delete;
    StopAtEnd& operator=(const StopAtEnd&) = delete;

private:
    int taskId_;
};

class UdpService : public BoxNetTest {
protected:
    void SetUp() override
    {
        BoxNetTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        slp1_ = address("224.0.1.22");
        allHosts_ = address("224.0.0.1");
    }

    // A socket in the peer namespace for requests, bound to the peer's
    // address on one side; multicast leaves through that side.
    int peerSocket(const char* localAddress)
    {
        int s = peer_.socket(AF_INET, SOCK_DGRAM);
        EXPECT_GE(s, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        inet_pton(AF_INET, localAddress, &at.sin_addr);
        EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        in_addr out{};
        inet_pton(AF_INET, localAddress, &out);
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
        return s;
    }

    static void sendTo(int s, const char* to, const std::string& text)
    {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(kServicePort);
        inet_pton(AF_INET, to, &target.sin_addr);
        ASSERT_EQ(sendto(s, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target),
                  static_cast<ssize_t>(text.size()));
    }

    // The answers that came: the first one is waited for as long as a loaded
    // machine may need, then more are collected for `settle`, so a second
    // answer to the same request shows.
    static std::vector<std::string> answers(int s, std::chrono::milliseconds settle)
    {
        std::vector<std::string> got = collect(s, std::chrono::seconds(10), 1);
        if (got.empty())
            return got;
        for (std::string& more : collect(s, settle, 0))
            got.push_back(std::move(more));
        return got;
    }

    // Every datagram that comes within window (up to `limit` of them; 0: no
    // limit), as "text from address:port".
    static std::vector<std::string> collect(int s, std::chrono::milliseconds window, size_t limit)
    {
        std::vector<std::string> got;
        const auto end = std::chrono::steady_clock::now() + window;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) != 1)
                break;
            char data[512];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t n = recvfrom(s, data, sizeof data, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0)
                continue;
            char ip[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
            got.push_back(std::string(data, static_cast<size_t>(n)) + " from " + ip + ":" +
                          std::to_string(ntohs(from.sin_port)));
            if (limit != 0 && got.size() >= limit)
                break;
        }
        return got;
    }

    std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
    SockAddr slp1_;
    SockAddr allHosts_;
};

TEST_F(UdpService, SocketsPerPlaceFollowTheParameters)
{
    struct Case {
        const char* what;
        bool group2;
        bool untagged;
        bool management;
        bool portVlan2;
        int entryCount;
        std::map<int, int> socketsAt;  // entry -> sockets
    } cases[] = {
        {"untagged only, one group (mDNS)", false, true, false, false, 5, {{0, 2}}},
        {"untagged only, two groups (SLP)", true, true, false, false, 5, {{0, 3}}},
        {"untagged switched off", true, false, false, false, 5, {}},
        {"management VLAN", true, true, true, false, 6, {{0, 3}, {5, 3}}},
        {"port VLAN 2", false, false, false, true, 5, {{2, 2}}},
    };
    for (const Case& c : cases) {
        ParamOverride p;
        p.set("ip4vlan_mgmt_untag", c.untagged ? "on" : "off");
        p.set("ip4vlan_mgmt", c.management ? "on" : "off");
        p.set("ip4vlan_mgmt_id", std::to_string(kVlanId));
        p.set("ip4vlan_on_", c.portVlan2 ? "on" : "off", 2);
        p.set("ip4vlan_id_", std::to_string(kVlanId), 2);
        auto* task = new IdleUdpTask("Udp", kServicePort, &slp1_, c.group2 ? &allHosts_ : nullptr);
        ASSERT_EQ(task->openSockets(&iface_, true), 1) << c.what;
        EXPECT_EQ(task->entryCount, c.entryCount) << c.what;
        int total = 0;
        for (int i = 0; i < UdpServiceTask::kMaxEntries; ++i) {
            const UdpServiceTask::Entry& e = task->entries[i];
            int here = 0;
            for (const Connection* conn : {e.unicast, e.group1, e.group2}) {
                if (!conn)
                    continue;
                ++here;
                EXPECT_EQ(boundDevice(conn->fd), i == 0 ? "eth0" : "eth0.7") << c.what << " entry " << i;
            }
            auto wanted = c.socketsAt.find(i);
            EXPECT_EQ(here, wanted == c.socketsAt.end() ? 0 : wanted->second) << c.what << " entry " << i;
            total += here;
        }
        EXPECT_EQ(task->socketCount(), total) << c.what;
        delete task;
    }
}

TEST_F(UdpService, OneMulticastRequestGetsOneAnswerFromThePlaceItCameIn)
{
    params_.set("ip4vlan_mgmt", "on");
    params_.set("ip4vlan_mgmt_id", std::to_string(kVlanId));
    auto* task = new Responder(&iface_, &slp1_, &allHosts_, journal_);
    const int id = task->start(20480, 0);
    ASSERT_GT(id, 0);
    StopAtEnd stopper(id);
    ASSERT_TRUE(eventually([&] { return journal_->opened.load() >= 0; }));
    ASSERT_EQ(journal_->opened.load(), 1);

    int vlanSide = peerSocket(kVlanPeerAddress);
    sendTo(vlanSide, "224.0.1.22", "where are you");
    const auto got = answers(vlanSide, 700ms);
    ASSERT_EQ(got.size(), 1u) << "a multicast request is read once and answered once";
    EXPECT_EQ(got[0], std::string("re:where are you from ") + kVlanBoxAddress + ":" + std::to_string(kServicePort));
    auto seen = journal_->all();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].onGroup);
    EXPECT_EQ(seen[0].replyVlan, kVlanId);
    EXPECT_EQ(seen[0].sender.rfind(kVlanPeerAddress, 0), 0u);

    sendTo(vlanSide, "224.0.0.1", "all hosts");
    EXPECT_EQ(answers(vlanSide, 700ms).size(), 1u) << "the second group has its own socket";

    int untaggedSide = peerSocket(kPeerAddress);
    sendTo(untaggedSide, kBoxAddress, "direct");
    const auto direct = answers(untaggedSide, 700ms);
    ASSERT_EQ(direct.size(), 1u);
    EXPECT_EQ(direct[0], std::string("re:direct from ") + kBoxAddress + ":" + std::to_string(kServicePort));
    seen = journal_->all();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_FALSE(seen[2].onGroup);
    EXPECT_EQ(seen[2].replyVlan, -1);

    // A rebuild while the task waits: the same wait goes on over the new
    // sockets.
    TaskMessage change{0, MSG_NETWORK_CHANGED, 0, 0};
    const int served = journal_->messagesServed.load();
    ASSERT_EQ(task->post(&change), 0);
    ASSERT_TRUE(eventually([&] { return journal_->messagesServed.load() > served; }));
    sendTo(untaggedSide, "224.0.1.22", "after rebuild");
    EXPECT_EQ(answers(untaggedSide, 700ms).size(), 1u);
    EXPECT_EQ(journal_->rebuilt.load(), 1);

    close(vlanSide);
    close(untaggedSide);
}

TEST_F(UdpService, AddressReplacementRebindsOnlyTheUnicastSockets)
{
    auto* task = new IdleUdpTask("Udp", kServicePort, &slp1_, &allHosts_);
    ASSERT_EQ(task->openSockets(&iface_, true), 1);
    UdpServiceTask::Entry& e = task->entries[0];
    Connection* unicast = e.unicast;
    const ino_t unicastBefore = socketInode(e.unicast);
    const ino_t g1Before = socketInode(e.group1);
    const ino_t g2Before = socketInode(e.group2);
    ASSERT_NE(unicastBefore, 0u);

    TaskMessage replaced{0, MSG_ADDRESS_REPLACED | 0x20, 0, 0};
    EXPECT_EQ(task->onMessage(&replaced), 0x20u) << "the address bit is dealt with";
    EXPECT_EQ(e.unicast, unicast) << "the same connection, opened again";
    EXPECT_NE(socketInode(e.unicast), unicastBefore);
    EXPECT_NE(socketInode(e.unicast), 0u);
    EXPECT_EQ(socketInode(e.group1), g1Before);
    EXPECT_EQ(socketInode(e.group2), g2Before);
    EXPECT_EQ(task->rebuilt, 0);

    TaskMessage changed{0, MSG_NETWORK_CHANGED | MSG_ADDRESS_REPLACED, 0, 0};
    EXPECT_EQ(task->onMessage(&changed), static_cast<uint32_t>(MSG_ADDRESS_REPLACED));
    EXPECT_EQ(task->rebuilt, 1);
    EXPECT_NE(socketInode(e.group1), g1Before) << "a network change rebuilds everything";
    EXPECT_EQ(task->socketCount(), 3);
    delete task;
}

TEST_F(UdpService, AFailedRebuildClosesEverythingAndTheTaskGoesOn)
{
    params_.set("ip4vlan_on_", "off", 3);
    params_.set("ip4vlan_id_", "9", 3);
    auto* task = new Responder(&iface_, &slp1_, nullptr, journal_);
    const int id = task->start(20480, 0);
    ASSERT_GT(id, 0);
    StopAtEnd stopper(id);
    ASSERT_TRUE(eventually([&] { return journal_->opened.load() == 1; }));
    EXPECT_EQ(journal_->sockets.load(), 2);

    // Port VLAN 3 on a device that does not exist: the rebuild fails.
    params_.set("ip4vlan_on_", "on", 3);
    TaskMessage change{0, MSG_NETWORK_CHANGED, 0, 0};
    int served = journal_->messagesServed.load();
    ASSERT_EQ(task->post(&change), 0);
    ASSERT_TRUE(eventually([&] { return journal_->messagesServed.load() > served; }));
    EXPECT_EQ(journal_->sockets.load(), 0) << "half a set is closed, not kept";

    int s = peerSocket(kPeerAddress);
    sendTo(s, kBoxAddress, "anyone?");
    EXPECT_TRUE(collect(s, 300ms, 0).empty());

    params_.set("ip4vlan_on_", "off", 3);
    served = journal_->messagesServed.load();
    ASSERT_EQ(task->post(&change), 0);
    ASSERT_TRUE(eventually([&] { return journal_->messagesServed.load() > served; }));
    sendTo(s, kBoxAddress, "back again");
    const auto got = answers(s, 700ms);
    ASSERT_EQ(got.size(), 1u) << "the task kept serving and answers after the next change";
    EXPECT_EQ(got[0].rfind("re:back again", 0), 0u);

    close(s);
}

TEST_F(UdpService, ReceiveTimesOutWithoutDatagrams)
{
    std::promise<int> result;
    auto* task = new FnTaskOf<UdpServiceTask>(
        [&](FnTaskOf<UdpServiceTask>& self) {
            self.openSockets(&iface_, true);
            ByteBuffer buffer;
            Connection dummy(nullptr, nullptr, -1);
            Connection* on = &dummy;
            Connection* from = &dummy;
            int n = self.receive(&buffer, 20, &on, &from);
            result.set_value(n == -1 && on == nullptr && from == nullptr ? 1 : 0);
        },
        nullptr, "Udp", kServicePort, &slp1_, nullptr);
    ASSERT_GT(task->start(20480, 0), 0);
    auto done = result.get_future();
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(done.get(), 1);
}

} // namespace
