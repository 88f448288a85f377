#include "services/mail/mail_text.h"

#include "core/util/base64.h"

#include <vector>

std::string mailHeaderText(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c >= 0x20 && c != 0x7f)
            out += static_cast<char>(c);
    }
    return out;
}

std::string dotStuffedBody(const char* body, size_t length)
{
    std::string out;
    out.reserve(length + length / 32 + 8);
    bool lineStart = true;
    for (size_t i = 0; i < length; ++i) {
        const char c = body[i];
        if (c == '\r' || c == '\n') {
            out += "\r\n";
            if (c == '\r' && i + 1 < length && body[i + 1] == '\n')
                ++i;
            lineStart = true;
            continue;
        }
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = false;
    }
    return out;
}

std::string base64Line(const std::string& text)
{
    // The encoder breaks lines; the room is for the breaks it inserts.
    const size_t room = (text.size() + 2) / 3 * 4 + (text.size() / 40 + 2) * 2 + 1;
    std::vector<char> encoded(room);
    base64Encode(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), encoded.data(),
                 static_cast<int>(room), 0);
    std::string out;
    for (const char* p = encoded.data(); *p; ++p) {
        if (*p != '\r' && *p != '\n')
            out += *p;
    }
    return out;
}
