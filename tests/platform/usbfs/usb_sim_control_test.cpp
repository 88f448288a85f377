// Commands to the simulated host from outside the process: files queued
// under the root, applied when the program scans or touches a device.
#include "support/usb_sim_fixture.h"

#include <chrono>
#include <thread>
#include <unistd.h>

namespace {

class UsbSimControl : public UsbSimTest {
protected:
    void queue(const std::string& id, const std::string& line)
    {
        root_.writeFile("/dev/usbsim/commands/" + id + ".cmd", line + "\n");
    }

    std::string read(const std::string& boxFile)
    {
        std::ifstream in(boxPath(boxFile), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    bool exists(const std::string& boxFile) { return access(boxPath(boxFile).c_str(), F_OK) == 0; }
};

TEST_F(UsbSimControl, QueuedCommandsApplyInOrderAtTheNextScan)
{
    queue("0002", "unplug 1-1.4");
    queue("0001", "plug keyboard at=1-1.4");
    queue("0003", "plug storage size=128K at=1-1.1");
    queue("0004", "plug teapot");
    root_.writeFile("/dev/usbsim/commands/.0005.tmp", "plug loopback\n");
    EXPECT_FALSE(exists("/sys/bus/usb/devices/1-1.4"));

    simUsbfsOps.hostPoll();
    EXPECT_EQ(read("/dev/usbsim/results/0001"), "ok 1-1.4\n");
    EXPECT_EQ(read("/dev/usbsim/results/0002"), "ok\n");
    EXPECT_EQ(read("/dev/usbsim/results/0003"), "ok 1-1.1\n");
    EXPECT_EQ(read("/dev/usbsim/results/0004").compare(0, 29, "error: unknown model 'teapot'"), 0);
    EXPECT_FALSE(exists("/dev/usbsim/commands/0001.cmd")) << "an applied command is gone";
    EXPECT_TRUE(exists("/dev/usbsim/commands/.0005.tmp")) << "a file still being written is left alone";
    EXPECT_FALSE(exists("/sys/bus/usb/devices/1-1.4"));
    EXPECT_TRUE(exists("/sys/bus/usb/devices/1-1.1"));
    std::string state = read("/dev/usbsim/state");
    EXPECT_NE(state.find("device 1-1.1 model=storage id=1209:0003 bus=1"), std::string::npos) << state;
    EXPECT_NE(state.find("plugged=1"), std::string::npos) << state;
}

TEST_F(UsbSimControl, CommandsNameDevicesByPlaceOrPort)
{
    EXPECT_EQ(usbsim::command("plug loopback"), "ok 1-1.1") << "the first free port";
    EXPECT_EQ(usbsim::command("plug loopback port=3"), "ok 1-1.3");
    EXPECT_EQ(usbsim::command("plug loopback"), "ok 1-1.2");
    EXPECT_EQ(usbsim::command("unplug port=3"), "ok");
    EXPECT_EQ(usbsim::command("unplug port=3"), "error: no device is plugged at 1-1.3");
    EXPECT_EQ(usbsim::command("plug loopback port=x"), "error: port must be a number, not 'x'");
    EXPECT_EQ(usbsim::command("plug loopback at=2-"), "error: '2-' is no place on a bus (like 1-1.2)");
    EXPECT_EQ(usbsim::command("plug loopback serial"), "error: 'serial' is no KEY=VALUE option");
    EXPECT_EQ(usbsim::command("unplug all"), "ok");
    EXPECT_EQ(usbsim::command("unplug 1-1.1"), "error: no device is plugged at 1-1.1");
    EXPECT_EQ(usbsim::command("fly away").compare(0, 27, "error: unknown command 'fly"), 0);
    EXPECT_EQ(usbsim::command(""), "error: empty command");

    std::string name = plug("loopback at=1-1.2");
    int fd = openDevice(name);
    EXPECT_EQ(claim(fd, 0), 0);
    ops().close(fd);
    std::string log = usbsim::command("log " + name);
    EXPECT_EQ(log.compare(0, 3, "ok\n"), 0);
    EXPECT_NE(log.find("claim 0 -> 0\n"), std::string::npos) << log;
    EXPECT_NE(log.find("close -> 0\n"), std::string::npos) << log;
    EXPECT_NE(usbsim::command("state").find("requests 1-1.2 claim=1 close=1 open=1 plug=1"), std::string::npos);
}

TEST_F(UsbSimControl, PortsAreThoseOfTheModelHandedIn)
{
    struct Case {
        UsbfsSetup setup;
        std::vector<std::string> firstFree;  // answers to "plug loopback" until the ports run out
        const char* port3;                   // the answer to "plug loopback port=3" on an empty host
    };
    const Case cases[] = {
        {{346, 2}, {"ok 1-1.1", "ok 1-1.2"}, "error: product 346 has no USB port 3"},
        {{347, 3}, {"ok 2-2", "ok 2-1", "ok 1-1"}, "ok 1-1"},
        {{353, 6}, {"ok 1-1.1", "ok 1-1.2", "ok 1-1.3", "ok 1-1.4", "ok 1-1.5", "ok 1-2.1"}, "ok 1-1.3"},
        {{365, 0}, {"ok 2-1", "ok 3-1"}, "error: product 365 has no USB port 3"},
        {{0, 0}, {"ok 1-1.1", "ok 1-1.2", "ok 1-1.3", "ok 1-1.4"}, "ok 1-1.3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("product " + std::to_string(c.setup.product) + ", ports " + std::to_string(c.setup.ports));
        ops().setUp(c.setup);
        usbsim::resetForTest();
        for (const std::string& answer : c.firstFree)
            EXPECT_EQ(usbsim::command("plug loopback"), answer);
        EXPECT_EQ(usbsim::command("plug loopback"), "error: every port is taken");
        EXPECT_EQ(usbsim::command("unplug all"), "ok");
        EXPECT_EQ(usbsim::command("plug loopback port=3"), c.port3);
    }
}

TEST_F(UsbSimControl, AnyUsbfsCallAppliesQueuedCommands)
{
    simUsbfsOps.hostPoll();
    queue("0001", "plug loopback at=1-1.3");
    // Without a scan: the seam looks at the queue at most every 20 ms.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!exists("/dev/usbsim/results/0001") && std::chrono::steady_clock::now() < deadline) {
        EXPECT_EQ(ops().open(boxPath("/dev/bus/usb/009/009").c_str(), O_RDWR), -1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(read("/dev/usbsim/results/0001"), "ok 1-1.3\n");
}

TEST_F(UsbSimControl, NothingHappensWithoutABoxRoot)
{
    unsetenv("WEV_ROOT");
    reloadRootPrefixForTest();
    std::string answer = usbsim::command("plug loopback at=1-1.1");
    setenv("WEV_ROOT", root_.dir().c_str(), 1);
    reloadRootPrefixForTest();
    EXPECT_EQ(answer, "error: the simulated host needs a box root (WEV_ROOT)");
}

} // namespace
