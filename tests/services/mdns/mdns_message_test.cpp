#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "services/mdns/mdns_reader.h"
#include "services/mdns/mdns_writer.h"
#include "support/dns_message.h"

namespace {

void append(std::vector<uint8_t>& m, const std::vector<uint8_t>& more)
{
    for (uint8_t b : more)
        m.push_back(b);
}

std::vector<uint8_t> datagram(const MdnsWriter& w, int i, int last, uint16_t flags)
{
    uint8_t head[kDnsHeaderSize];
    w.header(i, last, 0, flags, head);
    std::vector<uint8_t> out(head, head + kDnsHeaderSize);
    const MdnsBuffer& b = w.buffer(i);
    for (int k = 0; k < b.length; ++k)
        out.push_back(static_cast<uint8_t>(b.data[k]));
    return out;
}

struct TwoRows {
    MdnsServiceRow rows[2];
    MdnsNames names;
    TwoRows()
    {
        rows[0].type = "_https";
        rows[0].port = 443;
        rows[1].type = "_http";
        rows[1].port = 80;
        names.hostLabel = "BOX-01";
        names.instanceName = "Printer (2)";
        names.address = inet_addr("198.18.0.2");
    }
};

TEST(MdnsWriter, AnnouncementHoldsEachRowsRecordsThenOneAddressRecord)
{
    TwoRows t;
    MdnsWriter w(t.rows, 2);
    ASSERT_EQ(w.build(kMdnsAnnouncement, t.names), 0);
    const DecodedMessage m = decodeMessage(datagram(w, 0, 0, MdnsWriter::flagsFor(kMdnsAnnouncement, 0)));
    EXPECT_EQ(m.flags, 0x8400);
    EXPECT_EQ(m.counts[1], 7);

    struct Want {
        const char* name;
        uint16_t type, rrclass;
        uint32_t ttl;
        const char* target;
    };
    const Want want[] = {
        {"Printer (2)._https._tcp.local", 33, 0x8001, 60, "BOX-01.local"},
        {"_https._tcp.local", 12, 0x0001, 7200, "Printer (2)._https._tcp.local"},
        {"Printer (2)._https._tcp.local", 16, 0x8001, 60, ""},
        {"Printer (2)._http._tcp.local", 33, 0x8001, 60, "BOX-01.local"},
        {"_http._tcp.local", 12, 0x0001, 7200, "Printer (2)._http._tcp.local"},
        {"Printer (2)._http._tcp.local", 16, 0x8001, 60, ""},
        {"BOX-01.local", 1, 0x8001, 60, ""},
    };
    ASSERT_EQ(m.records.size(), 7u);
    for (size_t i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(m.records[i].name, want[i].name);
        EXPECT_EQ(m.records[i].type, want[i].type);
        EXPECT_EQ(m.records[i].rrclass, want[i].rrclass);
        EXPECT_EQ(m.records[i].ttl, want[i].ttl);
        EXPECT_EQ(m.records[i].target, want[i].target);
    }
    EXPECT_EQ(m.records[0].srvPort, 443);
    EXPECT_EQ(m.records[3].srvPort, 80);
    EXPECT_EQ(m.records[2].rdata, std::vector<uint8_t>{0});
    EXPECT_EQ(m.records[6].rdata, (std::vector<uint8_t>{198, 18, 0, 2}));
    // The second row reaches "_tcp.local" and the host name by pointers:
    // its owner is "Printer (2)" and "_http" plus a pointer, its SRV target
    // a pointer alone.
    EXPECT_EQ(m.records[3].nameBytes, 1 + 11 + 1 + 5 + 2);
    EXPECT_EQ(m.records[3].rdata.size(), 6u + 2u);
    // The announcement took the bits it set.
    EXPECT_EQ(t.rows[0].pending, 0);
    EXPECT_EQ(t.rows[1].pending, 0);
}

TEST(MdnsWriter, GoodbyeWithdrawsEveryPtrWithTtlZero)
{
    TwoRows t;
    MdnsWriter w(t.rows, 2);
    ASSERT_EQ(w.build(kMdnsGoodbye, t.names), 0);
    const DecodedMessage m = decodeMessage(datagram(w, 0, 0, 0x8400));
    ASSERT_EQ(m.records.size(), 2u);
    for (const DecodedRecord& r : m.records) {
        EXPECT_EQ(r.type, 12);
        EXPECT_EQ(r.rrclass, 0x0001) << "a PTR never carries the cache-flush bit";
        EXPECT_EQ(r.ttl, 0u);
    }
}

TEST(MdnsWriter, ProbesAskForTheNamesAndOfferTheRecordsInAuthority)
{
    TwoRows t;
    MdnsWriter w(t.rows, 2);
    ASSERT_EQ(w.build(kMdnsHostProbe, t.names), 0);
    DecodedMessage m = decodeMessage(datagram(w, 0, 0, MdnsWriter::flagsFor(kMdnsHostProbe, 0)));
    EXPECT_EQ(m.flags, 0);
    ASSERT_EQ(m.records.size(), 2u);
    EXPECT_EQ(m.records[0].section, 0);
    EXPECT_EQ(m.records[0].name, "BOX-01.local");
    EXPECT_EQ(m.records[0].type, 255);
    EXPECT_EQ(m.records[1].section, 2);
    EXPECT_EQ(m.records[1].type, 1);
    EXPECT_EQ(m.records[1].rrclass, 1);

    ASSERT_EQ(w.build(kMdnsServiceProbe, t.names), 0);
    m = decodeMessage(datagram(w, 0, 0, 0));
    EXPECT_EQ(m.counts[0], 2);
    EXPECT_EQ(m.counts[2], 2);
    EXPECT_EQ(m.records[0].name, "Printer (2)._https._tcp.local");
    EXPECT_EQ(m.records[0].type, 255);
    EXPECT_EQ(m.records[2].type, 33);
    EXPECT_EQ(m.records[2].rrclass, 1);
}

TEST(MdnsWriter, LabelsAreCutTo63Bytes)
{
    char out[300];
    const std::string longText(70, 'x');
    EXPECT_EQ(dnsWriteLabel(out, longText.c_str()), 64);
    EXPECT_EQ(static_cast<uint8_t>(out[0]), 63);
    EXPECT_EQ(dnsWriteLabel(out, "local"), 6);
}

// Records beyond one buffer's fill go into the next, which starts its
// compression afresh; each buffer counts its own records, every buffer but
// the last says TC, and writing stops at the message limit instead of
// running past the area.
TEST(MdnsWriter, RecordsOverflowIntoFreshBuffersAndStopAtTheLimit)
{
    const std::string host(63, 'h');
    const std::string instance(63, 'i');
    MdnsServiceRow rows[4];
    const std::string types[4] = {"_" + std::string(62, 'a'), "_" + std::string(62, 'b'),
                                  "_" + std::string(62, 'c'), "_" + std::string(62, 'd')};
    for (int i = 0; i < 4; ++i) {
        rows[i].type = types[i].c_str();
        rows[i].port = static_cast<uint16_t>(1000 + i);
    }
    MdnsNames names;
    names.hostLabel = host.c_str();
    names.instanceName = instance.c_str();
    MdnsWriter w(rows, 4);
    w.begin(names);
    int last = 0;
    for (int round = 0; round < 200; ++round) {
        for (MdnsServiceRow& r : rows)
            r.pending = kRecSrv | kRecPtr | kRecTxt;
        last = w.writeRecords(last, kSectionAnswer, kWriteCacheFlush);
    }
    ASSERT_GE(last, 2);
    ASSERT_LT(last, kMdnsBufferCount);
    int bytes = 0;
    for (int i = 0; i <= last; ++i) {
        SCOPED_TRACE(i);
        const DecodedMessage m = decodeMessage(datagram(w, i, last, 0x8400));
        EXPECT_EQ((m.flags & 0x0200) != 0, i < last);
        EXPECT_EQ(m.records.size(), m.counts[1]);
        ASSERT_FALSE(m.records.empty());
        // The buffer reads alone: its first owner name is written out in
        // full, and every name reads as one of the responder's.
        EXPECT_EQ(m.records[0].nameBytes, static_cast<int>(m.records[0].name.size()) + 2);
        for (const DecodedRecord& r : m.records) {
            const std::string typeName = r.name.substr(r.name.find('_'));
            EXPECT_TRUE(r.name == typeName || r.name == instance + "." + typeName) << r.name;
            EXPECT_NE(std::find(std::begin(types), std::end(types), typeName.substr(0, 63)), std::end(types));
        }
        if (i < last) {
            EXPECT_GT(w.buffer(i).length, kMdnsBufferFill);
        }
        bytes += w.buffer(i).length;
    }
    EXPECT_GT(bytes, kMdnsRecordLimit);
    EXPECT_LE(bytes, kMdnsAreaSize);
}

// Reading names: what a crafted message may hold.
TEST(MdnsReader, NamesThatLoopOrLeaveTheMessageAreRefused)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> name;  // placed at offset 12
        int after;                  // readName's result
    };
    const Case cases[] = {
        {"plain", {3, 'b', 'o', 'x', 5, 'l', 'o', 'c', 'a', 'l', 0}, 23},
        {"pointer to itself", {0xC0, 12}, -1},
        {"pointer into the header", {0xC0, 4}, -1},
        {"pointer past the end", {0xC0, 200}, -1},
        {"forward pointer", {0xC0, 14, 1, 'a', 0}, -1},
        {"two-step cycle", {1, 'a', 0xC0, 12}, -1},
        {"label of 64 bytes", {0x40}, -1},
        {"label type 0x80", {0x80, 1}, -1},
        {"label past the end", {9, 'a', 'b'}, -1},
        {"no terminating byte", {1, 'a'}, -1},
        {"pointer cut short", {1, 'a', 0xC0}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> m(12, 0);
        append(m, c.name);
        MdnsReader r(m.data(), static_cast<int>(m.size()));
        EXPECT_EQ(r.readName(12, nullptr), c.after);
    }
}

