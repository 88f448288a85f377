#include "services/sntp/sntp_packet.h"

#include <arpa/inet.h>

#include <cstring>

#include "core/util/unaligned_load.h"

namespace {

// Seconds from 1900 to 1970.
constexpr int64_t kNtpToUnix = 2208988800LL;
constexpr int64_t kEraSeconds = 1LL << 32;

enum : size_t {
    kOriginOffset = 24,
    kTransmitOffset = 40,
};

NtpTimestamp timestampAt(const uint8_t* p)
{
    return {ntohl(loadU32(p)), ntohl(loadU32(p + 4))};
}

void storeTimestamp(uint8_t* p, const NtpTimestamp& t)
{
    const uint32_t words[2] = {htonl(t.seconds), htonl(t.fraction)};
    memcpy(p, words, sizeof words);
}

} // namespace

void buildSntpRequest(uint8_t out[kSntpPacketSize], const NtpTimestamp& transmit)
{
    memset(out, 0, kSntpPacketSize);
    out[0] = 0x0B;
    out[2] = 4;
    storeTimestamp(out + kTransmitOffset, transmit);
}

int64_t ntpSecondsToUnix(uint32_t seconds)
{
    const int64_t era = (seconds & 0x80000000u) ? 0 : kEraSeconds;
    return static_cast<int64_t>(seconds) + era - kNtpToUnix;
}

NtpTimestamp unixToNtp(int64_t seconds, long microseconds)
{
    NtpTimestamp t;
    t.seconds = static_cast<uint32_t>(seconds + kNtpToUnix);
    t.fraction = static_cast<uint32_t>((static_cast<uint64_t>(microseconds) << 32) / 1000000);
    return t;
}

bool readSntpReply(const uint8_t* data, size_t length, const NtpTimestamp& sent, int64_t* seconds,
                   long* microseconds)
{
    if (length != kSntpPacketSize)
        return false;
    const int leap = data[0] >> 6;
    const int mode = data[0] & 7;
    const int stratum = data[1];
    if (mode != 4 || leap == 3 || stratum < 1 || stratum > 15)
        return false;
    const NtpTimestamp origin = timestampAt(data + kOriginOffset);
    const NtpTimestamp transmit = timestampAt(data + kTransmitOffset);
    if (transmit.seconds == 0 && transmit.fraction == 0)
        return false;
    if (origin.seconds != sent.seconds || origin.fraction != sent.fraction)
        return false;
    *seconds = ntpSecondsToUnix(transmit.seconds);
    *microseconds = static_cast<long>((static_cast<uint64_t>(transmit.fraction) * 1000000) >> 32);
    return true;
}
