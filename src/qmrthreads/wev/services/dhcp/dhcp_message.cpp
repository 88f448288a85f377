#include "services/dhcp/dhcp_message.h"

#include <arpa/inet.h>

#include <cstring>

#include "core/util/unaligned_load.h"

namespace {

const uint8_t kMagicCookie[4] = {99, 130, 83, 99};

// Options the client asks for after an offer.
const uint8_t kRequestList[] = {1, 3, 6, 15, 7, 44, 51, 54, 58, 59, 12, 69, 42, 2};

void storeU16(uint8_t* p, uint16_t hostValue)
{
    const uint16_t v = htons(hostValue);
    memcpy(p, &v, sizeof v);
}

void storeWord(uint8_t* p, uint32_t networkWord)
{
    memcpy(p, &networkWord, sizeof networkWord);
}

uint32_t bigEndianU32(const uint8_t* p)
{
    return ntohl(loadU32(p));
}

// Appends options to the message's option area, never past its end (a host
// name too long for what is left is cut so the end mark still fits).
class OptionWriter {
public:
    explicit OptionWriter(uint8_t* message) : area_(message + kBootpOptionsOffset)
    {
        memset(area_, 0, kBootpOptionsSize);
    }

    void add(uint8_t code, const void* data, size_t length)
    {
        const size_t room = kBootpOptionsSize - used_;
        if (room < 3)
            return;
        if (length > room - 3)
            length = room - 3;
        if (length > 255)
            length = 255;
        area_[used_++] = code;
        area_[used_++] = static_cast<uint8_t>(length);
        memcpy(area_ + used_, data, length);
        used_ += length;
    }
    void addByte(uint8_t code, uint8_t value) { add(code, &value, 1); }
    void addWord(uint8_t code, uint32_t networkWord) { add(code, &networkWord, 4); }
    // The name with its terminating NUL, which the length counts.
    void addText(uint8_t code, const char* text) { add(code, text, strlen(text) + 1); }
    void addClientId(const uint8_t* mac)
    {
        uint8_t id[7] = {1};
        memcpy(id + 1, mac, 6);
        add(61, id, sizeof id);
    }
    void end()
    {
        if (used_ < kBootpOptionsSize)
            area_[used_++] = 255;
    }

private:
    uint8_t* area_;
    size_t used_ = 0;
};

void setCommonFields(uint8_t* message, const DhcpRequestFields& fields)
{
    storeWord(message + kBootpXid, fields.xid);
    storeWord(message + kBootpCiaddr, fields.ciaddr);
    storeU16(message + kBootpFlags, 0x8000);
}

// Text of a string option: up to the first NUL and at most size - 1 bytes;
// false when it holds a control character.
bool copyOptionText(const uint8_t* data, size_t length, char* out, size_t size)
{
    size_t n = 0;
    while (n < length && n < size - 1 && data[n] != 0) {
        if (data[n] < 0x20 || data[n] == 0x7f) {
            out[0] = '\0';
            return false;
        }
        out[n] = static_cast<char>(data[n]);
        ++n;
    }
    out[n] = '\0';
    return true;
}

uint32_t capped(uint32_t value, uint32_t cap)
{
    return value >= cap ? cap : value;
}

struct RenewTimes {
    bool hasT1 = false;
    bool hasT2 = false;
};

void takeOption(uint8_t code, const uint8_t* data, size_t length, DhcpReply* r, RenewTimes* times)
{
    switch (code) {
    case 1:
        if (length >= 4)
            r->netmask = loadU32(data);
        break;
    case 3:
        if (length >= 4)
            r->router = loadU32(data);
        break;
    case 6:
        if (length >= 4) {
            r->hasDns = true;
            r->dnsPrimary = loadU32(data);
            r->dnsSecondary = length >= 8 ? loadU32(data + 4) : 0;
        }
        break;
    case 12:
        r->hasHostName = copyOptionText(data, length, r->hostName, sizeof r->hostName);
        break;
    case 15:
        r->hasDomain = copyOptionText(data, length, r->domain, sizeof r->domain);
        break;
    case 42:
        if (length >= 4)
            r->ntpServer = loadU32(data);
        break;
    case 51:
        if (length == 4) {
            const uint32_t lease = bigEndianU32(data);
            r->hasLease = true;
            r->lease = lease == 0xFFFFFFFFu ? 0 : capped(lease, kDhcpLeaseCap);
        }
        break;
    case 53:
        if (length == 1)
            r->messageType = data[0];
        break;
    case 54:
        if (length >= 4)
            r->serverAddress = loadU32(data);
        break;
    case 58:
        if (length == 4) {
            r->t1 = capped(bigEndianU32(data), kDhcpRenewCap);
            times->hasT1 = true;
        }
        break;
    case 59:
        if (length == 4) {
            r->t2 = capped(bigEndianU32(data), kDhcpRenewCap);
            times->hasT2 = true;
        }
        break;
    default:
        break;
    }
}

// Renewal times the server left out follow from the lease; an infinite
// lease is never renewed, whatever times came with it.
void completeRenewTimes(DhcpReply* r, const RenewTimes& times)
{
    if (!r->hasLease || r->lease == 0) {
        r->t1 = 0;
        r->t2 = 0;
        return;
    }
    if (!times.hasT1)
        r->t1 = r->lease / 2;
    if (!times.hasT2)
        r->t2 = static_cast<uint32_t>((static_cast<uint64_t>(r->lease) * 7) / 8);
}

// Calls take(code, data, length) for every option that lies wholly inside
// the datagram; a truncated option ends the walk.
template <typename Take>
void walkOptions(const uint8_t* data, size_t length, Take take)
{
    size_t i = kBootpOptionsOffset;
    while (i < length) {
        const uint8_t code = data[i];
        if (code == 0) {
            ++i;
            continue;
        }
        if (code == 255 || i + 1 >= length)
            return;
        const size_t optionLength = data[i + 1];
        if (optionLength > length - i - 2)
            return;
        take(code, data + i + 2, optionLength);
        i += 2 + optionLength;
    }
}

bool hasCookie(const uint8_t* data, size_t length)
{
    return length > kBootpOptionsOffset && memcmp(data + kBootpCookie, kMagicCookie, 4) == 0;
}

} // namespace

