// A session's devices: what the client owns is given back whole when it
// leaves or falls silent, when its device vanishes, and when a deferred
// reset comes due; silence is judged only after a whole quiet wait.
#include "usb_session_fixture.h"

#include "core/product/model_features.h"
#include "usbserver/usb_port_power.h"

#include <thread>

namespace {

class UsbSession : public UsbSessionTest {
public:
    // A session that owns the loopback device on port 2; its row.
    int connectedSession(int* taskId, ProtocolClient** client, std::string* device)
    {
        int row = plugLoopback(2, device);
        EXPECT_GE(row, 0);
        *client = &startSession(-1, taskId);
        Reply r = (*client)->request(kUsbOpConnect, 1, connectBody(row, 2));
        EXPECT_EQ(r.header.status, 0u);
        EXPECT_TRUE(ownedBy(row, *taskId));
        EXPECT_EQ(counters(*device).openFiles, 1);
        return row;
    }

    // The row was given back whole: file closed, no claim, no URB, no owner.
    void expectReleased(int row, const std::string& device)
    {
        // The release clears the owner before it turns the row back from
        // connected: wait for both.
        EXPECT_TRUE(eventually([&] {
            return usbDeviceTable[row].ownerTaskId.load() == 0
                   && usbDeviceTable[row].state.load() != kUsbSlotConnected;
        }));
        EXPECT_EQ(usbDeviceTable[row].fd.load(), -1);
        EXPECT_EQ(usbDeviceTable[row].pollRecord, nullptr);
        usbsim::DeviceCounters c = counters(device);
        EXPECT_EQ(c.openFiles, 0);
        EXPECT_EQ(c.claimedInterfaces, 0);
        EXPECT_EQ(c.pendingUrbs, 0);
        EXPECT_EQ(c.reapableUrbs, 0);
    }
};

struct PowerOffCall {
    int index;
    int ticks;
};
std::vector<PowerOffCall> powerOffCalls;
std::mutex powerOffMutex;

void recordPowerOff(int index, int ticks)
{
    std::lock_guard<std::mutex> lock(powerOffMutex);
    powerOffCalls.push_back({index, ticks});
}

TEST_F(UsbSession, ASilentOwnerWithHeartbeatOneLosesItsDeviceAfterTheFirstQuietWait)
{
    params_.set("zyt_heartbeat", "1");
    int id = 0;
    ProtocolClient* client = nullptr;
    std::string device;
    int row = connectedSession(&id, &client, &device);

    // 4.99 s of silence: not yet a whole quiet wait.
    advanceTicks(499);
    EXPECT_TRUE(client->quietFor(200));
    EXPECT_TRUE(ownedBy(row, id));

    advanceTicks(2);
    EXPECT_TRUE(client->closedWithin(5000)) << "the silent client was kept";
    expectReleased(row, device);
    EXPECT_GE(resetsLogged(device), 1) << "the device is reset when its owner is dropped";
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotPresent);
    EXPECT_EQ(published(UsbPublishKind::Disconnect, row), 1);
}

