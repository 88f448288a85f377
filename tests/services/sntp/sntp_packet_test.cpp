#include "services/sntp/sntp_packet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

const NtpTimestamp kSent{3913056000u - 5, 0x12345678};

void putTimestamp(uint8_t* p, const NtpTimestamp& t)
{
    const uint32_t w[2] = {htonl(t.seconds), htonl(t.fraction)};
    memcpy(p, w, 8);
}

// A server's answer to kSent: leap 0, version 4, mode 4, stratum 2.
std::vector<uint8_t> answer(NtpTimestamp transmit)
{
    std::vector<uint8_t> r(kSntpPacketSize, 0);
    r[0] = 0x24;
    r[1] = 2;
    putTimestamp(&r[24], kSent);
    putTimestamp(&r[40], transmit);
    return r;
}

TEST(SntpRequest, ClientModeWithOurTransmitTime)
{
    uint8_t p[kSntpPacketSize];
    memset(p, 0xee, sizeof p);
    buildSntpRequest(p, kSent);
    EXPECT_EQ(p[0], 0x0B);
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(p[2], 4);
    for (size_t i = 3; i < 40; ++i)
        EXPECT_EQ(p[i], 0) << i;
    uint8_t expected[8];
    putTimestamp(expected, kSent);
    EXPECT_EQ(memcmp(p + 40, expected, 8), 0);
}

TEST(SntpReply, TransmitTimeBecomesUnixTime)
{
    const std::vector<uint8_t> r = answer({3913056000u, 0x80000000u});
    int64_t seconds = 0;
    long micro = 0;
    ASSERT_TRUE(readSntpReply(r.data(), r.size(), kSent, &seconds, &micro));
    EXPECT_EQ(seconds, 1704067200);  // 1 January 2024
    EXPECT_EQ(micro, 500000);
}

TEST(SntpReply, ErasAroundTheWrap)
{
    EXPECT_EQ(ntpSecondsToUnix(3913056000u), 1704067200);
    EXPECT_EQ(ntpSecondsToUnix(0xFFFFFFFFu), 2085978495);
    // After the 2036 wrap small values lie in the next era, not in 1900.
    EXPECT_EQ(ntpSecondsToUnix(0), 2085978496);
    EXPECT_EQ(ntpSecondsToUnix(1000), 2085979496);
    const NtpTimestamp t = unixToNtp(1704067200, 250000);
    EXPECT_EQ(t.seconds, 3913056000u);
    EXPECT_EQ(t.fraction, 0x40000000u);
}

TEST(SntpReply, UntrustworthyAnswersAreRefused)
{
    struct Case {
        const char* what;
        size_t offset;
        uint8_t value;
    };
    const Case cases[] = {
        {"unsynchronised (leap 3)", 0, 0xE4},
        {"kiss-o'-death (stratum 0)", 1, 0},
        {"stratum 16", 1, 16},
        {"client mode", 0, 0x23},
        {"broadcast mode", 0, 0x25},
        {"another request's origin", 31, 0x79},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> r = answer({3913056000u, 0});
        r[c.offset] = c.value;
        int64_t seconds = -1;
        long micro = -1;
        EXPECT_FALSE(readSntpReply(r.data(), r.size(), kSent, &seconds, &micro));
        EXPECT_EQ(seconds, -1) << "nothing written";
    }
    int64_t seconds = 0;
    long micro = 0;
    const std::vector<uint8_t> zero = answer({0, 0});
    EXPECT_FALSE(readSntpReply(zero.data(), zero.size(), kSent, &seconds, &micro)) << "zero transmit time";

    std::vector<uint8_t> longer = answer({3913056000u, 0});
    longer.push_back(0);
    EXPECT_FALSE(readSntpReply(longer.data(), 49, kSent, &seconds, &micro));
    EXPECT_FALSE(readSntpReply(longer.data(), 47, kSent, &seconds, &micro));
    EXPECT_TRUE(readSntpReply(longer.data(), 48, kSent, &seconds, &micro));
}

} // namespace
