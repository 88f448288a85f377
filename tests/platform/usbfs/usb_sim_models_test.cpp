// What the simulated devices do on their endpoints.
#include "support/usb_sim_fixture.h"

#include "platform/usbfs/sim/usb_sim_loopback.h"
#include "platform/usbfs/sim/usb_sim_model.h"

#include <unistd.h>

namespace {

class UsbSimModels : public UsbSimTest {
protected:
    // Submits, and expects the URB back at once.
    TestUrb* roundTrip(int fd, TestUrb& u)
    {
        TestUrb* done = reap(fd);
        EXPECT_EQ(done, &u);
        return done;
    }
};

std::string pattern(size_t size, unsigned seed)
{
    std::string data(size, 0);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 7 + seed) & 0xff);
    return data;
}

TEST_F(UsbSimModels, LoopbackEchoesBulkOutOnBulkIn)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    std::string sent = pattern(1000, 3);
    TestUrb out;
    TestUrb in;
    ASSERT_EQ(submitOut(fd, out, 0x01, sent), 0);
    ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 4096), 0);
    roundTrip(fd, out);
    ASSERT_TRUE(roundTrip(fd, in));
    EXPECT_EQ(in.urb.status, 0);
    EXPECT_EQ(inData(in), sent) << "a short packet ends the transfer";
    ops().close(fd);
}

TEST_F(UsbSimModels, LoopbackFillsWholeUrbsAndEndsWithAShortOne)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    std::string sent = pattern(200000, 11);
    for (size_t offset = 0; offset < sent.size(); offset += 65536) {
        TestUrb out;
        ASSERT_EQ(submitOut(fd, out, 0x01, sent.substr(offset, 65536)), 0);
        roundTrip(fd, out);
    }
    std::string received;
    std::vector<int> lengths;
    for (int i = 0; i < 4; ++i) {
        TestUrb in;
        ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 65536), 0);
        ASSERT_TRUE(roundTrip(fd, in));
        lengths.push_back(in.urb.actual_length);
        received += inData(in);
    }
    EXPECT_EQ(lengths, (std::vector<int>{65536, 65536, 65536, 3392}));
    EXPECT_EQ(received, sent);
    TestUrb more;
    ASSERT_EQ(submit(fd, more, USBDEVFS_URB_TYPE_BULK, 0x81, 65536), 0);
    int err = 0;
    EXPECT_EQ(reap(fd, &err), nullptr) << "nothing left: the device NAKs";
    EXPECT_EQ(err, EAGAIN);
    ops().close(fd);
}

TEST_F(UsbSimModels, LoopbackHoldsOutDataWhileItsFifoIsFull)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    TestUrb fill;
    TestUrb extra;
    TestUrb in;
    ASSERT_EQ(submit(fd, fill, USBDEVFS_URB_TYPE_BULK, 0x01, usbsim::LoopbackModel::kFifoCapacity, 1), 0);
    ASSERT_EQ(submit(fd, extra, USBDEVFS_URB_TYPE_BULK, 0x01, 100, 2), 0);
    roundTrip(fd, fill);
    int err = 0;
    EXPECT_EQ(reap(fd, &err), nullptr) << "the device NAKs the OUT data it has no room for";
    ASSERT_EQ(submit(fd, in, USBDEVFS_URB_TYPE_BULK, 0x81, 65536), 0);
    roundTrip(fd, in);
    EXPECT_EQ(in.urb.actual_length, 65536);
    roundTrip(fd, extra);
    EXPECT_EQ(extra.urb.status, 0);
    EXPECT_EQ(extra.urb.actual_length, 100);
    ops().close(fd);
}

TEST_F(UsbSimModels, LoopbackInterruptEndpointCountsOutTransfers)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    TestUrb report;
    ASSERT_EQ(submit(fd, report, USBDEVFS_URB_TYPE_INTERRUPT, 0x82, 8), 0);
    EXPECT_EQ(counters(name).pendingUrbs, 1);
    TestUrb empty;
    TestUrb second;
    ASSERT_EQ(submitOut(fd, empty, 0x01, ""), 0) << "a zero-length transfer";
    ASSERT_EQ(submitOut(fd, second, 0x01, "ab"), 0);
    EXPECT_EQ(reap(fd), &empty);
    EXPECT_EQ(empty.urb.actual_length, 0);
    EXPECT_EQ(reap(fd), &report) << "the report follows the transfer it counts";
    EXPECT_EQ(report.urb.actual_length, 4);
    EXPECT_EQ(report.buffer[0], 1);
    EXPECT_EQ(reap(fd), &second);
    ASSERT_EQ(submit(fd, report, USBDEVFS_URB_TYPE_INTERRUPT, 0x82, 8), 0);
    roundTrip(fd, report);
    EXPECT_EQ(report.buffer[0], 2);
    ops().close(fd);
}