TEST_F(UsbSession, HeartbeatZeroKeepsASilentOwner)
{
    params_.set("zyt_heartbeat", "0");
    int id = 0;
    ProtocolClient* client = nullptr;
    std::string device;
    int row = connectedSession(&id, &client, &device);
    for (int i = 0; i < 10; ++i) {
        advanceTicks(100000);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_EQ(client->request(27, 2).header.opcode, 0x101bu);
    EXPECT_TRUE(ownedBy(row, id));
}

// Connections that never speak would hold every session place until the
// heartbeat: one whose first request is not done within the ten seconds a
// request body may take is closed, whatever the heartbeat says. A client
// that was served once is judged by the heartbeat alone.
TEST_F(UsbSession, AConnectionWithoutAFirstRequestIsClosedAfterTheBodyTimeOut)
{
    params_.set("zyt_heartbeat", "0");
    const int runsBefore = usbSessionRuns.load();
    ProtocolClient& silent = startSession();
    ProtocolClient& served = startSession();
    ASSERT_EQ(served.request(27, 1).header.opcode, 0x101bu);
    // Both sessions have taken their start time before the clock moves.
    ASSERT_TRUE(eventually([&] { return usbSessionRuns.load() == runsBefore + 2; }));

    advanceTicks(990);
    EXPECT_TRUE(silent.quietFor(200)) << "closed before its time";

    advanceTicks(20);
    EXPECT_TRUE(silent.closedWithin(5000)) << "the silent connection was kept";
    advanceTicks(100000);
    EXPECT_EQ(served.request(27, 2).header.opcode, 0x101bu) << "a client that spoke was closed";
}

TEST_F(UsbSession, TransferCompletionsAloneKeepASilentOwner)
{
    params_.set("zyt_heartbeat", "1");
    int id = 0;
    ProtocolClient* client = nullptr;
    std::string device;
    int row = connectedSession(&id, &client, &device);

    // The client says nothing for 10 s, but its device completes a transfer
    // every second.
    static uint8_t data[16];
    static usbdevfs_urb urb;
    for (int i = 0; i < 10; ++i) {
        urb = usbdevfs_urb{};
        urb.type = USBDEVFS_URB_TYPE_BULK;
        urb.endpoint = 0x01;
        urb.buffer = data;
        urb.buffer_length = sizeof data;
        const int before = testReapedUrbs.load();
        ASSERT_EQ(usbfs().ioctl(usbDeviceTable[row].fd.load(), USBDEVFS_SUBMITURB, &urb), 0) << strerror(errno);
        ASSERT_TRUE(eventually([&] { return testReapedUrbs.load() > before; }));
        advanceTicks(100);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        ASSERT_TRUE(ownedBy(row, id)) << "dropped after " << i + 1 << " s of transfers";
    }
    advanceTicks(600);
    EXPECT_TRUE(client->closedWithin(5000));
    expectReleased(row, device);
}

TEST_F(UsbSession, ALeavingClientGivesBackEverything)
{
    int id = 0;
    ProtocolClient* client = nullptr;
    std::string device;
    int row = connectedSession(&id, &client, &device);
    const int resets = resetsLogged(device);
    client->close();
    expectReleased(row, device);
    EXPECT_EQ(resetsLogged(device), resets + 1);
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotPresent);
    EXPECT_EQ(published(UsbPublishKind::Disconnect, row), 1);
    EXPECT_TRUE(sessionsEnded());
}

TEST_F(UsbSession, AFailedResetAtTheEndPowersThePortOffOnModelsWithPortPower)
{
    setUsbPortPowerOff(recordPowerOff);
    struct Case {
        bool portPower;
        size_t powerOffs;
    };
    for (Case c : {Case{true, 1}, Case{false, 0}}) {
        {
            std::lock_guard<std::mutex> lock(powerOffMutex);
            powerOffCalls.clear();
        }
        const int features = params::sw_features()->value();
        params::sw_features()->setValue(c.portPower ? features | kFeaturePortPower : features & ~kFeaturePortPower);
        int id = 0;
        ProtocolClient* client = nullptr;
        std::string device;
        int row = connectedSession(&id, &client, &device);
        ASSERT_EQ(usbsim::command("inject " + device + " reset EIO"), "ok");
        client->close();
        expectReleased(row, device);
        EXPECT_EQ(published(UsbPublishKind::Disconnect, row), 1) << "the disconnect is published all the same";
        {
            std::lock_guard<std::mutex> lock(powerOffMutex);
            ASSERT_EQ(powerOffCalls.size(), c.powerOffs) << "port power " << c.portPower;
            if (c.powerOffs) {
                EXPECT_EQ(powerOffCalls[0].index, 1) << "port 2 is index 1";
                EXPECT_EQ(powerOffCalls[0].ticks, 100);
            }
        }
        params::sw_features()->setValue(features);
        usbsim::command("unplug " + device);
        rescanUsbDevices();
        clearUsbPublishRecords();
        advanceTicks(200);
        rescanUsbDevices();
    }
    setUsbPortPowerOff(nullptr);
}

