// The IPv6 addresses the kernel holds on one interface, read from its list
// "/proc/net/if_inet6" (32 hexadecimal digits, index, prefix length, scope,
// flags, device name per line).
#pragma once

#include <string>
#include <vector>

// The addresses of device in the file's order as canonical text; false
// when the file cannot be read. A line that is not an address is passed by.
bool readInterfaceIpv6Addresses(const std::string& file, const char* device, std::vector<std::string>* out);
