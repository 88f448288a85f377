// DNS messages for the tests: a plain decoder (names as dotted text, every
// record with its fields; it fails the test on anything it cannot read) and
// a builder of queries and records.
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

// A query built record by record.
class Query {
public:
    explicit Query(uint16_t flags = 0) : flags_(flags) {}
    Query& question(const std::string& name, uint16_t type)
    {
        ++counts_[0];
        addName(name);
        add16(type);
        add16(1);
        return *this;
    }
    Query& record(int section, const std::string& name, uint16_t type, uint32_t ttl, std::vector<uint8_t> rdata)
    {
        ++counts_[section];
        addName(name);
        add16(type);
        add16(1);
        add16(static_cast<uint16_t>(ttl >> 16));
        add16(static_cast<uint16_t>(ttl));
        add16(static_cast<uint16_t>(rdata.size()));
        for (uint8_t b : rdata)
            body_.push_back(b);
        return *this;
    }
    Query& claimCounts(uint16_t qd) { counts_[0] = qd; return *this; }
    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> m = {0x12, 0x34, static_cast<uint8_t>(flags_ >> 8), static_cast<uint8_t>(flags_)};
        for (uint16_t c : counts_) {
            m.push_back(static_cast<uint8_t>(c >> 8));
            m.push_back(static_cast<uint8_t>(c));
        }
        for (uint8_t b : body_)
            m.push_back(b);
        return m;
    }
    static std::vector<uint8_t> name(const std::string& dotted)
    {
        std::vector<uint8_t> out;
        size_t start = 0;
        while (start < dotted.size()) {
            size_t dot = dotted.find('.', start);
            if (dot == std::string::npos)
                dot = dotted.size();
            out.push_back(static_cast<uint8_t>(dot - start));
            for (size_t k = start; k < dot; ++k)
                out.push_back(static_cast<uint8_t>(dotted[k]));
            start = dot + 1;
        }
        out.push_back(0);
        return out;
    }

private:
    void addName(const std::string& dotted)
    {
        for (uint8_t b : name(dotted))
            body_.push_back(b);
    }
    void add16(uint16_t v)
    {
        body_.push_back(static_cast<uint8_t>(v >> 8));
        body_.push_back(static_cast<uint8_t>(v));
    }
    uint16_t flags_;
    uint16_t counts_[4] = {0, 0, 0, 0};
    std::vector<uint8_t> body_;
};
