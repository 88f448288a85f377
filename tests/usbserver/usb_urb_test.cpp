// The URB engine against the simulated host: splitting into URBs, answers
// per URB, the bulk IN queue per endpoint, discards, stalls, unplugs, and
// the stream staying in step whatever is refused.
#include "usb_device_ops_fixture.h"

#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <iterator>

namespace {

constexpr int kPort = 1;
constexpr int kBulkOut = 0x01;
constexpr int kBulkIn = 0x81;
constexpr int kInterruptIn = 0x82;

constexpr uint32_t kFinal = kUsbReplyOpcodeBase + kUsbOpTransfer;
constexpr uint32_t kIntermediate = kUsbReplyOpcodeBase + kUsbOpUrbIntermediate;

class UsbUrbTest : public UsbDeviceOpsTest {
public:
    // A loopback device connected to a new session.
    DeviceClient& connectedLoopback(std::string* name = nullptr)
    {
        row_ = plugDevice("loopback", kPort, &name_);
        EXPECT_GE(row_, 0);
        if (name)
            *name = name_;
        DeviceClient& c = client();
        EXPECT_EQ(c.connect(row_, kPort).header.status, kUsbStatusDone);
        return c;
    }

    // Bulk OUT that the loopback keeps for the IN side.
    void fill(DeviceClient& c, const Bytes& data)
    {
        UrbResult r = c.transfer(row_, kPort, kBulkOut, kUrbTypeBulk, 0, data);
        ASSERT_EQ(r.final().header.status, kUsbStatusDone);
        ASSERT_EQ(r.answers.size(), 1u);
    }

    int submits(uint8_t endpoint) const
    {
        char prefix[32];
        snprintf(prefix, sizeof prefix, "submit bulk 0x%02x", endpoint);
        return countLog(name_, prefix);
    }

    int row_ = -1;
    std::string name_;
};

// The edge cases of the URB cutting and answering, one table.
TEST_F(UsbUrbTest, TransfersAreCutIntoUrbsAndAnsweredPerUrb)
{
    struct Case {
        const char* what;
        uint32_t queued;       // bytes the device holds for IN
        uint32_t inLength;
        std::vector<uint32_t> answers;  // data bytes of each answer, the last final
        int inSubmits;
    };
    const Case cases[] = {
        {"whole 200000", 200000, 200000, {65536, 65536, 65536, 3392}, 4},
        {"short packet in the second URB", 65536 + 1000, 200000, {65536, 1000}, 2},
        {"one byte", 1, 1, {1}, 1},
        {"exactly one URB", 65536, 65536, {65536}, 1},
        {"one byte over one URB", 65537, 65537, {65536, 1}, 2},
    };
    DeviceClient& c = connectedLoopback();
    uint32_t seed = 1;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Bytes data = pattern(k.queued, seed++);
        fill(c, data);
        const int before = submits(kBulkIn);
        UrbResult r = c.transfer(row_, kPort, kBulkIn, kUrbTypeBulk, k.inLength);
        ASSERT_EQ(r.answers.size(), k.answers.size());
        for (size_t i = 0; i < r.answers.size(); ++i) {
            const Frame& f = r.answers[i];
            EXPECT_EQ(f.header.opcode, i + 1 == r.answers.size() ? kFinal : kIntermediate) << i;
            EXPECT_EQ(f.header.status, kUsbStatusDone);
            EXPECT_EQ(f.header.length, k.answers[i]) << i;
        }
        EXPECT_EQ(r.data(), Bytes(data.begin(), data.begin() + std::min<size_t>(data.size(), k.inLength)));
        EXPECT_EQ(submits(kBulkIn) - before, k.inSubmits);
    }
    EXPECT_TRUE(eventually([&] { return population() == populationBefore_; }));
}

// Bulk transfers longer than one URB: cut into URBs of at most 64 KiB for
// most devices, sent as one URB to a video device (interface class 14),
// whose driver on the client's side counts on the frame coming whole.
TEST_F(UsbUrbTest, BulkOnAVideoDeviceIsOneUrb)
{
    struct Case {
        const char* what;
        const char* options;
        int port;
        int urbsPerDirection;
    };
    const Case cases[] = {
        {"vendor class", "", kPort, 2},
        {"video class", " class=14", kPort + 1, 1},
    };
    const Bytes data = pattern(kUrbMaxLength + 1000, 5);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        row_ = plugDevice(std::string("loopback") + k.options, k.port, &name_);
        ASSERT_GE(row_, 0);
        DeviceClient& c = client();
        ASSERT_EQ(c.connect(row_, k.port).header.status, kUsbStatusDone);
        UrbResult out = c.transfer(row_, k.port, kBulkOut, kUrbTypeBulk, 0, data);
        EXPECT_EQ(out.final().header.status, kUsbStatusDone);
        EXPECT_EQ(countLog(name_, "submit bulk 0x01"), k.urbsPerDirection);
        UrbResult in = c.transfer(row_, k.port, kBulkIn, kUrbTypeBulk, static_cast<uint32_t>(data.size()));
        EXPECT_EQ(in.final().header.status, kUsbStatusDone);
        EXPECT_EQ(in.data(), data);
        EXPECT_EQ(submits(kBulkIn), k.urbsPerDirection);
        EXPECT_EQ(in.answers.size(), static_cast<size_t>(k.urbsPerDirection)) << "one answer per URB";
    }
}

