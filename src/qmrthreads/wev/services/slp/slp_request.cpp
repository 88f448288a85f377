#include "services/slp/slp_request.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int kMaxKey = 50;
constexpr int kMaxName = 120;

uint16_t get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// "%u.%u.%u.%u", each number taken modulo 256.
bool parseDotted(const char* text, uint32_t* out)
{
    unsigned a, b, c, d;
    if (sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4)
        return false;
    const uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c),
                              static_cast<uint8_t>(d)};
    memcpy(out, bytes, 4);
    return true;
}

// One "KEY ==value" part of the parameter text (begin to end).
void parsePart(const char* begin, const char* end, SlpRequest* out)
{
    char part[kSlpMaxPredicate + 1];
    const size_t n = static_cast<size_t>(end - begin);
    memcpy(part, begin, n);
    part[n] = '\0';

    const char* p = part;
    while (isBlank(*p))
        ++p;
    const char* keyEnd = p;
    while (*keyEnd && !isBlank(*keyEnd))
        ++keyEnd;
    const size_t keyLength = static_cast<size_t>(keyEnd - p);
    if (keyLength == 0 || keyLength > kMaxKey)
        return;
    char key[kMaxKey + 1];
    memcpy(key, p, keyLength);
    key[keyLength] = '\0';

    const char* value = strstr(part, "==");
    if (!value)
        return;
    value += 2;
    while (isBlank(*value))
        ++value;

    if (strcasecmp(key, "X-VEK-NAME") == 0) {
        size_t len = 0;
        while (value[len] && !isBlank(value[len]) && len < kMaxName)
            ++len;
        if (len == 0)
            return;
        memcpy(out->name, value, len);
        out->name[len] = '\0';
        out->hasName = true;
    } else if (strcasecmp(key, "X-VEK-IP") == 0) {
        out->hasAddress = parseDotted(value, &out->address) || out->hasAddress;
    } else if (strcasecmp(key, "X-VEK-IPMASK") == 0) {
        out->hasMask = parseDotted(value, &out->mask) || out->hasMask;
    } else if (strcasecmp(key, "X-VEK-IPGATE") == 0) {
        out->hasGate = parseDotted(value, &out->gate) || out->hasGate;
    }
}

} // namespace

bool isSlpServiceRequest(const uint8_t* msg, int length)
{
    return length >= kSlpMinRequest && msg[0] == 1 && msg[1] == 1;
}

bool parseSlpPredicate(const char* predicate, SlpRequest* out)
{
    const char* type = strstr(predicate, kSlpServiceType);
    if (!type)
        return false;
    const char* first = strchr(type + strlen(kSlpServiceType), '/');
    if (!first)
        return false;
    const char* second = strchr(first + 1, '/');
    if (!second)
        return false;
    const char* text = second + 1;
    const char* textEnd = strchr(text, '/');
    if (!textEnd)
        textEnd = text + strlen(text);
    while (text < textEnd) {
        const char* comma = static_cast<const char*>(memchr(text, ',', static_cast<size_t>(textEnd - text)));
        const char* partEnd = comma ? comma : textEnd;
        parsePart(text, partEnd, out);
        text = partEnd + 1;
    }
    return true;
}

bool parseSlpRequest(const uint8_t* msg, int length, SlpRequest* out)
{
    *out = SlpRequest();
    if (!isSlpServiceRequest(msg, length))
        return false;
    const int listLength = get16(msg + kSlpHeaderSize);
    const int predicateAt = kSlpHeaderSize + 2 + listLength;
    if (predicateAt + 2 > length)
        return false;
    const int predicateLength = get16(msg + predicateAt);
    if (predicateLength > kSlpMaxPredicate || predicateAt + 2 + predicateLength > length)
        return false;
    char predicate[kSlpMaxPredicate + 1];
    memcpy(predicate, msg + predicateAt + 2, static_cast<size_t>(predicateLength));
    predicate[predicateLength] = '\0';
    return parseSlpPredicate(predicate, out);
}

bool isAssignableAddress(uint32_t address)
{
    const uint32_t a = ntohl(address);
    const uint32_t first = a >> 24;
    return first != 0 && first != 127 && first < 224;
}

SlpDecision decideSlpRequest(const SlpRequest& req, const char* defaultName, uint32_t current, bool currentLinkLocal)
{
    if (req.hasName && strcasecmp(req.name, defaultName) != 0)
        return SlpDecision::NoReply;
    if (!req.hasName || !req.hasAddress || req.address == current)
        return SlpDecision::Reply;
    if (!currentLinkLocal || !isAssignableAddress(req.address))
        return SlpDecision::Limited;
    return SlpDecision::Apply;
}

int writeSlpReply(const uint8_t* request, const char* url, uint8_t* out, int capacity)
{
    const size_t urlLength = strlen(url);
    if (urlLength > 0xFFFF - kSlpReplyFixed || static_cast<int>(urlLength) + kSlpReplyFixed > capacity)
        return 0;
    const int total = kSlpReplyFixed + static_cast<int>(urlLength);
    if (out != request)
        memmove(out, request, kSlpHeaderSize);
    out[0] = 1;
    out[1] = 2;
    put16(out + 2, static_cast<uint16_t>(total));
    out[4] = 0;
    put16(out + 12, 0);
    put16(out + 14, 1);
    put16(out + 16, kSlpLifetime);
    put16(out + 18, static_cast<uint16_t>(urlLength));
    memcpy(out + kSlpReplyFixed, url, urlLength);
    return total;
}
