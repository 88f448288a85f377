// The supplicant's "BSS n" answers and the scan list.
#include <gtest/gtest.h>

#include <string>

#include "services/wlan/bss_list.h"

namespace {

BssRecord parse(const std::string& text)
{
    return parseBssAnswer(text.data(), static_cast<int>(text.size()));
}

TEST(BssAnswer, FieldsAndChannels)
{
    BssRecord r = parse("id=0\nbssid=02:00:00:00:01:00\nfreq=2484\nbeacon_int=100\ncapabilities=0x0411\n"
                        "qual=0\nnoise=-92\nlevel=-43\ntsf=0000000000000000\nie=0009\nflags=[WPA2-PSK-CCMP][ESS]\n"
                        "ssid=odd = \"name\" <b>\n");
    EXPECT_EQ(r.bssid, "02:00:00:00:01:00");
    EXPECT_EQ(r.freq, "2484");
    EXPECT_EQ(r.channel, 14);
    EXPECT_EQ(r.capabilities, "0x0411");
    EXPECT_EQ(r.level, -43);
    EXPECT_EQ(r.flags, "[WPA2-PSK-CCMP][ESS]");
    // Only the first "=" separates key and value.
    EXPECT_EQ(r.ssid, "odd = \"name\" <b>");
    EXPECT_EQ(r.ie, (std::vector<uint8_t>{0x00, 0x09}));

    const std::pair<const char*, int> channels[] = {{"2412", 1}, {"2472", 13}, {"5180", 0}, {"2414", 0}, {"x", 0}};
    for (auto [freq, channel] : channels)
        EXPECT_EQ(parse(std::string("freq=") + freq + "\n").channel, channel) << freq;
}

TEST(BssAnswer, OddOrBrokenHexLeavesTheIeEmpty)
{
    EXPECT_TRUE(parse("ie=001\n").ie.empty());
    EXPECT_TRUE(parse("ie=00zz\n").ie.empty());
    EXPECT_EQ(parse("ie=\n").ie.size(), 0u);
}

TEST(BssAnswer, LinesWithoutEqualsAndUnknownKeysArePassedOver)
{
    BssRecord r = parse("no equals here\nwps_state=configured\nssid=net\n");
    EXPECT_EQ(r.ssid, "net");
    EXPECT_TRUE(r.bssid.empty());
}

TEST(BssAnswer, ACutLastLineIsNotTaken)
{
    // A value that the end of the answer cut off would be taken wrongly.
    BssRecord r = parse("ssid=complete\nflags=[WPA2-PSK-CC");
    EXPECT_EQ(r.ssid, "complete");
    EXPECT_TRUE(r.flags.empty());
}

TEST(BssAnswer, ALongIeBeforeSsidAndFlagsKeepsThem)
{
    // A current access point's IEs run to 600-1200 characters of hex, and the
    // supplicant prints them before flags and ssid.
    std::string ie;
    for (int i = 0; i < 700; ++i)
        ie += "a5";
    const std::string ssid(32, '\x7e');
    BssRecord r = parse("id=3\nbssid=02:00:00:00:03:00\nfreq=2437\nie=" + ie + "\nflags=[ESS]\nssid=" + ssid + "\n");
    EXPECT_EQ(r.ie.size(), 700u);
    EXPECT_EQ(r.flags, "[ESS]");
    EXPECT_EQ(r.ssid, ssid);
    EXPECT_EQ(r.channel, 6);
}

} // namespace
