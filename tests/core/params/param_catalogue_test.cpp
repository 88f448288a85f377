#include "core/params/param.h"
#include "core/params/param_handles.h"
#include "core/params/param_lists.h"
#include "core/params/param_store.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <sys/wait.h>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<Param*> catalogue()
{
    int count = 0;
    Param** items = ParamStore::items(&count);
    return std::vector<Param*>(items, items + count);
}

// The member number of a family name: the digits after the prefix, or -1
// when the name is not the prefix followed by digits only.
int memberNumber(const char* name, const std::string& prefix)
{
    if (strncmp(name, prefix.c_str(), prefix.size()) != 0)
        return -1;
    const char* rest = name + prefix.size();
    if (!*rest || *rest == '0')
        return -1;
    for (const char* p = rest; *p; ++p) {
        if (!isdigit(static_cast<unsigned char>(*p)))
            return -1;
    }
    return atoi(rest);
}

TEST(ParamCatalogue, HoldsAll785InStrictStrcmpOrder)
{
    std::vector<Param*> all = catalogue();
    ASSERT_EQ(all.size(), 785u);
    EXPECT_EQ(paramTableCount, 785);
    for (size_t i = 0; i < all.size(); ++i) {
        ASSERT_NE(all[i], nullptr) << i;
        if (i > 0) {
            EXPECT_LT(strcmp(all[i - 1]->name(), all[i]->name()), 0)
                << all[i - 1]->name() << " / " << all[i]->name();
        }
    }
    // Byte order, not case-folded: upper case sorts before '_' and '_'
    // before lower case.
    auto slotOf = [&](const char* name) {
        for (size_t i = 0; i < all.size(); ++i)
            if (strcmp(all[i]->name(), name) == 0)
                return static_cast<int>(i);
        return -1;
    };
    EXPECT_LT(slotOf("zytPortNumber"), slotOf("zyt_2vlan_1"));
    EXPECT_LT(slotOf("sessKeyUList"), slotOf("sessKeys"));
    EXPECT_LT(slotOf("ip4vlan_on_9"), slotOf("ip_addr"));
    EXPECT_LT(slotOf("zyt_sec_19"), slotOf("zyt_sec_2"));
}

TEST(ParamCatalogue, ClassCounts)
{
    std::map<ParamClass, int> counts;
    for (Param* p : catalogue())
        ++counts[p->paramClass()];
    EXPECT_EQ(counts[ParamClass::Int], 128);
    EXPECT_EQ(counts[ParamClass::Bool], 178);
    EXPECT_EQ(counts[ParamClass::String], 347);
    EXPECT_EQ(counts[ParamClass::List], 53);
    EXPECT_EQ(counts[ParamClass::Mac], 8);
    EXPECT_EQ(counts[ParamClass::Ip], 69);
    EXPECT_EQ(counts[ParamClass::Ip6], 2);
}

