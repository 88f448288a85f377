// Ownership of a row across threads: only the owning session's thread
// closes the row's descriptor and frees its transfers; every other thread
// asks it to. Rows are re-used only after their owner let go.
#include "usbserver/usb_table_fixture.h"

#include "support/fn_task.h"
#include "platform/usbfs/usbfs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>

#include <cstring>
#include <memory>
#include <thread>

namespace {

// A transfer set as the URB engine makes them: counted while it lives.
struct CountedSet : UrbListNode {
    CountedSet() { usbUrbPopulation.fetch_add(1); }
    ~CountedSet() override { usbUrbPopulation.fetch_sub(1); }
};

void appendSet(UsbDeviceSlot& slot, UrbListNode* node)
{
    node->prev = slot.urbList.prev;
    node->next = &slot.urbList;
    slot.urbList.prev->next = node;
    slot.urbList.prev = node;
}

// Stands in for the session's socket record: only its address matters here.
struct FakeRecord {
    int unused = 0;
};

UsbPollRecord* recordOf(FakeRecord* r)
{
    return reinterpret_cast<UsbPollRecord*>(r);
}

// A session task that owns one row: it claims the row, opens its file and
// submits a transfer that stays in flight, then waits on its epoll set.
// On a drop request it releases the row on its own thread, once allowed to.
class OwnerSession {
public:
    explicit OwnerSession(int row) : row_(row)
    {
        task_ = new FnTaskOf<>([this](FnTaskOf<>& self) { body(self); },
                               [this](FnTaskOf<>&, TaskMessage* msg) { return onMessage(msg); }, "UsbSrvdPrcs");
        taskId_ = task_->start(65536, 0);
    }
    ~OwnerSession()
    {
        stop_.store(true);
        eventually([&] { return ended_.load(); });
    }

    bool started() { return eventually([&] { return ready_.load() || ended_.load(); }) && ready_.load(); }
    void allowRelease() { allow_.store(true); }
    int requestsSeen() const { return requests_.load(); }
    bool released() const { return released_.load(); }
    bool releasedOnOwnThread() const { return releasedOnOwnThread_.load(); }
    int taskId() const { return taskId_; }

private:
    void body(FnTaskOf<>& self)
    {
        thread_ = pthread_self();
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_addr.s_addr = htonl(0xC6120005);  // 198.18.0.5
        UsbDeviceSlot& slot = usbDeviceTable[row_];
        if (claimSlotOwnership(row_, recordOf(&record_), self.taskId(), reinterpret_cast<sockaddr*>(&peer),
                               sizeof peer)
            && slot.openDevice(O_RDWR, nullptr) == 1) {
            inFlight_->buffer = std::vector<uint8_t>(64);
            inFlight_->urb.type = USBDEVFS_URB_TYPE_BULK;
            inFlight_->urb.endpoint = 0x81;
            inFlight_->urb.buffer = inFlight_->buffer.data();
            inFlight_->urb.buffer_length = 64;
            usbfs().ioctl(slot.fd.load(), USBDEVFS_SUBMITURB, &inFlight_->urb);
            appendSet(slot, new CountedSet);
            appendSet(slot, new CountedSet);
            ready_.store(true);
        }
        while (!stop_.load()) {
            self.pollEvents(20);
            // A lost message loses no request: look at the row as well.
            if (usbDeviceTable[row_].ownerRequests.load() & kUsbOwnerDrop)
                handleRequests();
        }
        if (!released_.load() && ready_.load()) {
            slot.closeDevice();
            freeRowTransfers(row_);
            releaseSlotOwnership(row_, recordOf(&record_));
        }
        ended_.store(true);
    }

    uint32_t onMessage(TaskMessage* msg)
    {
        if (!(msg->code & MSG_USB_ROW_REQUEST))
            return msg->code;
        requests_.fetch_add(1);
        if (msg->arg1 == row_)
            handleRequests();
        return msg->code & ~MSG_USB_ROW_REQUEST;
    }