// Bulk-only transport: command block, data stage, status.
class StorageSession {
public:
    explicit StorageSession(int fd) : fd_(fd) {}

    struct Result {
        int cswStatus = -1;
        uint32_t residue = 0;
        std::string data;
        int dataStatus = 0;
    };

    Result run(const std::vector<uint8_t>& cb, uint32_t length, bool in, const std::string& outData = "")
    {
        Result result;
        std::string cbw(31, 0);
        const uint32_t words[3] = {0x43425355, ++tag_, length};
        memcpy(&cbw[0], words, sizeof words);
        cbw[12] = static_cast<char>(in ? 0x80 : 0);
        cbw[14] = static_cast<char>(cb.size());
        memcpy(&cbw[15], cb.data(), cb.size());
        TestUrb command;
        EXPECT_EQ(UsbSimTest::submitOut(fd_, command, 0x02, cbw), 0);
        EXPECT_EQ(take(), &command);
        if (length > 0) {
            TestUrb data;
            if (in) {
                EXPECT_EQ(UsbSimTest::submit(fd_, data, USBDEVFS_URB_TYPE_BULK, 0x81, length), 0);
            } else {
                EXPECT_EQ(UsbSimTest::submitOut(fd_, data, 0x02, outData), 0);
            }
            EXPECT_EQ(take(), &data);
            result.dataStatus = data.urb.status;
            if (in)
                result.data = std::string(data.buffer.begin(), data.buffer.begin() + data.urb.actual_length);
        }
        TestUrb status;
        EXPECT_EQ(UsbSimTest::submit(fd_, status, USBDEVFS_URB_TYPE_BULK, 0x81, 13), 0);
        EXPECT_EQ(take(), &status);
        EXPECT_EQ(status.urb.actual_length, 13);
        uint32_t csw[3];
        memcpy(csw, status.buffer.data(), sizeof csw);
        EXPECT_EQ(csw[0], 0x53425355u);
        EXPECT_EQ(csw[1], tag_);
        result.residue = csw[2];
        result.cswStatus = status.buffer[12];
        return result;
    }

private:
    TestUrb* take()
    {
        void* done = nullptr;
        if (simUsbfsOps.ioctl(fd_, USBDEVFS_REAPURBNDELAY, &done) != 0)
            return nullptr;
        return static_cast<TestUrb*>(static_cast<usbdevfs_urb*>(done)->usercontext);
    }

    int fd_;
    uint32_t tag_ = 0;
};

std::vector<uint8_t> rw10(uint8_t opcode, uint32_t lba, uint16_t blocks)
{
    return {opcode, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(lba >> 8),
            static_cast<uint8_t>(lba), 0, static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks), 0};
}