TEST(ParamCatalogue, FamiliesExpandToTheirMemberCounts)
{
    struct Family {
        const char* prefix;
        int members;
        uint32_t requiredFlags;  // family kind: per-port or per-device
    };
    const Family families[] = {
        {"zyt_2vlan_", 20, kParamPerPort}, {"zyt_accctrl_", 20, kParamPerPort},
        {"zyt_comp_", 20, kParamPerPort}, {"zyt_keyval_", 20, kParamPerPort},
        {"zyt_poff_", 20, kParamPerPort}, {"zyt_poffdura_", 20, kParamPerPort},
        {"zyt_prereset_", 20, kParamPerPort}, {"zyt_sec_", 20, kParamPerPort},
        {"zyt_tag_", 20, kParamPerPort}, {"zyt_vendprodIDs_", 20, kParamPerPort},
        {"ip4vlan_on_", 20, kParamPerPort}, {"ip4vlan_id_", 20, kParamPerPort},
        {"ip4vlan_addr_", 20, kParamPerPort}, {"ip4vlan_mask_", 20, kParamPerPort},
        {"ip4vlan_gate_", 20, kParamPerPort},
        {"usb_manu_", 40, kParamPerDevice}, {"usb_prod_", 40, kParamPerDevice},
        {"usb_sern_", 40, kParamPerDevice}, {"usb_owner_", 40, kParamPerDevice},
        {"usb_vendid_", 40, kParamPerDevice}, {"usb_prodid_", 40, kParamPerDevice},
        {"usb_slot_", 40, kParamPerDevice},
        {"hw_filter_", 8, 0}, {"hw_filter_on_", 8, 0}, {"ip_filter_", 8, 0},
        {"ip_filter_on_", 8, 0}, {"mailto_", 2, 0}, {"noti_act_", 2, 0}, {"noti_dev_", 2, 0},
        {"noti_pup_", 2, 0}, {"noti_stat_", 2, 0}, {"noti_lnk_", 2, 0}, {"noti_pwr_", 2, 0},
        {"noti_sdinout_", 2, 0}, {"noti_sdunusable_", 2, 0}, {"trapcommu_", 2, 0},
        {"trapto_", 2, 0}, {"wifi_wkey", 4, 0},
    };
    std::vector<Param*> all = catalogue();
    int familyMembers = 0;
    for (const Family& f : families) {
        std::set<int> numbers;
        std::set<ParamClass> classes;
        std::set<uint32_t> flags;
        for (Param* p : all) {
            int n = memberNumber(p->name(), f.prefix);
            if (n < 0)
                continue;
            numbers.insert(n);
            classes.insert(p->paramClass());
            flags.insert(p->flags() & ~kParamHidden);
        }
        ASSERT_EQ(static_cast<int>(numbers.size()), f.members) << f.prefix;
        EXPECT_EQ(*numbers.begin(), 1) << f.prefix;
        EXPECT_EQ(*numbers.rbegin(), f.members) << f.prefix;
        EXPECT_EQ(classes.size(), 1u) << f.prefix;
        ASSERT_EQ(flags.size(), 1u) << f.prefix;
        EXPECT_EQ(*flags.begin() & (kParamPerPort | kParamPerDevice), f.requiredFlags) << f.prefix;
        familyMembers += f.members;
    }
    EXPECT_EQ(familyMembers, 638);

    // No other parameter carries a family flag.
    int flagged = 0;
    for (Param* p : all)
        flagged += p->hasFlags(kParamPerPort | kParamPerDevice) ? 1 : 0;
    EXPECT_EQ(flagged, 15 * 20 + 7 * 40);
}

TEST(ParamCatalogue, EveryDefaultIsAValueOfItsOwnParameter)
{
    for (Param* p : catalogue()) {
        if (p->paramClass() == ParamClass::List) {
            auto* list = static_cast<P3List*>(p);
            EXPECT_TRUE(list->hasValue()) << p->name() << ": default not in its table";
            EXPECT_GT(list->rowCount(), 0) << p->name();
            continue;
        }
        // wifi_keyid starts outside its range on purpose: no key chosen yet.
        if (strcmp(p->name(), "wifi_keyid") == 0)
            continue;
        std::string text = p->text();
        if (p->hasFlags(kParamSecret)) {
            // A box after a factory reset has no secret set.
            EXPECT_EQ(text, "") << p->name();
            continue;
        }
        EXPECT_TRUE(p->isValid(text.c_str())) << p->name() << " = \"" << text << "\"";
    }
    EXPECT_EQ(params::wifi_keyid()->value(), 0);
    EXPECT_EQ(params::wifi_keyid()->set("0", -1), 0);
    EXPECT_EQ(params::wifi_keyid()->value(), 0);
}