// Every answer to a transfer, intermediate or final, carries the low byte
// of the request's word 0 and nothing of the rest.
TEST_F(UsbUrbTest, AnswersCarryOnlyTheLowByteOfWordZero)
{
    DeviceClient& c = connectedLoopback();
    const uint32_t word0 = 0xa1b2c3d4;
    const Bytes data = pattern(kUrbMaxLength + 10, 3);
    UrbResult out = c.reap(c.submit(row_, kPort, kBulkOut, kUrbTypeBulk, 0, data, word0));
    UrbResult in = c.reap(c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, static_cast<uint32_t>(data.size()), {}, word0));
    ASSERT_EQ(in.answers.size(), 2u) << "an intermediate and a final answer";
    for (const UrbResult* r : {&out, &in}) {
        for (const Frame& f : r->answers) {
            EXPECT_EQ(f.header.status, kUsbStatusDone);
            EXPECT_EQ(f.header.word0, 0xd4u);
        }
    }
}

TEST_F(UsbUrbTest, OutTransferGoesAsUrbsOfAtMost64KiBWithOneFinalAnswer)
{
    DeviceClient& c = connectedLoopback();
    const int before = countLog(name_, "submit bulk 0x01 len 65536");
    UrbResult r = c.transfer(row_, kPort, kBulkOut, kUrbTypeBulk, 0, pattern(131072, 7));
    ASSERT_EQ(r.answers.size(), 1u);
    EXPECT_EQ(r.final().header.opcode, kFinal);
    EXPECT_EQ(r.final().header.status, kUsbStatusDone);
    EXPECT_EQ(r.final().header.length, 0u);
    EXPECT_EQ(countLog(name_, "submit bulk 0x01 len 65536") - before, 2);

    // A zero-length transfer is one URB without a buffer and one answer.
    const int zero = countLog(name_, "submit bulk 0x01 len 0");
    r = c.transfer(row_, kPort, kBulkOut, kUrbTypeBulk, 0, {});
    ASSERT_EQ(r.answers.size(), 1u);
    EXPECT_EQ(r.final().header.status, kUsbStatusDone);
    EXPECT_EQ(countLog(name_, "submit bulk 0x01 len 0") - zero, 1);
}

TEST_F(UsbUrbTest, LargeOutThenInComesBackByteForByte)
{
    DeviceClient& c = connectedLoopback();
    // The loopback keeps at most 1 MiB: the OUT transfer can only end once
    // the client reads. Its IN requests follow the OUT data in the stream,
    // so the server must take all of it from the client first.
    const Bytes data = pattern(3 * 1024 * 1024 + 123, 3);
    uint32_t out = c.submit(row_, kPort, kBulkOut, kUrbTypeBulk, 0, data);
    Bytes back;
    while (back.size() < data.size()) {
        UrbResult in = c.transfer(row_, kPort, kBulkIn, kUrbTypeBulk, 1024 * 1024);
        ASSERT_EQ(in.final().header.status, kUsbStatusDone);
        Bytes part = in.data();
        ASSERT_FALSE(part.empty());
        back.insert(back.end(), part.begin(), part.end());
    }
    UrbResult done = c.reap(out);
    EXPECT_EQ(done.final().header.status, kUsbStatusDone);
    EXPECT_EQ(back, data);
}

