#include "usbserver/usb_status_publish.h"

#include "core/board/board_device.h"
#include "core/notify/notify_event.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/task/tick_clock.h"
#include "support/board_test_support.h"
#include "support/param_override.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_port_power.h"
#include "usbserver/usb_publish.h"
#include "usbserver/usb_server_task.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<uint64_t> ticks{0};
uint64_t testTicks() { return ticks.load(); }

struct Posted {
    uint32_t flags;
    int port;
    std::string manufacturer, product, serial, client;
};
std::mutex postedMutex;
std::vector<Posted> posted;

int recordEvent(uint32_t flags, int port, const char* m, const char* p, const char* s, const char* c)
{
    std::lock_guard<std::mutex> lock(postedMutex);
    posted.push_back({flags, port, m ? m : "(null)", p ? p : "(null)", s ? s : "(null)", c ? c : "(null)"});
    return 1;
}

char fakeSessionByte;
UsbPollRecord* const fakeSession = reinterpret_cast<UsbPollRecord*>(&fakeSessionByte);

// The publisher on the simulated board of a per-port LED model with four
// ports and port power; rows are filled by hand as the scan would.
class StatusPublish : public testing::Test {
protected:
    virtual uint32_t product() const { return 353; }

    void SetUp() override
    {
        root_ = std::make_unique<boardtest::TempRoot>(278, product(), 4);
        params::sw_features()->setChecked(0x7ff000);
        ASSERT_EQ(boardDevice().open(), 1);
        ASSERT_EQ(boardDevice().startUp(nullptr), 1);
        ticks.store(boardTicks() + 1000);
        setTickSourceForTest(testTicks);
        configureUsbTable(product());
        for (UsbDeviceSlot& slot : usbDeviceTable)
            slot.reset();
        clearPortUsageCounters();
        clearUsbPublishRecords();
        registerUsbStatusPublisher();
        setNotifyEventIntake(recordEvent);
        std::lock_guard<std::mutex> lock(postedMutex);
        posted.clear();
    }
    void TearDown() override
    {
        setNotifyEventIntake(nullptr);
        setUsbPublishOps(nullptr);
        for (UsbDeviceSlot& slot : usbDeviceTable)
            slot.reset();
        setTickSourceForTest(nullptr);
        boardDevice().close();
        root_.reset();
    }

