// The WLAN status accessors over the simulated radio's readings.
#include <gtest/gtest.h>

#include <string>

#include "core/params/param_handles.h"
#include "services/wlan/wlan_status.h"
#include "support/temp_box_root.h"

namespace {

TEST(WlanStatus, ReadingsOfTheSimulatedRadio)
{
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    root.writeFile("/var/wlan.sim/status", "name=IEEE 802.11g\nessid=lab <net>\nap=02:00:5E:10:00:01\nmode=2\n"
                                           "bitrate=54000000\nquality=130\nsignal=-48\nnoise=-92\n"
                                           "serial=00:1A:2B:3C:4D:5E\ndriver=rt2800usb\n");
    const std::string oldSerial = *params::wifi_serial()->value();
    params::wifi_serial()->set("", -1);

    ASSERT_EQ(readWlanStatus(), 0);
    std::string text;
    EXPECT_EQ(wlanModeText(&text), 1);
    EXPECT_EQ(text, "Infrastructure");
    EXPECT_EQ(wlanMode(), 2);
    wlanEssid(&text);
    EXPECT_EQ(text, "lab <net>");
    EXPECT_EQ(wlanSignalQuality(), 100) << "the quality is at most 100";
    wlanBitRateText(&text);
    EXPECT_EQ(text, "54 Mb/s");
    EXPECT_EQ(wlanDriverName(&text), 1);
    EXPECT_EQ(text, "rt2800usb");
    EXPECT_EQ(readApAddress(&text), 1);
    EXPECT_EQ(text, "02:00:5e:10:00:01");

    const std::string page = wifiInfoPageBody();
    EXPECT_NE(page.find("<TR><TD>Link: <TD> Quality=130/100  Signal level=-48 dBm  Noise level=-92 dBm <TD><TR>"),
              std::string::npos) << page;
    EXPECT_NE(page.find("<TR><TD>CARDs MAC Addr: <TD> 00:1a:2b:3c:4d:5e  <TD>"), std::string::npos) << page;
    EXPECT_NE(page.find("<TR><TD>AP BSSID:     <TD>  02:00:5e:10:00:01  <TD>"), std::string::npos) << page;
    EXPECT_EQ(*params::wifi_serial()->value(), "00:1a:2b:3c:4d:5e");
    params::wifi_serial()->set(oldSerial.c_str(), -1);
}

TEST(WlanStatus, WithoutTheRadioNothingIsReported)
{
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    EXPECT_EQ(readWlanStatus(), -19);
    std::string text = "x";
    wlanModeText(&text);
    EXPECT_EQ(text, "");
    EXPECT_EQ(wlanSignalQuality(), 0);
    wlanBitRateText(&text);
    EXPECT_EQ(text, "");
    EXPECT_EQ(wlanDriverName(&text), 0);
    EXPECT_EQ(readApAddress(&text), 0);
    const std::string page = wifiInfoPageBody();
    EXPECT_EQ(page.find("Link:"), std::string::npos);
}

} // namespace
