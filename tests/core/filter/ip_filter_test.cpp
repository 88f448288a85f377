#include "core/filter/ip_filter.h"

#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "support/private_netns.h"
#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The filter's rules as iptables itself lists them, one per line.
std::string inputRules()
{
    std::string listing = netns::out("iptables-legacy -S INPUT");
    std::string rules;
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        std::string line = listing.substr(start, end - start);
        if (line.rfind("-A INPUT", 0) == 0)
            rules += line + "\n";
        start = end == std::string::npos ? listing.size() : end + 1;
    }
    return rules;
}

struct FilterSettings {
    const char* protection = "on";
    const char* test = "off";
    const char* level = "protec_zyt";
    const char* address = "";  // rule 1, on when not empty
    const char* mac = "";      // hardware rule 1, on when not empty
};

// Each test runs in a network namespace of its own, with its own packet
// filter, and a box root for the parameter file the test cycle saves.
class IpFilter : public PrivateNetnsTest {
protected:
    void SetUp() override
    {
        PrivateNetnsTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(root.ok());
        std::filesystem::create_directories(root.dir() + "/etc");
        params::zyt_port()->set("9200", -1);
        params::zyt_sslport()->set("9443", -1);
    }
    void TearDown() override
    {
        use(FilterSettings{"off", "on", "protec_zyt", "", ""});
        resetModified();
    }

    static void use(const FilterSettings& s)
    {
        params::protection()->set(s.protection, -1);
        params::protection_test()->set(s.test, -1);
        params::protection_level()->set(s.level, -1);
        params::ip_filter(1)->set(s.address, -1);
        params::ip_filter_on(1)->set(*s.address ? "on" : "off", -1);
        params::hw_filter_on(1)->set(*s.mac ? "on" : "off", -1);
        if (*s.mac)
            params::hw_filter(1)->set(s.mac, -1);
        for (int n = 2; n <= 8; ++n) {
            params::ip_filter_on(n)->set("off", -1);
            params::hw_filter_on(n)->set("off", -1);
        }
        resetModified();
    }

    std::string savedFile()
    {
        std::ifstream in(root.dir() + "/etc/params.dat");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    TempBoxRoot root;
};

TEST_F(IpFilter, TheRulesAreThoseTheSettingsAskFor)
{
    struct Case {
        const char* what;
        FilterSettings settings;
        int result;
        const char* rules;
    } cases[] = {
        {"an address range and the USB ports", {"on", "off", "protec_zyt", "192.168.1.*", ""}, 1,
         "-A INPUT -s 192.168.1.0/24 -j ACCEPT\n"
         "-A INPUT -p tcp -m multiport --dports 9200,9443 -j DROP\n"},
        {"one address and all TCP", {"on", "off", "protec_tcp", "10.0.0.5", ""}, 1,
         "-A INPUT -s 10.0.0.5/32 -j ACCEPT\n"
         "-A INPUT -p tcp -j DROP\n"},
        {"a hardware address and everything", {"on", "off", "protec_all", "", "00:c0:eb:01:02:03"}, 1,
         "-A INPUT -m mac --mac-source 00:c0:eb:01:02:03 -j ACCEPT\n"
         "-A INPUT -j DROP\n"},
        {"addresses before hardware addresses", {"on", "off", "protec_all", "10.1.*.*", "00:c0:eb:01:02:03"}, 1,
         "-A INPUT -s 10.1.0.0/16 -j ACCEPT\n"
         "-A INPUT -m mac --mac-source 00:c0:eb:01:02:03 -j ACCEPT\n"
         "-A INPUT -j DROP\n"},
        {"no enabled rule drops nothing", {"on", "off", "protec_all", "", ""}, 0, ""},
        {"an incomplete address is no rule", {"on", "off", "protec_all", "10.1.2", ""}, 0, ""},
        {"the filter off", {"off", "off", "protec_all", "10.0.0.5", ""}, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        use(c.settings);
        EXPECT_EQ(ipFilterApply(), c.result);
        EXPECT_EQ(inputRules(), c.rules);
    }
}

TEST_F(IpFilter, TheTestCycleArmsANewFilterAndSwitchesItOffAtTheNextStart)
{
    struct Case {
        FilterSettings before;
        bool installed;
        const char* testAfter;
        const char* protectionAfter;
    } cases[] = {
        {{"off", "test", "protec_all", "10.0.0.5", ""}, false, "on", "off"},
        {{"off", "on", "protec_all", "10.0.0.5", ""}, false, "on", "off"},
        {{"off", "off", "protec_all", "10.0.0.5", ""}, false, "off", "off"},
        {{"on", "on", "protec_all", "10.0.0.5", ""}, true, "test", "on"},
        {{"on", "test", "protec_all", "10.0.0.5", ""}, false, "on", "off"},
        {{"on", "off", "protec_all", "10.0.0.5", ""}, true, "off", "on"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.before.protection) + "/" + c.before.test);
        use(c.before);
        std::filesystem::remove(root.dir() + "/etc/params.dat");
        EXPECT_EQ(ipFilterApply(), c.installed ? 1 : 0);
        EXPECT_EQ(inputRules().empty(), !c.installed);
        char text[16];
        params::protection_test()->toText(text, sizeof text);
        EXPECT_STREQ(text, c.testAfter);
        EXPECT_EQ(params::protection()->isOn(), std::string(c.protectionAfter) == "on");
        EXPECT_FALSE(params::protection_test()->isModified());
        EXPECT_FALSE(params::protection()->isModified());
        // A changed cycle is on disk at once: a crash cannot re-arm it.
        bool changed = std::string(c.before.test) != c.testAfter;
        if (changed) {
            EXPECT_NE(savedFile().find(std::string("protection_test = ") + c.testAfter), std::string::npos)
                << savedFile();
        }
    }
}

TEST_F(IpFilter, RulesLeftByAnEarlierRunAreReplacedNeverAddedTo)
{
    netns::must("iptables-legacy -A INPUT -s 10.9.9.9 -j ACCEPT");
    netns::must("iptables-legacy -A INPUT -j DROP");
    use({"off", "off", "protec_all", "10.0.0.5", ""});
    EXPECT_EQ(ipFilterApply(), 0);
    EXPECT_EQ(inputRules(), "") << "a filter switched off leaves no stale drop behind";

    use({"on", "off", "protec_all", "10.0.0.5", ""});
    netns::must("iptables-legacy -A INPUT -s 10.9.9.9 -j ACCEPT");
    EXPECT_EQ(ipFilterApply(), 1);
    EXPECT_EQ(ipFilterApply(), 1);
    EXPECT_EQ(inputRules(), "-A INPUT -s 10.0.0.5/32 -j ACCEPT\n-A INPUT -j DROP\n");

    EXPECT_EQ(ipFilterFlush(), 1);
    EXPECT_EQ(inputRules(), "");
}

TEST_F(IpFilter, AChangeOfTheSettingsReappliesTheRules)
{
    use({"on", "off", "protec_all", "10.0.0.5", ""});
    registerIpFilterEffects();
    EXPECT_EQ(ipFilterApply(), 1);
    params::ip_filter(1)->set("10.0.0.6", -1);
    resetModified();
    EXPECT_EQ(inputRules(), "-A INPUT -s 10.0.0.6/32 -j ACCEPT\n-A INPUT -j DROP\n");
    params::protection()->set("off", -1);
    resetModified();
    EXPECT_EQ(inputRules(), "");
}

} // namespace
