// The simulated host keeps the kernel's usbfs rules, so the USB server's
// mistakes (leaked URBs, wrong claims, memory touched too early) show up in
// these runs as they would on the box.
#include "support/usb_sim_fixture.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

uint16_t le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

int control(int fd, uint8_t type, uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t>* data,
            int* transferred)
{
    usbdevfs_ctrltransfer c{};
    c.bRequestType = type;
    c.bRequest = request;
    c.wValue = value;
    c.wIndex = index;
    c.wLength = static_cast<uint16_t>(data->size());
    c.timeout = 1000;
    c.data = data->empty() ? nullptr : data->data();
    int r = simUsbfsOps.ioctl(fd, USBDEVFS_CONTROL, &c);
    *transferred = r;
    return r < 0 ? errno : 0;
}

class UsbfsSim : public UsbSimTest {};

TEST_F(UsbfsSim, ReadGivesDeviceDescriptorThenEveryConfiguration)
{
    std::string name = plug("dual-config at=1-1.3 vid=0x1234 pid=0xabcd");
    int fd = openDevice(name, O_RDONLY);
    ASSERT_GE(fd, 0) << strerror(errno);
    std::vector<uint8_t> all(4096);
    ssize_t n = ops().read(fd, all.data(), all.size());
    ASSERT_GT(n, 18 + 9);
    all.resize(static_cast<size_t>(n));
    EXPECT_EQ(all[0], 18);
    EXPECT_EQ(all[1], 1);
    EXPECT_EQ(le16(&all[8]), 0x1234);
    EXPECT_EQ(le16(&all[10]), 0xabcd);
    ASSERT_EQ(all[17], 2);
    size_t pos = 18;
    for (int config = 1; config <= 2; ++config) {
        ASSERT_LT(pos + 9, all.size());
        EXPECT_EQ(all[pos + 1], 2);
        EXPECT_EQ(all[pos + 5], config);
        pos += le16(&all[pos + 2]);
    }
    EXPECT_EQ(pos, all.size()) << "nothing after the last configuration";

    // Offsets move as with a file; the end answers 0, SEEK_END is refused.
    ASSERT_EQ(ops().lseek(fd, 18, SEEK_SET), 18);
    uint8_t head[4];
    ASSERT_EQ(ops().read(fd, head, sizeof head), 4);
    EXPECT_EQ(memcmp(head, &all[18], 4), 0);
    EXPECT_EQ(ops().lseek(fd, -4, SEEK_CUR), 18);
    EXPECT_EQ(ops().lseek(fd, 0, SEEK_END), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ops().lseek(fd, -1, SEEK_SET), -1);
    ASSERT_EQ(ops().lseek(fd, static_cast<off_t>(all.size()), SEEK_SET), static_cast<off_t>(all.size()));
    EXPECT_EQ(ops().read(fd, head, sizeof head), 0);
    EXPECT_EQ(ops().close(fd), 0);
}

TEST_F(UsbfsSim, ReadOnlyDescriptorRefusesEveryRequest)
{
    std::string name = plug("loopback");
    int fd = openDevice(name, O_RDONLY);
    ASSERT_GE(fd, 0);
    TestUrb u;
    void* done = nullptr;
    unsigned number = 0;
    std::vector<uint8_t> data(18);
    int transferred = 0;
    EXPECT_EQ(claim(fd, 0), EPERM);
    EXPECT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x81, 64), EPERM);
    EXPECT_EQ(request(fd, USBDEVFS_REAPURBNDELAY, &done), EPERM);
    EXPECT_EQ(request(fd, USBDEVFS_RESET, nullptr), EPERM);
    EXPECT_EQ(request(fd, USBDEVFS_PORT_RELEASE, nullptr), EPERM);
    EXPECT_EQ(request(fd, USBDEVFS_CLEAR_HALT, &number), EPERM);
    EXPECT_EQ(control(fd, 0xc0, 1, 0, 0, &data, &transferred), EPERM) << "even a vendor request";
    uint8_t head[18];
    EXPECT_EQ(ops().read(fd, head, sizeof head), 18) << "reading descriptors needs no write access";
    EXPECT_EQ(counters(name).claimedInterfaces, 0);
    ops().close(fd);
}