TEST_F(UsbSimModels, MassStorageReadsAndWritesTheImageFile)
{
    std::string image = root_.dir() + "/disk.img";
    {
        std::ofstream seed(image, std::ios::binary);
        std::string first = pattern(512, 99);
        seed << first << std::string(1024 * 1024 - 512, '\0');
    }
    std::string name = plug("storage image=" + image);
    int fd = openDevice(name);
    ASSERT_EQ(claim(fd, 0), 0);
    StorageSession scsi(fd);

    StorageSession::Result inquiry = scsi.run({0x12, 0, 0, 0, 36, 0}, 36, true);
    EXPECT_EQ(inquiry.cswStatus, 0);
    ASSERT_EQ(inquiry.data.size(), 36u);
    EXPECT_EQ(inquiry.data[1], '\x80') << "removable";
    EXPECT_EQ(inquiry.data.substr(8, 8), "WEVSIM  ");

    EXPECT_EQ(scsi.run({0, 0, 0, 0, 0, 0}, 0, false).cswStatus, 0) << "TEST UNIT READY";

    StorageSession::Result capacity = scsi.run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, true);
    ASSERT_EQ(capacity.data.size(), 8u);
    const uint8_t* cap = reinterpret_cast<const uint8_t*>(capacity.data.data());
    EXPECT_EQ(cap[0] << 24 | cap[1] << 16 | cap[2] << 8 | cap[3], 2047) << "last block of 1 MiB";
    EXPECT_EQ(cap[4] << 24 | cap[5] << 16 | cap[6] << 8 | cap[7], 512);

    StorageSession::Result first = scsi.run(rw10(0x28, 0, 1), 512, true);
    EXPECT_EQ(first.cswStatus, 0);
    EXPECT_EQ(first.data, pattern(512, 99)) << "what the image held before the plug";

    std::string written = pattern(1024, 5);
    StorageSession::Result write = scsi.run(rw10(0x2a, 5, 2), 1024, false, written);
    EXPECT_EQ(write.cswStatus, 0);
    EXPECT_EQ(write.residue, 0u);
    StorageSession::Result back = scsi.run(rw10(0x28, 5, 2), 1024, true);
    EXPECT_EQ(back.cswStatus, 0);
    EXPECT_EQ(back.data, written);

    std::ifstream disk(image, std::ios::binary);
    disk.seekg(5 * 512);
    std::string onDisk(1024, 0);
    disk.read(&onDisk[0], 1024);
    EXPECT_EQ(onDisk, written) << "the image file holds the written blocks";
    ops().close(fd);
}

TEST_F(UsbSimModels, MassStorageReportsFailuresThroughSense)
{
    std::string name = plug("storage size=64K");
    int fd = openDevice(name);
    StorageSession scsi(fd);
    struct Case { std::vector<uint8_t> cb; uint32_t length; uint8_t key; uint8_t asc; const char* why; };
    const Case cases[] = {
        {{0xff, 0, 0, 0, 0, 0}, 0, 0x05, 0x20, "unknown operation code"},
        {rw10(0x28, 127, 2), 1024, 0x05, 0x21, "read past the last block"},
        {{0x12, 1, 0x80, 0, 36, 0}, 36, 0x05, 0x24, "vital product data not offered"},
    };
    for (const Case& c : cases) {
        StorageSession::Result failed = scsi.run(c.cb, c.length, true);
        EXPECT_EQ(failed.cswStatus, 1) << c.why;
        EXPECT_EQ(failed.data, "") << c.why << ": the data stage ends at once";
        EXPECT_EQ(failed.residue, c.length) << c.why;
        StorageSession::Result sense = scsi.run({0x03, 0, 0, 0, 18, 0}, 18, true);
        ASSERT_EQ(sense.data.size(), 18u) << c.why;
        EXPECT_EQ(sense.data[2], c.key) << c.why;
        EXPECT_EQ(static_cast<uint8_t>(sense.data[12]), c.asc) << c.why;
    }
    StorageSession::Result cleared = scsi.run({0x03, 0, 0, 0, 18, 0}, 18, true);
    EXPECT_EQ(cleared.data[2], 0) << "REQUEST SENSE clears the sense";

    TestUrb bad;
    ASSERT_EQ(submitOut(fd, bad, 0x02, "not a command block"), 0);
    ASSERT_EQ(reap(fd), &bad);
    EXPECT_EQ(bad.urb.status, -EPIPE) << "an invalid command block stalls";
    ops().close(fd);
}

