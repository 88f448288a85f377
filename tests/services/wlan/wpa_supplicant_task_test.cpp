// The supplicant task: Debian's wpa_supplicant program run as a child for one
// interface, in a network namespace of the test's own with a veth "eth0".
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/net/connection.h"
#include "platform/wlan/supplicant_process.h"
#include "services/wlan/wpa_ctrl.h"
#include "services/wlan/wpa_supplicant_task.h"
#include "support/fn_task.h"
#include "support/private_netns.h"
#include "support/temp_box_root.h"

namespace {

using FnTask = FnTaskOf<Task>;

class SupplicantTaskTest : public PrivateNetnsTest {
protected:
    void SetUp() override
    {
        PrivateNetnsTest::SetUp();
        if (IsSkipped())
            return;
        root_ = std::make_unique<TempBoxRoot>();
        ASSERT_TRUE(root_->ok());
    }

    // Runs body on a task of its own and waits until it has finished.
    static void onTask(const std::function<void(Task&)>& body)
    {
        std::atomic<bool> done{false};
        auto* task = new FnTask([&](FnTask& self) {
            body(self);
            done = true;
        }, nullptr, "SupplicantTest");
        ASSERT_GT(task->start(1 << 20, 0), 0);
        ASSERT_TRUE(eventually([&] { return done.load(); }, std::chrono::seconds(30)));
    }

    std::unique_ptr<TempBoxRoot> root_;
};

TEST_F(SupplicantTaskTest, WiredSupplicantStartsOnceAnswersAndStops)
{
    const int before = countRegisteredTasks();
    ASSERT_EQ(startWpaSupplicantTask(kWpaWired, "eth0"), 1);
    EXPECT_EQ(startWpaSupplicantTask(kWpaWlan, "wlan0"), 0) << "the supplicant starts at most once";
    ASSERT_NE(wpaSupplicantTask(), nullptr);
    EXPECT_STREQ(wpaSupplicantTask()->interfaceName(), "eth0");

    const std::string socketPath = root_->dir() + "/var/wifi/eth0";
    ASSERT_TRUE(eventually([&] { return access(socketPath.c_str(), F_OK) == 0; }, std::chrono::seconds(20)));
    onTask([](Task& self) {
        Connection* conn = connectSupplicant(&self, kWpaWired, 5);
        ASSERT_NE(conn, nullptr);
        char reply[64];
        int n = wpaCtrlRequest(conn, "PING", 4, reply, sizeof reply);
        EXPECT_EQ(std::string(reply, n > 0 ? static_cast<size_t>(n) : 0), "PONG\n");
        n = wpaCtrlRequest(conn, "STATUS", 6, reply, sizeof reply - 1);
        ASSERT_GT(n, 0);
        reply[n] = '\0';
        EXPECT_NE(strstr(reply, "wpa_state="), nullptr) << reply;
        delete conn;
    });
    // The stop path ends the child; its task collects it and ends too, and
    // is not started again.
    stopWpaSupplicant(2000);
    EXPECT_TRUE(eventually([&] { return countRegisteredTasks() == before; }));
    EXPECT_TRUE(eventually([&] { return access(socketPath.c_str(), F_OK) != 0; }));
    EXPECT_EQ(startWpaSupplicantTask(kWpaWired, "eth0"), 0);
}

TEST_F(SupplicantTaskTest, AChildThatEndsEarlyGivesItsExitCode)
{
    int code = 0;
    onTask([&](Task& self) { code = runWpaSupplicant(&self, kWpaWired, "nosuch0"); });
    // wpa_supplicant ends with 255 when the interface cannot be set up.
    EXPECT_EQ(code, 255);
}

TEST(SupplicantTask, InterfaceNameIsCutTo31Characters)
{
    const std::string name(40, 'n');
    WpaSupplicantTask task(kWpaWired, name.c_str());
    EXPECT_EQ(strlen(task.interfaceName()), 31u);
    EXPECT_EQ(task.kind(), kWpaWired);
}

TEST(SupplicantTask, CommandLineOfTheWiredSupplicant)
{
    const SupplicantLaunch launch{"eth0", "wired", "/r/var/wifi", "/r/var/wpactrl", "/r/var/log/wpa.log"};
    const char* argv[16];
    supplicantArguments(launch, argv);
    std::string line;
    for (int i = 0; argv[i]; ++i)
        line += std::string(i ? " " : "") + argv[i];
    EXPECT_EQ(line, "/usr/sbin/wpa_supplicant -i eth0 -D wired -C /r/var/wifi -g /r/var/wpactrl -t -f "
                    "/r/var/log/wpa.log");
    EXPECT_STREQ(wpaSocketPath(kWpaWired), "/var/wifi/eth0");
    EXPECT_STREQ(wpaSocketPath(kWpaWlan), "/var/wifi/wlan0");
}

} // namespace
