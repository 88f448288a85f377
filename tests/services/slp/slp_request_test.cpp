#include "services/slp/slp_request.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// An SLPv1 service request with a previous-responder list and a predicate.
std::vector<uint8_t> request(const std::string& predicate, const std::string& list = "")
{
    std::vector<uint8_t> m = {1, 1, 0, 0, 0, 0, 'e', 'n', 0, 3, 0xAB, 0xCD};
    auto add16 = [&](size_t v) {
        m.push_back(static_cast<uint8_t>(v >> 8));
        m.push_back(static_cast<uint8_t>(v));
    };
    add16(list.size());
    for (char c : list)
        m.push_back(static_cast<uint8_t>(c));
    add16(predicate.size());
    for (char c : predicate)
        m.push_back(static_cast<uint8_t>(c));
    return m;
}

uint32_t ip(const char* text)
{
    return inet_addr(text);
}

constexpr const char* kName = "BOX-01";

struct Outcome {
    bool parsed;
    SlpDecision decision;
};

Outcome decide(const std::string& predicate, const char* current)
{
    const std::vector<uint8_t> m = request(predicate);
    SlpRequest req;
    if (!parseSlpRequest(m.data(), static_cast<int>(m.size()), &req))
        return {false, SlpDecision::NoReply};
    const uint32_t cur = ip(current);
    const bool linkLocal = (ntohl(cur) >> 16) == 0xA9FE;
    return {true, decideSlpRequest(req, kName, cur, linkLocal)};
}

TEST(SlpRequest, PredicatesDecideTheAnswer)
{
    struct Case {
        const char* predicate;
        const char* current;
        bool parsed;
        SlpDecision decision;
    };
    const Case cases[] = {
        {"service:x-vekps://", "198.18.0.2", true, SlpDecision::Reply},
        {"(service:x-vekps:)", "198.18.0.2", false, SlpDecision::NoReply},
        {"service:x-vekps:/", "198.18.0.2", false, SlpDecision::NoReply},
        {"SERVICE:X-VEKPS://", "198.18.0.2", false, SlpDecision::NoReply},
        {"service:printer://", "198.18.0.2", false, SlpDecision::NoReply},
        {"service:x-vekps://X-VEK-NAME ==box-01,X-VEK-IP ==198.18.7.7", "169.254.3.4", true, SlpDecision::Apply},
        {"service:x-vekps://x-vek-name == BOX-01, x-vek-ip == 198.18.7.7/rest", "169.254.3.4", true,
         SlpDecision::Apply},
        {"service:x-vekps://X-VEK-NAME ==box-01,X-VEK-IP ==198.18.7.7", "198.18.0.2", true, SlpDecision::Limited},
        {"service:x-vekps://X-VEK-NAME ==OTHER,X-VEK-IP ==198.18.7.7", "169.254.3.4", true, SlpDecision::NoReply},
        {"service:x-vekps://X-VEK-NAME ==OTHER", "198.18.0.2", true, SlpDecision::NoReply},
        {"service:x-vekps://X-VEK-IP ==198.18.7.7", "169.254.3.4", true, SlpDecision::Reply},
        {"service:x-vekps://X-VEK-NAME ==BOX-01,X-VEK-IP ==169.254.3.4", "169.254.3.4", true, SlpDecision::Reply},
        // No blank between the key and "==": the key is not recognised.
        {"service:x-vekps://X-VEK-NAME ==BOX-01,X-VEK-IP==198.18.7.7", "169.254.3.4", true, SlpDecision::Reply},
        {"service:x-vekps://X-VEK-NAME==OTHER", "169.254.3.4", true, SlpDecision::Reply},
        // Three numbers are no address.
        {"service:x-vekps://X-VEK-NAME ==BOX-01,X-VEK-IP ==198.18.7", "169.254.3.4", true, SlpDecision::Reply},
        // Numbers are taken modulo 256: 454 is 198.
        {"service:x-vekps://X-VEK-NAME ==BOX-01,X-VEK-IP ==454.18.7.7", "169.254.3.4", true, SlpDecision::Apply},
        // Addresses the box could not be reached at are refused.
        {"service:x-vekps://X-VEK-NAME ==BOX-01,X-VEK-IP ==0.0.0.0", "169.254.3.4", true, SlpDecision::Limited},
        {"service:x-vekps://X-VEK-NAME ==BOX-01,X-VEK-IP ==255.255.255.255", "169.254.3.4", true,
         SlpDecision::Limited},
        {"service:x-vekps://X-VEK-NAME ==BOX-01,X-VEK-IP ==127.0.0.9", "169.254.3.4", true, SlpDecision::Limited},
        {"service:x-vekps://X-VEK-NAME ==BOX-01,X-VEK-IP ==224.0.1.22", "169.254.3.4", true, SlpDecision::Limited},
        {"service:x-vekps://X-VEK-NAME ==BOX-01,X-VEK-IP ==240.1.2.3", "169.254.3.4", true, SlpDecision::Limited},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.predicate) + " while " + c.current);
        const Outcome o = decide(c.predicate, c.current);
        EXPECT_EQ(o.parsed, c.parsed);
        if (o.parsed) {
            EXPECT_EQ(o.decision, c.decision);
        }
    }
}