TEST_F(UsbfsSim, InterfaceBelongsToOneDescriptor)
{
    std::string name = plug("loopback");
    int first = openDevice(name);
    int second = openDevice(name);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_EQ(claim(first, 0), 0);
    EXPECT_EQ(claim(first, 0), 0) << "claiming again is no error";
    EXPECT_EQ(claim(second, 0), EBUSY);
    usbdevfs_getdriver driver{};
    driver.interface = 0;
    ASSERT_EQ(request(second, USBDEVFS_GETDRIVER, &driver), 0);
    EXPECT_STREQ(driver.driver, "usbfs");

    unsigned zero = 0;
    EXPECT_EQ(request(second, USBDEVFS_RELEASEINTERFACE, &zero), EINVAL) << "not its claim";
    EXPECT_EQ(request(first, USBDEVFS_RELEASEINTERFACE, &zero), 0);
    EXPECT_EQ(request(first, USBDEVFS_RELEASEINTERFACE, &zero), EINVAL);
    EXPECT_EQ(claim(second, 0), 0);
    EXPECT_EQ(claim(second, 5), ENOENT);
    EXPECT_EQ(claim(second, 40), EINVAL);
    EXPECT_EQ(counters(name).claimedInterfaces, 1);
    ops().close(first);
    ops().close(second);
    EXPECT_EQ(counters(name).claimedInterfaces, 0);
}

TEST_F(UsbfsSim, SubmitClaimsTheInterfaceImplicitly)
{
    std::string name = plug("loopback");
    int first = openDevice(name);
    int second = openDevice(name);
    TestUrb out;
    TestUrb other;
    ASSERT_EQ(submitOut(first, out, 0x01, "data"), 0);
    EXPECT_EQ(claim(second, 0), EBUSY);
    EXPECT_EQ(submitOut(second, other, 0x01, "more"), EBUSY);

    struct Case { uint8_t type; uint8_t endpoint; int err; const char* why; };
    const Case cases[] = {
        {USBDEVFS_URB_TYPE_BULK, 0x05, ENOENT, "no such endpoint"},
        {USBDEVFS_URB_TYPE_INTERRUPT, 0x81, EINVAL, "interrupt URB on a bulk endpoint"},
        {USBDEVFS_URB_TYPE_ISO, 0x81, EINVAL, "isochronous URB on a bulk endpoint"},
        {USBDEVFS_URB_TYPE_BULK, 0x82, 0, "bulk URB on an interrupt endpoint runs as interrupt"},
        {7, 0x81, EINVAL, "unknown type"},
    };
    for (const Case& c : cases) {
        TestUrb u;
        EXPECT_EQ(submit(first, u, c.type, c.endpoint, 8), c.err) << c.why;
    }
    TestUrb noBuffer;
    noBuffer.urb.type = USBDEVFS_URB_TYPE_BULK;
    noBuffer.urb.endpoint = 0x81;
    noBuffer.urb.buffer_length = 8;
    EXPECT_EQ(request(first, USBDEVFS_SUBMITURB, &noBuffer.urb), EINVAL) << "a length without a buffer";
    ops().close(first);
    ops().close(second);
}

TEST_F(UsbfsSim, UrbRecordAndBufferAreWrittenOnlyAtReap)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    TestUrb in;
    TestUrb out;
    ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 512, 0xee), 0);
    in.urb.status = 12345;
    in.urb.actual_length = -7;
    ASSERT_EQ(submitOut(fd, out, 0x01, "payload"), 0);
    memcpy(out.buffer.data(), "XXXXXXX", 7);  // too late: the OUT data was copied at submit

    EXPECT_EQ(counters(name).reapableUrbs, 2) << "both transfers are done on the device";
    EXPECT_EQ(in.urb.status, 12345);
    EXPECT_EQ(in.urb.actual_length, -7);
    EXPECT_EQ(in.buffer[0], 0xee);

    EXPECT_EQ(reap(fd), &out);
    EXPECT_EQ(out.urb.status, 0);
    EXPECT_EQ(out.urb.actual_length, 7);
    EXPECT_EQ(reap(fd), &in);
    EXPECT_EQ(in.urb.status, 0);
    EXPECT_EQ(inData(in), "payload");
    EXPECT_EQ(in.buffer[7], 0xee) << "nothing written past the data";
    int err = 0;
    EXPECT_EQ(reap(fd, &err), nullptr);
    EXPECT_EQ(err, EAGAIN);
    ops().close(fd);
}