    static void fillRow(int row, int port, const char* manufacturer, const char* product, const char* serial)
    {
        UsbDeviceSlot& slot = usbDeviceTable[row];
        slot.port = port;
        slot.idVendor = 0x1d6b;
        slot.idProduct = 0x0a0b;
        snprintf(slot.manufacturer, sizeof slot.manufacturer, "%s", manufacturer);
        snprintf(slot.product, sizeof slot.product, "%s", product);
        snprintf(slot.serial, sizeof slot.serial, "%s", serial);
        slot.state.store(kUsbSlotPresent);
    }
    static void take(int row, const char* name, const char* address = "198.18.0.9")
    {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        inet_pton(AF_INET, address, &peer.sin_addr);
        ASSERT_EQ(claimSlotOwnership(row, fakeSession, 7, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 1);
        publishConnect(row, name);
    }
    static void release(int row)
    {
        publishDisconnect(row);
        releaseSlotOwnership(row, fakeSession);
    }
    static std::string text(const char* prefix, int row)
    {
        Param* p = ParamStore::find(prefix, static_cast<int>(strlen(prefix)), static_cast<uint32_t>(row + 1));
        return p ? p->text() : "(missing)";
    }
    static std::vector<Posted> events()
    {
        std::lock_guard<std::mutex> lock(postedMutex);
        return posted;
    }
    // The display board's port LEDs of ports 0..4: 0 dark, 1 first LED
    // (attached), 2 second LED (in use), 3 both.
    int led(int portIndex) const
    {
        const uint32_t lit = static_cast<uint32_t>(std::stoul(root_->state("port_leds"), nullptr, 0));
        return ((lit >> (8 + portIndex)) & 1) | (((lit >> (16 + portIndex)) & 1) << 1);
    }
    uint32_t powerLines() const { return static_cast<uint32_t>(std::stoul(root_->state("power_lines"), nullptr, 0)); }

    std::unique_ptr<boardtest::TempRoot> root_;
    ParamOverride params_;
};

TEST_F(StatusPublish, AttachConnectDisconnectDetachWriteTheRowsParameters)
{
    fillRow(2, 3, "ACME", "", "S-1");
    publishAttach(2);
    EXPECT_EQ(text("usb_manu_", 2), "ACME");
    EXPECT_EQ(text("usb_prod_", 2), "?");  // an empty text
    EXPECT_EQ(text("usb_sern_", 2), "S-1");
    EXPECT_EQ(text("usb_slot_", 2), "3");
    EXPECT_EQ(text("usb_vendid_", 2), "1d6b");
    EXPECT_EQ(text("usb_prodid_", 2), "0a0b");
    EXPECT_EQ(text("usb_owner_", 2), "Available");

    take(2, "lab-pc");
    EXPECT_EQ(text("usb_owner_", 2), "lab-pc (198.018.000.009)");
    release(2);
    EXPECT_EQ(text("usb_owner_", 2), "Available");
    take(2, nullptr);
    EXPECT_EQ(text("usb_owner_", 2), "198.018.000.009");
    release(2);

    publishDetach(2);
    for (const char* prefix : {"usb_manu_", "usb_prod_", "usb_sern_", "usb_owner_"})
        EXPECT_EQ(text(prefix, 2), "-") << prefix;
    EXPECT_EQ(text("usb_slot_", 2), "0");
    EXPECT_EQ(text("usb_vendid_", 2), "");

    struct Expected { uint32_t flags; const char* client; };
    const Expected expected[] = {
        {NOTIFY_DEVICE_ATTACHED, "(null)"},
        {NOTIFY_CLIENT_CONNECTED, "lab-pc (198.018.000.009)"},
        {NOTIFY_CLIENT_DISCONNECTED, "lab-pc (198.018.000.009)"},  // the owner before it is cleared
        {NOTIFY_CLIENT_CONNECTED, "198.018.000.009"},
        {NOTIFY_CLIENT_DISCONNECTED, "198.018.000.009"},
        {NOTIFY_DEVICE_DETACHED, "(null)"},
    };
    std::vector<Posted> got = events();
    ASSERT_EQ(got.size(), std::size(expected));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].flags, expected[i].flags) << i;
        EXPECT_EQ(got[i].client, expected[i].client) << i;
        EXPECT_EQ(got[i].port, 3) << i;
        EXPECT_EQ(got[i].manufacturer, "ACME") << i;
    }
}

TEST_F(StatusPublish, OutsideTextsCannotBreakTheParameters)
{
    // Control characters would make the parameter refuse the whole text.
    fillRow(0, 1, "Evil\r\nX-Header: 1", "  spaced  ", "\x1b[31m");
    publishAttach(0);
    EXPECT_EQ(text("usb_manu_", 0), "Evil??X-Header: 1");
    EXPECT_EQ(text("usb_prod_", 0), "spaced");
    EXPECT_EQ(text("usb_sern_", 0), "?[31m");
    take(0, "pc\r\nRCPT TO:<x>");
    EXPECT_EQ(text("usb_owner_", 0), "pc??RCPT TO:<x> (198.018.000.009)");
}

// The scripted life of a port: two sessions in turn, a device that vanishes
// while connected, the power-off after the last session.
TEST_F(StatusPublish, PortCountersLedsAndPowerFollowTheDevices)
{
    params_.set("zyt_poffdura_", "0", 2);
    fillRow(0, 2, "A", "B", "C");
    const int port = 1;  // index of physical port 2
    struct Step {
        const char* what;
        int counter;
        int led;  // 0 off, 1 attached, 2 in use
    };
    auto check = [&](const Step& s) {
        EXPECT_EQ(portUsageCounter(port), s.counter) << s.what;
        EXPECT_EQ(led(port), s.led) << s.what;
    };
    publishAttach(0);
    check({"attach", 100, 1});
    take(0, "one");
    check({"first session", 101, 2});
    release(0);
    check({"first release", 100, 1});
    EXPECT_EQ(portPowerDeadline(port), 0u) << "no power-off time set";
    params_.set("zyt_poffdura_", "30", 2);
    take(0, "two");
    check({"second session", 101, 2});

    // The device vanishes: the scan publishes the detach, then the dropped
    // owner its disconnect.
    publishDetach(0);
    check({"detach while connected", 0, 0});
    release(0);
    check({"disconnect after detach", 0, 0});
    ASSERT_EQ(powerLines() & 0x2, 0u) << "port 2 is switched off";
    EXPECT_EQ(portPowerDeadline(port), ticks.load() + 300);

    ticks.fetch_add(299);
    powerOnExpiredPorts();
    EXPECT_EQ(powerLines() & 0x2, 0u) << "one tick early";
    ticks.fetch_add(1);
    powerOnExpiredPorts();
    EXPECT_EQ(powerLines() & 0x2, 0x2u);
}

