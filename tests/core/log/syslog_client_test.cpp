#include "core/log/syslog_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/connection_net_fixture.h"
#include "core/params/param_handles.h"
#include "core/task/tick_clock.h"
#include "support/fn_task.h"
#include "support/missing_requirement.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr int kReceiverPort = 5140;

std::atomic<uint64_t> fakeTicks{0};
uint64_t fakeTickSource()
{
    return fakeTicks.load();
}

// "Mmm dd hh:mm:ss " as strftime("%h %e %T ") writes it.
bool looksLikeSyslogTime(const std::string& t)
{
    if (t.size() != 16)
        return false;
    const char* pattern = "Aaa _9 99:99:99 ";
    for (size_t i = 0; i < t.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(t[i]);
        switch (pattern[i]) {
        case 'A': if (!isupper(c)) return false; break;
        case 'a': if (!islower(c)) return false; break;
        case '9': if (!isdigit(c)) return false; break;
        case '_': if (c != ' ' && !isdigit(c)) return false; break;
        default: if (c != static_cast<unsigned char>(pattern[i])) return false;
        }
    }
    return true;
}

class SysLogTest : public BoxNetTest {
protected:
    void SetUp() override
    {
        BoxNetTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        useProduct(root_, "product_id=1\nusb_ports_phy=4\ndevice_types=UUUU\ndefault_name=BOX-01\n");
        params_.set(params::ip_addr(), kBoxAddress);
        params_.set(params::syslog(), "on");
        params_.set(params::syslog_ipa(), kPeerAddress);
        params_.set(params::syslog_upo(), std::to_string(kReceiverPort));
        receiver_ = peer_.socket(AF_INET, SOCK_DGRAM);
        ASSERT_GE(receiver_, 0);
        int big = 1 << 20;
        setsockopt(receiver_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(kReceiverPort);
        inet_pton(AF_INET, kPeerAddress, &at.sin_addr);
        ASSERT_EQ(bind(receiver_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        fakeTicks = 123456;
        setTickSourceForTest(fakeTickSource);
    }
    void TearDown() override
    {
        SysLog::shutdown();
        setTickSourceForTest(nullptr);
        if (receiver_ >= 0)
            close(receiver_);
        BoxNetTest::TearDown();
    }

    // The next datagram, or "" when none comes within the wait. A line that
    // must come may be written by another thread that a loaded machine runs
    // late: wait long for it. Checks that nothing comes pass a short wait.
    std::string nextLine(int waitMs = 10000)
    {
        pollfd p{receiver_, POLLIN, 0};
        if (poll(&p, 1, waitMs) != 1)
            return "";
        char data[4096];
        ssize_t n = recv(receiver_, data, sizeof data, 0);
        return n > 0 ? std::string(data, static_cast<size_t>(n)) : "";
    }

    SockAddr server() const
    {
        return SockAddr::parse(kPeerAddress);
    }

    int receiver_ = -1;
};

TEST_F(SysLogTest, NoClientWithoutASwitchAndAServer)
{
    params_.set(params::syslog_ipa(), "0.0.0.0");
    EXPECT_EQ(SysLog::start(), 0);
    EXPECT_FALSE(SysLog::isRunning());
    params_.set(params::syslog_ipa(), kPeerAddress);
    params_.set(params::syslog(), "off");
    SysLog::start();
    EXPECT_FALSE(SysLog::isRunning());
    EXPECT_EQ(nextLine(200), "");
    EXPECT_EQ(SysLog::shutdown(), 0) << "nothing to stop";
}

TEST_F(SysLogTest, StartGreetsOnceAndShutdownSaysGoodbye)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(SysLog::start(), 0);
    const std::string started = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(SysLog::isRunning()) << started;
    EXPECT_NE(started.find("SysLog initial lock task:NoTask...\n"), std::string::npos) << started;
    EXPECT_NE(started.find(std::string("Connecting SysLog -> ") + kPeerAddress + ":5140 fd:"), std::string::npos);

    const std::string hello = nextLine();
    ASSERT_GT(hello.size(), 21u);
    EXPECT_EQ(hello.substr(0, 5), "<133>");
    EXPECT_TRUE(looksLikeSyslogTime(hello.substr(5, 16))) << hello;
    EXPECT_EQ(hello.substr(21), std::string(kBoxAddress) + "                udp[ 546]:  0:   1234.56| I'm BOX-01@" +
                                    kBoxAddress + " alive...");

    testing::internal::CaptureStderr();
    EXPECT_EQ(SysLog::start(), 0);
    const std::string again = testing::internal::GetCapturedStderr();
    EXPECT_EQ(again.rfind("start is 0x", 0), 0u) << again;
    EXPECT_NE(again.find(" alreday running?!\n"), std::string::npos) << again;
    EXPECT_EQ(nextLine(200), "") << "a second start sends nothing";

    fakeTicks = 99;
    EXPECT_EQ(SysLog::shutdown(), 1);
    EXPECT_FALSE(SysLog::isRunning());
    const std::string bye = nextLine();
    ASSERT_GT(bye.size(), 21u);
    EXPECT_EQ(bye.substr(21), std::string(kBoxAddress) + "                udp[ 522]:  0:      0.99| I'm BOX-01 stopped");
}

TEST_F(SysLogTest, LinesAreCutToOneDatagramAndShowTheTask)
{
    SysLog client(&iface_);
    SockAddr to = server();
    ASSERT_EQ(client.connect(&to, kReceiverPort), 1);
    ASSERT_FALSE(nextLine().empty());
    EXPECT_EQ(client.linesSent(), 1);

    const std::string text(2000, 'a');
    const int sent = client.write(2, "longsource", 77, text.c_str());
    EXPECT_EQ(sent, SysLog::kLineSize - 1);
    const std::string line = nextLine();
    EXPECT_EQ(line.size(), static_cast<size_t>(SysLog::kLineSize - 1));
    EXPECT_EQ(line.substr(0, 5), "<141>");
    EXPECT_NE(line.find("         longsource[  77]:  0:"), std::string::npos) << line.substr(0, 80);
    EXPECT_EQ(line.back(), 'a');

    // Text from outside is printed, never read as a format.
    EXPECT_GT(client.write(1, "fmt", 1, "%s%n%s"), 0);
    const std::string formatted = nextLine();
    EXPECT_EQ(formatted.substr(formatted.size() - 8), "| %s%n%s");

    std::promise<std::string> fromTask;
    std::promise<int> taskId;
    auto* task = new FnTaskOf<Task>(
        [&](FnTaskOf<Task>& self) {
            taskId.set_value(self.taskId());
            client.write(1, "task", 5, "inside");
        },
        nullptr, "Writer");
    ASSERT_GT(task->start(20480, 0), 0);
    const int id = taskId.get_future().get();
    const std::string inside = nextLine();
    char column[16];
    snprintf(column, sizeof column, ":% 3d:", id);
    EXPECT_NE(inside.find(std::string("task[   5]") + column), std::string::npos) << inside;
    EXPECT_TRUE(eventually([&] { return client.linesSent() == 4; })) << client.linesSent();
    EXPECT_EQ(client.stop(), 1);
    EXPECT_EQ(client.stop(), 0) << "a stopped client is not alive";
}

TEST_F(SysLogTest, AnIpv6ServerFailsTheConnectAndTheClientCanGo)
{
    auto* client = new SysLog(&iface_);
    SockAddr v6 = SockAddr::parse("fd42:b0c5::1");
    testing::internal::CaptureStderr();
    EXPECT_EQ(client->connect(&v6, 514), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("Connecting SysLog -> fd42:b0c5::1:514 fd:"), std::string::npos) << said;
    EXPECT_NE(said.find("failed?!"), std::string::npos) << said;
    EXPECT_EQ(client->fd, -1);
    EXPECT_FALSE(client->alive());
    testing::internal::CaptureStderr();
    EXPECT_EQ(client->write(1, "x", 1, "never"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "SysLog::write not alive:0 or locked by me, skip x:1\n");
    // Its line lock is still held by this thread: freeing it must let go of
    // the lock first.
    delete client;
    EXPECT_EQ(nextLine(200), "");
}

TEST_F(SysLogTest, ALineInsideALineIsSkippedNotDeadlocked)
{
    SysLog client(&iface_);
    SockAddr to = server();
    ASSERT_EQ(client.connect(&to, kReceiverPort), 1);
    nextLine();
    ASSERT_EQ(client.lock(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(client.write(1, "inner", 9, "nested"), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("ERROR SysLog alive:1 recursive deadlock task:NoTask pid:" + std::to_string(gettid()) + "!?\n", 0),
              0u)
        << said;
    EXPECT_NE(said.find("SysLog::write not alive:1 or locked by me, skip inner:9\n"), std::string::npos) << said;
    EXPECT_EQ(nextLine(200), "");
}

TEST_F(SysLogTest, ConcurrentLinesStayWholeAndStartsAndStopsNeverDoubleUp)
{
    SysLog client(&iface_);
    SockAddr to = server();
    ASSERT_EQ(client.connect(&to, kReceiverPort), 1);
    nextLine();

    constexpr int kThreads = 4;
    constexpr int kLines = 50;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                const std::string text = "writer" + std::to_string(t) + "-line" + std::to_string(i) + "-end";
                client.write(2, "w", t, text.c_str());
            }
        });
    }
    std::set<std::string> texts;
    for (int i = 0; i < kThreads * kLines; ++i) {
        const std::string line = nextLine();
        ASSERT_FALSE(line.empty()) << "line " << i << " lost";
        const size_t bar = line.find("| ");
        ASSERT_NE(bar, std::string::npos) << line;
        const std::string text = line.substr(bar + 2);
        ASSERT_EQ(text.rfind("writer", 0), 0u) << line;
        ASSERT_EQ(text.substr(text.size() - 4), "-end") << line;
        texts.insert(text);
    }
    for (std::thread& w : writers)
        w.join();
    EXPECT_EQ(texts.size(), static_cast<size_t>(kThreads * kLines)) << "every line once, none mixed";
    EXPECT_EQ(client.linesSent(), 1 + kThreads * kLines);

    // Parameter collectors on several threads restart the client at once.
    testing::internal::CaptureStderr();
    std::vector<std::thread> restarters;
    for (int t = 0; t < kThreads; ++t) {
        restarters.emplace_back([] {
            for (int i = 0; i < 20; ++i) {
                SysLog::shutdown();
                SysLog::start();
            }
        });
    }
    for (std::thread& r : restarters)
        r.join();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(SysLog::isRunning());
    EXPECT_EQ(SysLog::shutdown(), 1);
    EXPECT_FALSE(SysLog::isRunning());
}

// A real syslog daemon in the peer namespace receives the lines.
class RsyslogTest : public SysLogTest {
protected:
    void SetUp() override
    {
        SysLogTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (access("/usr/sbin/rsyslogd", X_OK) != 0)
            SKIP_UNLESS_CI("rsyslogd is not installed (tools/install-deps.sh installs it)");
        params_.set(params::syslog_upo(), "514");
        log_ = root_.dir() + "/received.log";
        const std::string conf = root_.dir() + "/rsyslog.conf";
        std::ofstream(conf) << "global(workDirectory=\"" << root_.dir() << "\")\n"
                            << "module(load=\"imudp\")\n"
                            << "input(type=\"imudp\" address=\"" << kPeerAddress << "\" port=\"514\")\n"
                            << "template(name=\"raw\" type=\"string\" "
                               "string=\"%syslogfacility-text%.%syslogseverity-text% %rawmsg%\\n\")\n"
                            << "*.* action(type=\"omfile\" file=\"" << log_ << "\" template=\"raw\")\n";
        const std::string net = "--net=" + peer_.path();
        const std::string pidFile = root_.dir() + "/rsyslogd.pid";
        std::vector<std::string> args = {"nsenter", net, "/usr/sbin/rsyslogd", "-n", "-f", conf, "-i", pidFile};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawnp(&daemon_, "nsenter", nullptr, nullptr, argv.data(), environ), 0);
        ASSERT_TRUE(eventually([&] {
            return peer_.run("ss -Hluna \"sport = :514\"").out.find("198.18.9.1:514") != std::string::npos;
        })) << "rsyslogd did not start listening";
    }
    void TearDown() override
    {
        SysLog::shutdown();
        if (daemon_ > 0) {
            kill(daemon_, SIGTERM);
            int status;
            waitpid(daemon_, &status, 0);
        }
        SysLogTest::TearDown();
    }

