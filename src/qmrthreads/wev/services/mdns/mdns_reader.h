// MdnsReader: reads a received mDNS message without trusting it. Every
// read is checked against the datagram's length; a compression pointer must
// point backwards, past the header, and a name may take at most 128 jumps
// and 255 bytes, so a crafted message can neither loop nor read outside.
#pragma once

#include <cstdint>

#include "services/mdns/mdns_records.h"

// The labels of a name as positions in the message.
struct DnsName {
    int count = 0;
    uint16_t at[kDnsMaxName / 2 + 1];   // offset of each label's text
    uint8_t length[kDnsMaxName / 2 + 1];
};

// One parsed question or record.
struct MdnsRecordView {
    int row = -1;          // a row, kMdnsHostRow, or -1: not one of ours
    bool browse = false;   // asked through the service-type name
    uint16_t type = 0;
    uint16_t rrclass = 0;
    uint32_t ttl = 0;      // records only
    int rdata = 0;         // offset of the data (records only)
    uint16_t rdlength = 0;
};

// compareSrv's result for an SRV whose data is too short to compare.
constexpr int kSrvUnreadable = 2;

class MdnsReader {
public:
    MdnsReader(const uint8_t* message, int length) : msg_(message), len_(length) {}

    bool hasHeader() const { return len_ >= kDnsHeaderSize; }
    uint16_t id() const { return get16(0); }
    uint16_t flags() const { return get16(2); }
    // QD, AN, NS, AR.
    uint16_t count(int section) const { return get16(4 + 2 * section); }
    int length() const { return len_; }

    // The offset after the name that starts at offset, -1 when it is
    // unreadable; the labels go to name when it is given.
    int readName(int offset, DnsName* name) const;
    // Classifies a name against the responder's: a row's instance name
    // (browse false), a row's service-type name (browse true; the first row
    // of that type), the host name (kMdnsHostRow), or -1.
    int matchName(const DnsName& name, const MdnsServiceRow* rows, int rowCount, const MdnsNames& names,
                  bool* browse) const;
    // Reads one question (section 0) or record; the offset after it, -1 when
    // it runs outside the message.
    int parseRecord(int offset, int section, const MdnsServiceRow* rows, int rowCount, const MdnsNames& names,
                    MdnsRecordView* out) const;
    // An SRV record's data against the responder's own SRV: 0 identical,
    // 1 the other host's wins, -1 ours wins, kSrvUnreadable.
    int compareSrv(const MdnsRecordView& srv, uint16_t ownPort, const char* hostLabel) const;

    uint16_t get16(int offset) const;
    uint32_t get32(int offset) const;

private:
    bool labelIs(const DnsName& name, int i, const char* text) const;

    const uint8_t* msg_;
    int len_;
};