void initBootRequest(uint8_t message[kBootpMessageSize], const uint8_t mac[6])
{
    memset(message, 0, kBootpMessageSize);
    message[kBootpOp] = 1;
    message[1] = 1;  // Ethernet
    message[2] = 6;
    storeU16(message + kBootpFlags, 0x8000);
    memcpy(message + kBootpChaddr, mac, 6);
    memcpy(message + kBootpCookie, kMagicCookie, 4);
}

void buildDiscover(uint8_t message[kBootpMessageSize], const DhcpRequestFields& fields)
{
    setCommonFields(message, fields);
    OptionWriter w(message);
    w.addByte(53, kDhcpDiscover);
    if (fields.requestedAddress) {
        const uint8_t list[] = {50, 1, 3, 12, 44};
        w.add(55, list, sizeof list);
    } else {
        const uint8_t list[] = {1, 3, 12, 44};
        w.add(55, list, sizeof list);
    }
    w.addText(12, fields.hostName);
    if (fields.requestedAddress)
        w.addWord(50, fields.requestedAddress);
    w.addClientId(message + kBootpChaddr);
    w.end();
}

void buildRequest(uint8_t message[kBootpMessageSize], const DhcpRequestFields& fields)
{
    setCommonFields(message, fields);
    OptionWriter w(message);
    w.addByte(53, kDhcpRequest);
    w.add(55, kRequestList, sizeof kRequestList);
    if (fields.serverId)
        w.addWord(54, fields.serverId);
    if (fields.requestedAddress)
        w.addWord(50, fields.requestedAddress);
    w.addText(12, fields.hostName);
    w.addClientId(message + kBootpChaddr);
    w.end();
}

void buildBootRequest(uint8_t message[kBootpMessageSize], uint32_t xid)
{
    storeWord(message + kBootpXid, xid);
    storeWord(message + kBootpCiaddr, 0);
    storeU16(message + kBootpFlags, 0x8000);
    memset(message + kBootpOptionsOffset, 0, 60);
}

uint16_t inetChecksum(const void* data, size_t length)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (length & 1)
        sum += static_cast<uint32_t>(p[length - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

void buildBroadcastFrame(uint8_t frame[kBootpFrameSize], uint8_t message[kBootpMessageSize], uint16_t secs)
{
    constexpr uint16_t udpLength = kBootpFrameSize - 20;
    storeU16(message + kBootpSecs, secs);
    memset(frame, 0, 28);
    memcpy(frame + 28, message, kBootpMessageSize);
    // With only the protocol, the UDP length and the destination in it, the
    // IP header sums to the UDP pseudo-header.
    frame[9] = 17;
    storeU16(frame + 2, udpLength);
    storeWord(frame + 16, 0xFFFFFFFFu);
    storeU16(frame + 20, kBootpClientPort);
    storeU16(frame + 22, kBootpServerPort);
    storeU16(frame + 24, udpLength);
    uint16_t udpSum = static_cast<uint16_t>(~inetChecksum(frame, kBootpFrameSize));
    storeU16(frame + 26, udpSum == 0 ? 0xFFFF : udpSum);

    frame[0] = 0x45;
    storeU16(frame + 2, kBootpFrameSize);
    frame[8] = 64;
    storeU16(frame + 10, static_cast<uint16_t>(~inetChecksum(frame, 20)));
}

bool isReplyFor(const uint8_t* data, size_t length, const uint8_t mac[6], uint32_t xid)
{
    return hasCookie(data, length) && data[kBootpOp] == 2 && memcmp(data + kBootpChaddr, mac, 6) == 0 &&
           loadU32(data + kBootpXid) == xid;
}

int dhcpMessageType(const uint8_t* data, size_t length)
{
    if (!hasCookie(data, length))
        return 0;
    int type = 0;
    walkOptions(data, length, [&type](uint8_t code, const uint8_t* value, size_t n) {
        if (code == 53 && n == 1)
            type = value[0];
    });
    return type;
}

bool parseDhcpReply(const uint8_t* data, size_t length, DhcpReply* out)
{
    *out = DhcpReply{};
    if (!hasCookie(data, length))
        return false;
    out->yiaddr = loadU32(data + kBootpYiaddr);
    out->serverAddress = loadU32(data + kBootpSiaddr);
    RenewTimes times;
    walkOptions(data, length, [out, &times](uint8_t code, const uint8_t* value, size_t n) {
        takeOption(code, value, n, out, &times);
    });
    completeRenewTimes(out, times);
    return true;
}

uint64_t dhcpLeaseDeadline(uint64_t startTick, uint32_t seconds, uint64_t now)
{
    const uint64_t deadline = startTick + static_cast<uint64_t>(seconds) * 100;
    return deadline > now ? deadline : now + 1;
}
