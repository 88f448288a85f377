#include "core/util/base64.h"

namespace {

const char base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

int base64Value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

int base64Encode(const uint8_t* data, uint32_t n, char* out, int outSize, int lineOffset)
{
    if (outSize <= 0)
        return 0;
    int pos = 0;
    int lineLen = lineOffset;
    for (uint32_t i = 0; i < n; i += 3) {
        // A group needs four characters and the terminator.
        if (outSize - pos < 5)
            break;
        uint32_t left = n - i;
        uint32_t b0 = data[i];
        uint32_t b1 = left > 1 ? data[i + 1] : 0;
        uint32_t b2 = left > 2 ? data[i + 2] : 0;
        uint32_t bits = (b0 << 16) | (b1 << 8) | b2;
        out[pos++] = base64Alphabet[(bits >> 18) & 0x3f];
        out[pos++] = base64Alphabet[(bits >> 12) & 0x3f];
        out[pos++] = left > 1 ? base64Alphabet[(bits >> 6) & 0x3f] : '=';
        out[pos++] = left > 2 ? base64Alphabet[bits & 0x3f] : '=';
        lineLen += 4;
        if (lineLen > 79 && outSize - pos >= 3) {
            out[pos++] = '\r';
            out[pos++] = '\n';
            lineLen = 0;
        }
    }
    out[pos] = 0;
    return pos;
}

int base64Decode(const char* text, uint8_t* out, uint32_t outSize)
{
    if (outSize == 0)
        return 0;
    uint32_t written = 0;
    uint32_t bits = 0;
    int bitCount = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    for (; *p && written < outSize - 1; ++p) {
        int v = base64Value(*p);
        if (v < 0)
            break;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            out[written++] = static_cast<uint8_t>(bits >> bitCount);
            bits &= (1u << bitCount) - 1;
        }
    }
    // The room for a terminator is kept anyway; callers often read the
    // result as text (user:password of HTTP authorisation).
    out[written] = 0;
    return static_cast<int>(written);
}
