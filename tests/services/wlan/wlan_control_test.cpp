// The WLAN control over the supplicant's control socket, against the
// simulated radio's supplicant stand-in and its scan list. Every test runs
// in a network namespace of its own: the connected handler sends an ARP.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/net/connection.h"
#include "core/params/param_handles.h"
#include "platform/wlan/sim_supplicant.h"
#include "services/wlan/bss_list.h"
#include "services/wlan/wlan_task.h"
#include "services/wlan/wps_credential.h"
#include "support/fn_task.h"
#include "support/param_override.h"
#include "support/private_netns.h"
#include "support/temp_box_root.h"

namespace {

using FnTask = FnTaskOf<Task>;

constexpr int kStack = 1 << 20;

std::string hexOf(const std::string& bytes)
{
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

std::string attr(uint16_t type, const std::string& value)
{
    std::string a{static_cast<char>(type >> 8), static_cast<char>(type & 0xff), static_cast<char>(value.size() >> 8),
                  static_cast<char>(value.size() & 0xff)};
    return a + value;
}

class WlanControlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!netns::enterFresh())
            SKIP_UNLESS_CI("no private network namespace (needs root)");
        ASSERT_TRUE(root_.ok());
        std::filesystem::create_directories(root_.dir() + "/var/wifi");
        std::filesystem::create_directories(root_.dir() + "/etc");
        sim_ = std::make_unique<SimSupplicant>(root_.dir() + "/var/wifi/wlan0", root_.dir() + "/var/wlan.sim/scan",
                                               root_.dir() + "/var/wlan.sim/wps");
        ASSERT_TRUE(sim_->open());
        server_ = std::thread([this] { sim_->serve(); });
    }

    void TearDown() override
    {
        for (Task* t : started_) {
            TaskMessage stop{0, MSG_STOP, 0, 0};
            t->post(&stop);
        }
        // Detached tasks free themselves when their threads end.
        EXPECT_TRUE(eventually([&] { return countRegisteredTasks() == tasksBefore_; }));
        if (sim_) {
            sim_->requestStop();
            server_.join();
        }
        // Secrets read back as stars: they are put back by value.
        for (auto& [p, old] : secrets_)
            p->set(old.c_str(), -1);
    }

    template <typename T>
    T* launch(T* task)
    {
        EXPECT_GT(task->start(kStack, 0), 0);
        started_.push_back(task);
        return task;
    }

    WLanTask* startWlan()
    {
        auto* wlan = new WLanTask(kWpaWlan);
        launch(wlan);
        // The stand-in counts ATTACH among its commands.
        EXPECT_TRUE(eventually([&] { return sim_->commandCount() >= 2; }));
        return wlan;
    }

    // Runs body on a task of its own and waits until it has finished.
    void onTask(const std::function<void(Task&)>& body)
    {
        std::atomic<bool> done{false};
        auto* task = new FnTask([&](FnTask& self) {
            body(self);
            done = true;
        }, nullptr, "WlanTest");
        ASSERT_GT(task->start(kStack, 0), 0);
        ASSERT_TRUE(eventually([&] { return done.load(); }, std::chrono::seconds(30)));
    }

    TempBoxRoot root_;
    std::unique_ptr<SimSupplicant> sim_;
    std::thread server_;
    std::vector<Task*> started_;
    int tasksBefore_ = countRegisteredTasks();
    ParamOverride params_;
    std::vector<std::pair<StringParam*, std::string>> secrets_;

    void setSecret(StringParam* p, const std::string& value)
    {
        secrets_.emplace_back(p, *p->value());
        ASSERT_NE(p->set(value.c_str(), -1), 0);
    }
};