TEST_F(UsbfsSim, DiscardedUrbCompletesWithEnoentAndMustBeReaped)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    TestUrb in;
    ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 64), 0);
    EXPECT_EQ(counters(name).pendingUrbs, 1);
    EXPECT_EQ(request(fd, USBDEVFS_DISCARDURB, &in.urb), 0);
    EXPECT_EQ(request(fd, USBDEVFS_DISCARDURB, &in.urb), EINVAL) << "no longer pending";
    usbsim::DeviceCounters c = counters(name);
    EXPECT_EQ(c.pendingUrbs, 0);
    EXPECT_EQ(c.reapableUrbs, 1) << "a discarded URB still waits for its reap";
    ASSERT_EQ(reap(fd), &in);
    EXPECT_EQ(in.urb.status, -ENOENT);
    EXPECT_EQ(in.urb.actual_length, 0);
    TestUrb stranger;
    EXPECT_EQ(request(fd, USBDEVFS_DISCARDURB, &stranger.urb), EINVAL);
    EXPECT_EQ(counters(name).reapableUrbs, 0);
    ops().close(fd);
}

TEST_F(UsbfsSim, CloseDropsUrbsAndClaims)
{
    std::string name = plug("loopback");
    int first = openDevice(name);
    TestUrb in1;
    TestUrb in2;
    ASSERT_EQ(submit(first, in1, USBDEVFS_URB_TYPE_BULK, 0x81, 64), 0);
    ASSERT_EQ(submit(first, in2, USBDEVFS_URB_TYPE_BULK, 0x81, 64), 0);
    ASSERT_EQ(ops().close(first), 0);
    usbsim::DeviceCounters c = counters(name);
    EXPECT_EQ(c.openFiles, 0);
    EXPECT_EQ(c.pendingUrbs, 0);
    EXPECT_EQ(c.reapableUrbs, 0);
    EXPECT_EQ(c.claimedInterfaces, 0);

    // The dropped IN URBs took nothing: the next descriptor gets the data.
    int second = openDevice(name);
    EXPECT_EQ(claim(second, 0), 0);
    TestUrb out;
    TestUrb in;
    ASSERT_EQ(submitOut(second, out, 0x01, "kept"), 0);
    ASSERT_EQ(submit(second, in, USBDEVFS_URB_TYPE_BULK, 0x81, 64), 0);
    EXPECT_EQ(reap(second), &out);
    ASSERT_EQ(reap(second), &in);
    EXPECT_EQ(inData(in), "kept");
    EXPECT_EQ(ops().close(second), 0);
    EXPECT_EQ(ops().close(second), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(UsbfsSim, UnplugCompletesPendingUrbsWithEshutdownThenEverythingAnswersEnodev)
{
    std::string name = plug("loopback");
    std::string node = nodePath(name);
    int fd = openDevice(name);
    int readOnly = openDevice(name, O_RDONLY);
    TestUrb in;
    TestUrb irq;
    ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 64), 0);
    ASSERT_EQ(submit(fd, irq, USBDEVFS_URB_TYPE_INTERRUPT, 0x82, 8), 0);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event watch{};
    watch.events = EPOLLOUT | EPOLLHUP;
    ASSERT_EQ(epoll_ctl(ep, EPOLL_CTL_ADD, ops().pollFd(fd), &watch), 0);
    epoll_event got{};
    EXPECT_EQ(epoll_wait(ep, &got, 1, 0), 0);

    EXPECT_FALSE(ops().readyNow(fd));
    ASSERT_EQ(usbsim::command("unplug " + name), "ok");
    EXPECT_EQ(epoll_wait(ep, &got, 1, 0), 1) << "the descriptor wakes its watcher";
    EXPECT_TRUE(ops().readyNow(fd));
    EXPECT_TRUE(ops().readyNow(readOnly)) << "a vanished device is news on every descriptor";
    TestUrb* first = reap(fd);
    TestUrb* second = reap(fd);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->urb.status, -ESHUTDOWN);
    EXPECT_EQ(second->urb.status, -ESHUTDOWN);
    int err = 0;
    EXPECT_EQ(reap(fd, &err), nullptr);
    EXPECT_EQ(err, ENODEV);
    EXPECT_EQ(claim(fd, 0), ENODEV);
    EXPECT_EQ(request(fd, USBDEVFS_RESET, nullptr), ENODEV);
    uint8_t head[18];
    EXPECT_EQ(ops().read(readOnly, head, sizeof head), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(epoll_wait(ep, &got, 1, 0), 1) << "stays ready: a watcher never sleeps on a dead device";
    EXPECT_TRUE(ops().readyNow(fd));

    EXPECT_EQ(ops().open(node.c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT) << "the node went with the device";
    usbsim::DeviceCounters c = counters(name);
    EXPECT_FALSE(c.plugged);
    EXPECT_EQ(c.openFiles, 2);
    ops().close(fd);
    ops().close(readOnly);
    EXPECT_EQ(counters(name).openFiles, 0);
    close(ep);
}

TEST_F(UsbfsSim, CompletionReadinessIsEpollout)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    int readOnly = openDevice(name, O_RDONLY);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event watch{};
    watch.events = EPOLLOUT;
    watch.data.fd = fd;
    ASSERT_EQ(epoll_ctl(ep, EPOLL_CTL_ADD, ops().pollFd(fd), &watch), 0);
    watch.data.fd = readOnly;
    ASSERT_EQ(epoll_ctl(ep, EPOLL_CTL_ADD, ops().pollFd(readOnly), &watch), 0);
    epoll_event got[2];
    // What the descriptors signal, and what readyNow says of each without
    // a wait: the two agree at every step.
    auto readiness = [&](const char* when) {
        int n = epoll_wait(ep, got, 2, 0);
        EXPECT_EQ(ops().readyNow(fd), n == 1 && got[0].data.fd == fd) << when;
        EXPECT_FALSE(ops().readyNow(readOnly)) << when;
        return n;
    };
    EXPECT_EQ(readiness("before any URB"), 0) << "nothing completed yet";

    TestUrb in;
    TestUrb out;
    ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 64), 0);
    EXPECT_EQ(readiness("IN pending"), 0) << "a pending URB is no completion";
    ASSERT_EQ(submitOut(fd, out, 0x01, "ping"), 0);
    ASSERT_EQ(readiness("OUT submitted"), 1);
    EXPECT_EQ(got[0].data.fd, fd);
    EXPECT_TRUE(got[0].events & EPOLLOUT);
    EXPECT_EQ(reap(fd), &out);
    EXPECT_EQ(readiness("OUT reaped"), 1) << "one completion still waits";
    EXPECT_EQ(reap(fd), &in);
    EXPECT_EQ(readiness("both reaped"), 0);
    EXPECT_FALSE(ops().readyNow(-1));
    close(ep);
    ops().close(fd);
    ops().close(readOnly);
}

