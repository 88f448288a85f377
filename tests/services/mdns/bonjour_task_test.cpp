#include "services/mdns/bonjour_task.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/params/param_handles.h"
#include "core/task/task.h"
#include "support/connection_net_fixture.h"
#include "support/dns_message.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class BonjourTaskNet : public BoxNetTest {
protected:
    void SetUp() override
    {
        BoxNetTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        useProduct(root_, "product_id=1\nusb_ports_phy=4\ndevice_types=UUUU\nproduct_name=VK-4\ndefault_name=BOX-01\n");
        params_.set(params::ip_addr(), kBoxAddress);
        params_.set(params::bonjour(), "on");
        params_.set(params::bonjour_name(), "");
        params_.set("ip4vlan_mgmt", "on");
        params_.set("ip4vlan_mgmt_id", std::to_string(kVlanId));
    }
    void TearDown() override
    {
        for (int id : started_) {
            TaskMessage stop{0, MSG_STOP, 0, 0};
            postToTaskId(id, &stop);
        }
        BoxNetTest::TearDown();
    }

    // A peer socket on one side: bound to the peer's address (port 0 for a
    // legacy querier, or 5353 as a member of the group), multicast leaving
    // through that side.
    int peerSocket(const char* localAddress, uint16_t port)
    {
        int s = peer_.socket(AF_INET, SOCK_DGRAM);
        EXPECT_GE(s, 0);
        int on = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        if (port == 0)
            inet_pton(AF_INET, localAddress, &at.sin_addr);
        EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        in_addr out{};
        inet_pton(AF_INET, localAddress, &out);
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
        if (port == kMdnsPort) {
            ip_mreq join{};
            inet_pton(AF_INET, "224.0.0.251", &join.imr_multiaddr);
            join.imr_interface = out;
            EXPECT_EQ(setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), 0);
            // Only the group on this side: the other side's socket has its own.
            int all = 0;
            setsockopt(s, IPPROTO_IP, IP_MULTICAST_ALL, &all, sizeof all);
        }
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
        return s;
    }

    static void sendQuery(int s, const Query& q)
    {
        const std::vector<uint8_t> m = q.bytes();
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kMdnsPort);
        inet_pton(AF_INET, "224.0.0.251", &to.sin_addr);
        sendto(s, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    // The next message within the time, or nothing.
    static bool next(int s, Clock::time_point until, DecodedMessage* out)
    {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) != 1)
                return false;
            uint8_t buffer[9000];
            const ssize_t n = recv(s, buffer, sizeof buffer, 0);
            if (n > 0) {
                *out = decodeMessage(std::vector<uint8_t>(buffer, buffer + n));
                return true;
            }
        }
    }

    // Asks for the host's address as a legacy querier until the reply
    // comes (the responder needs a moment to open its sockets); the A
    // record's address, "" when none came.
    std::string askAddress(int s)
    {
        const auto until = Clock::now() + 5s;
        while (Clock::now() < until) {
            sendQuery(s, Query().question("box-01.local", 1));
            DecodedMessage m;
            while (next(s, std::min(until, Clock::now() + 200ms), &m)) {
                for (const DecodedRecord& r : m.records) {
                    if (r.section == 1 && r.type == 1 && r.rdata.size() == 4) {
                        char text[INET_ADDRSTRLEN];
                        inet_ntop(AF_INET, r.rdata.data(), text, sizeof text);
                        return text;
                    }
                }
            }
        }
        return "";
    }

    // The address of the first A record of a message, "" without one.
    static std::string addressIn(const DecodedMessage& m, int section)
    {
        for (const DecodedRecord& r : m.records) {
            if (r.section == section && r.type == 1 && r.rdata.size() == 4) {
                char text[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, r.rdata.data(), text, sizeof text);
                return text;
            }
        }
        return "";
    }

    static bool hasPtrAnswer(const DecodedMessage& m)
    {
        for (const DecodedRecord& r : m.records) {
            if (r.section == 1 && r.type == 12 && r.ttl > 0)
                return true;
        }
        return false;
    }

    static bool isGoodbye(const DecodedMessage& m)
    {
        for (const DecodedRecord& r : m.records) {
            if (r.type == 12 && r.ttl == 0)
                return true;
        }
        return false;
    }

    int start(BonjourTask* task)
    {
        task->responder.resetState(true);
        const int id = task->start(20480, 0);
        if (id > 0)
            started_.push_back(id);
        return id;
    }

    std::vector<int> started_;
};

