#include <gtest/gtest.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <set>
#include <string>
#include <vector>

#include "core/params/param_store.h"
#include "snmp/enterprise_mib.h"
#include "snmp/param_mib_rows.h"

namespace {

const Param* paramAt(const std::vector<uint32_t>& oid)
{
    const ParamMibRow* row = findParamMibRow(oid.data(), oid.size());
    return row ? ParamStore::catalogue()[row->slot] : nullptr;
}

TEST(EnterpriseMib, ObjectsFoundByIdentifier)
{
    struct Case {
        std::vector<uint32_t> oid;
        const char* name;  // null: no parameter object there
    };
    const Case cases[] = {
        {{2, 4, 1}, "ip_addr"},
        {{2, 4, 1, 0}, nullptr},
        {{2, 4}, nullptr},
        {{2, 50, 1}, "zytPortNumber"},
        {{2, 43, 2, 1, 2, 3}, "ip4vlan_on_3"},
        {{2, 50, 2, 1, 21, 40}, "usb_manu_40"},
        {{2, 50, 2, 1, 7, 1}, nullptr},
        {{2, 11, 15}, "wifi_wkey2"},
        {{2, 11, 6}, "wifi_wkey1"},
        {{2, 6, 21, 1, 10, 1}, "bonjour_name"},
        {{2, 50, 49}, "relay_stat_udea"},
    };
    for (const Case& c : cases) {
        const Param* p = paramAt(c.oid);
        if (!c.name) {
            EXPECT_EQ(p, nullptr) << p->name();
            continue;
        }
        ASSERT_NE(p, nullptr) << c.name;
        EXPECT_STREQ(p->name(), c.name);
    }
}

// The look-up is a binary search: the rows must be in identifier order, one
// object per parameter.
TEST(EnterpriseMib, RowsAreSortedAndUnique)
{
    std::set<int> slots;
    for (int i = 0; i < paramMibRowCount; ++i) {
        const ParamMibRow& r = paramMibRows[i];
        EXPECT_TRUE(slots.insert(r.slot).second) << i;
        if (i > 0) {
            const ParamMibRow& prev = paramMibRows[i - 1];
            EXPECT_TRUE(std::lexicographical_compare(prev.oid, prev.oid + prev.length, r.oid, r.oid + r.length)) << i;
        }
    }
}

TEST(EnterpriseMib, ReadOnlyObjects)
{
    for (int i = 0; i < paramMibRowCount; ++i) {
        const ParamMibRow& r = paramMibRows[i];
        const std::string name = ParamStore::catalogue()[r.slot]->name();
        const bool deviceColumn = r.length == 6 && r.oid[1] == 50 && r.oid[4] >= 21;
        if (deviceColumn || name == "sw_features" || name == "button_cnt" || name == "ip_setby") {
            EXPECT_FALSE(r.writable) << name;
        }
        if (name == "ip_addr" || name == "sys_name" || name == "zyt_sec_1") {
            EXPECT_TRUE(r.writable) << name;
        }
    }
}

// The index and count cells of the tables: each column counts 1 to its
// rows, none lies on a parameter object, and all objects make 774.
TEST(EnterpriseMib, IndexCells)
{
    MibIndexCell cells[80];
    const size_t n = mibIndexCells(cells, 80);
    EXPECT_EQ(size_t(paramMibRowCount) + n, 774u);
    auto valueAt = [&](const std::vector<uint32_t>& oid) {
        for (size_t i = 0; i < n; ++i) {
            if (cells[i].length == oid.size() && std::equal(oid.begin(), oid.end(), cells[i].oid))
                return int(cells[i].value);
        }
        return -1;
    };
    EXPECT_EQ(valueAt({2, 40, 11, 1, 1, 5}), 5);
    EXPECT_EQ(valueAt({2, 40, 10, 1}), 8);
    EXPECT_EQ(valueAt({2, 50, 2, 1, 1, 20}), 20);
    EXPECT_EQ(valueAt({2, 50, 2, 1, 1, 21}), -1);
    EXPECT_EQ(valueAt({2, 50, 1, 1}), 20);
    EXPECT_EQ(valueAt({2, 43, 1, 1}), 20);
    for (size_t i = 0; i < n; ++i)
        EXPECT_EQ(findParamMibRow(cells[i].oid, cells[i].length), nullptr) << i;
}

} // namespace