// URB buffers are reused from one transfer to the next: whatever size and
// direction came before, an answer carries the bytes of its own transfer and
// nothing an earlier, longer one left behind.
TEST_F(UsbUrbTest, AlternatingSizesAndDirectionsComeBackByteForByte)
{
    DeviceClient& c = connectedLoopback();
    struct Step {
        uint32_t out;      // bytes sent on the OUT endpoint
        uint32_t asked;    // IN length asked for afterwards
    };
    const Step steps[] = {
        {200000, 200000}, {3, 65536}, {65536, 65536}, {1, 200000}, {131073, 131073},
        {512, 4096}, {70000, 1048576}, {64, 64}, {65535, 65536}, {2, 2},
    };
    uint32_t seed = 40;
    for (int round = 0; round < 2; ++round) {
        for (const Step& s : steps) {
            SCOPED_TRACE(testing::Message() << "round " << round << ", " << s.out << " out, " << s.asked << " asked");
            const Bytes data = pattern(s.out, seed++);
            UrbResult out = c.transfer(row_, kPort, kBulkOut, kUrbTypeBulk, 0, data);
            ASSERT_EQ(out.final().header.status, kUsbStatusDone);
            ASSERT_EQ(out.final().header.length, 0u);
            UrbResult in = c.transfer(row_, kPort, kBulkIn, kUrbTypeBulk, s.asked);
            ASSERT_EQ(in.final().header.status, kUsbStatusDone);
            uint32_t announced = 0;
            for (const Frame& f : in.answers)
                announced += f.header.length;
            EXPECT_EQ(announced, s.out);
            EXPECT_EQ(in.data(), data);
        }
    }
}

TEST_F(UsbUrbTest, BulkInOnOneEndpointRunsOneAtATimeInOrder)
{
    DeviceClient& c = connectedLoopback();
    uint32_t first = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
    uint32_t second = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
    EXPECT_EQ(c.heartbeat(1).header.status, kUsbStatusDone);  // both requests taken
    EXPECT_EQ(submits(kBulkIn), 1) << "the second waits in the queue";

    fill(c, pattern(10, 1));
    Frame f;
    ASSERT_TRUE(c.urbAnswer(first, &f));
    EXPECT_EQ(f.header.opcode, kFinal);
    EXPECT_EQ(f.header.length, 10u);
    EXPECT_FALSE(c.urbAnswer(second, &f, 100)) << "the second has no data yet";
    // The second is submitted just after the first's answer went out.
    EXPECT_EQ(c.heartbeat(2).header.status, kUsbStatusDone);
    EXPECT_EQ(submits(kBulkIn), 2) << "the second started when the first ended";

    fill(c, pattern(5, 2));
    ASSERT_TRUE(c.urbAnswer(second, &f));
    EXPECT_EQ(f.header.length, 5u);
}

TEST_F(UsbUrbTest, InterruptUrbWithAFailureIsAnsweredAsSuccess)
{
    DeviceClient& c = connectedLoopback();
    EXPECT_EQ(inject(name_, "urb:0x82 EIO 1").compare(0, 2, "ok"), 0);
    UrbResult r = c.transfer(row_, kPort, kInterruptIn, kUrbTypeInterrupt, 8);
    EXPECT_EQ(r.final().header.status, kUsbStatusDone);
    EXPECT_EQ(r.final().header.length, 0u);

    // A report: the count of OUT transfers so far, little-endian.
    fill(c, pattern(3, 1));
    r = c.transfer(row_, kPort, kInterruptIn, kUrbTypeInterrupt, 8);
    EXPECT_EQ(r.final().header.status, kUsbStatusDone);
    EXPECT_EQ(r.final().header.length, 4u);
}

TEST_F(UsbUrbTest, DiscardOfAPendingInterruptUrbAnswersIt)
{
    DeviceClient& c = connectedLoopback();
    uint32_t tag = c.submit(row_, kPort, kInterruptIn, kUrbTypeInterrupt, 8);
    Bytes id(4);
    usbPutU32(id.data(), tag);
    EXPECT_EQ(c.request(kUsbOpDiscardUrb, id).header.status, kUsbStatusDone);
    UrbResult r = c.reap(tag);
    ASSERT_EQ(r.answers.size(), 1u);
    EXPECT_EQ(r.final().header.status, kUsbStatusDone);
    EXPECT_EQ(r.final().header.length, 0u);
    EXPECT_EQ(countLog(name_, "discard -> 0"), 1);

    // An id that matches nothing: status 0 all the same.
    usbPutU32(id.data(), 0xdeadbeef);
    EXPECT_EQ(c.request(kUsbOpDiscardUrb, id).header.status, kUsbStatusDone);
}

