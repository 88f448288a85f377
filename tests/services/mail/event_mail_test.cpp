#include "services/mail/event_mail.h"

#include "core/params/param_handles.h"
#include "support/param_override.h"
#include "support/product_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

NotifyEvent event(uint32_t flags, int port, const char* m = "Maker", const char* p = "Thing", const char* s = "S1",
                  const char* c = nullptr)
{
    NotifyEvent e;
    fillNotifyEvent(e, flags, port, m, p, s, c);
    return e;
}

class EventMail : public testing::Test {
protected:
    void SetUp() override
    {
        useProduct(root_, "product_id=353\nproduct_name=ABC-12\nusb_ports_phy=4\n");
        for (int n = 1; n <= 2; ++n) {
            params_.set("mailto_", n == 1 ? "one@example.test" : "two@example.test", n);
            for (const char* sw : {"noti_dev_", "noti_act_", "noti_stat_", "noti_pup_", "noti_lnk_", "noti_pwr_"})
                params_.set(sw, "off", n);
        }
        params_.set("sys_name", "");
    }
    void TearDown() override
    {
        root_.writeFile("/conf.d/product_params", "");
        reloadProductInfoForTest();
    }

    TempBoxRoot root_;
    ParamOverride params_;
};

TEST(ProductBaseName, DropsTheTrailingModelNumber)
{
    const struct { const char* name; const char* base; } cases[] = {
        {"ABC-12", "ABC"}, {"ABC", "ABC"}, {"AB-C 3-4", "AB-C "}, {"12-3", ""}, {"", ""}};
    for (const auto& c : cases)
        EXPECT_EQ(productBaseName(c.name), c.base) << c.name;
}

TEST_F(EventMail, RecipientsAndTitleFollowTheSwitches)
{
    params_.set("noti_dev_", "on", 1);
    params_.set("noti_lnk_", "on", 2);
    params_.set("noti_pup_", "on", 1);
    params_.set("noti_pup_", "on", 2);
    struct Case {
        uint32_t flags;
        bool to1, to2;
        const char* title;
    };
    const Case cases[] = {
        {NOTIFY_DEVICE_ATTACHED, true, false, "USB devices changed"},
        {NOTIFY_CLIENT_CONNECTED, false, false, "USB devices status changed"},
        // Attach and link in one batch: the last kind names the mail.
        {NOTIFY_DEVICE_ATTACHED | NOTIFY_LINK_CHANGED, true, true, "Network link"},
        {NOTIFY_CARD_REMOVED, false, false, "SDCard is plugged out"},
        {NOTIFY_CARD_MOUNTED, false, false, "SDCard is plugged in"},
        {NOTIFY_CARD_MISSING | NOTIFY_CARD_UNUSABLE, false, false, "SDCard is missing"},
        {NOTIFY_RESTART, true, true, "Restart"},
        {0, false, false, ""},
    };
    for (const Case& c : cases) {
        EventMailPlan plan = planEventMail(c.flags);
        EXPECT_EQ(plan.to[0], c.to1) << std::hex << c.flags;
        EXPECT_EQ(plan.to[1], c.to2) << std::hex << c.flags;
        EXPECT_EQ(plan.title, c.title) << std::hex << c.flags;
    }
    params_.set("mailto_", "", 2);
    EXPECT_FALSE(planEventMail(NOTIFY_RESTART).to[1]) << "no address, no mail";
}

TEST_F(EventMail, SubjectNamesTheBox)
{
    params_.set("ip_addr", "198.18.7.2");
    std::string subject = eventMailSubject("Restart");
    EXPECT_EQ(subject.rfind("Restart ABC-12: \"ABC Server\" (198.18.7.2) at ", 0), 0u) << subject;
    params_.set("sys_name", "lab-box");
    subject = eventMailSubject("Restart");
    EXPECT_EQ(subject.rfind("Restart ABC-12: \"lab-box\" (198.18.7.2) at ", 0), 0u) << subject;
    EXPECT_EQ(subject.find_first_of("\r\n"), std::string::npos);
}