TEST_F(StatusPublish, OneDisconnectPerConnect)
{
    fillRow(0, 1, "A", "B", "C");
    publishAttach(0);
    take(0, "pc");
    // The administrator's disconnect, then the session's own release.
    publishDisconnect(0);
    release(0);
    int disconnects = 0;
    for (const Posted& e : events())
        disconnects += e.flags == NOTIFY_CLIENT_DISCONNECTED;
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(portUsageCounter(0), 100);
    EXPECT_EQ(led(0), 1);
}

TEST_F(StatusPublish, SlotTexts)
{
    fillRow(4, 2, "Maker", "Thing", "0123456789");
    EXPECT_EQ(getUsbSlotText(5, kUsbTextManufacturer, nullptr, 0), -1);
    char buf[8];
    EXPECT_EQ(getUsbSlotText(3, kUsbTextManufacturer, buf, sizeof buf), -1) << "a free row";
    struct Case { int kind; size_t size; const char* text; };
    const Case cases[] = {
        {kUsbTextManufacturer, 8, "Maker"},
        {kUsbTextSerial, 8, ""},  // does not fit: empty
        {kUsbTextOwnerAddress, 8, "----"},
        {kUsbTextConnected, 8, ""},
        {kUsbTextProductId, 8, "0x0A0B"},
        {kUsbTextVendorId, 8, "0x1D6B"},
        {42, 16, "id err !!"},
    };
    for (const Case& c : cases) {
        char text[16];
        memset(text, 'x', sizeof text);
        EXPECT_EQ(getUsbSlotText(4, c.kind, text, c.size), static_cast<int>(strlen(c.text))) << c.kind;
        EXPECT_STREQ(text, c.text) << c.kind;
    }
    take(4, "pc", "198.18.1.2");
    EXPECT_EQ(getUsbSlotText(4, kUsbTextConnected, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "1");
    char address[20];
    getUsbSlotText(4, kUsbTextOwnerAddress, address, sizeof address);
    EXPECT_STREQ(address, "198.018.001.002");
    release(4);
}

TEST_F(StatusPublish, CountersHoldUnderConcurrentSessions)
{
    for (int row = 0; row < 4; ++row) {
        fillRow(row, row + 1, "A", "B", "C");
        publishAttach(row);
    }
    // Threads count sessions up and down on the same ports at once.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 300; ++i) {
                publishConnect(t, "x");
                publishDisconnect(t);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int port = 0; port < 4; ++port)
        EXPECT_EQ(portUsageCounter(port), 100) << port;
}

// The card-reader model: port 1 is the reader, whose texts and LED the
// supervision loop keeps; an attach there only posts its event.
class CardReaderPublish : public StatusPublish {
protected:
    uint32_t product() const override { return 337; }
};

TEST_F(CardReaderPublish, AttachOnTheReaderPortOnlyPostsItsEvent)
{
    fillRow(0, 1, "Reader", "Card", "1");
    params_.set("usb_manu_", "-", 1);
    publishAttach(0);
    ASSERT_EQ(events().size(), 1u);
    EXPECT_EQ(events()[0].flags, NOTIFY_DEVICE_ATTACHED);
    EXPECT_EQ(text("usb_manu_", 0), "-");
    EXPECT_EQ(portUsageCounter(0), 0);
}

// A model with one shared LED counts sessions and shows the status pattern
// once the last one ended.
class SharedLedPublish : public StatusPublish {
protected:
    uint32_t product() const override { return 330; }
};

TEST_F(SharedLedPublish, SessionCountAndStatusPattern)
{
    ASSERT_FALSE(hasPerPortLeds());
    fillRow(0, 1, "A", "B", "C");
    fillRow(1, 2, "A", "B", "C");
    publishAttach(0);
    publishAttach(1);
    EXPECT_EQ(portUsageCounter(0), 0) << "no per-port counting";
    take(0, "a");
    take(1, "b");
    EXPECT_EQ(usbSessionCount(), 2);
    release(0);
    EXPECT_EQ(usbSessionCount(), 1);
    release(1);
    EXPECT_EQ(usbSessionCount(), 0);
    release(1);  // a second release of the same connect
    EXPECT_EQ(usbSessionCount(), 0);
}

} // namespace
