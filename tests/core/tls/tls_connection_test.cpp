#include "core/tls/tls_connection.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <future>
#include <string>
#include <thread>

#include "core/util/byte_buffer.h"
#include "core/tls/tls_context.h"
#include "core/tls/tls_info.h"
#include "support/fn_task.h"
#include "support/param_override.h"
#include "support/sigpipe_probe.h"
#include "support/temp_box_root.h"
#include "support/tls_test_support.h"

namespace {

using namespace std::chrono_literals;
using FnTask = FnTaskOf<Task>;

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A TLS connection of the box on one end of a local stream socket pair; the
// test's OpenSSL client (or raw bytes) on the other.
class TlsPair : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root_.ok());
        ASSERT_TRUE(tlstest::KeyMaterial::get().ok()) << "openssl could not make the test keys";
        tlstest::installPair(root_, kTlsPairSelfSigned, "self", "self");
        params_.set("sslmethod", "any");
        params_.set("security", "4");
        tlsInitOnce(0);
        reconnect();
    }

    void TearDown() override { dropAll(); }

    void dropAll()
    {
        if (client_)
            SSL_free(client_);
        client_ = nullptr;
        if (clientCtx_)
            SSL_CTX_free(clientCtx_);
        clientCtx_ = nullptr;
        if (conn_)
            conn_->closeSession();
        conn_ = nullptr;
        if (other_ >= 0)
            close(other_);
        other_ = -1;
    }

    // A fresh socket pair: conn_ on one end, other_ on the other.
    void reconnect()
    {
        dropAll();
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        // The far end never blocks a test for long.
        timeval limit{5, 0};
        setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fds[1], SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        conn_ = new TlsConnection(nullptr, nullptr, -1);
        conn_->fd = fds[0];
        conn_->family = AF_UNIX;
        conn_->type = SOCK_STREAM;
        conn_->state = kConnConnected;
        other_ = fds[1];
    }

    // The box's server handshake against the test's client; true when both
    // sides completed it.
    bool handshake(int version = 0, const char* ciphers = nullptr)
    {
        auto clientSide = startClient(version, ciphers);
        const int server = runServerHandshake(conn_);
        const int client = clientSide.get();
        return server == 1 && client == 1;
    }

    // The test's client handshake on other_, on a thread of its own.
    std::future<int> startClient(int version = 0, const char* ciphers = nullptr)
    {
        clientCtx_ = tlstest::clientContext(version, ciphers);
        client_ = SSL_new(clientCtx_);
        SSL_set_fd(client_, other_);
        return std::async(std::launch::async, [this] { return SSL_connect(client_); });
    }

    std::string clientRead()
    {
        char text[8192];
        int n = SSL_read(client_, text, sizeof text);
        return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
    }

    TempBoxRoot root_;
    ParamOverride params_;
    TlsConnection* conn_ = nullptr;
    int other_ = -1;
    SSL_CTX* clientCtx_ = nullptr;
    SSL* client_ = nullptr;
};

TEST_F(TlsPair, DataCrossesTheSessionAndTheRecordProtocolIsNamed)
{
    struct Case {
        int version;
        const char* name;
    } cases[] = {
        {TLS1_VERSION, "TLSv1.0"},
        {TLS1_1_VERSION, "TLSv1.1"},
        {TLS1_2_VERSION, "TLSv1.2"},
    };
    for (const Case& c : cases) {
        reconnect();
        ASSERT_TRUE(handshake(c.version)) << c.name;
        EXPECT_TRUE(hasTlsSession(conn_));
        EXPECT_STREQ(tlsProtocolName(conn_), "") << "nothing read yet";

        ASSERT_EQ(SSL_write(client_, "ping", 4), 4);
        char got[4] = {};
        ASSERT_EQ(conn_->receiveBytes(got, sizeof got, 500), 4) << c.name;
        EXPECT_EQ(std::string(got, 4), "ping");
        EXPECT_STREQ(tlsProtocolName(conn_), c.name);

        ASSERT_EQ(conn_->send("pong", 4, 500, false), 4);
        EXPECT_EQ(clientRead(), "pong") << c.name;
        EXPECT_EQ(conn_->bytesSent, 4u);
    }
}

TEST_F(TlsPair, APeerThatLeftIsAWriteErrorAndNoSignal)
{
    ASSERT_TRUE(handshake(TLS1_2_VERSION));
    SSL_free(client_);
    client_ = nullptr;
    close(other_);
    other_ = -1;
    int sent = 0;
    EXPECT_FALSE(raisesSigpipe([&] { sent = conn_->send("pong", 4, 10, false); }));
    EXPECT_LT(sent, 0);
}

