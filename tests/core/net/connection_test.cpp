#include "core/net/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/connection_net_fixture.h"
#include "support/sigpipe_probe.h"
#include "core/util/byte_buffer.h"
#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "support/fn_task.h"

namespace {

using namespace std::chrono_literals;
using FnTask = FnTaskOf<Task>;

double threadCpuSeconds(pthread_t thread)
{
    clockid_t clock;
    if (pthread_getcpuclockid(thread, &clock) != 0)
        return -1;
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

unsigned peerIndexIn(const PeerNamespace& peer, const char* name)
{
    unsigned index = 0;
    std::thread inside([&] {
        int fd = open(peer.path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0)
            index = if_nametoindex(name);
        if (fd >= 0)
            close(fd);
    });
    inside.join();
    return index;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A connected pair of local stream sockets: `conn` owns one end, the test
// holds the other. Small buffers so that a few hundred kilobytes fill them.
class StreamPair : public ::testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        int small = 4096;
        setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        conn_.fd = fds[0];
        conn_.family = AF_UNIX;
        conn_.type = SOCK_STREAM;
        conn_.state = kConnConnected;
        other_ = fds[1];
    }
    void TearDown() override
    {
        if (other_ >= 0)
            close(other_);
    }

    // Fills the send buffer of conn_ until the kernel takes nothing more.
    void fill()
    {
        conn_.setNonBlocking();
        std::vector<char> chunk(65536, 'x');
        while (write(conn_.fd, chunk.data(), chunk.size()) > 0) {
        }
        ASSERT_EQ(errno, EAGAIN);
    }

    // What the other end receives, until wanted bytes came or it ends.
    std::string readUntil(size_t wanted)
    {
        std::string all;
        char chunk[8192];
        while (all.size() < wanted) {
            ssize_t n = read(other_, chunk, sizeof chunk);
            if (n <= 0)
                break;
            all.append(chunk, static_cast<size_t>(n));
        }
        return all;
    }

    Connection conn_{nullptr, nullptr, -1};
    int other_ = -1;
};

TEST_F(StreamPair, ZeroTimeWriteWaitOnFullBufferNeverRefusesButMarksTheTimeOut)
{
    fill();
    int error = 0;
    EXPECT_EQ(conn_.wait4write(0, &error, true), 1);
    EXPECT_EQ(error, kConnTimedOut);
    EXPECT_EQ(conn_.errorState, kConnErrorTimeout);

    error = 0;
    EXPECT_EQ(conn_.wait4write(5, &error, true), 0) << "a real time-out refuses";
    EXPECT_EQ(error, kConnTimedOut);

    Connection closed(nullptr, nullptr, -1);
    EXPECT_EQ(closed.wait4read(10, &error, true), 0);
    EXPECT_EQ(error, kConnNoSocket);
}

TEST_F(StreamPair, SendWithoutTimeOutBlocksInsteadOfSpinningWhileThePeerDoesNotRead)
{
    conn_.setNonBlocking();
    const std::string data(1 << 20, 'd');
    std::promise<int> result;
    pthread_t sender{};
    std::promise<pthread_t> senderId;
    std::thread t([&] {
        senderId.set_value(pthread_self());
        result.set_value(conn_.send(data.data(), static_cast<int>(data.size()), 0, false));
    });
    sender = senderId.get_future().get();
    auto done = result.get_future();
    std::this_thread::sleep_for(400ms);
    ASSERT_EQ(done.wait_for(0ms), std::future_status::timeout) << "the peer has not read yet";
    const double cpu = threadCpuSeconds(sender);
    EXPECT_LT(cpu, 0.15) << "a stalled send must wait, not retry in a loop";

    std::string received = readUntil(data.size());
    ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(done.get(), static_cast<int>(data.size()));
    EXPECT_EQ(received.size(), data.size());
    EXPECT_EQ(conn_.bytesSent, data.size());
    t.join();
}

TEST_F(StreamPair, VectorSendFinishesPartialWrites)
{
    conn_.setNonBlocking();
    std::string header(24, 'H');
    std::string body(300000, 'b');
    body[12345] = 'Z';
    std::string tail("end-marker");
    iovec pieces[3] = {{header.data(), header.size()}, {body.data(), body.size()}, {tail.data(), tail.size()}};

    std::promise<std::string> got;
    std::thread reader([&] {
        std::string all;
        char chunk[1000];
        while (all.size() < header.size() + body.size() + tail.size()) {
            ssize_t n = read(other_, chunk, sizeof chunk);
            if (n <= 0)
                break;
            all.append(chunk, static_cast<size_t>(n));
            std::this_thread::sleep_for(100us);
        }
        got.set_value(all);
    });
    int sent = conn_.sendv(pieces, 3);
    reader.join();
    EXPECT_EQ(sent, static_cast<int>(header.size() + body.size() + tail.size()));
    EXPECT_EQ(got.get_future().get(), header + body + tail);
}

TEST_F(StreamPair, VectorSendToAPeerThatStopsReadingEndsAtItsTimeOut)
{
    conn_.setNonBlocking();
    std::string header(16, 'H');
    std::string body(16 * 1024 * 1024, 'b');
    iovec pieces[2] = {{header.data(), header.size()}, {body.data(), body.size()}};
    EXPECT_EQ(conn_.sendv(pieces, 2, 5), -1);
}

TEST_F(StreamPair, APeerThatLeftIsAWriteErrorAndNoSignal)
{
    close(other_);
    other_ = -1;
    char byte = 'x';
    iovec piece{&byte, 1};
    int plain = 0;
    int vector = 0;
    EXPECT_FALSE(raisesSigpipe([&] { plain = conn_.send(&byte, 1, 10, false); }));
    EXPECT_EQ(plain, kConnBroken);
    EXPECT_FALSE(raisesSigpipe([&] { vector = conn_.sendv(&piece, 1); }));
    EXPECT_EQ(vector, -1);
}

TEST(ConnectionFile, DescriptorsThatAreNoSocketsAreStillWritten)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    Connection conn{nullptr, nullptr, -1};
    conn.fd = fds[1];
    conn.state = kConnConnected;
    char piece[] = "ab";
    iovec pieces[1] = {{piece, 2}};
    EXPECT_EQ(conn.send("xy", 2, 10, false), 2);
    EXPECT_EQ(conn.sendv(pieces, 1), 2);
    char got[5] = {};
    EXPECT_EQ(read(fds[0], got, 4), 4);
    EXPECT_STREQ(got, "xyab");
    close(fds[0]);
    close(fds[1]);
    conn.fd = -1;
}