TEST_F(WlanControlTest, ScanResultsComeFromTheSimulatedRadio)
{
    std::string ie;
    for (int i = 0; i < 700; ++i)
        ie += "dd";
    const std::string oddSsid = "\xc3\xa4 \"<&>' = \\ ssid-of-32-bytes!!!";  // 32 bytes
    ASSERT_EQ(oddSsid.size(), 32u);
    root_.writeFile("/var/wlan.sim/scan",
                    "bssid=02:00:00:00:00:01\nfreq=2484\nlevel=-40\nflags=[ESS]\nssid=" + oddSsid + "\n\n"
                    "bssid=02:00:00:00:00:02\nfreq=2437\nlevel=-70\nie=" + ie + "\nflags=[WPA2-PSK-CCMP][ESS]\n"
                    "ssid=long answer\n\n"
                    "bssid=02:00:00:00:00:03\nfreq=5180\nssid=five\n");
    startWlan();
    ASSERT_TRUE(eventually([] {
        lockScanList(1);
        size_t n = wlanScanList().size();
        lockScanList(0);
        return n == 3;
    }));
    lockScanList(1);
    std::vector<BssRecord> list = wlanScanList();
    lockScanList(0);
    EXPECT_EQ(list[0].ssid, oddSsid);
    EXPECT_EQ(list[0].channel, 14);
    EXPECT_EQ(list[0].level, -40);
    // Over 1400 characters of answer before the SSID and flags.
    EXPECT_EQ(list[1].ie.size(), 700u);
    EXPECT_EQ(list[1].flags, "[WPA2-PSK-CCMP][ESS]");
    EXPECT_EQ(list[1].ssid, "long answer");
    EXPECT_EQ(list[2].channel, 0);
}

TEST_F(WlanControlTest, ConfiguredNetworkConnectsAndRestartsDhcp)
{
    root_.writeFile("/var/wlan.sim/scan", "bssid=02:00:00:00:00:07\nfreq=2412\nssid=lab net\npsk=passphrase-123\n");
    params_.set(params::wifi_name(), "lab net");
    params_.set(params::wifi_mode(), "infra");
    params_.set(params::wifi_encrypt(), "AES2");
    setSecret(params::wifi_psk(), "passphrase-123");
    params_.set(params::auth_typ(), "---");
    params_.set(params::btn_wps_pbc(), "on");

    std::atomic<int> restarts{0};
    auto* bootp = new FnTask([](FnTask& self) { for (;;) self.waitFor(100, -1); },
                             [&](FnTask&, TaskMessage* m) {
                                 if (m->code & MSG_RESTART_DHCP)
                                     restarts++;
                                 return m->code & ~MSG_RESTART_DHCP;
                             },
                             "Bootp");
    launch(bootp);
    startWlan();

    int result = -1;
    onTask([&](Task& self) {
        Connection* conn = nullptr;
        std::vector<NetworkStep> steps = networkBlockSteps(currentNetworkBlockInput(kWpaWlan));
        result = configureNetwork(&self, kWpaWlan, steps, &conn, 1);
        delete conn;
    });
    EXPECT_EQ(result, 1);
    auto net = sim_->network(0);
    EXPECT_EQ(net["ssid"], "\"lab net\"");
    EXPECT_EQ(net["key_mgmt"], "WPA-PSK");
    EXPECT_EQ(net["proto"], "RSN");
    EXPECT_EQ(net["psk"], "\"passphrase-123\"");
    ASSERT_TRUE(eventually([&] { return restarts.load() == 1; }));
    // The first connection ends the push-button offer.
    EXPECT_TRUE(eventually([] { return params::btn_wps_pbc()->isOff(); }));
}

TEST_F(WlanControlTest, ARefusedValueEndsTheConfiguration)
{
    params_.set(params::wifi_name(), "lab net");
    params_.set(params::wifi_mode(), "infra");
    params_.set(params::wifi_encrypt(), "AES2");
    setSecret(params::wifi_psk(), "short");   // the supplicant wants 8 to 63 characters
    params_.set(params::auth_typ(), "---");
    int result = -1;
    onTask([&](Task& self) {
        Connection* conn = nullptr;
        std::vector<NetworkStep> steps = networkBlockSteps(currentNetworkBlockInput(kWpaWlan));
        result = configureNetwork(&self, kWpaWlan, steps, &conn, 1);
        delete conn;
    });
    EXPECT_EQ(result, 0);
    auto net = sim_->network(0);
    EXPECT_EQ(net.count("psk"), 0u);
    EXPECT_EQ(net.count("phase2"), 0u) << "nothing after the refused value";
}

