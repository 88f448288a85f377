// A box root of a given model with a fresh simulated USB host, an empty
// device table, an empty publish record and a tick clock the test moves.
#pragma once

#include "core/params/param_handles.h"
#include "support/product_record.h"
#include "core/task/tick_clock.h"
#include "platform/usbfs/sim/usb_sim.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_publish.h"
#include "usbserver/usb_scan.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

inline std::atomic<uint64_t> usbTestTicks{1000};

inline uint64_t usbTestTickSource()
{
    return usbTestTicks.load();
}

inline void clearUsbTable()
{
    for (UsbDeviceSlot& slot : usbDeviceTable)
        slot.reset();
}

class UsbTableTest : public ::testing::Test {
public:
    // The model to run as; usb_ports_phy 20 lets every port publish.
    virtual uint32_t productId() const { return 353; }

    void SetUp() override
    {
        ASSERT_TRUE(root_.ok());
        useProduct(root_, "product_id=" + std::to_string(productId()) + "\nusbtable_product_id="
                          + std::to_string(productId()) + "\nusb_ports_phy=20\n");
        setUpUsbfsForProduct();
        usbTestTicks.store(1000);
        setTickSourceForTest(usbTestTickSource);
        clearUsbTable();
        usbsim::resetForTest();
        configureUsbTable(productId());
        clearUsbPublishRecords();
        hidWasOn_ = params::zyt_hid()->isOn();
    }

    void TearDown() override
    {
        params::zyt_hid()->setValue(hidWasOn_ ? 1 : 0);
        // Rows first: their descriptors belong to the simulated host.
        clearUsbTable();
        usbsim::resetForTest();
        setTickSourceForTest(nullptr);
    }

    static void advanceTicks(uint64_t ticks) { usbTestTicks.fetch_add(ticks); }

    // Plugs a device ("loopback at=1-1.2"); its sysfs name.
    static std::string plug(const std::string& args)
    {
        std::string answer = usbsim::command("plug " + args);
        EXPECT_EQ(answer.compare(0, 3, "ok "), 0) << answer;
        return answer.size() > 3 ? answer.substr(3) : "";
    }

    static void unplug(const std::string& name)
    {
        std::string answer = usbsim::command("unplug " + name);
        EXPECT_EQ(answer.compare(0, 2, "ok"), 0) << answer;
    }

    // The used row holding the device at this bus and devpath hash, or -1.
    static int rowAt(int bus, const char* devpath)
    {
        for (int row = 0; row < usbRowCount.load(); ++row) {
            const UsbDeviceSlot& slot = usbDeviceTable[row];
            if (slot.state.load() != kUsbSlotFree && slot.busnum == bus
                && slot.devpathHash == devpathHashOf(devpath))
                return row;
        }
        return -1;
    }

    static int usedRows()
    {
        int n = 0;
        for (int row = 0; row < usbRowCount.load(); ++row)
            n += usbDeviceTable[row].state.load() != kUsbSlotFree;
        return n;
    }

    static int published(UsbPublishKind kind, int row)
    {
        int n = 0;
        for (const UsbPublishRecord& r : usbPublishRecords())
            n += r.kind == kind && r.row == row;
        return n;
    }

    const TempBoxRoot& root() const { return root_; }

private:
    TempBoxRoot root_;
    bool hidWasOn_ = true;
};