TEST(ParamCatalogue, HandlesReachTheirOwnParameters)
{
    struct Case {
        Param* handle;
        const char* name;
        ParamClass cls;
    };
    const Case cases[] = {
        {params::admin_cipher(), "admin_cipher", ParamClass::List},
        {params::autoSync(), "autoSync", ParamClass::Bool},
        {params::sw_features(), "sw_features", ParamClass::Int},
        {params::zytPortNumber(), "zytPortNumber", ParamClass::Int},
        {params::ipv6_addr(), "ipv6_addr", ParamClass::Ip6},
        {params::ip_addr(), "ip_addr", ParamClass::Ip},
        {params::ntp_server(), "ntp_server", ParamClass::String},
        {params::ntp_tzone(), "ntp_tzone", ParamClass::List},
        {params::zyt_port(), "zyt_port", ParamClass::Int},
        {params::zyt_sslport(), "zyt_sslport", ParamClass::Int},
        {params::wifi_speed(), "wifi_speed", ParamClass::String},
    };
    for (const Case& c : cases) {
        ASSERT_NE(c.handle, nullptr) << c.name;
        EXPECT_STREQ(c.handle->name(), c.name);
        EXPECT_EQ(c.handle->paramClass(), c.cls) << c.name;
        EXPECT_EQ(ParamStore::findAny(c.name), c.handle) << c.name;
    }
}

// Family accessors reach member n of their own family, nothing outside its
// numbers, and no member the model hides.
TEST(ParamCatalogue, FamilyAccessorsReachTheirMembers)
{
    struct Case {
        Param* got;
        const char* name;  // null: no member
    };
    const Case cases[] = {
        {params::zyt_sec(1), "zyt_sec_1"},
        {params::zyt_sec(20), "zyt_sec_20"},
        {params::zyt_sec(0), nullptr},
        {params::zyt_sec(21), nullptr},
        {params::zyt_keyval(12), "zyt_keyval_12"},
        {params::usb_owner(40), "usb_owner_40"},
        {params::usb_owner(41), nullptr},
        {params::ip4vlan_id(3), "ip4vlan_id_3"},
        {params::wifi_wkey(4), "wifi_wkey4"},
        {params::wifi_wkey(-1), nullptr},
    };
    for (const Case& c : cases) {
        if (!c.name) {
            EXPECT_EQ(c.got, nullptr);
            continue;
        }
        ASSERT_NE(c.got, nullptr) << c.name;
        EXPECT_STREQ(c.got->name(), c.name);
        EXPECT_EQ(c.got, ParamStore::findAny(c.name)) << c.name;
    }
    EXPECT_EQ(params::zyt_sec(7)->paramClass(), ParamClass::Bool);
    EXPECT_EQ(params::ip4vlan_addr(7)->paramClass(), ParamClass::Ip);

    Param* hidden = ParamStore::findAny("zyt_tag_5");
    ASSERT_NE(hidden, nullptr);
    const bool wasHidden = hidden->isHidden();
    hidden->addFlags(kParamHidden);
    EXPECT_EQ(params::zyt_tag(5), nullptr) << "hidden on this model";
    if (!wasHidden)
        hidden->removeFlags(kParamHidden);
}

TEST(ParamCatalogue, DefaultsAfterConstruction)
{
    EXPECT_EQ(params::zytPortNumber()->value(), 5);
    EXPECT_EQ(params::zytPortNumber()->range(), nullptr);
    EXPECT_EQ(params::sw_features()->value(), 0);
    EXPECT_EQ(params::debugflags()->value(), 0x804005);
    EXPECT_EQ(params::ntp_server()->text(), "pool.ntp.org");
    EXPECT_EQ(params::ntp_tzone()->index(), 88);
    EXPECT_STREQ(params::ntp_tzone()->currentToken(), "CET/CEST (EU)");
    EXPECT_EQ(params::ipv6_gate()->text(), "::");
    EXPECT_EQ(params::ip4vlan_mgmt_id()->range()->max, 4094);
    // Parameters with the same range share one range record.
    EXPECT_EQ(params::zyt_port()->range(), params::syslog_upo()->range());
    EXPECT_EQ(params::wifi_name()->range(), params::admin_name()->range());
}