TEST_F(UsbSimModels, KeyboardSendsTypedKeysAsReports)
{
    std::string name = plug("keyboard");
    int fd = openDevice(name);
    TestUrb report;
    ASSERT_EQ(submit(fd, report, USBDEVFS_URB_TYPE_INTERRUPT, 0x81, 8), 0);
    int err = 0;
    EXPECT_EQ(reap(fd, &err), nullptr) << "no key pressed yet";
    ASSERT_EQ(usbsim::command("type " + name + " Hi 1"), "ok");
    const std::vector<std::vector<uint8_t>> expected = {
        {2, 0, 0x0b, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0x0c, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0},
        {0, 0, 0x2c, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0x1e, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        if (i > 0) {
            ASSERT_EQ(submit(fd, report, USBDEVFS_URB_TYPE_INTERRUPT, 0x81, 8), 0);
        }
        ASSERT_EQ(reap(fd), &report) << i;
        EXPECT_EQ(report.buffer, expected[i]) << "report " << i;
    }
    EXPECT_EQ(usbsim::command("type " + name + " \x01"), "error: no key types character 0x01");
    EXPECT_EQ(usbsim::command("type " + plug("loopback") + " x"), "error: a loopback device takes no input");

    std::vector<uint8_t> descriptor(128);
    usbdevfs_ctrltransfer c{0x81, 6, 0x2200, 0, 128, 1000, descriptor.data()};
    EXPECT_EQ(ops().ioctl(fd, USBDEVFS_CONTROL, &c), 63) << "the boot keyboard's report descriptor";
    EXPECT_EQ(descriptor[0], 0x05);
    ops().close(fd);
}

TEST_F(UsbSimModels, HubAnswersItsClassDescriptor)
{
    std::string name = plug("hub ports=10 at=1-2");
    EXPECT_EQ(sysfsText(name, "maxchild"), "10\n");
    EXPECT_EQ(sysfsText(name, "bDeviceClass"), "09\n");
    int fd = openDevice(name);
    std::vector<uint8_t> d(64);
    usbdevfs_ctrltransfer c{0xa0, 6, 0x2900, 0, 64, 1000, d.data()};
    ASSERT_EQ(ops().ioctl(fd, USBDEVFS_CONTROL, &c), 11);
    EXPECT_EQ(d[1], 0x29);
    EXPECT_EQ(d[2], 10);
    ops().close(fd);
    EXPECT_EQ(plug("loopback at=1-2.10"), "1-2.10");
    EXPECT_EQ(usbsim::command("plug loopback at=1-2.11"), "error: 1-2 has no port 11");
}

TEST_F(UsbSimModels, BrokenDescriptorsAreDeliveredAsTheDeviceHasThem)
{
    struct Case { const char* fault; int configHeads; int interfaceLength; int string0Length; };
    const Case cases[] = {
        {"extra-config", 2, 9, 4},
        {"long-interface", 1, 12, 4},
        {"short-langids", 1, 9, 2},
    };
    int place = 1;
    for (const Case& c : cases) {
        std::string name = plug(std::string("broken fault=") + c.fault + " at=1-1." + std::to_string(place++));
        int fd = openDevice(name);
        std::vector<uint8_t> all(1024);
        ssize_t n = ops().read(fd, all.data(), all.size());
        ASSERT_GT(n, 18);
        int configHeads = 0;
        int interfaceLength = 0;
        for (size_t pos = 18; pos + 1 < static_cast<size_t>(n) && all[pos] >= 2; pos += all[pos]) {
            configHeads += all[pos + 1] == 2 && all[pos] == 9;
            if (all[pos + 1] == 4)
                interfaceLength = all[pos];
        }
        EXPECT_EQ(all[17], 1) << c.fault;
        EXPECT_EQ(configHeads, c.configHeads) << c.fault;
        EXPECT_EQ(interfaceLength, c.interfaceLength) << c.fault;
        std::vector<uint8_t> langids(255);
        usbdevfs_ctrltransfer get{0x80, 6, 0x0300, 0, 255, 1000, langids.data()};
        EXPECT_EQ(ops().ioctl(fd, USBDEVFS_CONTROL, &get), c.string0Length) << c.fault;
        TestUrb u;
        EXPECT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x81, 8), 0) << c.fault << ": the host still knows the endpoints";
        ops().close(fd);
    }
    EXPECT_EQ(usbsim::command("plug broken fault=odd"),
              "error: unknown fault 'odd' (extra-config, long-interface, short-langids)");
}

TEST_F(UsbSimModels, SpecialIdsPlugAsLoopbackDevicesWithThoseIds)
{
    for (size_t i = 0; i < usbsim::kSpecialIdCount; ++i) {
        char model[16];
        snprintf(model, sizeof model, "%04x:%04x", usbsim::kSpecialIds[i].vendor, usbsim::kSpecialIds[i].product);
        std::string name = plug(std::string(model) + " at=1-3." + std::to_string(i + 1));
        char vendor[8];
        char product[8];
        snprintf(vendor, sizeof vendor, "%04x\n", usbsim::kSpecialIds[i].vendor);
        snprintf(product, sizeof product, "%04x\n", usbsim::kSpecialIds[i].product);
        EXPECT_EQ(sysfsText(name, "idVendor"), vendor) << model;
        EXPECT_EQ(sysfsText(name, "idProduct"), product) << model;
    }
    std::string listed = usbsim::command("models");
    EXPECT_NE(listed.find("0424:2740 never taken by the device scan"), std::string::npos) << listed;
    EXPECT_EQ(usbsim::command("plug 0424:27"), "error: unknown model '0424:27' (loopback, keyboard, storage, hub, "
                                               "dual-config, broken, or VVVV:PPPP)");
}

} // namespace

