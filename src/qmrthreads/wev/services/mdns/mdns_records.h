// The responder's service rows and the record bits that mark, per row, which
// records a message still has to carry. Shared by the message writer, the
// parser and the responder's decisions.
#pragma once

#include <cstdint>

// Record bits of a row.
enum : uint8_t {
    kRecSrv = 0x01,          // SRV of the instance name
    kRecPtr = 0x02,          // PTR from the service-type name to the instance name
    kRecTxt = 0x04,          // TXT of the instance name
    kRecAddress = 0x08,      // A of the host name, asked through a service name
    kRecAnyQuestion = 0x10,  // ANY question on the instance name (probes)
    kRecHostAddress = 0x20,  // A of the host name, asked through the host name
    kRecBrowse = 0x80,       // the bits were asked through the service-type name
};

// DNS record types and classes used here.
enum : uint16_t {
    kDnsTypeA = 1,
    kDnsTypePtr = 12,
    kDnsTypeTxt = 16,
    kDnsTypeSrv = 33,
    kDnsTypeAny = 255,
    kDnsClassIn = 0x0001,
    kDnsCacheFlush = 0x8000,
};

// Header flags.
enum : uint16_t {
    kDnsFlagResponse = 0x8000,
    kDnsFlagAuthoritative = 0x0400,
    kDnsFlagTruncated = 0x0200,
};

constexpr uint16_t kMdnsPort = 5353;
constexpr int kDnsHeaderSize = 12;
constexpr int kDnsMaxLabel = 63;
constexpr int kDnsMaxName = 255;

// Rows 0 to 3 may exist; the responder advertises two. The name of a row
// (as writeName and matchName see it) 4 is the host name.
constexpr int kMdnsMaxRows = 4;
constexpr int kMdnsHostRow = 4;

struct MdnsServiceRow {
    const char* type = "";   // "_https", "_http"
    uint16_t port = 0;       // host order; 0: the row takes no part
    uint8_t pending = 0;     // records to send in answers
    uint8_t additional = 0;  // records to send in the additional section

    // Clears bits; a row left with only the browse mark is cleared whole.
    void clearPending(uint8_t bits)
    {
        pending &= static_cast<uint8_t>(~bits);
        if (pending == kRecBrowse)
            pending = 0;
    }
};

// The names a message is written with.
struct MdnsNames {
    const char* hostLabel = "";     // at most 63 bytes
    const char* instanceName = "";  // at most 63 bytes; empty: rows take no part
    uint32_t address = 0;           // the A record's address, network order
};
