#include <gtest/gtest.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "snmp/param_snmp_write.h"
#include "support/param_override.h"
#include "support/temp_box_root.h"

namespace {

struct Value {
    int type;
    std::vector<uint8_t> bytes;
};

// An INTEGER as the library hands it over: a host long.
Value integer(long v)
{
    Value out{ASN_INTEGER, std::vector<uint8_t>(sizeof(v))};
    std::memcpy(out.bytes.data(), &v, sizeof(v));
    return out;
}

Value text(const std::string& s)
{
    return {ASN_OCTET_STR, std::vector<uint8_t>(s.begin(), s.end())};
}

Value ipAddress(std::vector<uint8_t> bytes)
{
    return {ASN_IPADDRESS, std::move(bytes)};
}

Value octets(std::vector<uint8_t> bytes)
{
    return {ASN_OCTET_STR, std::move(bytes)};
}

int phase(ParamSnmpWriter& w, Param& p, int action, const Value& v)
{
    return w.write(p, action, v.bytes.data(), v.type, v.bytes.size());
}

// One binding through the phases the library runs: RESERVE1, RESERVE2,
// ACTION, COMMIT; FREE after a failed reserve, UNDO after a failed action.
int setByAgent(ParamSnmpWriter& w, Param& p, const Value& v)
{
    for (int action : {MODE_SET_RESERVE1, MODE_SET_RESERVE2}) {
        if (int status = phase(w, p, action, v)) {
            phase(w, p, MODE_SET_FREE, v);
            return status;
        }
    }
    if (int status = phase(w, p, MODE_SET_ACTION, v)) {
        phase(w, p, MODE_SET_UNDO, v);
        return status;
    }
    return phase(w, p, MODE_SET_COMMIT, v);
}

std::string paramFile()
{
    std::ifstream in(paramFilePath());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ParamSnmpWriteTest : public ::testing::Test {
protected:
    void SetUp() override { root.writeFile("/etc/.made", ""); }

    TempBoxRoot root;
    ParamOverride o;
    ParamSnmpWriter writer;
};

// What each class accepts, what it refuses with which status, and that a
// refused value leaves the parameter as it was.
TEST_F(ParamSnmpWriteTest, ChecksAndStoresPerClass)
{
    struct Case {
        const char* name;
        Value value;
        int status;
        const char* after;
    };
    const std::string longText(65, 'x');
    const std::string longIpv6 = "fd42:b0c5:0000:0000:0000:0000:0000:0007" + std::string("00");
    ASSERT_EQ(longIpv6.size(), 41u);
    const Case cases[] = {
        {"zyt_port", integer(9300), SNMP_ERR_NOERROR, "9300"},
        {"zyt_port", integer(70000), SNMP_ERR_WRONGVALUE, "9200"},
        {"zyt_port", text("9300"), SNMP_ERR_WRONGTYPE, "9200"},
        {"zyt_port", {ASN_INTEGER, {1, 2, 3, 4, 5}}, SNMP_ERR_WRONGLENGTH, "9200"},
        // 0x100000001 would pass as 1 if cut to 32 bits.
        {"zyt_port", integer(0x100000001L), SNMP_ERR_WRONGVALUE, "9200"},
        {"zyt_port", {ASN_GAUGE, integer(9400).bytes}, SNMP_ERR_NOERROR, "9400"},
        {"hw_filter_on_1", integer(2), SNMP_ERR_WRONGVALUE, "off"},
        {"hw_filter_on_1", integer(1), SNMP_ERR_NOERROR, "on"},
        {"ntp_tzone", text("GMT"), SNMP_ERR_NOERROR, "GMT"},
        {"ntp_tzone", text("Mars"), SNMP_ERR_WRONGVALUE, "CET/CEST (EU)"},
        // The token compared with its length: "GMT" followed by more bytes is no token.
        {"ntp_tzone", octets({'G', 'M', 'T', 0, 'x'}), SNMP_ERR_WRONGVALUE, "CET/CEST (EU)"},
        {"ntp_tzone", integer(1), SNMP_ERR_WRONGTYPE, "CET/CEST (EU)"},
        {"sslmethod", integer(3), SNMP_ERR_NOERROR, "tls12"},
        {"sslmethod", integer(4), SNMP_ERR_WRONGVALUE, "any"},
        {"sslmethod", integer(-1), SNMP_ERR_WRONGVALUE, "any"},
        {"ip_mask", ipAddress({255, 255, 0, 0}), SNMP_ERR_NOERROR, "255.255.0.0"},
        {"ip_mask", ipAddress({255, 255, 0}), SNMP_ERR_WRONGLENGTH, "255.255.255.0"},
        {"ip_mask", octets({255, 255, 0, 0}), SNMP_ERR_WRONGTYPE, "255.255.255.0"},
        {"ipv6_addr", text("fd42:b0c5::7"), SNMP_ERR_NOERROR, "fd42:b0c5::7"},
        {"ipv6_addr", text("fd42:zz::7"), SNMP_ERR_WRONGTYPE, "::"},
        {"ipv6_addr", text(longIpv6), SNMP_ERR_WRONGLENGTH, "::"},
        {"hw_filter_1", octets({2, 0, 0, 0, 0, 1}), SNMP_ERR_NOERROR, "02:00:00:00:00:01"},
        {"hw_filter_1", octets({2, 0, 0, 0, 1}), SNMP_ERR_WRONGLENGTH, "00:00:00:00:00:00"},
        {"disp_def", text("E1"), SNMP_ERR_WRONGVALUE, "DS"},
        {"disp_def", text("IP"), SNMP_ERR_NOERROR, "IP"},
        {"sys_name", text("box 7"), SNMP_ERR_NOERROR, "box 7"},
        {"sys_name", text("x\nrwcommunity open"), SNMP_ERR_WRONGVALUE, ""},
        {"sys_name", octets({'a', 0, 'b'}), SNMP_ERR_WRONGVALUE, ""},
        {"sys_name", text(longText), SNMP_ERR_WRONGLENGTH, ""},
        {"language", integer(0), SNMP_ERR_NOSUCHNAME, "en"},
    };
    for (const Case& c : cases) {
        ParamOverride local;
        Param* p = ParamStore::findAny(c.name);
        ASSERT_NE(p, nullptr) << c.name;
        local.set(p, p->text());
        EXPECT_EQ(setByAgent(writer, *p, c.value), c.status) << c.name;
        EXPECT_EQ(p->text(), c.after) << c.name;
        EXPECT_EQ(writer.savedCount(), 0u) << c.name;
    }
}

TEST_F(ParamSnmpWriteTest, HiddenParameterIsNoSuchName)
{
    IntParam hidden("hidden_int", 1, 0, nullptr, kParamHidden);
    EXPECT_EQ(setByAgent(writer, hidden, integer(2)), SNMP_ERR_NOSUCHNAME);
    EXPECT_EQ(hidden.value(), 1);
}

// Two parameters of one class in one request: UNDO puts each back to its
// own old value, and each mark back to what it was.
TEST_F(ParamSnmpWriteTest, UndoRestoresEveryBindingAndItsMark)
{
    o.set("zyt_port", "9200");
    o.set("zyt_sslport", "9443");
    IntParam* port = params::zyt_port();
    IntParam* sslPort = params::zyt_sslport();
    saveParamsIfDirty();
    sslPort->markModified();  // another writer's change, not yet collected

    for (Param* p : {static_cast<Param*>(port), static_cast<Param*>(sslPort)})
        ASSERT_EQ(phase(writer, *p, MODE_SET_RESERVE1, integer(100)), SNMP_ERR_NOERROR);
    ASSERT_EQ(phase(writer, *port, MODE_SET_ACTION, integer(100)), SNMP_ERR_NOERROR);
    ASSERT_EQ(phase(writer, *sslPort, MODE_SET_ACTION, integer(200)), SNMP_ERR_NOERROR);
    EXPECT_EQ(port->value(), 100);
    EXPECT_EQ(sslPort->value(), 200);

    phase(writer, *port, MODE_SET_UNDO, integer(100));
    phase(writer, *sslPort, MODE_SET_UNDO, integer(200));
    EXPECT_EQ(port->value(), 9200);
    EXPECT_EQ(sslPort->value(), 9443);
    EXPECT_FALSE(port->isModified());
    EXPECT_TRUE(sslPort->isModified());
    EXPECT_EQ(writer.savedCount(), 0u);
    sslPort->takeModified();
}

TEST_F(ParamSnmpWriteTest, TextUndoPutsTheOldTextBack)
{
    o.set("sys_contact", "desk 1");
    Param* p = params::sys_contact();
    saveParamsIfDirty();
    const Value v = text("desk 2");
    ASSERT_EQ(phase(writer, *p, MODE_SET_RESERVE1, v), SNMP_ERR_NOERROR);
    ASSERT_EQ(phase(writer, *p, MODE_SET_ACTION, v), SNMP_ERR_NOERROR);
    EXPECT_EQ(p->text(), "desk 2");
    phase(writer, *p, MODE_SET_UNDO, v);
    EXPECT_EQ(p->text(), "desk 1");
    EXPECT_FALSE(p->isModified());
}

// COMMIT collects the change: the file is saved, and an address written
// over SNMP says so in ip_setby.
TEST_F(ParamSnmpWriteTest, CommitSavesAndRecordsTheAddressSource)
{
    ParamOverride local;
    local.set(params::ip_addr(), params::ip_addr()->text());
    local.set(params::ip_setby(), params::ip_setby()->text());
    local.set(params::ip_addr(), "198.18.7.1");
    local.set(params::ip_setby(), "http");
    saveParamsIfDirty();

    ASSERT_EQ(setByAgent(writer, *params::ip_addr(), ipAddress({198, 18, 7, 9})), SNMP_ERR_NOERROR);
    EXPECT_EQ(params::ip_addr()->text(), "198.18.7.9");
    EXPECT_EQ(params::ip_setby()->text(), "snmp");
    const std::string file = paramFile();
    EXPECT_NE(file.find("198.18.7.9"), std::string::npos) << file;
    EXPECT_FALSE(params::ip_addr()->isModified());

    ASSERT_EQ(setByAgent(writer, *params::hw_filter(1), octets({2, 0, 0, 0, 0, 9})), SNMP_ERR_NOERROR);
    EXPECT_NE(paramFile().find("02:00:00:00:00:09"), std::string::npos);
    local.set(params::hw_filter(1), "00:00:00:00:00:00");
}

} // namespace