TEST_F(EventMail, UsbSectionWithAndWithoutPortTag)
{
    params_.set("zyt_tag_", "Printer", 3);
    params_.set("zyt_tag_", "", 2);
    const std::vector<NotifyEvent> events = {
        event(NOTIFY_DEVICE_ATTACHED, 2),
        event(NOTIFY_CLIENT_CONNECTED, 3, "Evil\r\n.\r\nQUIT", "P", "S", "pc (198.018.000.009)"),
        event(NOTIFY_LINK_CHANGED, 0x10),
    };
    const std::string s = usbEventSection(events);
    EXPECT_NE(s.find("\r\n Port  2:\r\n ---------\r\n Manufacturer : Maker\r\n Product      : Thing\r\n"
                     " Serial       : S1\r\n Device status: recently attached\r\n"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("\r\n Port  3 \"Printer\":\r\n"), std::string::npos) << s;
    EXPECT_NE(s.find(" Manufacturer : Evil.QUIT\r\n"), std::string::npos) << "device texts cannot break lines";
    EXPECT_NE(s.find(" Device status: recently connected by pc (198.018.000.009)\r\n"), std::string::npos);
    EXPECT_EQ(s.find("Port 16"), std::string::npos) << "the link event has no USB part";
}

TEST_F(EventMail, LinkPowerAndCardTexts)
{
    const std::vector<NotifyEvent> events = {
        event(NOTIFY_LINK_CHANGED, 0x10),
        event(NOTIFY_SUPPLY_CHANGED, 0x1),
        event(NOTIFY_CARD_REMOVED, 0, "SDV", "SDP", "LABEL"),
        event(NOTIFY_CARD_MISSING, 0, "", "", ""),
    };
    // The two-connector model.
    EXPECT_NE(linkSection(events).find("\r\n Left  RJ-45 network connector: link established"
                                       "\r\n Right RJ-45 network connector: no link\r\n "),
              std::string::npos);
    EXPECT_NE(powerSection(events).find("\r\n Left  power supply is switched off"
                                        "\r\n Right power supply is switched on\r\n "),
              std::string::npos);
    const std::string sd = sdCardSection(events);
    const std::string removed = "\r\n\tAn SD card has been removed.\r\n\tThe SD card has been removed from the ABC "
                                "server. Reconnect the SD card.\r\n\r\n ---------\r\n Manufacturer : SDV\r\n"
                                " Product      : SDP\r\n Device label : LABEL\r\n";
    const std::string missing = "\r\n ---------\r\n Manufacturer : \r\n Product      : \r\n Device label : \r\n";
    EXPECT_EQ(sd, removed + missing);
}

TEST_F(EventMail, BodyOfABatchHoldsBannerAndEverySection)
{
    const std::vector<NotifyEvent> events = {event(NOTIFY_DEVICE_ATTACHED, 1), event(NOTIFY_LINK_CHANGED, 0x11)};
    const std::string body = eventMailBody(events, NOTIFY_DEVICE_ATTACHED | NOTIFY_LINK_CHANGED);
    const size_t banner = body.find("#######################   ABC Server       ########################\r\n");
    const size_t title = body.find("##   Network link");
    const size_t usb = body.find("=== USB Devices ===");
    const size_t link = body.find("=== Network links ===");
    EXPECT_EQ(banner, 0u) << body;
    ASSERT_NE(title, std::string::npos) << body;
    ASSERT_NE(usb, std::string::npos);
    ASSERT_NE(link, std::string::npos);
    EXPECT_LT(title, usb);
    EXPECT_LT(usb, link);
    // Every line ends in CR LF.
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\n') {
            ASSERT_TRUE(i > 0 && body[i - 1] == '\r') << "bare LF at " << i;
        }
    }
}

} // namespace