TEST_F(UsbfsSim, ControlTransfersAreAnsweredByTheDevice)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    std::vector<uint8_t> data(64);
    int n = 0;
    ASSERT_EQ(control(fd, 0x80, 6, 0x0100, 0, &data, &n), 0);
    EXPECT_EQ(n, 18);
    EXPECT_EQ(data[1], 1);
    data.assign(255, 0);
    ASSERT_EQ(control(fd, 0x80, 6, 0x0302, 0x0409, &data, &n), 0);
    EXPECT_EQ(n, 2 + 2 * 15) << "\"Loopback Device\" in UTF-16";
    EXPECT_EQ(data[2], 'L');
    EXPECT_EQ(control(fd, 0x80, 6, 0x0309, 0x0409, &data, &n), EPIPE) << "no string 9: a stall";
    EXPECT_EQ(control(fd, 0x80, 6, 0x0201, 0, &data, &n), EPIPE) << "no configuration index 1";
    data.assign(4, 0);
    ASSERT_EQ(control(fd, 0xc0, 1, 0, 0, &data, &n), 0) << "the loopback's vendor request";
    EXPECT_EQ(n, 4);
    data.assign(5000, 0);
    EXPECT_EQ(control(fd, 0x80, 6, 0x0100, 0, &data, &n), EINVAL) << "longer than a page";

    // As a URB: the setup packet stays, the data follows it at reap.
    TestUrb u;
    const uint8_t setup[] = {0x80, 6, 0x00, 0x01, 0, 0, 18, 0};
    u.buffer.assign(sizeof setup + 18, 0);
    std::copy(std::begin(setup), std::end(setup), u.buffer.begin());
    ASSERT_EQ(send(fd, u, USBDEVFS_URB_TYPE_CONTROL, 0), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.urb.status, 0);
    EXPECT_EQ(u.urb.actual_length, 18);
    EXPECT_EQ(u.buffer[0], 0x80);
    EXPECT_EQ(u.buffer[8], 18);
    EXPECT_EQ(u.buffer[9], 1);
    ops().close(fd);
}