// URB ids are the client's and need not differ between devices: a discard
// takes the matching transfer of the highest row the session owns, one per
// request.
TEST_F(UsbUrbTest, DiscardByIdSearchesTheRowsFromTheHighestDown)
{
    DeviceClient& c = client();
    struct Device {
        int port;
        int row;
        std::string name;
    };
    Device devices[] = {{kPort, -1, ""}, {kPort + 1, -1, ""}};
    for (Device& d : devices) {
        d.row = plugDevice("loopback", d.port, &d.name);
        ASSERT_GE(d.row, 0);
        ASSERT_EQ(c.connect(d.row, d.port).header.status, kUsbStatusDone);
    }
    std::sort(std::begin(devices), std::end(devices), [](const Device& a, const Device& b) { return a.row > b.row; });
    const uint32_t tag = c.newTag();
    for (const Device& d : devices)
        ASSERT_TRUE(c.sendRequest(kUsbOpTransfer, tag, transferBody(d.row, d.port, kInterruptIn, kUrbTypeInterrupt, 8, 0)));
    EXPECT_TRUE(eventually([&] { return countLog(devices[1].name, "submit interrupt 0x82") == 1; }));
    Bytes id(4);
    usbPutU32(id.data(), tag);
    for (const Device& d : devices) {
        SCOPED_TRACE("row " + std::to_string(d.row));
        EXPECT_EQ(c.request(kUsbOpDiscardUrb, id).header.status, kUsbStatusDone);
        Frame answer;
        ASSERT_TRUE(c.urbAnswer(tag, &answer));
        EXPECT_EQ(countLog(d.name, "discard -> 0"), 1) << "the highest row still holding the id";
    }
    for (const Device& d : devices)
        EXPECT_EQ(countLog(d.name, "discard -> 0"), 1) << "row " << d.row;
}

TEST_F(UsbUrbTest, DiscardingAQueuedTransferAnswersItAndTheQueueGoesOn)
{
    DeviceClient& c = connectedLoopback();
    uint32_t running = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
    uint32_t queued = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
    uint32_t last = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
    Bytes id(4);
    usbPutU32(id.data(), queued);
    EXPECT_EQ(c.request(kUsbOpDiscardUrb, id).header.status, kUsbStatusDone);
    UrbResult r = c.reap(queued);
    EXPECT_EQ(r.final().header.status, kUsbStatusGone);
    EXPECT_EQ(r.final().header.error, static_cast<uint32_t>(EPIPE));

    fill(c, pattern(6, 1));
    EXPECT_EQ(c.reap(running).final().header.length, 6u);
    fill(c, pattern(7, 2));
    EXPECT_EQ(c.reap(last).final().header.length, 7u);
}

TEST_F(UsbUrbTest, AbortEndpointAnswersQueuedSetsAtOnceAndRunningOnesWhenBack)
{
    DeviceClient& c = connectedLoopback();
    uint32_t running = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
    uint32_t queued = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
    EXPECT_EQ(c.request(kUsbOpAbortEndpoint, {static_cast<uint8_t>(row_), kPort, kBulkIn}).header.status,
              kUsbStatusDone);
    UrbResult q = c.reap(queued);
    EXPECT_EQ(q.final().header.status, kUsbStatusGone);
    EXPECT_EQ(q.final().header.error, static_cast<uint32_t>(EPIPE));
    UrbResult r = c.reap(running);
    EXPECT_EQ(r.final().header.status, kUsbStatusFailed);
    EXPECT_EQ(r.error(), -ENOENT);
}

// OUT URBs held by the kernel (the loopback's FIFO is full) are discarded
// by opcode 11 and answered once; no set outlives them (ASan watches).
TEST_F(UsbUrbTest, AbortEndpointWithOutUrbsInFlight)
{
    std::string name;
    DeviceClient& c = connectedLoopback(&name);
    fill(c, pattern(1024 * 1024, 1));
    uint32_t out = c.submit(row_, kPort, kBulkOut, kUrbTypeBulk, 0, pattern(131072, 2));
    EXPECT_EQ(c.heartbeat(1).header.status, kUsbStatusDone);
    EXPECT_EQ(counters(name).pendingUrbs, 2);
    EXPECT_EQ(c.request(kUsbOpAbortEndpoint, {static_cast<uint8_t>(row_), kPort, kBulkOut}).header.status,
              kUsbStatusDone);
    UrbResult r = c.reap(out);
    ASSERT_EQ(r.answers.size(), 1u);
    EXPECT_EQ(r.final().header.status, kUsbStatusFailed);
    EXPECT_EQ(r.error(), -ENOENT);
    Frame extra;
    EXPECT_FALSE(c.urbAnswer(out, &extra, 200)) << "answered twice";
    EXPECT_EQ(counters(name).pendingUrbs, 0);
    EXPECT_TRUE(eventually([&] { return population() == populationBefore_; }));
}

