#include "web/pages/wlan_scan_texts.h"

#include <gtest/gtest.h>

namespace {

TEST(WlanScanTexts, EncryptionCodeFromTheFlags)
{
    const struct {
        const char* flags;
        int code;
    } cases[] = {
        {"[WPA2-PSK-CCMP][ESS]", 6},
        {"[WPA-PSK-TKIP+CCMP][WPA2-PSK-TKIP+CCMP][ESS]", 8},
        {"[WPA-PSK-TKIP+CCMP][ESS]", 7},
        {"[WPA-PSK-TKIP][ESS]", 3},
        {"[WPA-PSK-CCMP][ESS]", 4},
        {"[WPA2-PSK-TKIP][ESS]", 5},
        // WPA2 wins over the WPA part before it.
        {"[WPA-PSK-TKIP][WPA2-PSK-CCMP][ESS]", 6},
        {"[WPA2-EAP-CCMP][ESS]", 0},
        {"[WEP][ESS]", 0},
        {"[IBSS]", 0},
        {"[ESS]", 0},
        {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(wlanEncryptionCode(c.flags), c.code) << c.flags;
}

TEST(WlanScanTexts, SignalPictureStepsAtTheirEdges)
{
    const struct {
        int dBm;
        int step;
    } cases[] = {
        {-30, 100}, {-44, 100}, {-45, 80}, {-64, 80}, {-65, 60}, {-70, 60}, {-74, 60},
        {-75, 40}, {-84, 40}, {-85, 20}, {-89, 20}, {-90, 0}, {-120, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(wlanSignalStep(c.dBm), c.step) << c.dBm;
    EXPECT_EQ(wlanPicture(wlanSignalStep(-70)), "\"/pics/wlan060.png\"");
    EXPECT_EQ(wlanPicture(0), "\"/pics/wlan000.png\"");
}

TEST(WlanScanTexts, QualityGoesToTheNearestTwenty)
{
    EXPECT_EQ(wlanQualityStep(0), 0);
    EXPECT_EQ(wlanQualityStep(9), 0);
    EXPECT_EQ(wlanQualityStep(10), 20);
    EXPECT_EQ(wlanQualityStep(69), 60);
    EXPECT_EQ(wlanQualityStep(70), 80);
    EXPECT_EQ(wlanQualityStep(100), 100);
    EXPECT_EQ(wlanQualityStep(250), 100);
    EXPECT_EQ(wlanQualityStep(-5), 0);
}

TEST(WlanScanTexts, AdHocAndModeNames)
{
    EXPECT_TRUE(wlanIsAdHoc("[IBSS]"));
    EXPECT_FALSE(wlanIsAdHoc("[WPA2-PSK-CCMP][ESS]"));
    EXPECT_STREQ(wlanModeName(1), "Ad-Hoc");
    EXPECT_STREQ(wlanModeName(6), "Monitor");
    EXPECT_STREQ(wlanModeName(7), "");
    EXPECT_STREQ(wlanModeName(-1), "");
}

} // namespace