TEST_F(UsbfsSim, SetConfigurationNeedsEveryInterfaceFree)
{
    std::string name = plug("dual-config at=1-1.1");
    EXPECT_EQ(sysfsText(name, "bConfigurationValue"), "1\n");
    int fd = openDevice(name);
    int two = 2;
    int seven = 7;
    ASSERT_EQ(claim(fd, 0), 0);
    EXPECT_EQ(request(fd, USBDEVFS_SETCONFIGURATION, &two), EBUSY);
    unsigned zero = 0;
    ASSERT_EQ(request(fd, USBDEVFS_RELEASEINTERFACE, &zero), 0);
    EXPECT_EQ(request(fd, USBDEVFS_SETCONFIGURATION, &seven), EINVAL);
    ASSERT_EQ(request(fd, USBDEVFS_SETCONFIGURATION, &two), 0);
    EXPECT_EQ(sysfsText(name, "bConfigurationValue"), "2\n");
    EXPECT_EQ(sysfsText(name + ":2.0", "bInterfaceClass"), "ff\n");
    EXPECT_EQ(access(sysfsPath(name + ":1.1", "").c_str(), F_OK), -1) << "the old interfaces went";

    TestUrb u;
    EXPECT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x81, 8), ENOENT) << "an endpoint of configuration 1";
    EXPECT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x84, 8), 0);
    int none = 0;
    ASSERT_EQ(request(fd, USBDEVFS_RELEASEINTERFACE, &zero), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.urb.status, -ENOENT) << "releasing the interface killed its URB";
    ASSERT_EQ(request(fd, USBDEVFS_SETCONFIGURATION, &none), 0);
    EXPECT_EQ(sysfsText(name, "bConfigurationValue"), "");
    EXPECT_EQ(claim(fd, 0), ENOENT) << "an unconfigured device has no interfaces";
    ops().close(fd);
}

TEST_F(UsbfsSim, AlternateSettingSelectsEndpoints)
{
    std::string name = plug("dual-config at=1-1.1");
    int fd = openDevice(name);
    TestUrb in;
    TestUrb report;
    EXPECT_EQ(submit(fd, report, USBDEVFS_URB_TYPE_INTERRUPT, 0x82, 8), ENOENT) << "only in setting 1";
    ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 8), 0);
    usbdevfs_setinterface setting{0, 1};
    ASSERT_EQ(request(fd, USBDEVFS_SETINTERFACE, &setting), 0);
    ASSERT_EQ(reap(fd), &in);
    EXPECT_EQ(in.urb.status, -ENOENT) << "the change killed the interface's URBs";
    EXPECT_EQ(sysfsText(name + ":1.0", "bAlternateSetting"), " 1\n");
    EXPECT_EQ(sysfsText(name + ":1.0", "bNumEndpoints"), "03\n");
    ASSERT_EQ(submit(fd, report, USBDEVFS_URB_TYPE_INTERRUPT, 0x82, 8), 0);
    TestUrb out;
    ASSERT_EQ(submitOut(fd, out, 0x01, "x"), 0);
    EXPECT_EQ(reap(fd), &out);
    ASSERT_EQ(reap(fd), &report);
    EXPECT_EQ(report.urb.actual_length, 4);
    EXPECT_EQ(report.buffer[0], 1) << "one OUT transfer so far";
    usbdevfs_setinterface missing{0, 5};
    EXPECT_EQ(request(fd, USBDEVFS_SETINTERFACE, &missing), EINVAL);
    usbdevfs_setinterface otherInterface{1, 1};
    int second = openDevice(name);
    EXPECT_EQ(request(fd, USBDEVFS_SETINTERFACE, &otherInterface), 0) << "claims interface 1 implicitly";
    EXPECT_EQ(claim(second, 1), EBUSY);
    ops().close(second);
    ops().close(fd);
}

