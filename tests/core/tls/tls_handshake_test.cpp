// The TLS layer against the openssl command on the loopback device of a
// private network namespace: the box's server against s_client for every
// version, the box's client against s_server, and a listener that keeps
// accepting while silent clients hold their own session tasks.
#include "core/tls/tls_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "core/util/byte_buffer.h"
#include "core/tls/tls_context.h"
#include "core/tls/tls_info.h"
#include "support/fn_task.h"
#include "support/param_override.h"
#include "support/private_netns.h"
#include "support/temp_box_root.h"
#include "support/tls_test_support.h"
#include "support/missing_requirement.h"

namespace {

using namespace std::chrono_literals;
using FnTask = FnTaskOf<Task>;

constexpr int kPort = 9443;

// What one session of the test server saw.
struct SessionRecord {
    int handshake = -1;  // -1 while it runs
    std::string received;
    std::string protocol;
    std::string description;
};

// A TLS listener served the way the box serves one: an accepting task that
// never handshakes, and one task per connection that makes itself the
// owner, runs the handshake, answers one line ("echo:" and the line) and
// closes the connection.
class TlsEchoServer {
public:
    explicit TlsEchoServer(int port)
    {
        auto* acceptor = new FnTask([this, port](FnTask& self) { acceptLoop(self, port); },
                                    [](FnTask&, TaskMessage* m) { return m->code; }, "TlsAcceptor");
        acceptorId_ = acceptor->start(20480, 0);
        started_ = acceptorId_ > 0;
    }
    ~TlsEchoServer() { stop(); }
    TlsEchoServer(const TlsEchoServer&) = delete;
    TlsEchoServer& operator=(const TlsEchoServer&) = delete;

    bool listening() { return started_ && listening_.get_future().get(); }

    void stop()
    {
        if (!started_ || stopping_.exchange(true))
            return;
        // Through the registry: the acceptor ends on this message, and the
        // registry lock keeps it alive until the post is complete.
        TaskMessage change{0, MSG_NETWORK_CHANGED, 0, 0};
        postToTaskId(acceptorId_, &change);
        eventually([this] { return acceptorDone_.load() && liveSessions_.load() == 0; }, 30s);
    }

    std::vector<SessionRecord> sessions()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return sessions_;
    }
    int finishedHandshakes(int result)
    {
        int count = 0;
        for (const SessionRecord& r : sessions())
            count += r.handshake == result ? 1 : 0;
        return count;
    }
    int sessionCount() { return static_cast<int>(sessions().size()); }

private:
    void acceptLoop(FnTask& self, int port)
    {
        Connection* listener = newServerConnection(&self, nullptr, -1);
        bool ok = listener->open(AF_INET, SOCK_STREAM, 0) && listener->bind(port, true, 0)
                  && listener->listen(8);
        listening_.set_value(ok);
        while (ok && !stopping_.load()) {
            Connection* c = listener->acceptNew(false);
            if (c)
                startSession(c);
        }
        listener->closeSession();
        acceptorDone_ = true;
    }

    void startSession(Connection* c)
    {
        size_t index;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            index = sessions_.size();
            sessions_.emplace_back();
        }
        ++liveSessions_;
        auto* session = new FnTask([this, c, index](FnTask& self) { serve(self, c, index); }, nullptr, "TlsSession");
        if (session->start(20480, 0) <= 0) {
            c->closeSession();
            --liveSessions_;
        }
    }

    void serve(FnTask& self, Connection* c, size_t index)
    {
        c->owner = &self;
        const int handshake = runServerHandshake(c);
        SessionRecord record;
        record.handshake = handshake;
        if (handshake) {
            ByteBuffer line;
            int n = c->receiveBuffer(&line, 500);
            if (n > 0) {
                record.received.assign(static_cast<const char*>(line.memory), static_cast<size_t>(n));
                const std::string reply = "echo:" + record.received;
                c->send(reply.data(), static_cast<int>(reply.size()), 500, false);
            }
            record.protocol = tlsProtocolName(c);
            char text[140];
            if (describeTls(c, text, sizeof text))
                record.description = text;
        }
        c->closeSession();
        {
            std::lock_guard<std::mutex> hold(mutex_);
            sessions_[index] = record;
        }
        --liveSessions_;
    }

    int acceptorId_ = -1;
    bool started_ = false;
    std::promise<bool> listening_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> acceptorDone_{false};
    std::atomic<int> liveSessions_{0};
    std::mutex mutex_;
    std::vector<SessionRecord> sessions_;
};