// A stall in the middle of a multi-URB IN: one error answer, no set left,
// and the next transfer of the endpoint runs.
TEST_F(UsbUrbTest, StallInTheMiddleOfAnInTransferThenClearHalt)
{
    DeviceClient& c = connectedLoopback();
    fill(c, pattern(65536, 4));
    uint32_t big = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 4 * 65536);
    Frame f;
    ASSERT_TRUE(c.urbAnswer(big, &f));
    EXPECT_EQ(f.header.opcode, kIntermediate);
    uint32_t next = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
    EXPECT_EQ(c.heartbeat(2).header.status, kUsbStatusDone);
    EXPECT_EQ(inject(name_, "urb:0x81 stall 1").compare(0, 2, "ok"), 0);
    fill(c, pattern(100, 5));  // moves the device: the pending URB stalls

    UrbResult r = c.reap(big);
    ASSERT_EQ(r.answers.size(), 1u);
    EXPECT_EQ(r.final().header.status, kUsbStatusFailed);
    EXPECT_EQ(r.error(), -EPIPE);
    // The queued one started and met the halted endpoint.
    UrbResult q = c.reap(next);
    EXPECT_EQ(q.final().header.status, kUsbStatusFailed);
    EXPECT_EQ(q.error(), -EPIPE);
    EXPECT_TRUE(eventually([&] { return population() == populationBefore_; }));

    EXPECT_EQ(c.request(kUsbOpClearHalt, {static_cast<uint8_t>(row_), kPort, kBulkIn}).header.status,
              kUsbStatusDone);
    UrbResult after = c.transfer(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
    EXPECT_EQ(after.final().header.status, kUsbStatusDone);
    EXPECT_EQ(after.final().header.length, 100u);
}

// A URB the kernel refuses at submit: one final answer at once, with status
// 2 when the device is gone (ENODEV) and 3 otherwise, the error as the
// negated errno. The row is not dropped for it: that is the reap's and the
// scan's business. Its file stays open, the set goes, and the next transfer
// on the row works.
TEST_F(UsbUrbTest, SubmitFailuresAreAnsweredOnceAndTheRowGoesOn)
{
    struct Case {
        const char* what;
        const char* injected;
        int endpoint;
        int type;
        uint32_t inLength;
        uint32_t outLength;
        uint32_t status;
        int32_t error;
    };
    const Case cases[] = {
        {"bulk IN, device gone", "submit ENODEV 1", kBulkIn, kUrbTypeBulk, 512, 0, kUsbStatusGone, -ENODEV},
        {"bulk OUT of one URB, device gone", "submit ENODEV 1", kBulkOut, kUrbTypeBulk, 0, 1000, kUsbStatusGone,
         -ENODEV},
        {"bulk OUT of three URBs, device gone at the first", "submit ENODEV 1", kBulkOut, kUrbTypeBulk, 0,
         2 * 65536 + 100, kUsbStatusGone, -ENODEV},
        {"interrupt IN, device gone", "submit ENODEV 1", kInterruptIn, kUrbTypeInterrupt, 8, 0, kUsbStatusGone,
         -ENODEV},
        {"bulk IN, another failure", "submit EIO 1", kBulkIn, kUrbTypeBulk, 512, 0, kUsbStatusFailed, -EIO},
        {"bulk OUT, another failure", "submit EIO 1", kBulkOut, kUrbTypeBulk, 0, 1000, kUsbStatusFailed, -EIO},
    };
    DeviceClient& c = connectedLoopback();
    uint32_t heartbeat = 1;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        ASSERT_EQ(inject(name_, k.injected).compare(0, 2, "ok"), 0);
        const size_t from = log(name_).size();
        uint32_t tag = c.submit(row_, kPort, k.endpoint, k.type, k.inLength, pattern(k.outLength, heartbeat));
        UrbResult r = c.reap(tag);
        ASSERT_EQ(r.answers.size(), 1u);
        EXPECT_EQ(r.final().header.opcode, kFinal);
        EXPECT_EQ(r.final().header.status, k.status);
        EXPECT_EQ(r.error(), k.error);
        EXPECT_EQ(r.final().header.length, 0u);
        EXPECT_EQ(countLog(name_, "submit", from), 1) << "one URB tried, none after it";
        // The OUT data not submitted was read all the same: the heartbeat is
        // the next request, and nothing else came for the transfer.
        Bytes echo(4);
        usbPutU32(echo.data(), heartbeat);
        EXPECT_EQ(c.heartbeat(heartbeat).data, echo);
        EXPECT_EQ(c.pendingFrames(), 0u) << "a second answer or a notice";
        EXPECT_EQ(urbSetCount(row_), 0);
        EXPECT_EQ(counters(name_).pendingUrbs, 0);
        EXPECT_EQ(counters(name_).openFiles, 1);
        EXPECT_TRUE(ownedBy(row_, taskIdOf(0)));
        // The device got none of the failed transfer's data, and the row
        // works.
        Bytes data = pattern(10, heartbeat);
        fill(c, data);
        UrbResult back = c.transfer(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
        EXPECT_EQ(back.final().header.status, kUsbStatusDone);
        EXPECT_EQ(back.data(), data);
        ++heartbeat;
    }
    EXPECT_TRUE(eventually([&] { return population() == populationBefore_; }));
}