    void handleRequests()
    {
        if (!allow_.load() || released_.load())
            return;
        if (!(takeOwnerRequests(row_) & kUsbOwnerDrop))
            return;
        UsbDeviceSlot& slot = usbDeviceTable[row_];
        slot.closeDevice();
        freeRowTransfers(row_);
        releaseSlotOwnership(row_, recordOf(&record_));
        releasedOnOwnThread_.store(pthread_equal(pthread_self(), thread_) != 0);
        released_.store(true);
    }

    struct InFlight {
        std::vector<uint8_t> buffer;
        usbdevfs_urb urb{};
    };

    int row_;
    FakeRecord record_;
    std::unique_ptr<InFlight> inFlight_ = std::make_unique<InFlight>();
    FnTaskOf<>* task_ = nullptr;
    int taskId_ = -1;
    pthread_t thread_{};
    std::atomic<bool> stop_{false};
    std::atomic<bool> ready_{false};
    std::atomic<bool> ended_{false};
    std::atomic<bool> allow_{false};
    std::atomic<bool> released_{false};
    std::atomic<bool> releasedOnOwnThread_{false};
    std::atomic<int> requests_{0};
};

class UsbDeviceTable : public UsbTableTest {
public:
    int plugAndScan(const std::string& args)
    {
        plug(args);
        EXPECT_EQ(rescanUsbDevices(), 1);
        for (int row = 0; row < usbRowCount.load(); ++row)
            if (usbDeviceTable[row].state.load() == kUsbSlotPresent && !usbDeviceTable[row].owner)
                return row;
        return -1;
    }
};

TEST_F(UsbDeviceTable, AVanishedDeviceIsGivenUpByItsOwnerBeforeTheRowIsReused)
{
    // Depth 3: the device plugged in again matches the gone row.
    std::string name = "1-1.3.1";
    const int row = plugAndScan("loopback at=" + name);
    ASSERT_GE(row, 0);
    OwnerSession owner(row);
    ASSERT_TRUE(owner.started());
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotConnected);
    EXPECT_EQ(usbUrbPopulation.load(), 2);

    unplug(name);
    rescanUsbDevices();
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotGone);
    EXPECT_EQ(published(UsbPublishKind::Detach, row), 1);
    ASSERT_TRUE(eventually([&] { return owner.requestsSeen() >= 1; }));
    EXPECT_GE(usbDeviceTable[row].fd.load(), 0) << "the scan never closes the owner's descriptor";

    // The owner has not let go: the row stays gone, is not re-used, and the
    // owner is asked again.
    plug("loopback at=" + name);
    advanceTicks(150);
    rescanUsbDevices();
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotGone);
    EXPECT_EQ(usbDeviceTable[row].ownerTaskId.load(), owner.taskId());
    EXPECT_TRUE(eventually([&] { return owner.requestsSeen() >= 2; }));

    owner.allowRelease();
    TaskMessage again{0, MSG_USB_ROW_REQUEST, row, 0};
    postToTaskId(owner.taskId(), &again);
    ASSERT_TRUE(eventually([&] { return owner.released(); }));
    EXPECT_TRUE(owner.releasedOnOwnThread());
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotGone) << "a gone row stays gone when let go";
    EXPECT_EQ(usbDeviceTable[row].fd.load(), -1);
    EXPECT_EQ(usbUrbPopulation.load(), 0);

    // Now it is freed, and the device plugged again meanwhile taken as new.
    EXPECT_EQ(rescanUsbDevices(), 1);
    int newRow = -1;
    for (int r = 0; r < usbRowCount.load(); ++r)
        if (usbDeviceTable[r].state.load() == kUsbSlotPresent)
            newRow = r;
    ASSERT_GE(newRow, 0);
    UsbDeviceSlot& fresh = usbDeviceTable[newRow];
    EXPECT_EQ(fresh.owner, nullptr);
    EXPECT_EQ(fresh.ownerRequests.load(), 0u);
    // Its interface is free for a new owner: nothing of the old one is left.
    int fd = -1;
    ASSERT_EQ(fresh.openDevice(O_RDWR, &fd), 1);
    unsigned interface = 0;
    EXPECT_EQ(usbfs().ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface), 0);
    usbfs().close(fd);
}