class TlsLoopback : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!netns::enterFresh())
            SKIP_UNLESS_CI("no private network namespace (needs root)");
        netns::must("ip link set lo up");
        ASSERT_TRUE(root_.ok());
        ASSERT_TRUE(tlstest::KeyMaterial::get().ok()) << "openssl could not make the test keys";
        tlstest::installPair(root_, kTlsPairSelfSigned, "self", "self");
        params_.set("sslmethod", "any");
        params_.set("security", "4");
        tlsInitOnce(0);
        tasksBefore_ = countRegisteredTasks();
    }

    void TearDown() override
    {
        for (int fd : clients_)
            close(fd);
        server_.reset();
        if (tasksBefore_ >= 0) {
            eventually([this] { return countRegisteredTasks() <= tasksBefore_; }, 10s);
            EXPECT_EQ(countRegisteredTasks(), tasksBefore_) << "a task of the test is still running";
        }
    }

    TlsEchoServer& server()
    {
        if (!server_) {
            server_ = std::make_unique<TlsEchoServer>(kPort);
            EXPECT_TRUE(server_->listening());
        }
        return *server_;
    }

    // openssl s_client sends "ping" and prints what it gets back.
    static std::string sClient(const std::string& versionOption)
    {
        return netns::out("printf 'ping\\n' | timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(kPort)
                          + " " + versionOption + " " + tlstest::kOldClientOptions + " -ign_eof");
    }

    // The word after label in s_client's output, "" when it is missing.
    static std::string wordAfter(const std::string& output, const std::string& label)
    {
        const size_t at = output.find(label);
        if (at == std::string::npos)
            return "";
        const size_t start = at + label.size();
        return output.substr(start, output.find_first_of(" \r\n", start) - start);
    }

    // s_client's account of the session: "<protocol> <cipher>".
    static std::string negotiated(const std::string& output)
    {
        const std::string protocol = wordAfter(output, "Protocol  : ");
        const std::string cipher = wordAfter(output, "Cipher    : ");
        return protocol.empty() || cipher.empty() ? "" : protocol + " " + cipher;
    }

    // A plain TCP client that says nothing (or what it is given).
    int rawClient(const std::string& say = "")
    {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kPort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << strerror(errno);
        if (!say.empty()) {
            EXPECT_EQ(write(s, say.data(), say.size()), static_cast<ssize_t>(say.size()));
        }
        clients_.push_back(s);
        return s;
    }

    // Whether the server ended the connection (end of stream, after any
    // alert) within limitMs.
    static bool closedByServer(int fd, int limitMs = 5000)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char chunk[256];
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return true;
        }
    }

    TempBoxRoot root_;
    ParamOverride params_;
    std::unique_ptr<TlsEchoServer> server_;
    std::vector<int> clients_;
    int tasksBefore_ = -1;
};

TEST_F(TlsLoopback, MethodParameterDecidesWhichVersionsHandshake)
{
    struct Client {
        const char* option;
        const char* method;   // the one `sslmethod` that fixes this version
        const char* record;   // the record protocol the box reports
        const char* library;  // how s_client names the version
    } clients[] = {
        {"-tls1", "tls10", "TLSv1.0", "TLSv1"},
        {"-tls1_1", "tls11", "TLSv1.1", "TLSv1.1"},
        {"-tls1_2", "tls12", "TLSv1.2", "TLSv1.2"},
    };
    for (const char* method : {"any", "tls10", "tls11", "tls12"}) {
        ParamOverride choice;
        choice.set("sslmethod", method);
        for (const Client& c : clients) {
            const int before = server().sessionCount();
            const std::string out = sClient(c.option);
            const bool wanted = std::string(method) == "any" || std::string(method) == c.method;
            ASSERT_TRUE(eventually([&] { return server().sessionCount() == before + 1
                                                && server().sessions().back().handshake >= 0; }));
            const SessionRecord r = server().sessions().back();
            EXPECT_EQ(r.handshake, wanted ? 1 : 0) << method << " " << c.option << "\n" << out;
            if (!wanted) {
                EXPECT_EQ(out.find("echo:ping"), std::string::npos) << method << " " << c.option;
                continue;
            }
            EXPECT_NE(out.find("echo:ping"), std::string::npos) << method << " " << c.option << "\n" << out;
            EXPECT_EQ(r.received, "ping\n");
            EXPECT_EQ(r.protocol, c.record) << method << " " << c.option;
            const std::string seen = negotiated(out);
            ASSERT_FALSE(seen.empty()) << out;
            EXPECT_EQ(seen.substr(0, seen.find(' ')), c.library);
            const std::string cipher = seen.substr(seen.find(' ') + 1);
            EXPECT_EQ(r.description.rfind(std::string(c.record) + " " + cipher + " ", 0), 0u) << r.description;
        }
    }
}