TEST_F(UsbfsSim, StalledEndpointStaysHaltedUntilClearHalt)
{
    std::string name = plug("loopback");
    ASSERT_EQ(usbsim::command("inject " + name + " urb:0x81 stall 1"), "ok");
    int fd = openDevice(name);
    TestUrb in;
    ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 64), 0);
    ASSERT_EQ(reap(fd), &in);
    EXPECT_EQ(in.urb.status, -EPIPE);
    ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 64), 0);
    ASSERT_EQ(reap(fd), &in);
    EXPECT_EQ(in.urb.status, -EPIPE) << "still halted";
    unsigned endpoint = 0x81;
    ASSERT_EQ(request(fd, USBDEVFS_CLEAR_HALT, &endpoint), 0);
    unsigned missing = 0x87;
    EXPECT_EQ(request(fd, USBDEVFS_CLEAR_HALT, &missing), ENOENT);
    TestUrb out;
    ASSERT_EQ(submitOut(fd, out, 0x01, "after"), 0);
    ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 64), 0);
    EXPECT_EQ(reap(fd), &out);
    ASSERT_EQ(reap(fd), &in);
    EXPECT_EQ(in.urb.status, 0);
    EXPECT_EQ(inData(in), "after");
    ops().close(fd);
}

TEST_F(UsbfsSim, ResetDropsClaimsAndKillsUrbs)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    TestUrb in;
    ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 64), 0);
    ASSERT_EQ(request(fd, USBDEVFS_RESET, nullptr), 0);
    ASSERT_EQ(reap(fd), &in);
    EXPECT_EQ(in.urb.status, -ENOENT);
    EXPECT_EQ(counters(name).claimedInterfaces, 0) << "a reset takes the claims";
    ASSERT_EQ(usbsim::command("inject " + name + " reset EIO 1"), "ok");
    EXPECT_EQ(request(fd, USBDEVFS_RESET, nullptr), EIO);
    EXPECT_EQ(request(fd, USBDEVFS_RESET, nullptr), 0) << "injected once";
    EXPECT_EQ(usbsim::requestCount(name, "reset"), 3u);
    ops().close(fd);
}

TEST_F(UsbfsSim, PortReleaseSucceedsUnlessTheKernelLacksIt)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    EXPECT_EQ(request(fd, USBDEVFS_PORT_RELEASE, nullptr), 0);
    ASSERT_EQ(usbsim::command("inject " + name + " port_release ENOTTY"), "ok");
    EXPECT_EQ(request(fd, USBDEVFS_PORT_RELEASE, nullptr), ENOTTY);
    EXPECT_EQ(request(fd, USBDEVFS_PORT_RELEASE, nullptr), ENOTTY) << "until cleared";
    ASSERT_EQ(usbsim::command("inject " + name + " clear"), "ok");
    EXPECT_EQ(request(fd, USBDEVFS_PORT_RELEASE, nullptr), 0);
    EXPECT_EQ(request(fd, USBDEVFS_GET_CAPABILITIES, nullptr), ENOTTY) << "not a request of this host";
    ops().close(fd);
}

