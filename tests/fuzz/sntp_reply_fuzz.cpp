// libFuzzer target: an SNTP answer of any length and content. Only a
// 48-byte server answer to our request with a usable time may be believed.
#include <cstdlib>

#include "services/sntp/sntp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const NtpTimestamp sent{0xE93C1234u, 0x89ABCDEFu};
    int64_t seconds = 0;
    long microseconds = 0;
    if (!readSntpReply(data, size, sent, &seconds, &microseconds))
        return 0;
    const int leap = data[0] >> 6;
    if (size != kSntpPacketSize || (data[0] & 7) != 4 || leap == 3 || data[1] == 0 || data[1] > 15)
        abort();
    // 1968 .. 2104: the two eras the seconds field reaches.
    if (seconds < -0x7fffffffLL || seconds > 4294967295LL)
        abort();
    if (microseconds < 0 || microseconds > 999999)
        abort();
    return 0;
}