TEST_F(TlsPair, DescriptionNamesProtocolAndCipherWhenTheBufferHasRoom)
{
    ASSERT_TRUE(handshake(TLS1_2_VERSION, "AES128-SHA"));
    ASSERT_EQ(SSL_write(client_, "x", 1), 1);
    char one;
    ASSERT_EQ(conn_->receiveBytes(&one, 1, 500), 1);

    char text[300];
    ASSERT_EQ(describeTls(conn_, text, sizeof text), 1);
    EXPECT_EQ(std::string(text).rfind("TLSv1.2 AES128-SHA ", 0), 0u) << text;
    EXPECT_NE(std::string(text).find("Kx=RSA"), std::string::npos) << text;

    // "TLSv1.2 " takes 8 bytes; the cipher needs more than 128 behind them.
    ASSERT_EQ(describeTls(conn_, text, 8 + 128), 1);
    EXPECT_STREQ(text, "TLSv1.2 ");
    ASSERT_EQ(describeTls(conn_, text, 8 + 129), 1);
    EXPECT_EQ(std::string(text).rfind("TLSv1.2 AES128-SHA", 0), 0u) << text;

    const auto ciphers = tlsSessionCiphers(conn_);
    ASSERT_FALSE(ciphers.empty());
    bool listed = false;
    for (const TlsCipherName& c : ciphers)
        listed = listed || std::string(c.name) == "AES128-SHA";
    EXPECT_TRUE(listed);
}

TEST(TlsInfo, PlainConnectionsHaveNothingToReport)
{
    Connection plain(nullptr, nullptr, -1);
    TlsConnection withoutSession(nullptr, nullptr, -1);
    char text[200] = "unchanged";
    const Connection* const connections[] = {nullptr, &plain, &withoutSession};
    for (const Connection* c : connections) {
        EXPECT_FALSE(hasTlsSession(c));
        EXPECT_EQ(describeTls(c, text, sizeof text), 0);
        EXPECT_STREQ(tlsProtocolName(c), "");
        EXPECT_TRUE(tlsSessionCiphers(c).empty());
    }
    EXPECT_STREQ(text, "unchanged");
    EXPECT_EQ(std::string(tlsLibraryVersion()).rfind("OpenSSL 3", 0), 0u) << tlsLibraryVersion();
    EXPECT_EQ(runServerHandshake(&plain), 0) << "a plain connection cannot take a session";
    EXPECT_EQ(runClientHandshake(&plain), 0);
}

TEST_F(TlsPair, DecryptedBytesWaitingInTheSessionAreReadWithoutTheSocket)
{
    ASSERT_TRUE(handshake());
    const std::string record(3000, 'r');
    ASSERT_EQ(SSL_write(client_, record.data(), static_cast<int>(record.size())), 3000);
    char head[100];
    ASSERT_EQ(conn_->receiveBytes(head, sizeof head, 500), 100);
    // The socket is empty now; the rest is inside the session.
    ByteBuffer rest;
    EXPECT_EQ(conn_->receiveBuffer(&rest, 100), 2900);
}

TEST_F(TlsPair, CloseSendsNoAlert)
{
    ASSERT_TRUE(handshake());
    ASSERT_EQ(conn_->send("bye", 3, 500, false), 3);
    EXPECT_EQ(clientRead(), "bye");
    conn_->closeSession();
    conn_ = nullptr;
    char after[64];
    EXPECT_EQ(recv(other_, after, sizeof after, 0), 0) << "only the end of the stream follows the last record";
}

TEST_F(TlsPair, NonQuietCloseSendsACloseNotify)
{
    // The session alone, so that the test can end it the other way.
    SSL* session = tlsCreateSession(true);
    ASSERT_NE(session, nullptr);
    const int fd = conn_->fd;
    conn_->fd = -1;
    SSL_set_fd(session, fd);
    clientCtx_ = tlstest::clientContext();
    client_ = SSL_new(clientCtx_);
    SSL_set_fd(client_, other_);
    auto clientSide = std::async(std::launch::async, [this] { return SSL_connect(client_); });
    ASSERT_EQ(SSL_accept(session), 1);
    ASSERT_EQ(clientSide.get(), 1);

    auto reply = std::async(std::launch::async, [this] {
        char c;
        int n = SSL_read(client_, &c, 1);
        int e = SSL_get_error(client_, n);
        // The box waits for the answer to its close-notify.
        SSL_shutdown(client_);
        return e;
    });
    tlsCloseSession(session, false);
    EXPECT_EQ(reply.get(), SSL_ERROR_ZERO_RETURN);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor is closed";
}

