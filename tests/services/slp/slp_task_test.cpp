#include "services/slp/slp_task.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/params/param_handles.h"
#include "core/task/task.h"
#include "services/slp/slp_request.h"
#include "support/connection_net_fixture.h"

namespace {

class SlpTaskNet : public BoxNetTest {
protected:
    void SetUp() override
    {
        BoxNetTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        useProduct(root_, "product_id=1\nusb_ports_phy=4\ndevice_types=UUUU\nproduct_name=VK-4\ndefault_name=BOX-01\n");
        params_.set(params::ip_addr(), kBoxAddress);
        params_.set("ip4vlan_mgmt", "on");
        params_.set("ip4vlan_mgmt_id", std::to_string(kVlanId));
    }
    void TearDown() override
    {
        if (taskId_ > 0) {
            TaskMessage stop{0, MSG_STOP, 0, 0};
            postToTaskId(taskId_, &stop);
        }
        BoxNetTest::TearDown();
    }

    int peerSocket(const char* localAddress)
    {
        int s = peer_.socket(AF_INET, SOCK_DGRAM);
        EXPECT_GE(s, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        inet_pton(AF_INET, localAddress, &at.sin_addr);
        EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &at.sin_addr, sizeof at.sin_addr);
        return s;
    }

    static std::vector<uint8_t> request(const std::string& predicate)
    {
        std::vector<uint8_t> m = {1, 1, 0, 0, 0, 0, 'e', 'n', 0, 3, 0x12, 0x34, 0, 0};
        m.push_back(static_cast<uint8_t>(predicate.size() >> 8));
        m.push_back(static_cast<uint8_t>(predicate.size()));
        for (char c : predicate)
            m.push_back(static_cast<uint8_t>(c));
        return m;
    }

    // Sends until a reply comes (the task needs a moment to open its
    // sockets); the reply's URL and where it came from, "" when none came.
    std::string ask(int s, const char* to, const std::vector<uint8_t>& m, std::string* from)
    {
        sockaddr_in dest{};
        dest.sin_family = AF_INET;
        dest.sin_port = htons(427);
        inet_pton(AF_INET, to, &dest.sin_addr);
        for (int attempt = 0; attempt < 25; ++attempt) {
            sendto(s, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest);
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 200) != 1)
                continue;
            uint8_t buffer[2048];
            sockaddr_in sender{};
            socklen_t length = sizeof sender;
            const ssize_t n = recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
            if (n < kSlpReplyFixed || buffer[1] != 2)
                continue;
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
            *from = text;
            const size_t urlLength = static_cast<size_t>(buffer[18] << 8 | buffer[19]);
            EXPECT_EQ(static_cast<size_t>(n), kSlpReplyFixed + urlLength);
            EXPECT_EQ(buffer[10] << 8 | buffer[11], 0x1234) << "the transaction id is kept";
            return std::string(reinterpret_cast<char*>(buffer + kSlpReplyFixed), urlLength);
        }
        return "";
    }

    int taskId_ = -1;
};

TEST_F(SlpTaskNet, AGroupRequestIsAnsweredFromTheVlanItCameIn)
{
    taskId_ = startSlpTask(&iface_);
    ASSERT_GT(taskId_, 0);
    struct Side {
        const char* peer;
        const char* box;
    };
    for (const Side& side : {Side{kPeerAddress, kBoxAddress}, Side{kVlanPeerAddress, kVlanBoxAddress}}) {
        SCOPED_TRACE(side.peer);
        int s = peerSocket(side.peer);
        std::string from;
        const std::string url = ask(s, "224.0.1.22", request("service:x-vekps://"), &from);
        EXPECT_EQ(from, side.box);
        EXPECT_EQ(url.rfind(std::string("service:x-vekps://") + side.box + ";x-vek-name=BOX-01;", 0), 0u) << url;
        EXPECT_NE(url.find(";x-vek-product=VK-4"), std::string::npos) << url;
        close(s);
    }
}

TEST_F(SlpTaskNet, ARoutableBoxRefusesAnAddressChange)
{
    taskId_ = startSlpTask(&iface_);
    ASSERT_GT(taskId_, 0);
    int s = peerSocket(kPeerAddress);
    std::string from;
    const std::string url =
        ask(s, kBoxAddress, request("service:x-vekps://X-VEK-NAME ==box-01,X-VEK-IP ==198.18.9.77"), &from);
    EXPECT_TRUE(url.ends_with(";x-limited-access")) << url;
    EXPECT_EQ(params::ip_addr()->text(), kBoxAddress);
    close(s);
}

} // namespace