// Lists that share a table are either all translated or none is, and a list
// that exchanges tokens over SNMP is the time-zone list.
TEST(ParamCatalogue, ListsSharingATableAgreeOnTranslation)
{
    std::map<const P3ListRow*, std::set<bool>> translated;
    for (Param* p : catalogue()) {
        if (p->paramClass() != ParamClass::List)
            continue;
        translated[static_cast<P3List*>(p)->rows()].insert(p->hasFlags(kParamTranslated));
        if (p->hasFlags(kParamSnmpToken)) {
            EXPECT_STREQ(p->name(), "ntp_tzone");
        }
    }
    EXPECT_EQ(translated.size(), 23u);
    for (const auto& [rows, values] : translated)
        EXPECT_EQ(values.size(), 1u) << rows[0].token;
    EXPECT_FALSE(params::language()->hasFlags(kParamTranslated));
    EXPECT_TRUE(params::protection_level()->hasFlags(kParamTranslated));
}

class TimeZoneListTest : public ::testing::Test {
protected:
    // A list of its own over the same rows, so the catalogue keeps its values.
    P3List zone{"tz_under_test", "CET/CEST (EU)", timeZoneRowCount, timeZoneRows, 0x60000000};

    std::string column(uint32_t selector)
    {
        char buf[64] = {};
        zone.toTextSel(selector, buf, sizeof buf);
        return buf;
    }
    std::string extraOf(const char* token)
    {
        int32_t row = zone.indexOfToken(token);
        EXPECT_GE(row, 0) << token;
        return row < 0 ? "" : timeZoneRows[row].extra;
    }
};

TEST_F(TimeZoneListTest, RowsTokensAndExtras)
{
    EXPECT_EQ(timeZoneRowCount, 225);
    EXPECT_EQ(zone.index(), 88);

    int groups = 0;
    for (int i = 0; i < timeZoneRowCount; ++i) {
        const P3ListRow& r = timeZoneRows[i];
        if (strcmp(r.token, "optgroup") == 0) {
            ++groups;
            EXPECT_EQ(strncmp(r.label, "UTC", 3), 0) << i;
            EXPECT_STREQ(r.extra, "") << i;
        } else {
            EXPECT_STREQ(r.token, r.label) << i;
            EXPECT_EQ(strncmp(r.extra, "UTC", 3), 0) << i;
        }
    }
    EXPECT_EQ(groups, 37);

    // Duplicate tokens select their first row.
    ASSERT_NE(zone.set("AST", -1), 0);
    EXPECT_STREQ(timeZoneRows[zone.index()].extra, "UTC-4:00");
    ASSERT_NE(zone.set("optgroup", -1), 0);
    EXPECT_EQ(zone.index(), 0);
    EXPECT_STREQ(timeZoneRows[0].label, "UTC-11:00");
    EXPECT_EQ(column(0x80020000), "");

    EXPECT_EQ(extraOf("PST/PDT (Canada)"), "UTC-8:00 Canada");
    EXPECT_EQ(extraOf("PST"), "UTC-8:00");
    EXPECT_EQ(extraOf("CST (South Australia)"), "UTC+9:30 South Australia");
    EXPECT_EQ(extraOf("LHST (Lord Howe Island)"), "UTC+10:30 Lord Howe Island");
    EXPECT_EQ(extraOf("LINT"), "UTC+14:00");
    EXPECT_STREQ(timeZoneRows[224].token, "LINT");
}

