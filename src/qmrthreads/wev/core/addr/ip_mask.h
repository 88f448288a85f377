// Address texts of the IP filter rules.
#pragma once

#include <cstddef>
#include <cstdint>

// The address filter text of the IP filter: "a.b.c.d", a prefix with '*'
// ("192.168.*") or "*". Host-order address and mask; 1 when the text is a
// full address or holds '*'. A part outside 0..255 gives 0 (address and mask
// 0). With description non-null, " IpAddr:%s IpMask:%s" goes there (cut to
// descriptionSize).
bool parseIpMask(const char* text, uint32_t* address, uint32_t* mask, char* description,
                 size_t descriptionSize);
