#include "services/mdns/bonjour_responder.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/params/param_handles.h"
#include "support/dns_message.h"
#include "support/param_override.h"
#include "support/product_record.h"

namespace {

// Builds every message as the task would and keeps it decoded.
class RecordingSender : public MdnsSender {
public:
    struct Sent {
        int kind;
        bool legacy;
        uint16_t id;
        DecodedMessage message;  // all buffers' records together
    };
    int sendMessage(BonjourResponder& r, int kind, const MdnsQuery* legacy) override
    {
        MdnsWriter& w = r.writer();
        const int last = w.build(kind, r.names(inet_addr("198.18.0.2")));
        if (last < 0)
            return 0;
        Sent s{kind, legacy != nullptr, legacy ? legacy->id : uint16_t(0), {}};
        for (int i = 0; i <= last; ++i) {
            uint8_t head[kDnsHeaderSize];
            w.header(i, last, s.id, MdnsWriter::flagsFor(kind, legacy ? legacy->flags : 0), head);
            std::vector<uint8_t> bytes(head, head + kDnsHeaderSize);
            for (int k = 0; k < w.buffer(i).length; ++k)
                bytes.push_back(static_cast<uint8_t>(w.buffer(i).data[k]));
            DecodedMessage m = decodeMessage(bytes);
            s.message.flags = m.flags;
            s.message.records.insert(s.message.records.end(), m.records.begin(), m.records.end());
        }
        sent.push_back(s);
        return 1;
    }
    std::vector<int> kinds() const
    {
        std::vector<int> k;
        for (const Sent& s : sent)
            k.push_back(s.kind);
        return k;
    }
    std::vector<Sent> sent;
};

std::vector<uint8_t> srvData(uint16_t port, const std::string& target)
{
    std::vector<uint8_t> d = {0, 0, 0, 0, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
    for (uint8_t b : Query::name(target))
        d.push_back(b);
    return d;
}

constexpr const char* kInstance = "Printer (2)";
const std::string kHttp = "_http._tcp.local";
const std::string kHttpInstance = std::string(kInstance) + "._http._tcp.local";

class Responder : public ::testing::Test {
protected:
    void SetUp() override
    {
        useProduct(root_, "product_id=1\nusb_ports_phy=4\ndevice_types=UUUU\nproduct_name=VK-4\ndefault_name=BOX-01\n");
        params_.set(params::ip_addr(), "198.18.0.2");
        params_.set(params::bonjour_name(), "Printer");
        r_.resetState(true);
        r_.startRun(0);
    }
    void receive(const Query& q, uint64_t now, uint16_t port = kMdnsPort)
    {
        const std::vector<uint8_t> m = q.bytes();
        r_.handleMessage(m.data(), static_cast<int>(m.size()), port, now);
    }
    // Probes at 25, 50, 75, the announcement at 100.
    void announce()
    {
        for (uint64_t t = 25; t <= 100; t += 25)
            r_.probeStep(t);
        ASSERT_EQ(r_.probeState(), kProbeAnnounced);
        sender_.sent.clear();
    }
    bool sentRecord(const RecordingSender::Sent& s, int section, uint16_t type) const
    {
        for (const DecodedRecord& rec : s.message.records) {
            if (rec.section == section && rec.type == type)
                return true;
        }
        return false;
    }

    TempBoxRoot root_;
    ParamOverride params_;
    RecordingSender sender_;
    BonjourResponder r_{&sender_};
};

TEST(BonjourNames, InstanceNamesAreBuiltAndKeptToOneLabel)
{
    struct Case {
        const char* configured;
        int rename;
        const char* name;
        int renameAfter;
    };
    const std::string sixtyFour(64, 'n');
    const std::string cutWithSuffix = std::string(59, 'n') + " (2)";
    const Case cases[] = {
        {"", 0, "VK-4@BOX-01", 0},
        {"Printer", 0, "Printer (2)", 2},
        {"Printer", 3, "Printer (3)", 3},
        {"Printer (7)", 7, "Printer (7)", 7},
        {"Printer (99)", 100, "Printer (2)", 2},
        {"My BOX-01 here", 5, "My BOX-01 here", 5},
        {sixtyFour.c_str(), 0, cutWithSuffix.c_str(), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configured);
        InstanceNameInputs in;
        in.configured = c.configured;
        in.defaultName = "BOX-01";
        in.productName = "VK-4";
        int rename = c.rename;
        char out[kInstanceNameSize];
        buildInstanceName(in, &rename, out, sizeof out);
        EXPECT_STREQ(out, c.name);
        EXPECT_EQ(rename, c.renameAfter);
        EXPECT_LE(strlen(out), 63u);
    }
}

TEST(BonjourNames, SuffixesAreReadOnlyInTheirExactForm)
{
    struct Case {
        const char* name;
        int number;
        const char* cut;
    };
    const Case cases[] = {
        {"Printer (12)", 12, "Printer"}, {"Printer (1)", 1, "Printer"}, {"Printer (123)", -1, "Printer (123)"},
        {"Printer(12)", -1, "Printer(12)"}, {"(12)", -1, "(12)"},       {"Printer ()", -1, "Printer ()"},
    };
    for (const Case& c : cases) {
        char name[32];
        snprintf(name, sizeof name, "%s", c.name);
        EXPECT_EQ(parseInstanceSuffix(name, true), c.number) << c.name;
        EXPECT_STREQ(name, c.cut);
    }
}

TEST_F(Responder, ProbesThreeTimesThenAnnouncesAndStoresTheName)
{
    r_.probeStep(24);
    EXPECT_TRUE(sender_.sent.empty());
    for (uint64_t t = 25; t <= 100; t += 25)
        r_.probeStep(t);
    EXPECT_EQ(sender_.kinds(), (std::vector<int>{4, 5, 4, 5, 4, 5, 3}));
    EXPECT_EQ(r_.probeState(), kProbeAnnounced);
    EXPECT_EQ(*params::bonjour_name()->value(), "Printer (2)");
    EXPECT_EQ(r_.waitTicks(100), 0) << "announced: wait without limit";
    char published[kInstanceNameSize];
    currentBonjourName(published, sizeof published);
    EXPECT_STREQ(published, "Printer (2)");
}

TEST_F(Responder, BrowseQuestionsAreAnsweredAfterRotatingDelaysWithAdditionalRecords)
{
    announce();
    const uint64_t delays[] = {3, 6, 9, 12, 3};
    uint64_t now = 1000;
    for (uint64_t delay : delays) {
        SCOPED_TRACE(delay);
        receive(Query().question(kHttp, kDnsTypePtr), now);
        EXPECT_TRUE(sender_.sent.empty()) << "a PTR question waits";
        EXPECT_EQ(r_.answerDeadline(), now + delay);
        r_.onIdle(now + delay - 1);
        EXPECT_TRUE(sender_.sent.empty());
        r_.onIdle(now + delay);
        ASSERT_EQ(sender_.kinds(), std::vector<int>{kMdnsAnswer});
        const RecordingSender::Sent& s = sender_.sent[0];
        ASSERT_FALSE(s.message.records.empty());
        EXPECT_EQ(s.message.records[0].section, 1);
        EXPECT_EQ(s.message.records[0].type, kDnsTypePtr);
        EXPECT_EQ(s.message.records[0].target, kHttpInstance);
        EXPECT_TRUE(sentRecord(s, 3, kDnsTypeSrv));
        EXPECT_TRUE(sentRecord(s, 3, kDnsTypeTxt));
        EXPECT_TRUE(sentRecord(s, 3, kDnsTypeA));
        EXPECT_EQ(r_.answerDeadline(), 0u);
        sender_.sent.clear();
        now += 100;
    }
}

TEST_F(Responder, DirectQuestionsAreAnsweredAtOnce)
{
    announce();
    receive(Query().question("box-01.LOCAL", kDnsTypeA), 500);
    ASSERT_EQ(sender_.kinds(), std::vector<int>{kMdnsAnswer});
    ASSERT_EQ(sender_.sent[0].message.records.size(), 1u);
    EXPECT_EQ(sender_.sent[0].message.records[0].name, "BOX-01.local");
    EXPECT_EQ(sender_.sent[0].message.records[0].rdata, (std::vector<uint8_t>{198, 18, 0, 2}));

    sender_.sent.clear();
    receive(Query().question(kHttpInstance, kDnsTypeSrv), 600);
    ASSERT_EQ(sender_.kinds(), std::vector<int>{kMdnsAnswer});
    EXPECT_EQ(sender_.sent[0].message.records[0].srvPort, 80);
    EXPECT_TRUE(sentRecord(sender_.sent[0], 3, kDnsTypeA)) << "the SRV's target address goes along";
}

TEST_F(Responder, AKnownPtrAnswerSuppressesOnlyWhenItsTtlExceedsHalf)
{
    announce();
    const std::vector<uint8_t> target = Query::name(kHttpInstance);
    struct Case {
        uint32_t ttl;
        bool answered;
    };
    for (const Case c : {Case{3601, false}, Case{3600, true}}) {
        SCOPED_TRACE(c.ttl);
        sender_.sent.clear();
        receive(Query().question(kHttp, kDnsTypePtr).record(1, kHttp, kDnsTypePtr, c.ttl, target), 2000);
        r_.onIdle(2100);
        EXPECT_EQ(!sender_.sent.empty(), c.answered);
    }
}

TEST_F(Responder, ALegacyQuerierGetsAUnicastReplyAndTheGroupTheAnswer)
{
    announce();
    receive(Query().question(kHttpInstance, kDnsTypeSrv), 500, 12345);
    ASSERT_EQ(sender_.kinds(), (std::vector<int>{kMdnsLegacyReply, kMdnsAnswer}));
    const RecordingSender::Sent& legacy = sender_.sent[0];
    EXPECT_TRUE(legacy.legacy);
    EXPECT_EQ(legacy.id, 0x1234);
    EXPECT_EQ(legacy.message.records[0].section, 0) << "the reply repeats the question";
    EXPECT_TRUE(sentRecord(legacy, 1, kDnsTypeSrv));
    EXPECT_FALSE(sender_.sent[1].legacy);
}

TEST_F(Responder, ATruncatedQueryWaitsForItsNextPart)
{
    announce();
    receive(Query(kDnsFlagTruncated).question(kHttpInstance, kDnsTypeSrv), 500, 12345);
    EXPECT_TRUE(sender_.sent.empty());
    receive(Query(), 501);
    ASSERT_EQ(sender_.kinds(), std::vector<int>{kMdnsAnswer});
    EXPECT_TRUE(sentRecord(sender_.sent[0], 1, kDnsTypeSrv));
}

TEST_F(Responder, MalformedMessagesAreDropped)
{
    announce();
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    Query many;
    for (int i = 0; i < 101; ++i)
        many.question(kHttpInstance, kDnsTypeSrv);
    std::vector<uint8_t> loop = Query().claimCounts(1).bytes();
    for (uint8_t b : {0xC0, 12, 0, 33, 0, 1})
        loop.push_back(b);
    const Case cases[] = {
        {"101 records", many.bytes()},
        {"shorter than the header", {0, 0, 0, 0, 0, 1, 0, 0, 0, 0}},
        {"pointer to itself", loop},
        {"count larger than the questions there", Query().question(kHttpInstance, kDnsTypeSrv).claimCounts(2).bytes()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        r_.handleMessage(c.bytes.data(), static_cast<int>(c.bytes.size()), kMdnsPort, 700);
        EXPECT_TRUE(sender_.sent.empty());
    }
}

TEST_F(Responder, AConflictWhileProbingRenamesAndProbesAgain)
{
    r_.probeStep(25);
    sender_.sent.clear();
    // Another host answers with our service's SRV pointing elsewhere.
    receive(Query(0x8400).record(1, kHttpInstance, kDnsTypeSrv, 60, srvData(80, "other.local")), 30);
    EXPECT_STREQ(r_.instanceName(), "Printer (3)");
    EXPECT_EQ(r_.probeState(), 0);
    for (uint64_t t = 55; t <= 130; t += 25)
        r_.probeStep(t);
    EXPECT_EQ(r_.probeState(), kProbeAnnounced);
    EXPECT_EQ(*params::bonjour_name()->value(), "Printer (3)");
}

TEST_F(Responder, AfterAnnouncingALosingRecordRestartsProbingAtMostEvery50Ticks)
{
    announce();
    // A host name record with a lower address: the responder wins.
    const std::vector<uint8_t> lower = {198, 18, 0, 1};
    receive(Query(0x8400).record(1, "BOX-01.local", kDnsTypeA, 60, lower), 1000);
    EXPECT_EQ(r_.probeState(), kProbeRestart);
    EXPECT_STREQ(r_.instanceName(), "Printer (2)");
    r_.probeStep(1001);
    EXPECT_EQ(r_.probeState(), 0);
    // While probing again, an authority record that loses is throttled:
    // within 50 ticks of the last one it counts as a conflict...
    receive(Query(0x8400).record(2, "BOX-01.local", kDnsTypeA, 60, lower), 1030);
    EXPECT_EQ(r_.probeState(), 0);
    r_.probeStep(1026 + 25);
    EXPECT_EQ(r_.probeState(), 1);
    // ...and later it only restarts probing again.
    receive(Query(0x8400).record(2, "BOX-01.local", kDnsTypeA, 60, lower), 1100);
    EXPECT_EQ(r_.probeState(), kProbeRestart);
    EXPECT_STREQ(r_.instanceName(), "Printer (2)") << "a record the responder wins never renames";
    // A higher address wins against the responder at once.
    receive(Query(0x8400).record(2, "BOX-01.local", kDnsTypeA, 60, {198, 18, 0, 3}), 1101);
    EXPECT_EQ(r_.probeState(), 0);
    EXPECT_STREQ(r_.instanceName(), "Printer (3)");
}

TEST_F(Responder, TheDefaultNameIsNeverRenamed)
{
    params_.set(params::bonjour_name(), "");
    r_.resetState(true);
    r_.startRun(0);
    EXPECT_STREQ(r_.instanceName(), "VK-4@BOX-01");
    receive(Query(0x8400).record(1, "VK-4@BOX-01._http._tcp.local", kDnsTypeSrv, 60, srvData(80, "zz.local")), 5);
    EXPECT_STREQ(r_.instanceName(), "VK-4@BOX-01");
    EXPECT_EQ(r_.probeState(), 0);
}

} // namespace
