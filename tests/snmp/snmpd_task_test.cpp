// The agent inside this test process, answering the real net-snmp tools in
// a private network namespace: requests, re-configuration after a network
// change, a trap to snmptrapd, and the stop.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/notify/notify_event.h"
#include "core/params/param_handles.h"
#include "core/task/start_state.h"
#include "core/task/task.h"
#include "core/task/tick_clock.h"
#include "snmp/snmp_traps.h"
#include "snmp/snmpd_conf.h"
#include "snmp/snmpd_task.h"
#include "support/param_override.h"
#include "support/private_netns.h"
#include "support/product_record.h"
#include "support/temp_box_root.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string snmpget(const std::string& community, const std::string& oid)
{
    return netns::out("snmpget -v2c -t 1 -r 0 -On -c " + community + " 127.0.0.1 " + oid);
}

// Repeats the request until the answer holds want, for at most 15 s.
bool answerHolds(const std::string& community, const std::string& oid, const std::string& want)
{
    const auto end = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < end) {
        if (snmpget(community, oid).find(want) != std::string::npos)
            return true;
    }
    return false;
}

std::string fileText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool fileHolds(const std::string& path, const std::string& want)
{
    const auto end = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < end) {
        if (fileText(path).find(want) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

class SnmpdTaskTest : public PrivateNetnsTest {
protected:
    void SetUp() override
    {
        PrivateNetnsTest::SetUp();
        if (IsSkipped())
            return;
        root.writeFile("/var/.made", "");
        root.writeFile("/etc/.made", "");
        useProduct(root, "product_name=Test Box 12\ndefault_name=TB-0102\n");
        setServicePorts(80, 443, 161);
        o.set("snmpv1", "on");
        o.set("snmpv3", "off");
        o.set("ipv6", "off");
        o.set("snmpv1_ronly", "off");
        o.set("snmpv1_community", "first1");
        o.set("trapcommu_", "traps1", 1);
        o.set("trapto_", "127.0.0.1", 1);
        o.set("trapto_", "0.0.0.0", 2);
        o.set("trapact", "on");
    }

    void TearDown() override
    {
        if (trapd > 0)
            kill(trapd, SIGTERM);
    }

    // snmptrapd on 127.0.0.1:162 writing what it receives to a file.
    void startTrapReceiver(const std::string& log)
    {
        const std::string conf = root.dir() + "/snmptrapd.conf";
        root.writeFile("/snmptrapd.conf", "disableAuthorization yes\n");
        const std::string pid = root.dir() + "/snmptrapd.pid";
        netns::must("snmptrapd -C -c " + conf + " -n -On -Lf " + log + " -p " + pid + " udp:127.0.0.1:162");
        ASSERT_TRUE(fileHolds(pid, "\n") || fileHolds(log, "NET-SNMP version"));
        trapd = std::stoi(fileText(pid));
    }

    TempBoxRoot root;
    ParamOverride o;
    pid_t trapd = -1;
};

TEST_F(SnmpdTaskTest, AnswersReconfiguresSendsTrapsAndStops)
{
    const std::string log = root.dir() + "/traps.log";
    startTrapReceiver(log);
    const int tasksBefore = countRegisteredTasks();
    const int id = startSnmpAgent();
    ASSERT_GT(id, 0);
    EXPECT_TRUE(snmpTrapSinkConfigured());

    // The community parameter read over SNMP, with the community itself.
    ASSERT_TRUE(answerHolds("first1", "1.3.6.1.4.1.32473.2.7.20.0", "STRING: \"first1\""));
    // sysUpTime is the program's tick clock, not the agent's own.
    setTickSourceForTest([]() -> uint64_t { return 4321000; });
    EXPECT_NE(snmpget("first1", "1.3.6.1.2.1.1.3.0").find("Timeticks: (4321000)"), std::string::npos);
    setTickSourceForTest(nullptr);

    // A new community takes effect with the network change message.
    o.set("snmpv1_community", "second2");
    TaskMessage change{0, MSG_NETWORK_CHANGED, 0, 0};
    ASSERT_GE(postToTaskId(id, &change), 0);
    EXPECT_TRUE(answerHolds("second2", "1.3.6.1.4.1.32473.2.7.20.0", "STRING: \"second2\""));
    EXPECT_EQ(snmpget("first1", "1.3.6.1.4.1.32473.2.7.20.0").find("STRING"), std::string::npos);
    EXPECT_NE(fileText(snmpdConfPath()).find("rwcommunity  second2"), std::string::npos);
    EXPECT_EQ(trapSinkTrapCount(1), 0);

    // A client-connect event as the notification task hands it over.
    registerSnmpTrapOps();
    const TrapOps* ops = trapOps();
    ASSERT_NE(ops, nullptr);
    NotifyEvent event;
    fillNotifyEvent(event, NOTIFY_CLIENT_CONNECTED, 2, "Maker", "Widget", "SN42", "198.18.0.5");
    ASSERT_TRUE(ops->allows(event.flags));
    ops->sendEventTrap(event);
    EXPECT_TRUE(fileHolds(log, ".1.3.6.1.4.1.32473.2.51.3 = STRING: \"device connected: 198.18.0.5\""))
        << fileText(log);
    const std::string traps = fileText(log);
    EXPECT_NE(traps.find("Enterprise Specific Trap (51)"), std::string::npos) << traps;
    EXPECT_NE(traps.find(".1.3.6.1.4.1.32473.2.51.1 = INTEGER: 5"), std::string::npos) << traps;
    EXPECT_NE(traps.find(".1.3.6.1.4.1.32473.2.51.8 = STRING: \"SN42\""), std::string::npos) << traps;
    EXPECT_EQ(trapSinkTrapCount(1), 1);

    // The start-up trap: cold start at the first start, warm after a restart,
    // the boot counter as its specific number; nothing while trappup is off.
    o.set("trappup", "off");
    ops->sendRestartTrap();
    EXPECT_EQ(trapSinkTrapCount(1), 1);
    o.set("trappup", "on");
    o.set("life", "17");
    setStartCounter(0);
    ops->sendRestartTrap();
    EXPECT_TRUE(fileHolds(log, "Cold Start Trap (17)")) << fileText(log);
    setStartCounter(2);
    ops->sendRestartTrap();
    EXPECT_TRUE(fileHolds(log, "Warm Start Trap (17)")) << fileText(log);
    setStartCounter(-1);
    EXPECT_EQ(trapSinkTrapCount(1), 3);

    TaskMessage stop{0, MSG_STOP, 0, 0};
    ASSERT_GE(postToTaskId(id, &stop), 0);
    const auto end = Clock::now() + std::chrono::seconds(15);
    while (countRegisteredTasks() > tasksBefore && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(countRegisteredTasks(), tasksBefore);
    EXPECT_EQ(snmpget("second2", "1.3.6.1.4.1.32473.2.7.20.0").find("STRING"), std::string::npos);
}

} // namespace
