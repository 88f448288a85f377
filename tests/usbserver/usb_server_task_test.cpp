// "UsbSrvd" on the test network: listeners per slot, the client limit,
// listeners reopened after a network change while sessions go on, and the
// TLS seam, whose handshake runs on the client's own task.
#include "support/connection_net_fixture.h"
#include "usb_session_fixture.h"

#include "core/board/board_device.h"
#include "usbserver/usb_server_task.h"
#include "usbserver/usb_session_tls.h"

#include <dirent.h>
#include <netinet/tcp.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr int kPort = 9310;
constexpr int kTlsPort = 9311;

class UsbServer : public BoxNetTest {
protected:
    void SetUp() override
    {
        BoxNetTest::SetUp();
        if (IsSkipped())
            return;
        params_.set("zyt_port", std::to_string(kPort));
        params_.set("zyt_sslport", std::to_string(kTlsPort));
        params_.set("ip4vlan_on_", "on", 1);
        params_.set("ip4vlan_id_", std::to_string(kVlanId), 1);
        params_.set("ip4vlan_addr_", kVlanBoxAddress, 1);
        if (boardStartsFirst())
            boardDevice().markStartUpFinished();
        root_.writeFile("/dev/bus/usb/.made", "");
        liveBefore_ = usbLiveClients.load();
    }

    void TearDown() override
    {
        for (ProtocolClient& c : clients_)
            c.close();
        if (serverId_ > 0) {
            EXPECT_TRUE(eventually([&] { return usbLiveClients.load() == liveBefore_; }));
            TaskMessage stop{0, MSG_STOP, 0, 0};
            postToTaskId(serverId_, &stop);
        }
        setUsbTlsOps(nullptr);
        BoxNetTest::TearDown();
    }

    // Whether the board's start is marked before the test starts the server.
    virtual bool boardStartsFirst() const { return true; }

    void startServer()
    {
        auto* server = new UsbSrvd(usb_srv_thread, &iface_);
        serverId_ = server->start(20480, 0);
        ASSERT_GT(serverId_, 0);
    }

    // A client from the peer namespace once the server answers there; its
    // end, or an empty one when it could not connect.
    ProtocolClient& connectClient(const char* address, int port = kPort)
    {
        int fd = -1;
        eventually([&] {
            fd = peerConnect(address, port, 1000);
            return fd >= 0;
        });
        clients_.emplace_back(fd);
        return clients_.back();
    }

    static bool answers(ProtocolClient& c, uint32_t tag = 1)
    {
        Reply r;
        return c.send(requestHeader(27, tag)) && c.readReply(&r) && r.header.opcode == 0x101b;
    }

    std::deque<ProtocolClient> clients_;
    int serverId_ = 0;
    int liveBefore_ = 0;
};

// The board's start is a flag that is never cleared once set in a process:
// this test can only run before any other test of the process sets it (it
// comes first here, and ctest runs each test in a process of its own).
class UsbServerBeforeTheBoard : public UsbServer {
protected:
    bool boardStartsFirst() const override { return false; }
};

