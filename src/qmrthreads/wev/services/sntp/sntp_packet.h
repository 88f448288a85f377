// SNTP (RFC 4330) request and reply: the 48-byte client request and the
// checks a server's answer must pass before its time is believed.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kSntpPacketSize = 48;
constexpr uint16_t kSntpPort = 123;

// NTP timestamp: seconds since 1900 (within its era) and a binary fraction.
struct NtpTimestamp {
    uint32_t seconds = 0;
    uint32_t fraction = 0;
};

// Client request (leap 0, version 1, mode 3, poll 4) carrying transmit as
// its transmit time, which a server echoes as the reply's origin time.
void buildSntpRequest(uint8_t out[kSntpPacketSize], const NtpTimestamp& transmit);

// Unix time of an NTP seconds value: values with the top bit set lie in
// 1968..2036, the others in 2036..2104 (era 1).
int64_t ntpSecondsToUnix(uint32_t seconds);
// The NTP timestamp of a Unix time (seconds, microseconds).
NtpTimestamp unixToNtp(int64_t seconds, long microseconds);

// The reply's transmit time as Unix seconds and microseconds. Refused
// (false): any length but 48, a mode other than 4 (server), leap indicator
// 3 (unsynchronised), stratum 0 (kiss-o'-death) or above 15, a zero transmit
// time, or an origin time that is not our request's transmit time.
bool readSntpReply(const uint8_t* data, size_t length, const NtpTimestamp& sent, int64_t* seconds,
                   long* microseconds);
