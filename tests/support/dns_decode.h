// A plain DNS message decoder for the tests: names as dotted text, every
// record with its fields. It trusts its input (the tests feed it what the
// responder wrote) and fails the test on anything it cannot read.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

struct DecodedRecord {
    int section = 0;  // 0 question, 1 answer, 2 authority, 3 additional
    std::string name;
    uint16_t type = 0;
    uint16_t rrclass = 0;
    uint32_t ttl = 0;
    std::vector<uint8_t> rdata;
    std::string target;  // PTR target or SRV target, dotted
    uint16_t srvPort = 0;
    int nameBytes = 0;   // bytes the owner name took in place
};

struct DecodedMessage {
    uint16_t id = 0, flags = 0;
    uint16_t counts[4] = {0, 0, 0, 0};
    std::vector<DecodedRecord> records;
};

inline uint16_t be16(const std::vector<uint8_t>& m, size_t at)
{
    return static_cast<uint16_t>(m.at(at) << 8 | m.at(at + 1));
}

// Reads a name; returns the offset after it in place.
inline size_t decodeName(const std::vector<uint8_t>& m, size_t at, std::string* out)
{
    size_t after = 0;
    bool jumped = false;
    out->clear();
    for (int guard = 0; guard < 64; ++guard) {
        uint8_t b = m.at(at);
        if ((b & 0xC0) == 0xC0) {
            if (!jumped)
                after = at + 2;
            jumped = true;
            at = static_cast<size_t>((b & 0x3F) << 8 | m.at(at + 1));
            continue;
        }
        if (b == 0)
            return jumped ? after : at + 1;
        if (!out->empty())
            *out += ".";
        out->append(reinterpret_cast<const char*>(&m.at(at + 1)), b);
        at += 1 + b;
    }
    ADD_FAILURE() << "name does not end";
    return m.size();
}

inline DecodedMessage decodeMessage(const std::vector<uint8_t>& m)
{
    DecodedMessage d;
    d.id = be16(m, 0);
    d.flags = be16(m, 2);
    for (int s = 0; s < 4; ++s)
        d.counts[s] = be16(m, 4 + 2 * s);
    size_t at = 12;
    for (int s = 0; s < 4; ++s) {
        for (int i = 0; i < d.counts[s]; ++i) {
            DecodedRecord r;
            r.section = s;
            size_t start = at;
            at = decodeName(m, at, &r.name);
            r.nameBytes = static_cast<int>(at - start);
            r.type = be16(m, at);
            r.rrclass = be16(m, at + 2);
            at += 4;
            if (s > 0) {
                r.ttl = static_cast<uint32_t>(be16(m, at)) << 16 | be16(m, at + 2);
                uint16_t len = be16(m, at + 4);
                at += 6;
                r.rdata.assign(m.begin() + static_cast<long>(at), m.begin() + static_cast<long>(at + len));
                if (r.type == 12)
                    decodeName(m, at, &r.target);
                if (r.type == 33) {
                    r.srvPort = be16(m, at + 4);
                    decodeName(m, at + 6, &r.target);
                }
                at += len;
            }
            d.records.push_back(r);
        }
    }
    EXPECT_EQ(at, m.size()) << "bytes after the last record";
    return d;
}
