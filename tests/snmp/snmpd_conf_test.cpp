#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/params/param_handles.h"
#include "core/task/start_state.h"
#include "snmp/snmpd_conf.h"
#include "support/param_override.h"
#include "support/product_record.h"
#include "support/temp_box_root.h"

namespace {

// Secrets read back as "****", so ParamOverride cannot check them: this sets
// one and puts the empty default back.
class SecretOverride {
public:
    SecretOverride(StringParam* p, const char* value) : p_(p)
    {
        EXPECT_NE(p_->set(value, -1), 0) << p_->name() << " " << value;
        EXPECT_EQ(*p_->value(), value);
    }
    ~SecretOverride() { p_->set("", -1); }

private:
    StringParam* p_;
};

std::string confText(unsigned* sinks)
{
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    printSnmpdConf(out, sinks);
    std::fclose(out);
    std::string text(data, size);
    std::free(data);
    return text;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

bool hasLine(const std::string& text, const std::string& line)
{
    for (const std::string& l : lines(text)) {
        if (l == line)
            return true;
    }
    return false;
}

class SnmpdConfTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        useProduct(root, "product_name=Test Box 12\ndefault_name=TB-0102\nhw_project=12\nyear=2024\nmonth=3\n"
                         "serial_no=77\nhw_major=2\nhw_minor=1\n");
        setServicePorts(80, 443, 161);
        // A neutral start: no users, no communities, no sinks.
        o.set("snmpv3", "off");
        o.set("snmpv1", "off");
        o.set("ipv6", "off");
        o.set("trapto_", "0.0.0.0", 1);
        o.set("trapto_", "0.0.0.0", 2);
    }

    TempBoxRoot root;
    ParamOverride o;
};

// The SNMPv3 user lines as the library reads them: name unquoted (unless it
// needs quotes) on createUser, in double quotes on the access line; secrets
// in single quotes with the quote escaped; the level from what is given.
TEST_F(SnmpdConfTest, UserLinesByRightsHashAndCipher)
{
    struct Case {
        const char* rights;
        const char* password;
        const char* hash;
        const char* cipher;
        const char* passphrase;
        std::vector<std::string> expected;  // empty: the user writes nothing
    };
    const Case cases[] = {
        {"readwrite", "secret12", "sha", "---", "", {"createUser Admin SHA 'secret12'", "rwuser \"Admin\" auth"}},
        {"readwrite", "secret12", "md5", "aes", "phrase123",
         {"createUser Admin MD5 'secret12' AES 'phrase123' ", "rwuser \"Admin\" priv"}},
        {"readonly", "secret12", "md5", "des", "phrase123",
         {"createUser Admin MD5 'secret12' DES 'phrase123' ", "rouser \"Admin\" priv"}},
        // A cipher without a pass phrase keeps the user, with authentication.
        {"readwrite", "secret12", "sha", "aes", "", {"createUser Admin SHA 'secret12'", "rwuser \"Admin\" auth"}},
        {"readonly", "", "md5", "aes", "phrase123", {"createUser Admin", "rouser \"Admin\" noauth"}},
        {"readwrite", "it's\\ok12", "md5", "---", "", {"createUser Admin MD5 'it\\'s\\\\ok12'", "rwuser \"Admin\" auth"}},
        {"---", "secret12", "md5", "---", "", {}},
    };
    o.set("snmpv3", "on");
    o.set("any_rights", "---");
    for (const Case& c : cases) {
        ParamOverride local;
        local.set("admin_name", "Admin");
        local.set("admin_rights", c.rights);
        SecretOverride password(params::admin_pwd(), c.password);
        local.set("admin_hash", c.hash);
        local.set("admin_cipher", c.cipher);
        SecretOverride passphrase(params::admin_passphrase(), c.passphrase);
        unsigned sinks;
        const std::vector<std::string> got = lines(confText(&sinks));
        std::vector<std::string> users;
        for (size_t i = 0; i < got.size(); ++i) {
            if (got[i].rfind("createUser", 0) == 0) {
                users.push_back(got[i]);
                if (i + 1 < got.size())
                    users.push_back(got[i + 1]);
            }
        }
        EXPECT_EQ(users, c.expected) << c.rights << " " << c.password << " " << c.cipher;
    }
}

TEST_F(SnmpdConfTest, AUserWithoutNameOrRightsLeavesTheOtherOne)
{
    o.set("snmpv3", "on");
    o.set("admin_name", "");
    o.set("any_name", "viewer");
    o.set("any_rights", "readonly");
    unsigned sinks;
    const std::string text = confText(&sinks);
    EXPECT_EQ(text.find("Admin"), std::string::npos);
    EXPECT_TRUE(hasLine(text, "createUser viewer")) << text;
    EXPECT_TRUE(hasLine(text, "rouser \"viewer\" noauth")) << text;

    o.set("snmpv3", "off");
    EXPECT_EQ(confText(&sinks).find("createUser"), std::string::npos);
}