// The next URB of a multi-URB IN transfer cannot be submitted: the data that
// came back is delivered, then one final error answer; nothing stays in
// flight, and the transfer queued behind it starts.
//
// The device gets its data only from an OUT submit, which would take a
// plain "submit" injection itself. So the OUT transfer that feeds the IN is
// two URBs, and the client holds back the second one's data: the session
// waits for it after the first URB went to the device and the first IN URB
// came back, and reaps nothing meanwhile. The injection made then fails the
// OUT's second URB and the IN's second URB, in that order.
TEST_F(UsbUrbTest, NextInUrbFailingToSubmitEndsTheTransferWithOneErrorAnswer)
{
    DeviceClient& c = connectedLoopback();
    uint32_t in = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 4 * 65536);
    uint32_t queued = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
    EXPECT_EQ(c.heartbeat(1).header.status, kUsbStatusDone);
    ASSERT_EQ(counters(name_).pendingUrbs, 1);

    const Bytes data = pattern(65536 + 100, 5);
    const uint32_t out = c.newTag();
    const Bytes head = requestHeader(kUsbOpTransfer, out)
                       + transferBody(row_, kPort, kBulkOut, kUrbTypeBulk, 0, static_cast<uint32_t>(data.size()));
    ASSERT_TRUE(c.raw().send(head + Bytes(data.begin(), data.begin() + 65536)));
    ASSERT_TRUE(eventually([&] {
        usbsim::DeviceCounters now = counters(name_);
        return now.pendingUrbs == 0 && now.reapableUrbs == 2;
    })) << "the first OUT URB and the first IN URB did not come back";
    ASSERT_EQ(inject(name_, "submit EIO 2").compare(0, 2, "ok"), 0);
    ASSERT_TRUE(c.raw().send(Bytes(data.begin() + 65536, data.end())));

    UrbResult o = c.reap(out);
    ASSERT_EQ(o.answers.size(), 1u);
    EXPECT_EQ(o.final().header.status, kUsbStatusFailed);
    EXPECT_EQ(o.error(), -EIO);

    UrbResult r = c.reap(in);
    ASSERT_EQ(r.answers.size(), 2u);
    EXPECT_EQ(r.answers[0].header.opcode, kIntermediate);
    EXPECT_EQ(r.answers[0].header.status, kUsbStatusDone);
    EXPECT_EQ(r.answers[0].data, Bytes(data.begin(), data.begin() + 65536));
    EXPECT_EQ(r.final().header.opcode, kFinal);
    EXPECT_EQ(r.final().header.status, kUsbStatusFailed);
    EXPECT_EQ(r.error(), -EIO);
    EXPECT_EQ(r.final().header.length, 0u);
    EXPECT_EQ(countLog(name_, "submit bulk 0x81 len 65536 -> -EIO"), 1);

    // In step: the heartbeat's answer comes, with no other answer before it.
    EXPECT_EQ(c.heartbeat(0x01020304).data, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(c.pendingFrames(), 0u) << "a second answer";
    EXPECT_EQ(submits(kBulkIn), 3) << "two of the big transfer, then the queued one";
    EXPECT_EQ(counters(name_).pendingUrbs, 1) << "only the queued transfer's URB";
    fill(c, pattern(7, 6));
    UrbResult q = c.reap(queued);
    EXPECT_EQ(q.final().header.status, kUsbStatusDone);
    EXPECT_EQ(q.data(), pattern(7, 6));
    EXPECT_EQ(counters(name_).pendingUrbs, 0);
    EXPECT_TRUE(eventually([&] { return population() == populationBefore_; }));
}