TEST_F(UsbServerBeforeTheBoard, ListensOnlyOnceTheBoardHasStarted)
{
    if (boardDevice().started())
        GTEST_SKIP() << "the board's start was already marked in this process";
    struct StartTheBoard {
        ~StartTheBoard() { boardDevice().markStartUpFinished(); }
    } startsAtTheEnd;
    startServer();
    ASSERT_TRUE(eventually([&] { return countRegisteredTasks() > tasksBefore_; })) << "the server task did not start";
    // Nothing to wait for: the server must keep not listening. Several of
    // its quarter-second waits for the board pass meanwhile.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    int tries = 0;
    while (std::chrono::steady_clock::now() < end) {
        const int fd = peerConnect(kBoxAddress, kPort, 200);
        if (fd >= 0)
            close(fd);
        ASSERT_EQ(fd, -ECONNREFUSED) << "listening before the board started, try " << tries;
        ++tries;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    boardDevice().markStartUpFinished();
    ProtocolClient& c = connectClient(kBoxAddress);
    ASSERT_GE(c.fd(), 0) << "not listening after the board started";
    EXPECT_TRUE(answers(c));
}

TEST_F(UsbServer, ListensOnTheUntaggedInterfaceAndEachEnabledVlan)
{
    params_.set("zyt_tag_", "vlan-only", 2);
    params_.set("zyt_2vlan_", "1", 2);
    startServer();
    ProtocolClient& plain = connectClient(kBoxAddress);
    ASSERT_GE(plain.fd(), 0);
    ProtocolClient& tagged = connectClient(kVlanBoxAddress);
    ASSERT_GE(tagged.fd(), 0);
    Reply r;
    ASSERT_TRUE(tagged.send(requestHeader(22, 1)) && tagged.readReply(&r));
    EXPECT_EQ(r.data, (Bytes{2, 'v', 'l', 'a', 'n', '-', 'o', 'n', 'l', 'y', 0, 0}))
        << "the session knows the VLAN of its listener";
    ASSERT_TRUE(plain.send(requestHeader(22, 1)) && plain.readReply(&r));
    EXPECT_EQ(r.data, Bytes{0});
    EXPECT_LT(peerConnect(kBoxAddress, kTlsPort, 300), 0) << "no TLS listener without the TLS layer";
}

// The status parameters of device rows (usb_*_<n>) exist for 40 rows; the
// server hides those of the rows its model does not have from the pages,
// the MIB and the file, and keeps the others.
TEST_F(UsbServer, StatusParametersOfRowsTheModelLacksAreHidden)
{
    startServer();
    const int rows = usbRowCount.load();
    ASSERT_GT(rows, 0);
    ASSERT_LT(rows, 40) << "no row to hide on this model";
    struct Case {
        int row;
        bool hidden;
    };
    const Case cases[] = {{1, false}, {rows, false}, {rows + 1, true}, {40, true}};
    for (const char* family : {"usb_manu_", "usb_prod_", "usb_sern_", "usb_owner_", "usb_vendid_", "usb_prodid_",
                               "usb_slot_"}) {
        for (const Case& k : cases) {
            const std::string name = family + std::to_string(k.row);
            const Param* p = ParamStore::findAny(name.c_str());
            ASSERT_NE(p, nullptr) << name;
            EXPECT_EQ(p->hasFlags(kParamHidden), k.hidden) << name;
        }
    }
}

TEST_F(UsbServer, ServesTwiceThePortsPlusOneAndRefusesTheNextAtOnce)
{
    startServer();
    const int limit = usbClientLimit();
    ASSERT_EQ(limit, 8) << "4 physical ports";
    for (int i = 0; i <= limit; ++i) {
        ProtocolClient& c = connectClient(kBoxAddress);
        ASSERT_TRUE(answers(c)) << "client " << i + 1;
    }
    ProtocolClient& refused = connectClient(kBoxAddress);
    ASSERT_GE(refused.fd(), 0);
    size_t extra = 99;
    EXPECT_TRUE(refused.closedWithin(5000, &extra)) << "client " << limit + 2 << " was served";
    EXPECT_EQ(extra, 0u);

    clients_.front().close();
    ASSERT_TRUE(eventually([&] { return usbLiveClients.load() == liveBefore_ + limit; }));
    ProtocolClient& next = connectClient(kBoxAddress);
    EXPECT_TRUE(answers(next)) << "a place that came free is not given again";
}

TEST_F(UsbServer, ANetworkChangeReopensTheListenersWhileSessionsGoOn)
{
    startServer();
    ProtocolClient& established = connectClient(kBoxAddress);
    ASSERT_TRUE(answers(established));
    params_.set("ip4vlan_on_", "off", 1);
    TaskMessage change{0, MSG_NETWORK_CHANGED, 0, 0};
    ASSERT_EQ(postToTaskId(serverId_, &change), 0);
    EXPECT_TRUE(eventually([&] {
        const int fd = peerConnect(kVlanBoxAddress, kPort, 200);
        if (fd >= 0)
            close(fd); // accepted before the listener closed: a session to end
        return fd < 0;
    }))
        << "the VLAN listener was not closed";
    EXPECT_TRUE(answers(established, 2)) << "the established session ended";
    ProtocolClient& fresh = connectClient(kBoxAddress);
    EXPECT_TRUE(answers(fresh)) << "the untagged listener did not come back";
}

int portOf(const sockaddr_storage& a)
{
    if (a.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return -1;
}

// The server's end of a client's connection: the descriptor of this process
// whose local port is the listener's and whose peer port is the client's.
// -1 when there is none.
int serverEndOf(int clientFd, int listenerPort)
{
    sockaddr_storage client{};
    socklen_t length = sizeof client;
    if (getsockname(clientFd, reinterpret_cast<sockaddr*>(&client), &length) != 0)
        return -1;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int found = -1;
    while (dirent* entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || fd == dirfd(dir))
            continue;
        sockaddr_storage local{};
        sockaddr_storage peer{};
        length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || portOf(local) != listenerPort)
            continue;
        length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || portOf(peer) != portOf(client))
            continue;
        found = fd;
        break;
    }
    closedir(dir);
    return found;
}