TEST_F(UsbDeviceTable, AnOpenThatFindsAConnectedDeviceGoneAsksItsOwnerToDropIt)
{
    const std::string name = "1-1.2";
    const int row = plugAndScan("loopback at=" + name);
    OwnerSession owner(row);
    ASSERT_TRUE(owner.started());
    owner.allowRelease();

    // Another session's short-lived read-only descriptor finds the device gone.
    ASSERT_EQ(usbsim::command("inject " + name + " open ENODEV 1").compare(0, 2, "ok"), 0);
    int fd = -1;
    EXPECT_EQ(usbDeviceTable[row].openDevice(O_RDONLY, &fd), -ENODEV);
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotGone);
    EXPECT_EQ(published(UsbPublishKind::Detach, row), 1);
    ASSERT_TRUE(eventually([&] { return owner.released(); }));
    EXPECT_TRUE(owner.releasedOnOwnThread());
    usbsim::DeviceCounters counters;
    ASSERT_TRUE(usbsim::deviceCounters(name, &counters));
    EXPECT_EQ(counters.openFiles, 0);
    EXPECT_EQ(counters.claimedInterfaces, 0);
    EXPECT_EQ(counters.pendingUrbs, 0);

    // 100 ticks on, the device (still there) comes back as a new row.
    advanceTicks(100);
    EXPECT_EQ(rescanUsbDevices(), 1);
    EXPECT_EQ(published(UsbPublishKind::Attach, row), 2);
}

TEST_F(UsbDeviceTable, OwnershipRules)
{
    const int row = plugAndScan("loopback at=1-1.2");
    FakeRecord a;
    FakeRecord b;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(40000);
    peer.sin_addr.s_addr = htonl(0xC6120007);
    const sockaddr* address = reinterpret_cast<const sockaddr*>(&peer);

    sockaddr_storage out{};
    EXPECT_EQ(slotOwnerPeer(row, &out), 0u) << "no owner yet";
    EXPECT_EQ(claimSlotOwnership(row, recordOf(&a), 0, address, sizeof peer), 1);
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotConnected);
    EXPECT_EQ(claimSlotOwnership(row, recordOf(&a), 0, address, sizeof peer), 1) << "a re-take";
    EXPECT_EQ(claimSlotOwnership(row, recordOf(&b), 0, address, sizeof peer), 0) << "another session's row";
    ASSERT_EQ(slotOwnerPeer(row, &out), sizeof peer);
    EXPECT_EQ(memcmp(&out, &peer, sizeof peer), 0);
    EXPECT_EQ(releaseSlotOwnership(row, recordOf(&b)), 0);

    // Without a task to post to, the request waits in the row.
    EXPECT_EQ(dropSlotOwner(row), 1);
    EXPECT_EQ(usbDeviceTable[row].ownerRequests.load(), kUsbOwnerDrop);
    EXPECT_EQ(waitForOwnerRelease(row, 4), 0);
    std::thread releaser([&] {
        EXPECT_EQ(takeOwnerRequests(row), kUsbOwnerDrop);
        EXPECT_EQ(releaseSlotOwnership(row, recordOf(&a)), 1);
    });
    EXPECT_EQ(waitForOwnerRelease(row, 500), 1);
    releaser.join();
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotPresent);
    EXPECT_EQ(dropSlotOwner(row), 0) << "nobody to drop";
    EXPECT_EQ(takeOwnerRequests(row), 0u);

    // Gone and free rows cannot be taken.
    usbDeviceTable[row].state.store(kUsbSlotGone);
    EXPECT_EQ(claimSlotOwnership(row, recordOf(&a), 0, address, sizeof peer), 0);
    EXPECT_EQ(claimSlotOwnership(row + 1, recordOf(&a), 0, address, sizeof peer), 0);
    EXPECT_EQ(claimSlotOwnership(usbRowCount.load(), recordOf(&a), 0, address, sizeof peer), 0);
}