// A zero-length data stage or IN transfer reaches the device with nothing
// to copy: every model answers it without touching memory (the sanitizer
// build ends the run on a copy through a null pointer).
TEST_F(UsbSimModels, ZeroLengthRequestsAreAnsweredWithNoBytes)
{
    struct Request {
        uint8_t type;
        uint8_t request;
        uint16_t value;
        uint16_t index;
    };
    const Request requests[] = {
        {0x80, 6, 0x0100, 0},       {0x80, 6, 0x0200, 0},  {0x80, 6, 0x0300, 0}, {0x80, 6, 0x0302, 0x0409},
        {0x80, 0, 0, 0},            {0xc0, 1, 0, 0},       {0x81, 6, 0x2200, 0}, {0xa0, 6, 0x2900, 0},
        {0xa1, 0xfe, 0, 0},         {0xa1, 1, 0x0100, 0},  {0xc0, 0x55, 0, 0},
    };
    for (const char* kind : {"loopback", "keyboard", "storage", "hub"}) {
        std::string name = plug(kind);
        int fd = openDevice(name);
        ASSERT_GE(fd, 0) << kind;
        usbdevfs_ioctl disconnect{0, static_cast<int>(USBDEVFS_DISCONNECT), nullptr};
        ops().ioctl(fd, USBDEVFS_IOCTL, &disconnect);
        // An interface held by a driver refuses its requests before they
        // reach the device.
        const bool claimed = claim(fd, 0) == 0;
        for (const Request& r : requests) {
            SCOPED_TRACE(testing::Message() << kind << " request " << std::hex << int(r.type) << "/" << int(r.request)
                                            << " value " << r.value);
            const bool refused = !claimed && (r.type & 0x1f) == 1;
            usbdevfs_ctrltransfer c{r.type, r.request, r.value, r.index, 0, 1000, nullptr};
            int n = ops().ioctl(fd, USBDEVFS_CONTROL, &c);
            const int error = n < 0 ? errno : 0;
            if (refused)
                EXPECT_EQ(error, EBUSY);
            else
                EXPECT_TRUE(n == 0 || error == EPIPE) << n << " " << strerror(error);
            if (refused)
                continue;

            TestUrb u;
            u.buffer = {r.type, r.request, uint8_t(r.value), uint8_t(r.value >> 8), uint8_t(r.index),
                        uint8_t(r.index >> 8), 0, 0};
            ASSERT_EQ(send(fd, u, USBDEVFS_URB_TYPE_CONTROL, 0), 0);
            ASSERT_EQ(reap(fd), &u);
            EXPECT_TRUE(u.urb.status == 0 || u.urb.status == -EPIPE) << u.urb.status;
            EXPECT_EQ(u.urb.actual_length, 0);
        }
        ops().close(fd);
    }
}

TEST_F(UsbSimModels, ZeroLengthInTransfersTakeNoBytes)
{
    std::string name = plug("loopback");
    int fd = openDevice(name);
    TestUrb out;
    ASSERT_EQ(submitOut(fd, out, 0x01, "data"), 0);
    ASSERT_EQ(reap(fd), &out);
    struct Case {
        uint8_t type;
        uint8_t endpoint;
    } cases[] = {{USBDEVFS_URB_TYPE_INTERRUPT, 0x82}, {USBDEVFS_URB_TYPE_BULK, 0x81}};
    for (const Case& c : cases) {
        TestUrb in;
        ASSERT_EQ(submit(fd, in, c.type, c.endpoint, 0), 0);
        ASSERT_EQ(reap(fd), &in) << "endpoint " << int(c.endpoint) << ": the device has data, the URB room for none";
        EXPECT_EQ(in.urb.status, 0);
        EXPECT_EQ(in.urb.actual_length, 0);
    }
    TestUrb rest;
    ASSERT_EQ(submit(fd, rest, USBDEVFS_URB_TYPE_BULK, 0x81, 64), 0);
    ASSERT_EQ(reap(fd), &rest);
    EXPECT_EQ(inData(rest), "data") << "a zero-length IN takes nothing from the device";
    ops().close(fd);
}