TEST_F(UsbSession, AVanishedDeviceIsDroppedByItsOwnerWithNotice17)
{
    int id = 0;
    ProtocolClient* client = nullptr;
    std::string device;
    int row = connectedSession(&id, &client, &device);
    unplug(device);
    rescanUsbDevices();  // the scan runs on another thread than the session

    uint8_t notice[kUsbNoticeSize];
    ASSERT_TRUE(client->read(notice, sizeof notice));
    uint8_t expected[kUsbNoticeSize];
    encodeUsbNotice(17, static_cast<uint8_t>(row), 2, expected);
    EXPECT_EQ(Bytes(notice, notice + sizeof notice), Bytes(expected, expected + sizeof expected));
    EXPECT_TRUE(eventually([&] { return usbDeviceTable[row].ownerTaskId.load() == 0; }));
    EXPECT_EQ(usbDeviceTable[row].fd.load(), -1);
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotGone);
    EXPECT_EQ(published(UsbPublishKind::Disconnect, row), 1);
    EXPECT_EQ(counters(device).openFiles, 0);
    // The session itself goes on.
    EXPECT_EQ(client->request(27, 3).header.opcode, 0x101bu);
}

TEST_F(UsbSession, ADeferredResetRunsWithinOneHundredTicks)
{
    int id = 0;
    ProtocolClient* client = nullptr;
    std::string device;
    int row = connectedSession(&id, &client, &device);
    advanceTicks(100);  // the check that is due now finds nothing
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const int resets = resetsLogged(device);
    usbDeviceTable[row].resetPending.store(1);
    advanceTicks(100);
    EXPECT_TRUE(eventually([&] { return resetsLogged(device) == resets + 1; }));
    // The slot gives up the file's number before the file is closed: wait
    // for the close itself.
    EXPECT_TRUE(eventually([&] { return counters(device).openFiles == 0; }));
    EXPECT_EQ(usbDeviceTable[row].fd.load(), -1);
    EXPECT_EQ(usbDeviceTable[row].resetPending.load(), 0);
    EXPECT_EQ(usbDeviceTable[row].pollRecord, nullptr);
    EXPECT_TRUE(ownedBy(row, id)) << "the row stays with its owner";
    EXPECT_EQ(client->request(27, 4).header.opcode, 0x101bu);
}

TEST_F(UsbSession, ASessionKeepsOnlyItsOwnRows)
{
    int firstId = 0;
    ProtocolClient* first = nullptr;
    std::string device;
    int row = connectedSession(&firstId, &first, &device);
    int otherRow = plugLoopback(3);
    ASSERT_GE(otherRow, 0);
    int secondId = 0;
    ProtocolClient& second = startSession(-1, &secondId);
    ASSERT_EQ(second.request(kUsbOpConnect, 1, connectBody(otherRow, 3)).header.status, 0u);
    // The first session looks for deferred resets at the end of its first
    // pass, which may be the one that answered its connect; the answer to a
    // later request shows that look is over (the clock stands, so no other
    // look comes).
    ASSERT_EQ(first->request(27, 2).header.opcode, 0x101bu);

    // A reset asked for the first session's row is none of the second's.
    usbDeviceTable[row].resetPending.store(1);
    second.close();
    EXPECT_TRUE(eventually([&] { return usbDeviceTable[otherRow].ownerTaskId.load() == 0; }));
    EXPECT_TRUE(ownedBy(row, firstId));
    EXPECT_EQ(usbDeviceTable[row].resetPending.load(), 1);
    EXPECT_GE(usbDeviceTable[row].fd.load(), 0);
}

} // namespace