TEST_F(SnmpdConfTest, CommunitiesFollowReadOnlyAndIpv6)
{
    struct Case {
        const char* ronly;
        const char* ipv6;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"on", "off", {"agentaddress udp:161", "rocommunity  public1"}},
        {"on", "on", {"agentaddress udp:161,udp6:161", "rocommunity  public1", "rocommunity6 public1"}},
        {"off", "on", {"agentaddress udp:161,udp6:161", "rwcommunity  public1", "rwcommunity6 public1"}},
    };
    o.set("snmpv1", "on");
    o.set("snmpv1_community", "public1");
    for (const Case& c : cases) {
        ParamOverride local;
        local.set("snmpv1_ronly", c.ronly);
        local.set("ipv6", c.ipv6);
        unsigned sinks;
        std::vector<std::string> got;
        for (const std::string& l : lines(confText(&sinks))) {
            if (l.find("community") != std::string::npos || l.rfind("agentaddress", 0) == 0)
                got.push_back(l);
        }
        EXPECT_EQ(got, c.expected) << c.ronly << c.ipv6;
    }
}

TEST_F(SnmpdConfTest, SystemGroupLines)
{
    o.set("sys_name", "");
    o.set("sys_contact", "");
    o.set("sys_descr", "rack 4");
    unsigned sinks;
    std::string text = confText(&sinks);
    EXPECT_TRUE(hasLine(text, "sysObjectID .1.3.6.1.4.1.32473.1.1")) << text;
    EXPECT_TRUE(hasLine(text, "sysName     TB-0102")) << text;
    EXPECT_TRUE(hasLine(text, "sysDescr    VEK Test Box 12; SN 01220240300077, HW 2.1, FW 0, SW 0.0.0")) << text;
    EXPECT_TRUE(hasLine(text, "sysLocation rack 4")) << text;
    EXPECT_EQ(text.find("sysContact"), std::string::npos);

    o.set("sys_name", "box-a");
    o.set("sys_contact", "ops desk");
    text = confText(&sinks);
    EXPECT_TRUE(hasLine(text, "sysName     box-a")) << text;
    EXPECT_TRUE(hasLine(text, "sysContact  ops desk")) << text;
}

// The counters say which sinks the last written file has; the caller's flag
// only ever goes to true.
TEST_F(SnmpdConfTest, TrapSinksCountersAndFlag)
{
    o.set("trapcommu_", "traps", 2);
    o.set("trapto_", "198.18.0.9", 2);
    const std::string path = root.dir() + "/snmpd.conf";
    bool flag = false;
    ASSERT_EQ(writeSnmpdConf(path.c_str(), &flag), 1);
    EXPECT_TRUE(flag);
    EXPECT_EQ(trapSinkTrapCount(1), -1);
    EXPECT_EQ(trapSinkTrapCount(2), 0);
    countTrapsSent(3);
    EXPECT_EQ(trapSinkTrapCount(1), -1);
    EXPECT_EQ(trapSinkTrapCount(2), 3);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_TRUE(hasLine(text.str(), "trapsink 198.18.0.9 traps")) << text.str();
    EXPECT_EQ(text.str().find("trapsink 0.0.0.0"), std::string::npos);

    // A community without an address, and the address 0.0.0.0: no sink.
    o.set("trapcommu_", "traps", 1);
    o.set("trapto_", "0.0.0.0", 2);
    ASSERT_EQ(writeSnmpdConf(path.c_str(), &flag), 1);
    EXPECT_TRUE(flag);
    EXPECT_EQ(trapSinkTrapCount(1), -1);
    EXPECT_EQ(trapSinkTrapCount(2), -1);
    bool fresh = false;
    ASSERT_EQ(writeSnmpdConf(path.c_str(), &fresh), 1);
    EXPECT_FALSE(fresh);
}

// The file holds passwords in clear: owner-only from its creation on, also
// over an older file with a wider mode and under an open umask.
TEST_F(SnmpdConfTest, FileIsOwnerOnlyAndAnUnwritablePathChangesNothing)
{
    const std::string path = root.dir() + "/snmpd.conf";
    root.writeFile("/snmpd.conf", "old\n");
    chmod(path.c_str(), 0644);
    const mode_t old = umask(0);
    bool flag = false;
    const int written = writeSnmpdConf(path.c_str(), &flag);
    umask(old);
    ASSERT_EQ(written, 1);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    o.set("trapcommu_", "traps", 1);
    o.set("trapto_", "198.18.0.9", 1);
    EXPECT_EQ(writeSnmpdConf((root.dir() + "/no/such/dir/snmpd.conf").c_str(), &flag), 0);
    EXPECT_FALSE(flag);
    EXPECT_EQ(trapSinkTrapCount(1), -1);
}

} // namespace
