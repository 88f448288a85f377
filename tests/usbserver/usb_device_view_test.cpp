// The device table's read-only view: a row's published facts copied out
// whole, the owner's name only while the row is connected, and never a row
// caught half changed by its owner on another thread.
#include "usbserver/usb_table_fixture.h"

#include "usbserver/usb_device_view.h"
#include "usbserver/usb_poll_record.h"

#include <atomic>
#include <string>
#include <thread>

namespace {

using UsbDeviceViewTest = UsbTableTest;

TEST_F(UsbDeviceViewTest, CopiesTheRowsFactsAndItsOwnersNameWhileConnected)
{
    plug("loopback at=1-1.2 serial=L1");
    ASSERT_EQ(rescanUsbDevices(), 1);
    const int row = rowAt(1, "1.2");
    ASSERT_GE(row, 0);

    UsbDeviceView view;
    ASSERT_TRUE(copyUsbDeviceView(row, &view));
    EXPECT_EQ(view.state, UsbViewState::Present);
    EXPECT_EQ(view.port, 2);
    EXPECT_EQ(view.idVendor, 0x1209);
    EXPECT_EQ(view.idProduct, 0x0001);
    EXPECT_STREQ(view.manufacturer, "WEV Simulation");
    EXPECT_STREQ(view.product, "Loopback Device");
    EXPECT_STREQ(view.serial, "L1");
    EXPECT_STREQ(view.ownerName, "");

    UsbPollRecord owner;
    UsbPollRecord other;
    ASSERT_EQ(claimSlotOwnership(row, &owner, 0, nullptr, 0), 1);
    EXPECT_EQ(setSlotOwnerName(row, &other, "intruder"), 0) << "only the owner names itself";
    ASSERT_EQ(setSlotOwnerName(row, &owner, "client-7"), 1);
    ASSERT_TRUE(copyUsbDeviceView(row, &view));
    EXPECT_EQ(view.state, UsbViewState::Connected);
    EXPECT_STREQ(view.ownerName, "client-7");

    ASSERT_EQ(releaseSlotOwnership(row, &owner), 1);
    ASSERT_TRUE(copyUsbDeviceView(row, &view));
    EXPECT_EQ(view.state, UsbViewState::Present);
    EXPECT_STREQ(view.ownerName, "") << "the name goes with the ownership";
    EXPECT_STREQ(view.serial, "L1");
}

// A model whose table uses 12 of its 40 rows.
class UsbDeviceViewOnASmallTable : public UsbTableTest {
public:
    uint32_t productId() const override { return 347; }
};

TEST_F(UsbDeviceViewOnASmallTable, RowsOutsideThisModelsTableAreRefusedAndOutIsLeftAlone)
{
    const int rows = usbRowCount.load();
    ASSERT_EQ(rows, 12);
    for (int row : {-1, rows, kUsbTableRows}) {
        UsbDeviceView view;
        view.port = 99;
        EXPECT_FALSE(copyUsbDeviceView(row, &view)) << row;
        EXPECT_EQ(view.port, 99) << row;
    }
    EXPECT_FALSE(copyUsbDeviceView(0, nullptr));
    UsbDeviceView first;
    EXPECT_TRUE(copyUsbDeviceView(0, &first)) << "a free row is a row of the table";
    EXPECT_EQ(first.state, UsbViewState::Free);
}

// The owner takes the row, names itself twice and gives the row back on its
// own thread while a reader copies it: every copy holds one whole name or
// none, never the bytes of two.
TEST_F(UsbDeviceViewTest, AReaderNeverSeesAHalfWrittenName)
{
    plug("loopback at=1-1.2");
    ASSERT_EQ(rescanUsbDevices(), 1);
    const int row = rowAt(1, "1.2");
    ASSERT_GE(row, 0);
    const std::string first(kUsbViewNameSize - 1, 'a');
    const std::string second(kUsbViewNameSize - 1, 'b');

    std::atomic<bool> done{false};
    std::thread ownerThread([&] {
        UsbPollRecord owner;
        for (int i = 0; i < 2000; ++i) {
            claimSlotOwnership(row, &owner, 0, nullptr, 0);
            setSlotOwnerName(row, &owner, first.c_str());
            setSlotOwnerName(row, &owner, second.c_str());
            releaseSlotOwnership(row, &owner);
        }
        done.store(true);
    });
    int torn = 0;
    do {
        UsbDeviceView view;
        if (!copyUsbDeviceView(row, &view)) {
            ADD_FAILURE() << "row " << row << " could not be copied";
            break;
        }
        const std::string name(view.ownerName);
        if (!name.empty() && name != first && name != second)
            ++torn;
    } while (!done.load());
    ownerThread.join();
    EXPECT_EQ(torn, 0);
}

} // namespace