TEST(MdnsReader, ABackwardPointerIsFollowedAndNamesLongerThan255AreRefused)
{
    // "box.local" at 12, then "a" + pointer to it at 23.
    std::vector<uint8_t> m(12, 0);
    const uint8_t first[] = {3, 'b', 'o', 'x', 5, 'l', 'o', 'c', 'a', 'l', 0, 1, 'a', 0xC0, 12};
    append(m, std::vector<uint8_t>(first, first + sizeof first));
    MdnsReader r(m.data(), static_cast<int>(m.size()));
    DnsName name;
    EXPECT_EQ(r.readName(23, &name), 27);
    EXPECT_EQ(name.count, 3);

    // 5 labels of 63 bytes.
    std::vector<uint8_t> big(12, 0);
    for (int i = 0; i < 5; ++i) {
        big.push_back(63);
        append(big, std::vector<uint8_t>(63, 'x'));
    }
    big.push_back(0);
    MdnsReader r2(big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(r2.readName(12, nullptr), -1);
}

class Matching : public ::testing::Test {
protected:
    // The message: a name at offset 12 built from dotted text.
    int match(const std::string& dotted, bool* browse)
    {
        m_.assign(12, 0);
        size_t start = 0;
        while (start <= dotted.size()) {
            size_t dot = dotted.find('.', start);
            if (dot == std::string::npos)
                dot = dotted.size();
            m_.push_back(static_cast<uint8_t>(dot - start));
            for (size_t k = start; k < dot; ++k)
                m_.push_back(static_cast<uint8_t>(dotted[k]));
            start = dot + 1;
        }
        m_.push_back(0);
        MdnsReader r(m_.data(), static_cast<int>(m_.size()));
        DnsName name;
        EXPECT_GT(r.readName(12, &name), 0);
        return r.matchName(name, t_.rows, 2, t_.names, browse);
    }
    TwoRows t_;
    std::vector<uint8_t> m_;
};

TEST_F(Matching, NamesAreClassifiedCaseInsensitively)
{
    struct Case {
        const char* name;
        int row;
        bool browse;
    };
    const Case cases[] = {
        {"BOX-01.local", kMdnsHostRow, false},
        {"box-01.LOCAL", kMdnsHostRow, false},
        {"_http._tcp.local", 1, true},
        {"_HTTPS._tcp.local", 0, true},
        {"printer (2)._http._tcp.local", 1, false},
        {"Printer (3)._http._tcp.local", -1, false},
        {"_http._udp.local", -1, false},
        {"BOX-01.example", -1, false},
        {"other.BOX-01.local", -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool browse = !c.browse;
        EXPECT_EQ(match(c.name, &browse), c.row);
        if (c.row >= 0) {
            EXPECT_EQ(browse, c.browse);
        }
    }
}

TEST(MdnsReader, RecordsWhoseDataRunsPastTheDatagramAreRefused)
{
    // Question section only: a name, then TYPE and CLASS cut short.
    std::vector<uint8_t> m(12, 0);
    const uint8_t q[] = {1, 'a', 0, 0, 1, 0};
    append(m, std::vector<uint8_t>(q, q + sizeof q));
    TwoRows t;
    MdnsRecordView v;
    MdnsReader r(m.data(), static_cast<int>(m.size()));
    EXPECT_EQ(r.parseRecord(12, 0, t.rows, 2, t.names, &v), -1);

    // An answer whose RDLENGTH claims more than is there.
    std::vector<uint8_t> a(12, 0);
    const uint8_t rec[] = {1, 'a', 0, 0, 1, 0, 1, 0, 0, 0, 60, 0, 10, 1, 2, 3, 4};
    append(a, std::vector<uint8_t>(rec, rec + sizeof rec));
    MdnsReader ra(a.data(), static_cast<int>(a.size()));
    EXPECT_EQ(ra.parseRecord(12, 1, t.rows, 2, t.names, &v), -1);
    a[12 + 12] = 4;  // RDLENGTH 4: exactly the data there is
    EXPECT_EQ(ra.parseRecord(12, 1, t.rows, 2, t.names, &v), static_cast<int>(a.size()));
    EXPECT_EQ(v.ttl, 60u);
}

TEST(MdnsReader, SrvRecordsCompareAgainstTheOwnOne)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> rdata;
        int result;
    };
    const std::vector<uint8_t> ownTarget = {6, 'B', 'O', 'X', '-', '0', '1', 5, 'l', 'o', 'c', 'a', 'l', 0};
    auto srv = [&](uint16_t prio, uint16_t port, std::vector<uint8_t> target) {
        std::vector<uint8_t> d = {static_cast<uint8_t>(prio >> 8), static_cast<uint8_t>(prio), 0, 0,
                                  static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
        append(d, target);
        return d;
    };
    const Case cases[] = {
        {"too short to hold the port", {0, 0, 0, 0, 1}, kSrvUnreadable},
        {"identical", srv(0, 80, ownTarget), 0},
        {"host label in other case", srv(0, 80, {6, 'b', 'o', 'x', '-', '0', '1', 5, 'l', 'o', 'c', 'a', 'l', 0}), 0},
        {"priority set", srv(1, 80, ownTarget), 1},
        {"larger port", srv(0, 81, ownTarget), 1},
        {"smaller port", srv(0, 79, ownTarget), -1},
        {"longer host label", srv(0, 80, {7, 'B', 'O', 'X', '-', '0', '1', 'x', 0}), 1},
        {"shorter host label", srv(0, 80, {1, 'B', 0}), -1},
        {"same length, larger bytes", srv(0, 80, {6, 'C', 'O', 'X', '-', '0', '1', 0}), 1},
        {"same length, smaller bytes", srv(0, 80, {6, 'A', 'O', 'X', '-', '0', '1', 0}), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> m(12, 0);
        append(m, c.rdata);
        MdnsReader r(m.data(), static_cast<int>(m.size()));
        MdnsRecordView v;
        v.type = kDnsTypeSrv;
        v.rdata = 12;
        v.rdlength = static_cast<uint16_t>(c.rdata.size());
        EXPECT_EQ(r.compareSrv(v, 80, "BOX-01"), c.result);
    }
}

} // namespace
