// Events of a session's descriptors on the box's front: the models whose
// activity LED blinks with every event.
#include "usbserver/usb_poll_record.h"

#include "core/board/board_device.h"
#include "support/board_test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Products 353 and 365 blink the activity LED (bit 0) once, fast, for every
// event; the others leave it as it was.
TEST(UsbPollRecordEvents, TheActivityLedBlinksOnTheModelsThatShowActivity)
{
    struct Case {
        uint32_t product;
        bool blinks;
    };
    const Case cases[] = {{353, true}, {365, true}, {347, false}, {278, false}};
    for (const Case& k : cases) {
        SCOPED_TRACE("product " + std::to_string(k.product));
        boardtest::TempRoot root(278, k.product, 4);
        ASSERT_EQ(boardDevice().open(), 1);
        const std::string before = root.state("led.0");
        UsbPollRecord* record = UsbPollRecord::create(-1, 0);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(dispatchPollEvent(&record->source, 1), 0);
        const std::string after = root.state("led.0");
        if (k.blinks)
            EXPECT_EQ(after, "1 3 0 100") << "before: " << before;
        else
            EXPECT_EQ(after, before);
        runReadyRecords();
        UsbPollRecord::destroy(&record);
        UsbPollRecord::collectDestroyed();
        boardDevice().close();
    }
}

} // namespace