// A queued bulk IN transfer whose URB cannot be submitted when its turn
// comes is answered with that failure at once, and the one queued after it
// starts. The running one ends by a discard, which submits nothing.
TEST_F(UsbUrbTest, AQueuedInTransferThatCannotStartIsAnsweredAndTheQueueGoesOn)
{
    struct Case {
        const char* injected;
        uint32_t status;
        int32_t error;
    };
    const Case cases[] = {
        {"submit EIO 1", kUsbStatusFailed, -EIO},
        {"submit ENODEV 1", kUsbStatusGone, -ENODEV},
    };
    DeviceClient& c = connectedLoopback();
    uint32_t seed = 1;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.injected);
        const int before = submits(kBulkIn);
        uint32_t running = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
        uint32_t cannot = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
        uint32_t next = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
        EXPECT_EQ(c.heartbeat(1).header.status, kUsbStatusDone);
        ASSERT_EQ(submits(kBulkIn) - before, 1);
        ASSERT_EQ(inject(name_, k.injected).compare(0, 2, "ok"), 0);

        Bytes id(4);
        usbPutU32(id.data(), running);
        EXPECT_EQ(c.request(kUsbOpDiscardUrb, id).header.status, kUsbStatusDone);
        UrbResult r = c.reap(running);
        ASSERT_EQ(r.answers.size(), 1u);
        EXPECT_EQ(r.error(), -ENOENT);

        UrbResult f = c.reap(cannot);
        ASSERT_EQ(f.answers.size(), 1u);
        EXPECT_EQ(f.final().header.opcode, kFinal);
        EXPECT_EQ(f.final().header.status, k.status);
        EXPECT_EQ(f.error(), k.error);

        EXPECT_EQ(c.heartbeat(2).header.status, kUsbStatusDone);
        EXPECT_EQ(submits(kBulkIn) - before, 3) << "the next one did not start";
        EXPECT_EQ(counters(name_).pendingUrbs, 1);
        Bytes data = pattern(9, seed++);
        fill(c, data);
        UrbResult n = c.reap(next);
        ASSERT_EQ(n.answers.size(), 1u);
        EXPECT_EQ(n.final().header.status, kUsbStatusDone);
        EXPECT_EQ(n.data(), data);
        EXPECT_EQ(c.pendingFrames(), 0u) << "a second answer";
        EXPECT_EQ(counters(name_).pendingUrbs, 0);
        EXPECT_TRUE(eventually([&] { return population() == populationBefore_; }));
    }
}

// Requests that are refused or end early still consume every byte they
// announce: the heartbeat after each is read as the next request.
TEST_F(UsbUrbTest, RefusedTransfersKeepTheStreamInStep)
{
    DeviceClient& owner = connectedLoopback();
    DeviceClient& other = client();
    struct Case {
        const char* what;
        DeviceClient* c;
        Bytes body;
        uint32_t word0;
        uint32_t status;
        uint32_t error;
    };
    const Bytes out = pattern(1000, 9);
    const Case cases[] = {
        {"isochronous with two packet descriptors and OUT data", &owner,
         transferBody(row_, kPort, kBulkOut, kUrbTypeIso, 0, 1000) + Bytes(32, 0xEE) + out, 2u << 8,
         kUsbStatusFailed, EPROTO},
        {"type 4", &owner, transferBody(row_, kPort, kBulkOut, 4, 0, 1000) + out, 0, kUsbStatusFailed, EPROTO},
        {"wrong port", &owner, transferBody(row_, kPort + 1, kBulkOut, kUrbTypeBulk, 0, 1000) + out, 0,
         kUsbStatusFailed, ENODEV},
        {"not the owner", &other, transferBody(row_, kPort, kBulkOut, kUrbTypeBulk, 0, 1000) + out, 0,
         kUsbStatusRefused, ENOMEM},
        {"interrupt longer than usbfs takes", &owner,
         transferBody(row_, kPort, kInterruptIn, kUrbTypeInterrupt, kUrbSingleLimit + 1, 0), 0, kUsbStatusFailed,
         ENOMEM},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        uint32_t tag = k.c->newTag();
        ASSERT_TRUE(k.c->sendRequest(kUsbOpTransfer, tag, k.body, k.word0));
        Frame f;
        ASSERT_TRUE(k.c->urbAnswer(tag, &f));
        EXPECT_EQ(f.header.opcode, kFinal);
        EXPECT_EQ(f.header.word0, k.word0 & 0xff);
        EXPECT_EQ(f.header.status, k.status);
        EXPECT_EQ(f.header.error, k.error);
        Frame hb = k.c->heartbeat(0x01020304);
        EXPECT_EQ(hb.data, (Bytes{1, 2, 3, 4}));
    }
    EXPECT_EQ(submits(kBulkOut), 0);
}

