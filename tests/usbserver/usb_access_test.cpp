// Port access control: the port-key answers against an implementation that
// is not ours (perl's crypt and Digest::SHA), the device list and the port
// status as a client sees them, the VLAN binding, the id filter and the card
// reader.
#include "usb_session_fixture.h"

#include "core/board/board_device.h"
#include "support/board_test_support.h"
#include "usbserver/usb_access.h"

#include <cstdio>
#include <set>
#include "support/missing_requirement.h"

namespace {

// The output of a command, or "" when it could not run.
std::string commandOutput(const std::string& command)
{
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return "";
    std::string out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    return pclose(p) == 0 ? out : "";
}

bool havePerl()
{
    return commandOutput("perl -e 'print 1'") == "1";
}

std::string perlCrypt(const std::string& key, const std::string& salt)
{
    return commandOutput("perl -e 'print crypt($ARGV[0], $ARGV[1])' '" + key + "' '" + salt + "'");
}

std::string perlSha1Hex(const std::string& text)
{
    return commandOutput("perl -MDigest::SHA=sha1_hex -e 'print sha1_hex($ARGV[0])' '" + text + "'");
}

// The traditional crypt reads a salt character c as the 6-bit value
// ((c > 'Z' ? c - 6 : c) > '9' ? ... - 7) - '.'; glibc (and so perl) only
// takes the characters that stand for their value themselves.
char legalSaltChar(char c)
{
    int v = static_cast<unsigned char>(c);
    if (v > 'Z')
        v -= 6;
    if (v > '9')
        v -= 7;
    v = (v - '.') & 63;
    return "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"[v];
}

// Port keys are secret: their text reads "****", so they are set and put
// back here rather than through ParamOverride.
class KeyOverride {
public:
    ~KeyOverride()
    {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            it->first->set(it->second.c_str(), -1);
    }
    void set(int port, const std::string& key)
    {
        Param* p = ParamStore::find("zyt_keyval_", 11, static_cast<uint32_t>(port));
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(p->paramClass(), ParamClass::String);
        saved_.emplace_back(p, *static_cast<StringParam*>(p)->value());
        ASSERT_NE(p->set(key.c_str(), -1), 0) << key;
        ASSERT_EQ(*static_cast<StringParam*>(p)->value(), key);
    }

private:
    std::vector<std::pair<Param*, std::string>> saved_;
};

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string saltOf(uint32_t n)
{
    return {kAlphabet[(n ^ (n >> 24)) & 63], kAlphabet[((n >> 16) ^ (n >> 8)) & 63]};
}

std::string prefixOf(uint32_t n)
{
    return {kAlphabet[(n >> 24) & 63], kAlphabet[(n >> 16) & 63], kAlphabet[(n >> 8) & 63], kAlphabet[n & 63]};
}

std::string hex(const uint8_t* p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

Bytes cryptKeys(const std::vector<std::pair<int, std::string>>& entries)
{
    Bytes b = {'V', 'E', 'K', static_cast<uint8_t>(entries.size())};
    for (const auto& [port, answer] : entries) {
        b.push_back(static_cast<uint8_t>(port));
        b.insert(b.end(), answer.begin(), answer.begin() + 11);
    }
    return b;
}

Bytes digestKeys(const std::vector<std::pair<int, Bytes>>& entries)
{
    Bytes b = {'V', 'E', 'k', static_cast<uint8_t>(entries.size())};
    for (const auto& [port, digest] : entries) {
        b.push_back(static_cast<uint8_t>(port >> 8));
        b.push_back(static_cast<uint8_t>(port));
        b.insert(b.end(), digest.begin(), digest.end());
    }
    return b;
}

// The ports of a device list reply, checking its framing.
std::set<int> listedPorts(const Reply& r)
{
    std::set<int> ports;
    EXPECT_EQ(r.header.opcode, 0x101du);
    EXPECT_EQ(r.header.status, 0u);
    if (r.data.size() < 3)
        return ports;
    const size_t count = r.data[0];
    EXPECT_EQ(usbGetU16(&r.data[1]), count * 22);
    EXPECT_EQ(r.data.size(), 3 + count * 22);
    for (size_t i = 0; i < count && 3 + (i + 1) * 22 <= r.data.size(); ++i)
        ports.insert(r.data[3 + i * 22 + 1]);
    return ports;
}

class UsbAccess : public UsbSessionTest {
public:
    void SetUp() override
    {
        UsbSessionTest::SetUp();
        for (int port = 1; port <= 4; ++port)
            rows_[port] = plugLoopback(port);
    }

    // A device list after opcode 27 with the nonce as its tag.
    Reply listWithNonce(ProtocolClient& c, uint32_t nonce, const Bytes& keys)
    {
        EXPECT_EQ(c.request(27, nonce).header.status, 0u);
        return c.request(29, 2, keys);
    }

protected:
    int rows_[5] = {};
};

TEST(UsbPortKeys, AnswersMatchTraditionalCryptAndSha1IncludingSaltsOutsideTheCryptAlphabet)
{
    if (!havePerl())
        SKIP_UNLESS_CI("perl is not installed");
    ParamOverride params;
    KeyOverride keys;
    params.set("zyt_accctrl_", "key", 5);
    keys.set(5, "secret12");
    // Nonces whose salts hold '+' and '/' (which glibc's crypt refuses),
    // and ordinary ones.
    for (uint32_t nonce : {0x3eu, 0x3fu, 0x3e00003eu, 0u, 0x12345678u, 0xdeadbeefu, 0xffffffffu}) {
        std::string salt = saltOf(nonce);
        std::string legal = {legalSaltChar(salt[0]), legalSaltChar(salt[1])};
        std::string reference = perlCrypt("secret12", legal);
        ASSERT_EQ(reference.size(), 13u) << legal;
        char answer[11];
        ASSERT_EQ(portKeyCrypt(5, nonce, answer), 1);
        EXPECT_EQ(std::string(answer, 11), reference.substr(2)) << "nonce " << nonce << " salt " << salt;

        uint8_t digest[20];
        ASSERT_EQ(portKeySha1(5, nonce, digest), 1);
        EXPECT_EQ(hex(digest, 20), perlSha1Hex(prefixOf(nonce) + "secret12")) << "nonce " << nonce;
    }
    EXPECT_EQ(saltOf(0x3e), "+A");

    // Only the first 8 key characters count in the crypt form, all of them
    // in the digest.
    keys.set(5, "secret12-and-more");
    char longer[11];
    ASSERT_EQ(portKeyCrypt(5, 0x3e, longer), 1);
    EXPECT_EQ(std::string(longer, 11), perlCrypt("secret12", "xA").substr(2));
    uint8_t digest[20];
    ASSERT_EQ(portKeySha1(5, 0x3e, digest), 1);
    EXPECT_EQ(hex(digest, 20), perlSha1Hex(prefixOf(0x3e) + "secret12-and-more"));

    params.set("zyt_accctrl_", "---", 5);
    EXPECT_EQ(portKeyCrypt(5, 1, longer), 0) << "no key needed without a key mode";
    EXPECT_FALSE(portNeedsKey(5));
    params.set("zyt_accctrl_", "keyids", 5);
    EXPECT_TRUE(portNeedsKey(5));
    keys.set(5, "");
    EXPECT_FALSE(portNeedsKey(5)) << "an empty key asks for nothing";
}

TEST_F(UsbAccess, TheDeviceListShowsKeyedPortsOnlyToTheRightAnswer)
{
    if (!havePerl())
        SKIP_UNLESS_CI("perl is not installed");
    KeyOverride keys;
    params_.set("zyt_accctrl_", "---", 1);
    params_.set("zyt_accctrl_", "key", 2);  // with an empty key: shown to everybody
    keys.set(2, "");
    params_.set("zyt_accctrl_", "key", 3);
    keys.set(3, "secret12");
    params_.set("zyt_accctrl_", "keyids", 4);
    keys.set(4, "other");
    params_.set("zyt_vendprodIDs_", "1209:0001", 4);

    const uint32_t nonce = 0x3e;  // salt "+A"
    const std::string right3 = perlCrypt("secret12", "xA").substr(2);
    std::string wrong3 = right3;
    wrong3[0] = wrong3[0] == 'a' ? 'b' : 'a';
    auto digestFor = [](const std::string& text) {
        std::string h = perlSha1Hex(text);
        Bytes d;
        for (size_t i = 0; i + 1 < h.size(); i += 2)
            d.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
        return d;
    };
    Bytes right4 = digestFor(prefixOf(nonce) + "other");
    std::vector<std::pair<int, std::string>> crowd(20, {9, right3});
    crowd.push_back({3, right3});

    struct Case {
        const char* what;
        Bytes keys;
        std::set<int> ports;
    };
    const Case cases[] = {
        {"no key list", {}, {1, 2}},
        {"the right crypt answer", cryptKeys({{3, right3}}), {1, 2, 3}},
        {"a wrong crypt answer", cryptKeys({{3, wrong3}}), {1, 2}},
        {"the answer for another port", cryptKeys({{4, right3}}), {1, 2}},
        {"the right digest answer, port as u16", digestKeys({{4, right4}}), {1, 2, 4}},
        {"21 entries, one of them right", cryptKeys(crowd), {1, 2}},
        {"an empty key list", cryptKeys({}), {1, 2}},
    };
    ProtocolClient& client = startSession();
    for (const Case& c : cases)
        EXPECT_EQ(listedPorts(listWithNonce(client, nonce, c.keys)), c.ports) << c.what;

    // The nonce is the tag of the last version request.
    EXPECT_EQ(client.request(27, nonce + 1).header.status, 0u);
    EXPECT_EQ(listedPorts(client.request(29, 3, cryptKeys({{3, right3}}))), (std::set<int>{1, 2}))
        << "an answer for an older nonce";
    EXPECT_EQ(client.request(1, nonce).header.status, 3u) << "opcode 1 answers status 3 and sets the nonce too";
    EXPECT_EQ(listedPorts(client.request(29, 4, cryptKeys({{3, right3}}))), (std::set<int>{1, 2, 3}));
}

TEST_F(UsbAccess, TheDeviceListEntryCarriesTheDescriptorBigEndian)
{
    ProtocolClient& client = startSession();
    Reply r = client.request(29, 1);
    ASSERT_EQ(r.data.size(), 3u + 4 * 22);
    const uint8_t* e = &r.data[3];
    EXPECT_EQ(e[0], rows_[1]);
    EXPECT_EQ(e[1], 1);
    EXPECT_EQ(e[2], usbDeviceTable[rows_[1]].speed);
    EXPECT_EQ(e[3], 0);
    EXPECT_EQ(e[4], 18);
    EXPECT_EQ(e[5], 1);
    EXPECT_EQ(usbGetU16(e + 4 + 2), 0x0200) << "bcdUSB";
    EXPECT_EQ(usbGetU16(e + 4 + 8), 0x1209) << "idVendor";
    EXPECT_EQ(usbGetU16(e + 4 + 10), 0x0001) << "idProduct";
    EXPECT_EQ(usbGetU16(e + 4 + 12), 0x0100) << "bcdDevice";
}

TEST_F(UsbAccess, EachPortIsListedOnTheListenerItIsBoundTo)
{
    params_.set("ip4vlan_id_", "7", 1);
    params_.set("ip4vlan_id_", "9", 2);
    params_.set("zyt_2vlan_", "0", 1);   // every listener
    params_.set("zyt_2vlan_", "1", 2);   // port VLAN 1: id 7
    params_.set("zyt_2vlan_", "2", 3);   // port VLAN 2: id 9
    params_.set("zyt_2vlan_", "21", 4);  // above the ports: untagged only
    struct Case {
        int vlan;
        std::set<int> ports;
    };
    for (const Case& c : {Case{-1, {1, 4}}, Case{7, {1, 2}}, Case{9, {1, 3}}, Case{11, {1}}}) {
        ProtocolClient& client = startSession(c.vlan);
        EXPECT_EQ(listedPorts(client.request(29, 1)), c.ports) << "listener VLAN " << c.vlan;
    }
}

TEST(UsbPortRules, TheIdFilterMatchesTheRowsOwnIdsAsWholeItems)
{
    TempBoxRoot root;
    useProduct(root, "product_id=353\nusbtable_product_id=353\nusb_ports_phy=20\n");
    configureUsbTable(353);
    ParamOverride params;
    UsbDeviceSlot& slot = usbDeviceTable[0];
    slot.idVendor = 0x1209;
    slot.idProduct = 0x0001;
    slot.port = 1;
    // The published texts are stale: an earlier device's, or none.
    params.set("usb_vendid_", "", 1);
    params.set("usb_prodid_", "", 1);
    params.set("zyt_accctrl_", "ids", 1);
    struct Case {
        const char* list;
        bool allowed;
    };
    const Case cases[] = {
        {"1209:0001", true},
        {"046d:c52b,1209:0001", true},
        {"046d:c52b 1209:0001;0781:5567", true},
        {"", false},
        {":", false},                // the empty published texts would give ":"
        {"1209:00012", false},       // a longer item
        {"01209:0001", false},
        {"abcd:1209:0001", false},
        {"1209:0002", false},
        {"1209:0001x", false},
    };
    for (const Case& c : cases) {
        params.set("zyt_vendprodIDs_", c.list, 1);
        EXPECT_EQ(isPortAccessAllowed(0, 1), c.allowed) << '"' << c.list << '"';
    }
    EXPECT_FALSE(isPortAccessAllowed(20, 1)) << "a free row's ids 0000:0000 are not listed";
    params.set("zyt_accctrl_", "---", 1);
    params.set("zyt_vendprodIDs_", "", 1);
    EXPECT_TRUE(isPortAccessAllowed(0, 1)) << "no filter without an ids mode";
    EXPECT_TRUE(isPortAccessAllowed(20, 1));
    EXPECT_FALSE(isPortAccessAllowed(0, 21));
    EXPECT_FALSE(isPortAccessAllowed(40, 1)) << "rows beyond the table";
    slot.init();
}

TEST_F(UsbAccess, PortStatusReportsUseOwnerTlsAndFilter)
{
    params_.set("zyt_sec_", "on", 3);
    params_.set("zyt_sec_", "on", 2);
    params_.set("zyt_accctrl_", "ids", 2);
    params_.set("zyt_vendprodIDs_", "dead:beef", 2);
    params_.set("zyt_accctrl_", "ids", 4);
    params_.set("zyt_vendprodIDs_", "dead:beef", 4);
    ProtocolClient& owner = startSession();
    ASSERT_EQ(owner.request(kUsbOpConnect, 1, connectBody(rows_[1], 1)).header.status, 0u);
    ASSERT_EQ(owner.request(kUsbOpConnect, 1, connectBody(rows_[4], 4)).header.status, 0u);
    params_.set("usb_owner_", "alice (198.018.000.009)", rows_[1] + 1);

    const Bytes ownerRecord = {3, 4, 0, 0, 0, 198, 18, 0, 9};
    auto code = [](uint32_t c) { return Bytes{0, 0, 0, static_cast<uint8_t>(c)}; };
    struct Case {
        const char* what;
        int row;
        int port;
        uint32_t status;
        uint32_t error;
        Bytes data;
    };
    const Case cases[] = {
        {"in use by an IPv4 owner", rows_[1], 1, 0, 0, code(1) + ownerRecord + Bytes{'a', 'l', 'i', 'c', 'e', ' '}},
        {"filtered and TLS only", rows_[2], 2, 0, 0, code(7)},
        {"TLS only", rows_[3], 3, 0, 0, code(2)},
        {"filtered and in use: 5 whatever the use", rows_[4], 4, 0, 0, code(5) + ownerRecord},
        {"wrong port", rows_[2], 3, 3, 19, {}},
        {"free row", 30, 0, 3, 19, {}},
    };
    ProtocolClient& client = startSession();
    for (const Case& c : cases) {
        Reply r = client.request(26, 5, {static_cast<uint8_t>(c.row), static_cast<uint8_t>(c.port)});
        EXPECT_EQ(r.header.opcode, 0x101au);
        EXPECT_EQ(r.header.status, c.status) << c.what;
        EXPECT_EQ(r.header.error, c.error) << c.what;
        EXPECT_EQ(r.data, c.data) << c.what;
    }
    params_.set("zyt_accctrl_", "---", 4);
    EXPECT_EQ(client.request(26, 5, {static_cast<uint8_t>(rows_[4]), 4}).data, code(1) + ownerRecord);
    params_.set("zyt_accctrl_", "---", 2);
    params_.set("zyt_sec_", "off", 2);
    EXPECT_EQ(client.request(26, 5, {static_cast<uint8_t>(rows_[2]), 2}).data, code(0)) << "present, no rule";
}

TEST(UsbPortRules, CardReaderHidesPortOneOnlyOnItsModelWhileNoCardIsIn)
{
    boardtest::TempRoot root(254, 337, 1);
    root.setSim("card", "0");
    BoardDevice& board = boardDevice();
    ASSERT_EQ(board.open(), 1);
    EXPECT_TRUE(isCardReaderHidden(1));
    EXPECT_FALSE(isCardReaderHidden(2));
    root.setSim("card", "1");
    EXPECT_FALSE(isCardReaderHidden(1));
    root.setSim("card", "0");
    std::ofstream(root.path("/conf.d/product_params"), std::ios::app) << "product_id=353\n";
    reloadProductInfoForTest();
    EXPECT_FALSE(isCardReaderHidden(1)) << "other models have no card reader behind port 1";
    board.close();
}

} // namespace