TEST(ParamListTables, RowsAsTheBoxStoresThem)
{
    EXPECT_EQ(languageRowCount, 10);
    EXPECT_STREQ(languageRows[2].label, "Fran\xc3\xa7" "ais");
    EXPECT_STREQ(languageRows[6].label, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e");
    EXPECT_STREQ(languageRows[9].extra, "kr_KR.UTF-8");
    EXPECT_STREQ(wlanSecurityRows[1].label, "WEP  (Open System)");
    EXPECT_STREQ(usbPortEvent2Rows[0].label, "--");
    EXPECT_STREQ(usbPortEventRows[0].label, "---");
    EXPECT_STREQ(protectionTestRows[0].token, "off");
    EXPECT_STREQ(protectionTestRows[0].label, "On");
    EXPECT_EQ(addressSourceRowCount, 9);
    EXPECT_STREQ(addressSourceRows[5].token, "zconf");
}

// The generator stops the build on data that would make a wrong catalogue.
class CatalogueGeneratorTest : public ::testing::Test {
protected:
    static std::string sourceDir()
    {
        const char* source = getenv("WEV_TEST_SOURCE");
        if (source && *source)
            return source;
        std::string here = __FILE__;
        return here.substr(0, here.rfind("/tests/"));
    }

    static std::string readAll(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Runs the generator over the repository's data with one text replaced;
    // returns its exit status and its messages.
    int generate(const std::string& file, const std::string& from, const std::string& to,
                 std::string* messages)
    {
        std::string params = readAll(sourceDir() + "/data/params.tsv");
        std::string lists = readAll(sourceDir() + "/data/param_lists.tsv");
        std::string& target = file == "params" ? params : lists;
        size_t at = target.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos)
            target.replace(at, from.size(), to);
        root.writeFile("/params.tsv", params);
        root.writeFile("/lists.tsv", lists);
        std::string command = "/usr/bin/python3 " + sourceDir() + "/tools/gen_params.py " + root.dir() +
                              "/params.tsv " + root.dir() + "/lists.tsv " + root.dir() + "/out 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            return -1;
        char buf[512];
        while (fgets(buf, sizeof buf, pipe))
            *messages += buf;
        int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    TempBoxRoot root;
};

TEST_F(CatalogueGeneratorTest, RefusesInconsistentData)
{
    struct Case {
        const char* file;
        const char* from;
        const char* to;
        const char* message;
    };
    const Case cases[] = {
        {"params", "\nlife\t", "\ndns\t", "duplicate name 'dns'"},
        {"params", "\nlife\t-\tInt\t0\t-\t0x10000001\t-\n", "\n", "has 784 parameters"},
        {"params", "zyt_sec_{n}\t1..20", "zyt_sec_{n}\t1..19", "per-port family has members 1..20"},
        {"params", "usb_slot_{n}\t1..40", "usb_slot_{n}\t1..20", "per-device family has members 1..40"},
        {"params", "hw_filter_{n}\t1..8", "hw_filter_{n}\t1..7", "has 784 parameters"},
        {"params", "ip_gate\t-\tIp\t0.0.0.0", "ip_gate\t-\tIp6\t::", "has 68 Ip parameters"},
        {"params", "\"CET/CEST (EU)\"", "\"CET/CEST (Eu)\"", "is no token of table 'timeZone'"},
        {"params", "\tP3List\t\"fix\"\t-\t0x10400000\trelayMode", "\tP3List\t\"fix\"\t-\t0x10400000\trelay",
         "unknown list table 'relay'"},
        {"params", "\"pool.ntp.org\"", "pool.ntp.org", "double quotes"},
        {"params", "zyt_tag_{n}\t1..20\tString", "zyt_tag_{n}\t1..20\tInt", "not a number"},
        {"lists", "wlanMode\tadhoc\tAd-Hoc\t\n", "", "default 'adhoc' is no token"},
        // The MIB objects: one identifier each, none inside another, the
        // counts of objects and of writable ones, one identifier per member.
        {"params", "\t2.4.2\trw", "\t2.4.1\trw", "has the identifier of"},
        {"params", "\t2.4.2\trw", "\t2.4.1.5\trw", "lies inside the object"},
        {"params", "\t2.4.2\trw", "\t2.4.2\tro", "422"},
        {"params", "\t2.4.2\trw", "\t3.4.2\trw", "begins with 2"},
        {"params", "\t2.11.6,2.11.15,2.11.16,2.11.17\t", "\t2.11.6,2.11.15\t", "2 identifiers for 4 members"},
        {"params", "\t2.4.2\trw", "\t2.4.2\twrite", "access must be ro or rw"},
    };
    for (const Case& c : cases) {
        std::string messages;
        EXPECT_EQ(generate(c.file, c.from, c.to, &messages), 1) << c.message;
        EXPECT_NE(messages.find(c.message), std::string::npos) << c.message << " / " << messages;
    }

    std::string messages;
    EXPECT_EQ(generate("params", "", "", &messages), 0) << messages;
}

} // namespace