// OUT data that stops half-way: nothing half-read reaches the device, the
// client gets one answer, and the session ends.
TEST_F(UsbUrbTest, ShortOutDataEndsTheSessionWithoutSubmitting)
{
    DeviceClient& c = connectedLoopback();
    uint32_t tag = c.newTag();
    Bytes partial = transferBody(row_, kPort, kBulkOut, kUrbTypeBulk, 0, 100000) + pattern(70000, 1);
    ASSERT_TRUE(c.sendRequest(kUsbOpTransfer, tag, partial));
    c.raw().shutdownWrite();
    Frame f;
    ASSERT_TRUE(c.urbAnswer(tag, &f));
    EXPECT_EQ(f.header.status, kUsbStatusFailed);
    EXPECT_EQ(f.header.error, static_cast<uint32_t>(EPROTO));
    EXPECT_TRUE(c.raw().closedWithin(5000));
    // The first URB was whole and went out; the second never did.
    EXPECT_EQ(countLog(name_, "submit bulk 0x01"), 1);
    EXPECT_TRUE(sessionsEnded());
}

TEST_F(UsbUrbTest, UnplugDuringAPendingInAnswersItAndDropsTheDevice)
{
    std::string name;
    DeviceClient& c = connectedLoopback(&name);
    uint32_t in = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
    uint32_t queued = c.submit(row_, kPort, kBulkIn, kUrbTypeBulk, 512);
    uint32_t irq = c.submit(row_, kPort, kInterruptIn, kUrbTypeInterrupt, 8);
    EXPECT_EQ(c.heartbeat(1).header.status, kUsbStatusDone);
    EXPECT_GT(population(), populationBefore_);
    unplug(name);
    rescanUsbDevices();
    UrbResult r = c.reap(in);
    EXPECT_NE(r.final().header.status, kUsbStatusDone);
    UrbResult q = c.reap(queued);
    EXPECT_NE(q.final().header.status, kUsbStatusDone);
    c.reap(irq);
    Frame notice;
    ASSERT_TRUE(c.notice(kUsbOpNoticeVanished, &notice));
    EXPECT_EQ(notice.data, (Bytes{static_cast<uint8_t>(row_), kPort}));
    EXPECT_TRUE(eventually([&] { return population() == populationBefore_; }));
    EXPECT_EQ(counters(name).openFiles, 0);
}

// A large WRITE on the storage device: more URBs than the window holds go
// through it, and the disk image gets every byte.
TEST_F(UsbUrbTest, OutTransfersLargerThanTheWindowReachTheDevice)
{
    const std::string image = root().dir() + "/disk.img";
    std::string name;
    row_ = plugDevice("storage size=16M image=" + image, kPort, &name);
    name_ = name;
    ASSERT_GE(row_, 0);
    DeviceClient& c = client();
    ASSERT_EQ(c.connect(row_, kPort).header.status, kUsbStatusDone);
    const uint32_t blocks = (kUrbOutWindow + 32) * 65536 / 512;
    Bytes cbw(31, 0);
    usbPutU32(&cbw[0], 0x55534243);  // "USBC"
    cbw[4] = 7;
    const uint32_t bytes = blocks * 512;
    for (int i = 0; i < 4; ++i)
        cbw[8 + i] = static_cast<uint8_t>(bytes >> (8 * i));
    cbw[12] = 0x00;  // OUT
    cbw[14] = 10;
    cbw[15] = 0x2A;  // WRITE(10), LBA 0
    cbw[22] = static_cast<uint8_t>(blocks >> 8);
    cbw[23] = static_cast<uint8_t>(blocks);
    EXPECT_EQ(c.transfer(row_, kPort, 0x02, kUrbTypeBulk, 0, cbw).final().header.status, kUsbStatusDone);
    const Bytes data = pattern(bytes, 11);
    UrbResult w = c.transfer(row_, kPort, 0x02, kUrbTypeBulk, 0, data);
    EXPECT_EQ(w.final().header.status, kUsbStatusDone);
    UrbResult csw = c.transfer(row_, kPort, 0x81, kUrbTypeBulk, 13);
    ASSERT_EQ(csw.final().header.length, 13u);
    EXPECT_EQ(csw.final().data[12], 0) << "CSW status";
    EXPECT_GT(countLog(name, "submit bulk 0x02 len 65536"), kUrbOutWindow);

    FILE* f = fopen(image.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    Bytes disk(bytes);
    ASSERT_EQ(fread(disk.data(), 1, disk.size(), f), disk.size());
    fclose(f);
    EXPECT_TRUE(disk == data);
}

TEST(UrbSetText, NamesEveryFlag)
{
    UrbSet set;
    set.flags = kUrbBusy | kUrbDiscarded | kUrbError;
    EXPECT_STREQ(urbStateText(&set), "Busy Discarded Error ");
    set.flags = kUrbPrepared | kUrbSent | kUrbAborted | 0x100;
    EXPECT_STREQ(urbStateText(&set), "Prepared Sent Abort Unknown ");
    EXPECT_STREQ(urbStateText(nullptr), "Error!");
}

} // namespace