    std::string received() const
    {
        std::ifstream in(log_);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    bool receivedLine(const std::string& part, std::string* line)
    {
        return eventually([&] {
            std::istringstream lines(received());
            std::string l;
            while (std::getline(lines, l)) {
                if (l.find(part) != std::string::npos) {
                    *line = l;
                    return true;
                }
            }
            return false;
        });
    }

    pid_t daemon_ = -1;
    std::string log_;
};

TEST_F(RsyslogTest, TheDaemonGetsTheGreetingTheGoodbyeAndTheFacilities)
{
    ASSERT_EQ(SysLog::start(), 0);
    ASSERT_TRUE(SysLog::isRunning());
    std::string line;
    ASSERT_TRUE(receivedLine("I'm BOX-01@198.18.9.2 alive...", &line)) << received();
    EXPECT_EQ(line.rfind("local0.notice <133>", 0), 0u) << line;
    EXPECT_NE(line.find(" 198.18.9.2                udp[ 546]:  0:   1234.56| I'm BOX-01@198.18.9.2 alive..."),
              std::string::npos)
        << line;

    SysLog other(&iface_);
    SockAddr to = server();
    ASSERT_EQ(other.connect(&to, 514), 1);
    ASSERT_GT(other.write(3, "web", 12, "level three"), 0);
    ASSERT_TRUE(receivedLine("| level three", &line)) << received();
    EXPECT_EQ(line.rfind("local1.notice <141>", 0), 0u) << line;

    EXPECT_EQ(SysLog::shutdown(), 1);
    ASSERT_TRUE(receivedLine("I'm BOX-01 stopped", &line)) << received();
    EXPECT_EQ(line.rfind("local0.notice <133>", 0), 0u) << line;
}

} // namespace
