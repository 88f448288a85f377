// The test network of the connection tests: the box's "eth0" (198.18.9.2)
// and its stand-in VLAN device "eth0.7" (198.18.10.2), each joined by a veth
// pair to the peer namespace (198.18.9.1 on "veth0", 198.18.10.1 on
// "veth7"). The product has 4 ports, so listener slot 5 is the management
// VLAN.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/net/net_interface.h"
#include "core/task/task.h"
#include "support/param_override.h"
#include "support/peer_namespace.h"
#include "support/private_netns.h"
#include "support/product_record.h"
#include "support/missing_requirement.h"

class BoxNetTest : public ::testing::Test {
protected:
    static constexpr const char* kBoxAddress = "198.18.9.2";
    static constexpr const char* kPeerAddress = "198.18.9.1";
    static constexpr const char* kVlanBoxAddress = "198.18.10.2";
    static constexpr const char* kVlanPeerAddress = "198.18.10.1";
    static constexpr int kVlanId = 7;

    void SetUp() override
    {
        if (!netns::enterFresh())
            SKIP_UNLESS_CI("no private network namespace (needs root)");
        ASSERT_TRUE(peer_.ok());
        netns::must("ip link set lo up");
        peer_.link("eth0", "veth0", std::string(kPeerAddress) + "/24");
        netns::must(std::string("ip addr add ") + kBoxAddress + "/24 dev eth0");
        netns::must("ip link set eth0 up");
        peer_.link("eth0.7", "veth7", std::string(kVlanPeerAddress) + "/24");
        netns::must(std::string("ip addr add ") + kVlanBoxAddress + "/24 dev eth0.7");
        netns::must("ip link set eth0.7 up");
        useProduct(root_, "product_id=1\nusb_ports_phy=4\ndevice_types=UUUU\n");
        iface_.setName("eth0");
        ASSERT_EQ(iface_.openSocket(), 1);
        tasksBefore_ = countRegisteredTasks();
    }

    void TearDown() override
    {
        // Every task a test started has ended before its objects go.
        if (tasksBefore_ >= 0) {
            for (int i = 0; i < 500 && countRegisteredTasks() > tasksBefore_; ++i)
                usleep(10000);
            EXPECT_EQ(countRegisteredTasks(), tasksBefore_) << "a task of the test is still running";
        }
    }

    // A TCP connection from the peer namespace; the descriptor, or -errno.
    int peerConnect(const char* address, int port, int waitMs = 5000) const
    {
        int s = peer_.socket(AF_INET, SOCK_STREAM);
        if (s < 0)
            return -errno;
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &to.sin_addr);
        if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
            int e = errno;
            close(s);
            return -e;
        }
        pollfd p{s, POLLOUT, 0};
        if (poll(&p, 1, waitMs) != 1) {
            close(s);
            return -ETIMEDOUT;
        }
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            close(s);
            return -error;
        }
        return s;
    }

    static std::string boundDevice(int fd)
    {
        char name[IFNAMSIZ + 1] = {};
        socklen_t length = sizeof name;
        if (getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, &length) != 0)
            return "?";
        return name;
    }

    TempBoxRoot root_;
    PeerNamespace peer_;
    NetInterface iface_;
    ParamOverride params_;
    int tasksBefore_ = -1;
};
