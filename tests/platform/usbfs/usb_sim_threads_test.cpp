// The simulated host under several threads, as the program uses it: session
// threads moving URBs while the scan applies an unplug, a blocking reap that
// an unplug must end, and the outside tool answered by a polling program.
#include "support/usb_sim_fixture.h"

#include <atomic>
#include <chrono>
#include <sys/wait.h>
#include <thread>
#include "support/missing_requirement.h"

namespace {

class UsbSimThreads : public UsbSimTest {};

TEST_F(UsbSimThreads, TrafficEndsCleanlyWhenTheDeviceIsUnpluggedUnderIt)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    ASSERT_GE(fd, 0);
    std::atomic<int> rounds{0};
    std::atomic<bool> sawEnodev{false};
    std::thread session([&] {
        TestUrb out;
        TestUrb in;
        // Bounded by time, not by rounds: a round takes microseconds, and the
        // traffic must still run when the unplug comes.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end) {
            if (submitOut(fd, out, 0x01, "ping") != 0 || submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 64) != 0)
                break;
            for (int reaped = 0; reaped < 2;) {
                int err = 0;
                if (reap(fd, &err)) {
                    ++reaped;
                } else if (err == ENODEV) {
                    sawEnodev = true;
                    return;
                }
            }
            ++rounds;
        }
        int err = 0;
        while (reap(fd, &err)) {
        }
        sawEnodev = err == ENODEV;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (rounds < 50 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(usbsim::command("unplug " + name), "ok");
    session.join();
    EXPECT_GE(rounds, 50);
    EXPECT_TRUE(sawEnodev);
    ops().close(fd);
    usbsim::DeviceCounters c = counters(name);
    EXPECT_EQ(c.openFiles, 0);
    EXPECT_EQ(c.pendingUrbs, 0);
    EXPECT_EQ(c.reapableUrbs, 0);
}

TEST_F(UsbSimThreads, BlockingReapReturnsWhenTheDeviceGoes)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    TestUrb in;
    ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 64), 0);
    std::atomic<int> firstStatus{1};
    std::atomic<int> secondError{0};
    std::thread reaper([&] {
        void* done = nullptr;
        if (ops().ioctl(fd, USBDEVFS_REAPURB, &done) == 0)
            firstStatus = static_cast<usbdevfs_urb*>(done)->status;
        secondError = ops().ioctl(fd, USBDEVFS_REAPURB, &done) == 0 ? 0 : errno;
    });
    // Whether the reaper already waits or comes later, the unplug must end its wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(usbsim::command("unplug " + name), "ok");
    reaper.join();
    EXPECT_EQ(firstStatus, -ESHUTDOWN);
    EXPECT_EQ(secondError, ENODEV);
    ops().close(fd);
}

TEST_F(UsbSimThreads, ToolIsAnsweredByARunningProgram)
{
    const char* source = getenv("WEV_TEST_SOURCE");
    if (!source)
        SKIP_UNLESS_CI("WEV_TEST_SOURCE names the source tree; ctest sets it");
    std::string tool = std::string(source) + "/tools/usbsim-ctl";
    std::atomic<bool> running{true};
    std::thread program([&] {
        while (running) {
            simUsbfsOps.hostPoll();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    auto run = [&](const std::string& args, std::string* output) {
        std::string line = "WEV_ROOT=" + root_.dir() + " " + tool + " --timeout 20 " + args + " 2>&1";
        FILE* pipe = popen(line.c_str(), "r");
        char buf[256];
        while (pipe && fgets(buf, sizeof buf, pipe))
            *output += buf;
        int status = pipe ? pclose(pipe) : -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string output;
    EXPECT_EQ(run("plug storage size=1M at=1-1.2", &output), 0);
    EXPECT_EQ(output, "ok 1-1.2\n");
    output.clear();
    EXPECT_EQ(run("state", &output), 0);
    EXPECT_EQ(output.compare(0, 12, "device usb1 "), 0) << output;
    EXPECT_NE(output.find("device 1-1.2 model=storage"), std::string::npos) << output;
    output.clear();
    EXPECT_EQ(run("unplug 1-1.9", &output), 1);
    EXPECT_EQ(output, "error: no device is plugged at 1-1.9\n");
    output.clear();
    EXPECT_EQ(run("unplug 1-1.2", &output), 0);
    running = false;
    program.join();
    usbsim::DeviceCounters c = counters("1-1.2");
    EXPECT_FALSE(c.plugged);

    output.clear();
    EXPECT_EQ(run("--timeout 1 plug loopback", &output), 2) << "nobody applies it now";
    EXPECT_NE(output.find("no answer within 1 s"), std::string::npos) << output;
}

} // namespace