TEST_F(WlanControlTest, ACommandThatDoesNotFitIsNotSent)
{
    onTask([&](Task& self) {
        Connection* conn = connectSupplicant(&self, kWpaWlan, 1);
        ASSERT_NE(conn, nullptr);
        const int before = sim_->commandCount();
        const std::string addon(250, 'x');
        EXPECT_EQ(wpaSetNetwork(conn, "0", addon.c_str()), -1);
        EXPECT_EQ(sim_->commandCount(), before);
        const std::string fits(200, 'x');
        char id[16];
        EXPECT_EQ(wpaCtrlRequest(conn, "ADD_NETWORK", 11, id, sizeof id), 2);
        EXPECT_EQ(wpaSetNetwork(conn, "0", ("identity \"" + fits + "\"").c_str()), 0);
        delete conn;
    });
}

TEST_F(WlanControlTest, EventsMatchByPrefixAndPriority)
{
    WLanTask wlan(kWpaWlan);
    const std::string event = std::string(kEventDisconnected) + " bssid=02:00:00:00:00:07 reason=3";
    EXPECT_EQ(wlan.dispatch(event.c_str(), static_cast<int>(event.size())), 1);
    std::string lower = event;
    lower[1] = '2';
    EXPECT_EQ(wlan.dispatch(lower.c_str(), static_cast<int>(lower.size())), 0);
    const std::string cut = std::string(kEventDisconnected).substr(0, 10);
    EXPECT_EQ(wlan.dispatch(cut.c_str(), static_cast<int>(cut.size())), 0);
}

TEST_F(WlanControlTest, WpsCredentialFromTheEventIsStored)
{
    const std::string ssid = "wps-net";
    const std::string key = "wps-passphrase";
    std::string inner = attr(0x1045, ssid) + attr(0x1003, std::string("\x00\x20", 2)) +
                        attr(0x100f, std::string("\x00\x08", 2)) + attr(0x1028, std::string(1, '\x01')) +
                        attr(0x1027, key);
    root_.writeFile("/var/wlan.sim/wps", hexOf(attr(0x100e, inner)) + "\n");
    params_.set(params::btn_wps_pbc(), "on");
    params_.set(params::wifi_mode(), "adhoc");
    params_.set(params::wifi_name(), "before");
    params_.set(params::wifi_encrypt(), "---");
    setSecret(params::wifi_psk(), "");
    startWlan();
    // The push-button task ends by itself after its one action.
    auto* wps = new WpaWpsTask(12345670, 1);
    ASSERT_GT(wps->start(kStack, 0), 0);
    ASSERT_TRUE(eventually([] { return *params::wifi_name()->value() == "wps-net"; }));
    EXPECT_STREQ(params::wifi_encrypt()->currentToken(), "AESTKIP2");
    EXPECT_EQ(*params::wifi_psk()->value(), key);
    EXPECT_STREQ(params::wifi_mode()->currentToken(), "infra");
}

TEST_F(WlanControlTest, NoAnswerAndNoSocket)
{
    // A socket that takes commands and never answers.
    const std::string silent = root_.dir() + "/var/wifi/eth0";
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, silent.c_str(), silent.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    onTask([&](Task& self) {
        Connection* conn = connectSupplicant(&self, kWpaWired, 1);
        ASSERT_NE(conn, nullptr);
        char reply[32];
        EXPECT_EQ(wpaCtrlRequest(conn, "PING", 4, reply, sizeof reply, 20), -2);
        close(fd);
        unlink(silent.c_str());
        EXPECT_EQ(wpaCtrlRequest(conn, "PING", 4, reply, sizeof reply, 20), -1);
        delete conn;
        EXPECT_EQ(connectSupplicant(&self, kWpaWired, 2), nullptr);
    });
    // Without a socket the WLan task gives up after its attempts and ends.
    const int before = countRegisteredTasks();
    auto* wired = new WLanTask(kWpaWired);
    wired->connectAttempts = 2;
    ASSERT_GT(wired->start(kStack, 0), 0);
    EXPECT_TRUE(eventually([&] { return countRegisteredTasks() == before; }));
}

} // namespace