TEST_F(UsbfsSim, KernelDriversHoldInterfacesUntilDisconnected)
{
    std::string storage = plug("storage kernel-driver");
    int fd = openDevice(storage);
    usbdevfs_getdriver driver{};
    ASSERT_EQ(request(fd, USBDEVFS_GETDRIVER, &driver), 0);
    EXPECT_STREQ(driver.driver, "usb-storage");
    EXPECT_EQ(claim(fd, 0), EBUSY);

    usbdevfs_ioctl disconnect{0, static_cast<int>(USBDEVFS_DISCONNECT), nullptr};
    usbdevfs_ioctl connect{0, static_cast<int>(USBDEVFS_CONNECT), nullptr};
    ASSERT_EQ(ops().ioctl(fd, USBDEVFS_IOCTL, &disconnect), 0);
    EXPECT_EQ(request(fd, USBDEVFS_GETDRIVER, &driver), ENODATA);
    EXPECT_EQ(request(fd, USBDEVFS_IOCTL, &disconnect), ENODATA) << "nothing bound any more";
    ASSERT_EQ(claim(fd, 0), 0);
    EXPECT_EQ(request(fd, USBDEVFS_IOCTL, &connect), EBUSY);
    unsigned zero = 0;
    ASSERT_EQ(request(fd, USBDEVFS_RELEASEINTERFACE, &zero), 0);
    EXPECT_EQ(ops().ioctl(fd, USBDEVFS_IOCTL, &connect), 1) << "a kernel driver was bound again";
    ASSERT_EQ(request(fd, USBDEVFS_IOCTL, &disconnect), 0);
    ASSERT_EQ(claim(fd, 0), 0);
    ASSERT_EQ(request(fd, USBDEVFS_RESET, nullptr), 0);
    ASSERT_EQ(request(fd, USBDEVFS_GETDRIVER, &driver), 0);
    EXPECT_STREQ(driver.driver, "usb-storage") << "the reset gave the interface back to the driver";
    ops().close(fd);

    std::string loopback = plug("loopback");
    int other = openDevice(loopback);
    EXPECT_EQ(ops().ioctl(other, USBDEVFS_IOCTL, &connect), 0) << "no driver for a vendor device";
    EXPECT_EQ(request(other, USBDEVFS_GETDRIVER, &driver), ENODATA);
    ops().close(other);

    int hub = openDevice("1-1");
    EXPECT_EQ(claim(hub, 0), EBUSY) << "the hub driver is always there";
    int one = 1;
    EXPECT_EQ(request(hub, USBDEVFS_SETCONFIGURATION, &one), EBUSY);
    ops().close(hub);
}

TEST_F(UsbfsSim, InjectedErrorsReachTheirRequest)
{
    std::string name = plug("dual-config");
    int fd = openDevice(name);
    int config = 1;
    unsigned endpoint = 0x81;
    usbdevfs_setinterface setting{0, 1};
    usbdevfs_getdriver driver{};
    std::vector<uint8_t> data(18);
    int n = 0;
    TestUrb u;
    struct Case {
        const char* request;
        const char* error;
        int expected;
        std::function<int()> call;
    };
    const Case cases[] = {
        {"control", "ETIMEDOUT", ETIMEDOUT, [&] { return control(fd, 0x80, 6, 0x0100, 0, &data, &n); }},
        {"control", "stall", EPIPE, [&] { return control(fd, 0x80, 6, 0x0100, 0, &data, &n); }},
        {"claim", "EIO", EIO, [&] { return claim(fd, 0); }},
        {"setinterface", "EPROTO", EPROTO, [&] { return request(fd, USBDEVFS_SETINTERFACE, &setting); }},
        {"clear_halt", "EPIPE", EPIPE, [&] { return request(fd, USBDEVFS_CLEAR_HALT, &endpoint); }},
        {"resetep", "EIO", EIO, [&] { return request(fd, USBDEVFS_RESETEP, &endpoint); }},
        {"getdriver", "ENODEV", ENODEV, [&] { return request(fd, USBDEVFS_GETDRIVER, &driver); }},
        {"submit", "ENOMEM", ENOMEM, [&] { return submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x81, 8); }},
        {"setconfig", "EIO", EIO, [&] { return request(fd, USBDEVFS_SETCONFIGURATION, &config); }},
        {"open", "EACCES", EACCES, [&] { return openDevice(name) < 0 ? errno : 0; }},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(usbsim::command(std::string("inject ") + name + " " + c.request + " " + c.error + " 1"), "ok");
        EXPECT_EQ(c.call(), c.expected) << c.request << " " << c.error;
    }
    EXPECT_EQ(usbsim::command("inject " + name + " fly EIO"), "error: unknown request 'fly'");
    EXPECT_EQ(usbsim::command("inject " + name + " reset EWHAT"),
              "error: unknown error 'EWHAT' (an errno name like EIO, stall, ok)");
    ops().close(fd);
}

TEST_F(UsbfsSim, UrbMemoryIsLimitedLikeTheKernels)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    TestUrb big;
    EXPECT_EQ(submit(fd, big, USBDEVFS_URB_TYPE_BULK, 0x81, 17 * 1024 * 1024), ENOMEM);
    TestUrb fits;
    EXPECT_EQ(submit(fd, fits, USBDEVFS_URB_TYPE_BULK, 0x81, 1024 * 1024), 0);
    ops().close(fd);
}

} // namespace