TEST(SlpRequest, TheNewAddressMaskAndGatewayAreRead)
{
    const std::vector<uint8_t> m =
        request("service:x-vekps://X-VEK-NAME ==BOX-01,X-VEK-IP ==198.18.7.7,X-VEK-IPMASK ==255.255.0.0,"
                "X-VEK-IPGATE ==198.18.0.1,X-VEK-UNKNOWN ==1");
    SlpRequest req;
    ASSERT_TRUE(parseSlpRequest(m.data(), static_cast<int>(m.size()), &req));
    EXPECT_STREQ(req.name, "BOX-01");
    EXPECT_TRUE(req.hasAddress && req.hasMask && req.hasGate);
    EXPECT_EQ(req.address, ip("198.18.7.7"));
    EXPECT_EQ(req.mask, ip("255.255.0.0"));
    EXPECT_EQ(req.gate, ip("198.18.0.1"));
}

TEST(SlpRequest, LongTextsAreCutToTheirBuffers)
{
    const std::string longName(300, 'N');
    const std::string longKey(80, 'K');
    const std::vector<uint8_t> m = request("service:x-vekps://X-VEK-NAME ==" + longName + "," + longKey + " ==1");
    SlpRequest req;
    ASSERT_TRUE(parseSlpRequest(m.data(), static_cast<int>(m.size()), &req));
    EXPECT_EQ(std::string(req.name), std::string(120, 'N'));
}

TEST(SlpRequest, LengthsAreCheckedAgainstTheDatagram)
{
    const std::string head = "service:x-vekps://";
    const std::string exact = head + std::string(1024 - head.size(), 'x');
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool parsed;
    };
    std::vector<uint8_t> listPast = request(head, "ab");
    listPast[13] = 200;  // the list would reach past the datagram
    std::vector<uint8_t> predicatePast = request(head);
    predicatePast[15] = static_cast<uint8_t>(head.size() + 1);
    std::vector<uint8_t> cut = request(head);
    cut.resize(15);
    const Case cases[] = {
        {"predicate of 1024 bytes", request(exact), true},
        {"predicate of 1025 bytes", request(exact + "x"), false},
        {"list past the end", listPast, false},
        {"predicate past the end", predicatePast, false},
        {"under 16 bytes", cut, false},
        {"a list before the predicate", request(head, "198.18.0.9"), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SlpRequest req;
        EXPECT_EQ(parseSlpRequest(c.bytes.data(), static_cast<int>(c.bytes.size()), &req), c.parsed);
    }
}

TEST(SlpRequest, TheReplyKeepsTheRequestHeaderAndCarriesOneUrl)
{
    std::vector<uint8_t> m = request("service:x-vekps://");
    const std::string url = "service:x-vekps://198.18.0.2;x-vek-name=BOX-01";
    uint8_t out[200];
    const int n = writeSlpReply(m.data(), url.c_str(), out, sizeof out);
    ASSERT_EQ(n, 20 + static_cast<int>(url.size()));
    const std::vector<uint8_t> head(out, out + 20);
    const std::vector<uint8_t> want = {1, 2, 0, static_cast<uint8_t>(n), 0, 0, 'e', 'n', 0, 3, 0xAB, 0xCD,
                                       0, 0, 0, 1, 0x2A, 0x30, 0, static_cast<uint8_t>(url.size())};
    EXPECT_EQ(head, want);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out + 20), url.size()), url);
    EXPECT_EQ(writeSlpReply(m.data(), url.c_str(), out, 20 + static_cast<int>(url.size()) - 1), 0)
        << "a URL that does not fit the reply buffer is not written";
}

} // namespace