TEST_F(StreamPair, SendFileSendsWholeFilesUpToTheEmptyRead)
{
    TempBoxRoot root;
    struct Case {
        size_t size;
    } cases[] = {{0}, {100}, {static_cast<size_t>(kFileBlockSize)}, {static_cast<size_t>(kFileBlockSize) + 1},
                 {3 * static_cast<size_t>(kFileBlockSize)}};
    for (const Case& c : cases) {
        std::string content(c.size, '\0');
        for (size_t i = 0; i < c.size; ++i)
            content[i] = static_cast<char>('a' + i % 26);
        const std::string path = root.dir() + "/file";
        root.writeFile("/file", content);
        int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(file, 0);

        std::promise<std::string> got;
        std::thread reader([&] {
            std::string all;
            char chunk[4096];
            while (all.size() < c.size) {
                ssize_t n = read(other_, chunk, sizeof chunk);
                if (n <= 0)
                    break;
                all.append(chunk, static_cast<size_t>(n));
            }
            got.set_value(all);
        });
        EXPECT_EQ(conn_.sendFile(file), 1) << c.size;
        reader.join();
        EXPECT_EQ(got.get_future().get(), content) << c.size;
        close(file);
    }

    int directory = open(root.dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    EXPECT_EQ(conn_.sendFile(directory), 0) << "a file that cannot be read is not sent";
    close(directory);
}

TEST_F(StreamPair, StreamReadResults)
{
    ByteBuffer buffer;
    EXPECT_EQ(conn_.readAvailable(&buffer, 0, true), 0) << "nothing there and no waiting";

    EXPECT_EQ(conn_.readAvailable(&buffer, 5, true), kConnTimedOut);
    EXPECT_EQ(conn_.errorState, kConnErrorTimeout);
    EXPECT_EQ(buffer.memory, nullptr);

    ASSERT_EQ(write(other_, "hello world", 11), 11);
    ASSERT_EQ(conn_.receiveBuffer(&buffer, 100), 11);
    EXPECT_EQ(std::string(static_cast<char*>(buffer.memory), 11), "hello world");
    EXPECT_EQ(buffer.capacity, 11) << "grow takes a block of the size needed";

    ASSERT_EQ(write(other_, "abcdefgh", 8), 8);
    char small[5];
    ASSERT_EQ(conn_.receiveBytes(small, sizeof small, 100), 5) << "a caller's array bounds the read";
    EXPECT_EQ(std::string(small, 5), "abcde");
    ByteBuffer chunk;
    ASSERT_EQ(conn_.readChunk(&chunk, 100), 3);
    EXPECT_EQ(std::string(static_cast<char*>(chunk.memory), 3), "fgh");

    close(other_);
    other_ = -1;
    EXPECT_EQ(conn_.readAvailable(&buffer, 100, true), kConnPeerClosed);
    EXPECT_EQ(conn_.readChunk(&chunk, 100), -1);
}


// --- the network: listeners, accept, connect, datagrams ---------------------

using ConnectionNet = BoxNetTest;

TEST_F(ConnectionNet, ListenerSlotsFollowTheVlanParameters)
{
    EXPECT_EQ(createTcpServer(nullptr, 9300, nullptr, 0), nullptr) << "no interface";
    EXPECT_EQ(createTcpServer(nullptr, 0, &iface_, 0), nullptr) << "no port";

    Connection* untagged = createTcpServer(nullptr, 9300, &iface_, 0);
    ASSERT_NE(untagged, nullptr);
    EXPECT_EQ(untagged->family, AF_INET6) << "slot 0 takes IPv6 and IPv4 peers alike";
    EXPECT_EQ(untagged->state, kConnListening);
    EXPECT_EQ(boundDevice(untagged->fd), "eth0");
    EXPECT_STREQ(untagged->local.text(), "::");
    EXPECT_EQ(untagged->local.in6.sin6_port, htons(9300));
    untagged->closeSession();

    params_.set("ip4vlan_mgmt", "off");
    EXPECT_EQ(createTcpServer(nullptr, 9300, &iface_, 5), nullptr) << "management VLAN off";
    params_.set("ip4vlan_mgmt", "on");
    params_.set("ip4vlan_mgmt_id", std::to_string(kVlanId));
    Connection* mgmt = createTcpServer(nullptr, 9300, &iface_, 5);
    ASSERT_NE(mgmt, nullptr);
    EXPECT_EQ(mgmt->family, AF_INET);
    EXPECT_EQ(mgmt->vlanId, kVlanId);
    EXPECT_EQ(boundDevice(mgmt->fd), "eth0.7");
    EXPECT_STREQ(mgmt->local.text(), "0.0.0.0");
    mgmt->closeSession();

    params_.set("ip4vlan_on_", "off", 2);
    EXPECT_EQ(createTcpServer(nullptr, 9300, &iface_, 2), nullptr) << "port VLAN 2 off";
    params_.set("ip4vlan_on_", "on", 2);
    params_.set("ip4vlan_id_", std::to_string(kVlanId), 2);
    params_.set("ip4vlan_addr_", kVlanBoxAddress, 2);
    params_.set("tcp_maxseg", "1000");
    Connection* portVlan = createTcpServer(nullptr, 9300, &iface_, 2);
    ASSERT_NE(portVlan, nullptr);
    EXPECT_EQ(boundDevice(portVlan->fd), "eth0.7");
    EXPECT_STREQ(portVlan->local.text(), kVlanBoxAddress) << "a port VLAN listens on its own address";
    EXPECT_EQ(get_maxseg(portVlan->fd), 1000);
    portVlan->closeSession();

    params_.set("ip4vlan_id_", "9", 2);
    EXPECT_EQ(createTcpServer(nullptr, 9300, &iface_, 2), nullptr) << "eth0.9 does not exist";
}

TEST_F(ConnectionNet, ListenerOnAVlanDeviceAcceptsOnlyThere)
{
    params_.set("ip4vlan_mgmt", "on");
    params_.set("ip4vlan_mgmt_id", std::to_string(kVlanId));
    Connection* listener = createTcpServer(nullptr, 9301, &iface_, 5);
    ASSERT_NE(listener, nullptr);

    int wrongWay = peerConnect(kBoxAddress, 9301);
    EXPECT_EQ(wrongWay, -ECONNREFUSED) << "reached through eth0, not the VLAN device";
    if (wrongWay >= 0)
        close(wrongWay);

    int client = peerConnect(kVlanBoxAddress, 9301);
    ASSERT_GE(client, 0) << strerror(-client);
    Connection* accepted = listener->acceptNew(false);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(accepted->state, kConnConnected);
    EXPECT_STREQ(accepted->peer.text(), kVlanPeerAddress);
    EXPECT_STREQ(accepted->local.text(), kVlanBoxAddress);
    EXPECT_EQ(accepted->vlanId, kVlanId);

    ASSERT_EQ(write(client, "ping", 4), 4);
    char reply[8];
    ASSERT_EQ(accepted->receiveBytes(reply, sizeof reply, 300), 4);
    EXPECT_EQ(std::string(reply, 4), "ping");
    close(client);
    accepted->closeSession();
    listener->closeSession();
}

TEST_F(ConnectionNet, DualStackListenerReportsIpv4PeersAsIpv4)
{
    netns::must("ip addr add fd42:b0c5::2/64 dev eth0 nodad");
    peer_.must("ip addr add fd42:b0c5::1/64 dev veth0 nodad");
    Connection* listener = createTcpServer(nullptr, 9302, &iface_, 0);
    ASSERT_NE(listener, nullptr);
    ASSERT_EQ(listener->family, AF_INET6);

    int v4 = peerConnect(kBoxAddress, 9302);
    ASSERT_GE(v4, 0) << strerror(-v4);
    Connection* a = listener->acceptNew(false);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->family, AF_INET);
    EXPECT_EQ(a->peer.family(), AF_INET);
    EXPECT_STREQ(a->peer.text(), kPeerAddress);
    EXPECT_STREQ(a->local.text(), kBoxAddress);
    a->closeSession();
    close(v4);

    int v6 = peer_.socket(AF_INET6, SOCK_STREAM);
    ASSERT_GE(v6, 0);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(9302);
    inet_pton(AF_INET6, "fd42:b0c5::2", &to.sin6_addr);
    ASSERT_EQ(connect(v6, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << strerror(errno);
    Connection* b = listener->acceptNew(false);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->family, AF_INET6);
    EXPECT_STREQ(b->peer.text(), "fd42:b0c5::1");
    b->closeSession();
    close(v6);
    listener->closeSession();
}

TEST_F(ConnectionNet, AcceptWaitServesMessagesAndEndsOnANetworkChange)
{
    std::atomic<int> handled{0};
    std::promise<bool> listening;
    std::promise<bool> firstWasNull;
    std::promise<std::string> secondPeer;
    auto* task = new FnTask(
        [&](FnTask& self) {
            Connection* l = createTcpServer(&self, 9303, &iface_, 0);
            listening.set_value(l != nullptr);
            if (!l)
                return;
            Connection* a = l->acceptNew(false);
            firstWasNull.set_value(a == nullptr);
            if (a)
                a->closeSession();
            Connection* b = l->acceptNew(false);
            secondPeer.set_value(b ? b->peer.str() : "null");
            if (b)
                b->closeSession();
            l->closeSession();
        },
        [&](FnTask&, TaskMessage* m) -> uint32_t {
            if (m->code & MSG_NOTIFY_EVENT) {
                ++handled;
                return m->code & ~MSG_NOTIFY_EVENT;
            }
            return m->code;
        },
        "acceptor");
    ASSERT_GT(task->start(20480, 0), 0);
    ASSERT_TRUE(listening.get_future().get());
    auto first = firstWasNull.get_future();

    TaskMessage event{0, MSG_NOTIFY_EVENT, 0, 0};
    ASSERT_EQ(task->post(&event), 0);
    ASSERT_TRUE(eventually([&] { return handled.load() == 1; }));
    EXPECT_EQ(first.wait_for(200ms), std::future_status::timeout) << "a handled message does not end the wait";

    TaskMessage change{0, MSG_NETWORK_CHANGED, 0, 0};
    ASSERT_EQ(task->post(&change), 0);
    // The accept waits without limit: any end within a generous bound is
    // the network change's doing, however slowly this machine runs.
    ASSERT_EQ(first.wait_for(10s), std::future_status::ready) << "a network change ends the wait";
    EXPECT_TRUE(first.get());

    int client = peerConnect(kBoxAddress, 9303);
    ASSERT_GE(client, 0) << strerror(-client);
    auto second = secondPeer.get_future();
    ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(second.get(), kPeerAddress);
    close(client);
}

TEST_F(ConnectionNet, ConnectWaitsForTheHandshakeWithinItsTimeOut)
{
    int server = peer_.socket(AF_INET, SOCK_STREAM);
    ASSERT_GE(server, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(9304);
    inet_pton(AF_INET, kPeerAddress, &at.sin_addr);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(server, 4), 0);

    Connection c(nullptr, &iface_, -1);
    ASSERT_EQ(c.open(AF_INET, SOCK_STREAM, 0), 1);
    ASSERT_EQ(c.setNonBlocking(), 1);
    c.peer = SockAddr::parse(kPeerAddress);
    c.peer.in4.sin_port = htons(9304);
    ASSERT_EQ(c.connect(0), 1) << "time-out 0 waits until the connection is made";
    EXPECT_EQ(c.state, kConnConnected);
    EXPECT_EQ(c.connect(0), 1) << "an established connection counts as connected, not as a retry";

    Connection refused(nullptr, &iface_, -1);
    ASSERT_EQ(refused.open(AF_INET, SOCK_STREAM, 0), 1);
    refused.setNonBlocking();
    refused.peer = SockAddr::parse(kPeerAddress);
    refused.peer.in4.sin_port = htons(9305);
    EXPECT_EQ(refused.connect(100), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(refused.state, kConnClosed);
    close(server);
}

TEST_F(ConnectionNet, ConnectToABlackHoleGivesUpAfterItsTimeOutWithoutBurningTheProcessor)
{
    peer_.must("iptables-legacy -A INPUT -p tcp --dport 9306 -j DROP");
    // The connect alone is timed, on its own thread: starting the thread and
    // making the socket are no part of its time-out, and a loaded machine
    // may take long for them.
    struct Outcome {
        int result;
        double seconds;
        double cpu;
    };
    std::promise<Outcome> outcome;
    std::thread t([&] {
        Connection c(nullptr, &iface_, -1);
        c.open(AF_INET, SOCK_STREAM, 0);
        c.setNonBlocking();
        c.peer = SockAddr::parse(kPeerAddress);
        c.peer.in4.sin_port = htons(9306);
        const double cpuBefore = threadCpuSeconds(pthread_self());
        const auto start = std::chrono::steady_clock::now();
        const int result = c.connect(100);
        outcome.set_value({result, secondsSince(start), threadCpuSeconds(pthread_self()) - cpuBefore});
    });
    auto done = outcome.get_future();
    ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
    const Outcome o = done.get();
    EXPECT_EQ(o.result, 0);
    EXPECT_GE(o.seconds, 0.95);
    EXPECT_LT(o.seconds, 5.0) << "the connect gives up after its own time-out, not the kernel's";
    EXPECT_LT(o.cpu, 0.2) << "the connect waits, it does not retry in a loop";
    t.join();
}

TEST_F(ConnectionNet, DatagramFillingTheWholeFreeSpaceIsDropped)
{
    Connection rx(nullptr, &iface_, -1);
    ASSERT_EQ(rx.open(AF_INET, SOCK_DGRAM, 0), 1);
    ASSERT_EQ(rx.bindDatagram(9307, false, false, true), 1);

    int tx = peer_.socket(AF_INET, SOCK_DGRAM);
    ASSERT_GE(tx, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9307);
    inet_pton(AF_INET, kBoxAddress, &to.sin_addr);
    std::string big(kDatagramBlockSize, 'x');

    ByteBuffer buffer;
    ASSERT_EQ(sendto(tx, big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(big.size()));
    EXPECT_EQ(rx.receive(&buffer, 300), -1) << "as large as the free space: maybe cut, dropped";

    ASSERT_EQ(sendto(tx, big.data(), big.size() - 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(big.size() - 1));
    EXPECT_EQ(rx.receive(&buffer, 300), kDatagramBlockSize - 1);
    EXPECT_EQ(buffer.length, kDatagramBlockSize - 1);
    EXPECT_STREQ(rx.peer.text(), kPeerAddress);

    // The answer goes back to the sender through the same socket.
    ASSERT_EQ(rx.sendAll("pong", 4, false), 4);
    char answer[8] = {};
    pollfd p{tx, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    EXPECT_EQ(recv(tx, answer, sizeof answer, 0), 4);
    EXPECT_STREQ(answer, "pong");

    EXPECT_EQ(rx.receive(&buffer, 5), -1) << "nothing more: time-out";
    close(tx);
}

TEST_F(ConnectionNet, Ipv6DatagramSendersKeepTheirWholeAddress)
{
    netns::must("ip addr add fd42:b0c5::2/64 dev eth0 nodad");
    peer_.must("ip addr add fd42:b0c5::1/64 dev veth0 nodad");
    Connection rx(nullptr, &iface_, -1);
    ASSERT_EQ(rx.open(AF_INET6, SOCK_DGRAM, 0), 1);
    ASSERT_EQ(rx.family, AF_INET6);
    ASSERT_EQ(rx.bind(9308, true, 0), 1);

    int tx = peer_.socket(AF_INET6, SOCK_DGRAM);
    ASSERT_GE(tx, 0);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(9308);
    inet_pton(AF_INET6, "fd42:b0c5::2", &to.sin6_addr);
    ASSERT_EQ(sendto(tx, "v6", 2, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 2);
    ByteBuffer buffer;
    ASSERT_EQ(rx.receive(&buffer, 300), 2);
    EXPECT_STREQ(rx.peer.text(), "fd42:b0c5::1");
    EXPECT_EQ(rx.sendAll("ok", 2, false), 2) << "an IPv6 peer takes the whole address length";
    char answer[4] = {};
    pollfd p{tx, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    EXPECT_EQ(recv(tx, answer, sizeof answer, 0), 2);
    close(tx);
}

TEST_F(ConnectionNet, PacketSocketSendsFramesOnTheInterface)
{
    int sniffer = peer_.socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
    ASSERT_GE(sniffer, 0);
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_IP);
    at.sll_ifindex = static_cast<int>(peerIndexIn(peer_, "veth0"));
    ASSERT_GT(at.sll_ifindex, 0);
    ASSERT_EQ(bind(sniffer, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);

    Connection c(nullptr, &iface_, -1);
    ASSERT_EQ(c.open(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP)), 1);
    const int index = c.interfaceIndex();
    EXPECT_EQ(index, static_cast<int>(if_nametoindex("eth0")));
    const uint8_t broadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    ASSERT_EQ(c.bindPacket(index, broadcast), 1);
    const char payload[] = "a frame of the DHCP client, more or less";
    EXPECT_EQ(c.sendPacket(payload, sizeof payload, false), static_cast<int>(sizeof payload));

    char got[128] = {};
    pollfd p{sniffer, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    EXPECT_EQ(recv(sniffer, got, sizeof got, 0), static_cast<ssize_t>(sizeof payload));
    EXPECT_STREQ(got, payload);
    close(sniffer);

    Connection noInterface(nullptr, nullptr, -1);
    EXPECT_EQ(noInterface.interfaceIndex(), 0);
}

TEST_F(ConnectionNet, ManagementBindingFollowsTheManagementVlan)
{
    NetInterface* before = currentInterface();
    setCurrentInterface(&iface_);
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    params_.set("ip4vlan_mgmt", "off");
    EXPECT_EQ(force2face(s), 0);
    EXPECT_EQ(boundDevice(s), "eth0");
    params_.set("ip4vlan_mgmt", "on");
    params_.set("ip4vlan_mgmt_id", std::to_string(kVlanId));
    EXPECT_EQ(force2face(s), 0);
    EXPECT_EQ(boundDevice(s), "eth0.7");
    params_.set("ip4vlan_mgmt_id", "9");
    EXPECT_EQ(force2face(s), -1) << "eth0.9 does not exist";
    EXPECT_EQ(force2face(0), 0);
    EXPECT_EQ(force2face(-1), 0);
    close(s);
    setCurrentInterface(before);
}

// --- unix datagram sockets and socket options -------------------------------

TEST(UnixDatagram, GeneratedNamesLiveUnderTheRootAndGoWithTheSocket)
{
    TempBoxRoot root;
    root.writeFile("/var/.keep", "");
    Connection a(nullptr, nullptr, -1);
    Connection b(nullptr, nullptr, -1);
    ASSERT_EQ(a.openUnixDgram(nullptr), 1);
    ASSERT_EQ(b.openUnixDgram(nullptr), 1);
    EXPECT_EQ(a.family, AF_UNIX);
    EXPECT_EQ(a.type, SOCK_DGRAM);

    sockaddr_un nameA{}, nameB{};
    socklen_t length = sizeof nameA;
    ASSERT_EQ(getsockname(a.fd, reinterpret_cast<sockaddr*>(&nameA), &length), 0);
    length = sizeof nameB;
    ASSERT_EQ(getsockname(b.fd, reinterpret_cast<sockaddr*>(&nameB), &length), 0);
    const std::string prefix = root.dir() + "/var/unixsock_" + std::to_string(getpid()) + "-";
    const std::string pathA = nameA.sun_path, pathB = nameB.sun_path;
    ASSERT_EQ(pathA.rfind(prefix, 0), 0u) << pathA;
    ASSERT_EQ(pathB.rfind(prefix, 0), 0u) << pathB;
    EXPECT_EQ(std::stoi(pathB.substr(prefix.size())), std::stoi(pathA.substr(prefix.size())) + 1);

    ASSERT_EQ(a.connectUnix(pathB.c_str()), 1);
    EXPECT_EQ(a.state, kConnConnected);
    EXPECT_EQ(a.sendAll("hi", 2, false), 2);
    ByteBuffer buffer;
    EXPECT_EQ(b.receive(&buffer, 100), 2);

    struct stat st {};
    EXPECT_EQ(stat(pathA.c_str(), &st), 0);
    a.close();
    EXPECT_NE(stat(pathA.c_str(), &st), 0) << "a generated name goes with its socket";
}

TEST(UnixDatagram, OnlyAStaleSocketFileIsRemovedByAFailedConnect)
{
    TempBoxRoot root;
    root.writeFile("/var/.keep", "");
    const std::string stale = root.dir() + "/var/stale.sock";
    const std::string given = root.dir() + "/var/given.sock";
    {
        Connection gone(nullptr, nullptr, -1);
        ASSERT_EQ(gone.openUnixDgram(stale.c_str()), 1);
    }
    struct stat st {};
    ASSERT_EQ(stat(stale.c_str(), &st), 0) << "a given name stays after close";

    Connection c(nullptr, nullptr, -1);
    ASSERT_EQ(c.openUnixDgram(nullptr), 1);
    EXPECT_EQ(c.connectUnix(stale.c_str()), 0);
    EXPECT_NE(stat(stale.c_str(), &st), 0) << "nobody listens there: the file is stale";

    Connection live(nullptr, nullptr, -1);
    ASSERT_EQ(live.openUnixDgram(given.c_str()), 1);
    Connection again(nullptr, nullptr, -1);
    ASSERT_EQ(again.openUnixDgram(given.c_str()), 1) << "a name in use is taken back once";

    EXPECT_EQ(c.connectUnix((root.dir() + "/var/missing.sock").c_str()), 0);
    EXPECT_EQ(c.connectUnix(std::string(106, 'p').c_str()), 0) << "too long for a socket name";
    EXPECT_EQ(c.openUnixDgram(std::string(108, 'q').c_str()), 0);
}

TEST(SocketOptions, HighDescriptorsAreReportedAndStillServed)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    ASSERT_EQ(dup2(s, 300), 300);
    testing::internal::CaptureStderr();
    EXPECT_EQ(set_nagleon(300), 1);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "connection set_nagleon 292 fd:300!!\n");
    int value = 0;
    socklen_t length = sizeof value;
    ASSERT_EQ(getsockopt(300, IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
    EXPECT_EQ(value, 1);

    testing::internal::CaptureStderr();
    EXPECT_EQ(set_nagleon(s), 1);
    EXPECT_EQ(get_maxseg(-1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "connection get_maxseg 242 fd:-1!!\n")
        << "a negative descriptor counts as a high one";
    close(300);
    close(s);
}

} // namespace