TEST_F(UsbDeviceTable, ATakeOverThatTimesOutLeavesTheOwnerItsRow)
{
    const int row = plugAndScan("loopback at=1-1.2");
    FakeRecord a;
    ASSERT_EQ(claimSlotOwnership(row, recordOf(&a), 0, nullptr, 0), 1);

    // The owner is too busy to answer: the taker gives up and takes its
    // request back, so the owner's next pass finds nothing to drop.
    EXPECT_EQ(takeSlotFromOwner(row, 4), 0);
    EXPECT_EQ(takeOwnerRequests(row), 0u);
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotConnected);

    // An owner that lets go in time hands the row over.
    std::thread owner([&] {
        while (!(usbDeviceTable[row].ownerRequests.load() & kUsbOwnerDrop))
            std::this_thread::yield();
        EXPECT_EQ(takeOwnerRequests(row), kUsbOwnerDrop);
        EXPECT_EQ(releaseSlotOwnership(row, recordOf(&a)), 1);
    });
    EXPECT_EQ(takeSlotFromOwner(row, 100000), 1);
    owner.join();
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotPresent);
    EXPECT_EQ(takeSlotFromOwner(row, 4), 1) << "a free row is there to take";
}

TEST_F(UsbDeviceTable, ResetOfALetGoRowClosesItsFileAndFreesItsTransfers)
{
    const std::string name = "1-1.2";
    const int row = plugAndScan("loopback at=" + name);
    UsbDeviceSlot& slot = usbDeviceTable[row];
    ASSERT_EQ(slot.openDevice(O_RDWR, nullptr), 1);
    appendSet(slot, new CountedSet);
    appendSet(slot, new CountedSet);
    appendSet(slot, new CountedSet);
    EXPECT_EQ(usbUrbPopulation.load(), 3);

    slot.reset();
    EXPECT_EQ(slot.state.load(), kUsbSlotFree);
    EXPECT_EQ(slot.fd.load(), -1);
    EXPECT_EQ(usbUrbPopulation.load(), 0);
    EXPECT_EQ(slot.urbList.next, &slot.urbList);
    EXPECT_EQ(slot.manufacturer[0], '\0');
    EXPECT_EQ(slot.endpointCounts[kEpInControl], 1);
    EXPECT_EQ(slot.selectedConfig, -1);
    usbsim::DeviceCounters counters;
    ASSERT_TRUE(usbsim::deviceCounters(name, &counters));
    EXPECT_EQ(counters.openFiles, 0);
}

TEST_F(UsbDeviceTable, RowTextsAreNeverSeenHalfWritten)
{
    // A reader under the list mutex, as the device list and the pages read,
    // while the scan takes and frees rows with two devices whose texts
    // differ in every byte.
    const std::string a(63, 'a');
    const std::string b(40, 'b');
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!stop.load()) {
            for (int row = 0; row < usbRowCount.load(); ++row) {
                char text[kUsbTextSize];
                lockUsbList(1);
                memcpy(text, usbDeviceTable[row].product, sizeof text);
                lockUsbList(0);
                if (text[kUsbTextSize - 1] != '\0') {
                    torn.fetch_add(1);
                    continue;
                }
                std::string seen(text);
                if (!seen.empty() && seen != a && seen != b)
                    torn.fetch_add(1);
            }
            reads.fetch_add(1);
        }
    });
    for (int round = 0; round < 20; ++round) {
        const std::string product = round % 2 ? a : b;
        std::string name = plug("loopback at=1-1.2 product=" + product);
        rescanUsbDevices();
        unplug(name);
        rescanUsbDevices();
        advanceTicks(100);
    }
    eventually([&] { return reads.load() > 10; });
    stop.store(true);
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

TEST_F(UsbDeviceTable, ModelsSizeTheTable)
{
    struct Case {
        uint32_t product;
        int rows;
        int threshold;
    };
    const Case cases[] = {{346, 6, 2}, {357, 6, 2}, {347, 12, 0}, {366, 12, 0}, {367, 12, 0},
                          {353, 40, 2}, {356, 16, 2}, {365, 10, 0}, {1, 5, 1}};
    for (const Case& c : cases) {
        configureUsbTable(c.product);
        EXPECT_EQ(usbRowCount.load(), c.rows) << c.product;
        EXPECT_EQ(usbDevnumThreshold.load(), c.threshold) << c.product;
        EXPECT_TRUE(isValidSlot(c.rows - 1));
        EXPECT_FALSE(isValidSlot(c.rows));
    }
    EXPECT_FALSE(isValidSlot(-1));
    EXPECT_EQ(muxIn(kUsbTableRows), 0);
}

} // namespace