TEST_F(BonjourTaskNet, TheAddressRecordIsThatOfThePlaceTheQuestionCameIn)
{
    ASSERT_GT(start(new BonjourTask(&iface_)), 0);
    int untagged = peerSocket(kPeerAddress, 0);
    int vlan = peerSocket(kVlanPeerAddress, 0);
    EXPECT_EQ(askAddress(untagged), kBoxAddress);
    EXPECT_EQ(askAddress(vlan), kVlanBoxAddress);
    close(untagged);
    close(vlan);
}

// The responder's own messages go out at every place, each with the
// address of that place; a delayed answer to a browse question reaches the
// place the question came from.
TEST_F(BonjourTaskNet, AnnouncementsAndDelayedAnswersReachEveryVlan)
{
    int untagged = peerSocket(kPeerAddress, kMdnsPort);
    int vlan = peerSocket(kVlanPeerAddress, kMdnsPort);
    ASSERT_GT(start(new BonjourTask(&iface_)), 0);
    struct Side {
        int socket;
        const char* boxAddress;
    };
    for (const Side& side : {Side{untagged, kBoxAddress}, Side{vlan, kVlanBoxAddress}}) {
        SCOPED_TRACE(side.boxAddress);
        DecodedMessage m;
        bool announced = false;
        const auto until = Clock::now() + 5s;
        while (!announced && next(side.socket, until, &m))
            announced = m.flags == 0x8400 && m.counts[1] == 7;
        ASSERT_TRUE(announced);
        EXPECT_EQ(addressIn(m, 1), side.boxAddress);
    }

    sendQuery(vlan, Query().question("_http._tcp.local", 12));
    DecodedMessage m;
    bool answered = false;
    const auto until = Clock::now() + 5s;
    while (!answered && next(vlan, until, &m))
        answered = hasPtrAnswer(m);
    ASSERT_TRUE(answered) << "the browse question from the VLAN was answered there";
    EXPECT_EQ(addressIn(m, 3), kVlanBoxAddress);
    close(untagged);
    close(vlan);
}

// A second responder started while one runs ends at once and leaves the
// first alone: it withdraws nothing, and the first keeps its place until it
// ends with its own goodbye.
TEST_F(BonjourTaskNet, ASecondResponderLeavesTheRunningOneAlone)
{
    const int first = start(new BonjourTask(&iface_));
    ASSERT_GT(first, 0);
    int group = peerSocket(kPeerAddress, kMdnsPort);
    int querier = peerSocket(kPeerAddress, 0);
    ASSERT_EQ(askAddress(querier), kBoxAddress);
    EXPECT_EQ(bonjourTaskId(), first);
    EXPECT_EQ(startBonjourTask(&iface_), -1) << "start-up helpers start none while one runs";

    const int running = countRegisteredTasks();
    ASSERT_GT(start(new BonjourTask(&iface_)), 0);
    const auto until = Clock::now() + 5s;
    while (countRegisteredTasks() > running && Clock::now() < until)
        usleep(1000);
    ASSERT_EQ(countRegisteredTasks(), running) << "the second responder ended";
    EXPECT_EQ(bonjourTaskId(), first);

    // Whatever the second one might have sent came before this reply.
    ASSERT_EQ(askAddress(querier), kBoxAddress);
    DecodedMessage m;
    while (next(group, Clock::now() + 50ms, &m))
        EXPECT_FALSE(isGoodbye(m)) << "a goodbye from the second responder";

    // Both are ended by the test itself: none is left for TearDown to stop
    // (a message to a task that is being deleted is not safe).
    started_.clear();
    TaskMessage stop{0, MSG_STOP, 0, 0};
    ASSERT_EQ(postToTaskId(first, &stop), 0);
    bool goodbye = false;
    const auto end = Clock::now() + 5s;
    while (!goodbye && next(group, end, &m))
        goodbye = isGoodbye(m);
    EXPECT_TRUE(goodbye) << "the running responder says goodbye when it ends";
    const auto gone = Clock::now() + 5s;
    while (countRegisteredTasks() > running - 1 && Clock::now() < gone)
        usleep(1000);
    EXPECT_EQ(bonjourTaskId(), -1);
    close(group);
    close(querier);
}

} // namespace