// Nagle is off on every client's connection (the listener does not set it,
// so nothing is inherited). The segment size parameter is not checked here:
// on an established socket Linux reads back the negotiated MSS, never the
// value set, and the listener's own setting already bounds that.
TEST_F(UsbServer, AcceptedClientsSendWithoutNagleDelay)
{
    startServer();
    for (const char* address : {kBoxAddress, kVlanBoxAddress}) {
        SCOPED_TRACE(address);
        ProtocolClient& c = connectClient(address);
        ASSERT_TRUE(answers(c));
        const int server = serverEndOf(c.fd(), kPort);
        ASSERT_GE(server, 0) << "the accepted descriptor was not found";
        int on = -1;
        socklen_t length = sizeof on;
        ASSERT_EQ(getsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, &length), 0);
        EXPECT_EQ(on, 1);
    }
}

std::atomic<int> handshakesOnSessionTasks{0};
std::atomic<int> handshakesElsewhere{0};
std::atomic<bool> holdHandshake{false};

int fakeHandshake(Connection*)
{
    Task* t = Task::current();
    if (t && strcmp(t->name(), "UsbSrvdPrcs") == 0)
        handshakesOnSessionTasks.fetch_add(1);
    else
        handshakesElsewhere.fetch_add(1);
    for (int i = 0; i < 300 && holdHandshake.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 1;
}

bool noSession(Connection*)
{
    return false;
}

int nothingPending(Connection*)
{
    return 0;
}

int noDescription(Connection*, char*, size_t)
{
    return 0;
}

const UsbTlsOps fakeTls = {fakeHandshake, noSession, nothingPending, noDescription};

TEST_F(UsbServer, TheTlsHandshakeRunsOnTheClientsOwnTask)
{
    setUsbTlsOps(&fakeTls);
    handshakesOnSessionTasks.store(0);
    handshakesElsewhere.store(0);
    holdHandshake.store(true);
    startServer();
    ProtocolClient& slow = connectClient(kBoxAddress, kTlsPort);
    ASSERT_GE(slow.fd(), 0);
    ASSERT_TRUE(eventually([&] { return handshakesOnSessionTasks.load() == 1; }));
    // While that handshake hangs, others are accepted and served.
    ProtocolClient& plain = connectClient(kBoxAddress);
    EXPECT_TRUE(answers(plain));
    holdHandshake.store(false);
    EXPECT_TRUE(answers(slow));
    EXPECT_EQ(handshakesElsewhere.load(), 0);
}

} // namespace