TEST_F(TlsLoopback, TlsOneThreeAndSslThreeAreRefused)
{
    server();
    const std::string out = sClient("-tls1_3");
    EXPECT_EQ(out.find("echo:ping"), std::string::npos) << out;
    ASSERT_TRUE(eventually([&] { return server().finishedHandshakes(0) == 1; }));

    // This openssl has no SSL 3 any more: the hello of an SSL 3 client,
    // offering AES128-SHA and DES-CBC3-SHA, written by hand.
    std::vector<unsigned char> hello = {0x16, 0x03, 0x00, 0x00, 0x2f, 0x01, 0x00, 0x00, 0x2b, 0x03, 0x00};
    for (int i = 0; i < 32; ++i)
        hello.push_back(static_cast<unsigned char>(i * 7));
    const unsigned char tail[] = {0x00, 0x00, 0x04, 0x00, 0x2f, 0x00, 0x0a, 0x01, 0x00};
    hello.insert(hello.end(), tail, tail + sizeof tail);
    ASSERT_EQ(hello.size(), 5u + 0x2f);
    int s = rawClient(std::string(hello.begin(), hello.end()));
    unsigned char answer[8] = {};
    pollfd p{s, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    ssize_t n = recv(s, answer, sizeof answer, 0);
    EXPECT_TRUE(n == 0 || (n > 0 && answer[0] == 0x15)) << "no server hello: an alert or the end, got type " << int(answer[0]);
    ASSERT_TRUE(eventually([&] { return server().finishedHandshakes(0) == 2; }));
    EXPECT_TRUE(closedByServer(s));
}

TEST_F(TlsLoopback, SilentClientsHoldOnlyTheirOwnSessionTasks)
{
    tlstest::ManualClock clock(1000);
    server();
    int silent[3];
    for (int& s : silent)
        s = rawClient();
    int garbage = rawClient("GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(eventually([&] { return server().sessionCount() == 4; }));
    // Garbage fails at once, without the clock moving.
    ASSERT_TRUE(eventually([&] { return server().finishedHandshakes(0) == 1; }));
    EXPECT_TRUE(closedByServer(garbage));

    const std::string out = sClient("-tls1_2");
    EXPECT_NE(out.find("echo:ping"), std::string::npos) << "accepting went on\n" << out;
    // The session records its outcome after it has closed the connection,
    // which is what ends s_client: wait for the record itself.
    EXPECT_TRUE(eventually([&] { return server().finishedHandshakes(1) == 1; }));
    EXPECT_EQ(server().finishedHandshakes(-1), 3) << "the silent clients are still waited for";

    // Each silent session counts from the time its own thread read the
    // clock, and a loaded machine may have run one of them only now: move
    // the clock past the limit again while any of them still waits.
    ASSERT_TRUE(eventually([&] {
        clock.set(clock.get() + kTlsHandshakeTicks + 1);
        return server().finishedHandshakes(0) == 4;
    }));
    for (int s : silent)
        EXPECT_TRUE(closedByServer(s));
}

TEST_F(TlsLoopback, ImportedPairIsServedUntilOneOfItsFilesGoes)
{
    tlstest::installPair(root_, kTlsPairImported, "imported", "imported");
    server();
    std::string out = sClient("-tls1_2");
    EXPECT_NE(out.find("subject=CN = wev-imported"), std::string::npos) << out;
    EXPECT_NE(out.find("Server public key is 2048 bit"), std::string::npos) << out;

    std::filesystem::remove(root_.dir() + "/flash/cert_fpkey.pem");
    out = sClient("-tls1_2");
    EXPECT_NE(out.find("subject=CN = wev-self"), std::string::npos) << out;
    EXPECT_NE(out.find("Server public key is 1024 bit"), std::string::npos) << "the box's 1024-bit key is served\n" << out;
    EXPECT_NE(out.find("echo:ping"), std::string::npos) << out;
}

// The box's client against openssl s_server, which answers each line
// reversed.
class TlsClientLoopback : public TlsLoopback {
protected:
    std::unique_ptr<tlstest::BackgroundProcess> sServer(const std::string& versionOption)
    {
        const tlstest::KeyMaterial& keys = tlstest::KeyMaterial::get();
        auto p = std::make_unique<tlstest::BackgroundProcess>(
            "exec openssl s_server -accept " + std::to_string(kPort) + " -naccept 1 -rev " + versionOption + " "
            + tlstest::kOldClientOptions + " -cert " + keys.cert("other") + " -key " + keys.key("other"));
        EXPECT_TRUE(p->waitFor("ACCEPT")) << p->output();
        return p;
    }

    TlsConnection* connectClient(int* handshake)
    {
        auto* c = new TlsConnection(nullptr, nullptr, -1);
        c->open(AF_INET, SOCK_STREAM, 0);
        c->peer.setIpv4Bytes(127, 0, 0, 1);
        c->peer.in4.sin_port = htons(kPort);
        c->setNonBlocking();
        *handshake = c->connectWithTls(500, true);
        return c;
    }
};

TEST_F(TlsClientLoopback, ClientTalksToEveryVersionTheMethodAllows)
{
    struct Case {
        const char* method;
        const char* server;
        const char* record;  // "" when the handshake must fail
    } cases[] = {
        {"any", "-tls1", "TLSv1.0"},
        {"any", "-tls1_1", "TLSv1.1"},
        {"any", "-tls1_2", "TLSv1.2"},
        {"tls12", "-tls1", ""},
        {"tls10", "-tls1_2", ""},
        {"tls11", "-tls1_1", "TLSv1.1"},
    };
    for (const Case& k : cases) {
        ParamOverride choice;
        choice.set("sslmethod", k.method);
        auto server = sServer(k.server);
        int handshake = 0;
        TlsConnection* c = connectClient(&handshake);
        const bool wanted = k.record[0] != '\0';
        EXPECT_EQ(handshake, wanted ? 1 : 0) << k.method << " against " << k.server;
        if (wanted) {
            EXPECT_EQ(c->lastTlsResult(), 1);
            EXPECT_EQ(tlstest::commonName(SSL_get0_peer_certificate(c->session())), "wev-other");
            ASSERT_EQ(c->send("hello\n", 6, 500, false), 6);
            std::string got;
            char chunk[64];
            while (got.find('\n') == std::string::npos) {
                int n = c->receiveBytes(chunk, sizeof chunk, 500);
                if (n <= 0)
                    break;
                got.append(chunk, static_cast<size_t>(n));
            }
            EXPECT_EQ(got, "olleh\n") << k.method << " against " << k.server;
            EXPECT_STREQ(tlsProtocolName(c), k.record);
            char text[140];
            EXPECT_EQ(describeTls(c, text, sizeof text), 1);
            EXPECT_EQ(std::string(text).rfind(std::string(k.record) + " ", 0), 0u) << text;
        } else {
            EXPECT_FALSE(hasTlsSession(c));
        }
        c->closeSession();
    }
}

TEST_F(TlsClientLoopback, ClientNeedsAKeyPairOfItsOwn)
{
    std::filesystem::remove(root_.dir() + "/flash/cert_pkey.pem");
    auto server = sServer("-tls1_2");
    int handshake = 1;
    TlsConnection* c = connectClient(&handshake);
    EXPECT_EQ(handshake, 0);
    EXPECT_FALSE(hasTlsSession(c));
    c->closeSession();
}

}  // namespace