TEST_F(TlsPair, HalfARecordBreaksTheConnectionAtTheStallLimitInsteadOfHanging)
{
    ASSERT_TRUE(handshake(TLS1_2_VERSION));
    tlstest::ManualClock clock(5000);
    // An application-data header that promises 64 bytes, and 10 of them.
    const unsigned char partial[15] = {23, 3, 3, 0, 64, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(write(other_, partial, sizeof partial), static_cast<ssize_t>(sizeof partial));
    const int boxEnd = conn_->fd;
    auto read = std::async(std::launch::async, [this] {
        char buffer[16];
        return conn_->receiveBytes(buffer, sizeof buffer, 100);
    });
    // The limit counts from the start of the read, which takes its time from
    // the clock before it takes the bytes: the clock may move only once the
    // half record has left the socket, or a late read would count from the
    // moved clock and never reach the limit.
    EXPECT_TRUE(eventually([boxEnd] {
        int queued = -1;
        return ioctl(boxEnd, FIONREAD, &queued) == 0 && queued == 0;
    })) << "the read did not take the half record";
    EXPECT_EQ(read.wait_for(300ms), std::future_status::timeout) << "the rest may still come";
    clock.set(5000 + kSendStallTicks);
    EXPECT_EQ(read.wait_for(300ms), std::future_status::timeout) << "the limit is not passed yet";
    clock.set(5000 + kSendStallTicks + 1);
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(read.get(), kConnBroken);
    EXPECT_EQ(conn_->errorState, kConnErrorBroken);
}

TEST_F(TlsPair, ServerHandshakeOfASilentPeerEndsAfterTwentySeconds)
{
    tlstest::ManualClock clock(1000);
    auto server = std::async(std::launch::async, [this] { return runServerHandshake(conn_); });
    // The clock may move only once the handshake has taken its start time
    // from it: a late start would count from the moved clock.
    EXPECT_TRUE(eventually([&] { return clock.readCount() > 0; })) << "the handshake never read the clock";
    EXPECT_EQ(server.wait_for(300ms), std::future_status::timeout);
    clock.set(1000 + kTlsHandshakeTicks);
    EXPECT_EQ(server.wait_for(300ms), std::future_status::timeout) << "exactly 20 s is still allowed";
    clock.set(1000 + kTlsHandshakeTicks + 1);
    ASSERT_EQ(server.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(server.get(), 0);
    EXPECT_FALSE(hasTlsSession(conn_));
    EXPECT_GE(conn_->fd, 0) << "the connection stays for its owner to close";
}

TEST_F(TlsPair, GarbageEndsTheServerHandshakeAtOnce)
{
    tlstest::ManualClock clock(1000);  // frozen: only the bytes can end it
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(write(other_, request, sizeof request - 1), static_cast<ssize_t>(sizeof request - 1));
    auto server = std::async(std::launch::async, [this] { return runServerHandshake(conn_); });
    ASSERT_EQ(server.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(server.get(), 0);
}

TEST_F(TlsPair, ClientHandshakeWithAStalledServerWaitsQuietlyAndGivesUp)
{
    tlstest::ManualClock clock(1000);
    std::atomic<double> cpu{-1};
    auto client = std::async(std::launch::async, [&] {
        const double before = threadCpuSeconds();
        int ok = runClientHandshake(conn_);
        cpu = threadCpuSeconds() - before;
        return ok;
    });
    // The server reads the hello and then says nothing.
    char hello[512];
    EXPECT_GT(recv(other_, hello, sizeof hello, 0), 0);
    EXPECT_EQ(client.wait_for(500ms), std::future_status::timeout);
    clock.set(1000 + kTlsHandshakeTicks + 1);
    ASSERT_EQ(client.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(client.get(), 0);
    EXPECT_LT(cpu.load(), 0.2) << "the client waited for the socket instead of retrying at once";
    EXPECT_LT(conn_->lastTlsResult(), 0);
}

TEST_F(TlsPair, HandshakeOnTheSessionTaskServesItsMessages)
{
    std::atomic<int> handled{0};
    std::promise<int> result;
    TlsConnection* conn = conn_;
    auto* task = new FnTask(
        [&, conn](FnTask& self) {
            conn->owner = &self;
            result.set_value(runServerHandshake(conn));
        },
        [&](FnTask&, TaskMessage* m) -> uint32_t {
            if (m->code & MSG_NOTIFY_EVENT)
                ++handled;
            return m->code & ~MSG_NOTIFY_EVENT;
        },
        "TlsSession");
    ASSERT_GT(task->start(20480, 0), 0);
    auto done = result.get_future();
    TaskMessage event{0, MSG_NOTIFY_EVENT, 0, 0};
    ASSERT_EQ(task->post(&event), 0);
    EXPECT_TRUE(eventually([&] { return handled.load() == 1; }, 5s));
    EXPECT_EQ(done.wait_for(100ms), std::future_status::timeout) << "a message does not end the handshake";

    auto client = startClient();
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(done.get(), 1);
    EXPECT_EQ(client.get(), 1);
    EXPECT_TRUE(hasTlsSession(conn_));
    conn_->owner = nullptr;
}

}  // namespace
