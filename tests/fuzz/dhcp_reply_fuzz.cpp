// libFuzzer target: a DHCP/BOOTP reply of any length and content. The
// parser may read only the given bytes, and what it hands on must be sound.
#include <cstdlib>
#include <cstring>

#include "services/dhcp/dhcp_message.h"

namespace {

void requireCleanText(const char* text, size_t size)
{
    const size_t n = strnlen(text, size);
    if (n == size)
        abort();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f)
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t mac[6] = {0x00, 0xc0, 0xeb, 0x12, 0x34, 0x56};
    (void)isReplyFor(data, size, mac, 0x01020304);
    const int type = dhcpMessageType(data, size);
    DhcpReply r;
    const bool parsed = parseDhcpReply(data, size, &r);
    if (!parsed && type != 0)
        abort();
    if (parsed && r.messageType != type)
        abort();
    requireCleanText(r.hostName, sizeof r.hostName);
    requireCleanText(r.domain, sizeof r.domain);
    if (r.lease > kDhcpLeaseCap || r.t1 > kDhcpLeaseCap || r.t2 > kDhcpLeaseCap)
        abort();
    if (r.lease == 0 && (r.t1 != 0 || r.t2 != 0))
        abort();
    const uint64_t start = 1u << 20;
    if (dhcpLeaseDeadline(start, r.lease, start + 5) <= start + 5 && r.lease > 0)
        abort();
    return 0;
}
