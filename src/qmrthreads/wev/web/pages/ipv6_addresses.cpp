#include "web/pages/ipv6_addresses.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <fstream>
#include <sstream>

namespace {

bool hexToAddressText(const std::string& hex, std::string* text)
{
    if (hex.size() != 32)
        return false;
    in6_addr address;
    for (size_t i = 0; i < 16; ++i) {
        unsigned byte = 0;
        for (size_t k = 0; k < 2; ++k) {
            const char c = hex[2 * i + k];
            if (!isxdigit(static_cast<unsigned char>(c)))
                return false;
            byte = byte * 16 + static_cast<unsigned>(isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10);
        }
        address.s6_addr[i] = static_cast<uint8_t>(byte);
    }
    char buffer[INET6_ADDRSTRLEN];
    if (!inet_ntop(AF_INET6, &address, buffer, sizeof buffer))
        return false;
    *text = buffer;
    return true;
}

} // namespace

bool readInterfaceIpv6Addresses(const std::string& file, const char* device, std::vector<std::string>* out)
{
    std::ifstream in(file);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string hex, index, prefix, scope, flags, name;
        if (!(fields >> hex >> index >> prefix >> scope >> flags >> name) || name != device)
            continue;
        std::string text;
        if (hexToAddressText(hex, &text))
            out->push_back(text);
    }
    return true;
}
