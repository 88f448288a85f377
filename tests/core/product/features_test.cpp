#include "core/product/model_features.h"
#include "core/params/param.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/product_info.h"

#include "support/product_record.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Each test starts from the catalogue with nothing hidden and runs the model
// set-up for the product record it writes.
class ModelFeaturesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.ok());
        int count = 0;
        Param** items = ParamStore::items(&count);
        for (int i = 0; i < count; ++i)
            items[i]->removeFlags(kParamHidden);
    }
    void TearDown() override { reloadProductInfoForTest(); }

    void runModel(int productId, const char* compatId, int portsPhy, const char* deviceTypes)
    {
        useProduct(root, "product_id=" + std::to_string(productId) + "\ncompat_id=" + compatId +
                         "\nusb_ports_phy=" + std::to_string(portsPhy) + "\ndevice_types=" +
                         deviceTypes + "\n");
        setRuntimeEnv();
    }

    static bool hidden(const char* name)
    {
        Param* p = ParamStore::findAny(name);
        EXPECT_NE(p, nullptr) << name;
        return p && p->isHidden();
    }

    static uint32_t features() { return static_cast<uint32_t>(params::sw_features()->value()); }

    TempBoxRoot root;
};

TEST_F(ModelFeaturesTest, MaskComesFromTheModelAndTheWlanHardware)
{
    struct Case {
        int productId;
        const char* compatId;
        uint32_t mask;
    };
    const Case cases[] = {
        {353, "0", 0x3eb000},
        {353, "2", 0x3ef000},        // a WLAN bit adds 0x4000
        {353, "4000000", 0x3ef000},
        {353, "80", 0x3eb000},       // the IPv6 bit is no WLAN bit
        {365, "0", 0x6ab000},
        {336, "0", 0x101000},
        {328, "0", 0x1000},
        {330, "800", 0x4000},
        {0, "0", 0},                 // no product record
        {368, "0", 0},               // outside the model table
        {325, "400000", 0x4000},
    };
    for (const Case& c : cases) {
        SetUp();
        runModel(c.productId, c.compatId, 2, "UU");
        EXPECT_EQ(features(), c.mask) << c.productId << " compat " << c.compatId;
    }
}

TEST_F(ModelFeaturesTest, PortCountFixesOfThreeModels)
{
    struct Case {
        int productId;
        int portsPhy;
        uint32_t expected;
    };
    const Case cases[] = {
        {345, 4, 1}, {345, 1, 1}, {345, 0, 0},
        {332, 2, 8}, {332, 8, 8}, {332, 10, 10},
        {326, 8, 8}, {326, 1, 4},
        {353, 3, 3},
    };
    for (const Case& c : cases) {
        SetUp();
        runModel(c.productId, "0", c.portsPhy, "U");
        EXPECT_EQ(productInfo().usb_ports_phy, c.expected) << c.productId << " with " << c.portsPhy;
    }
}

TEST_F(ModelFeaturesTest, PerPortFamiliesEndAtThePhysicalPortCount)
{
    runModel(345, "0", 4, "UUUU");
    EXPECT_FALSE(hidden("zyt_sec_1"));
    for (int n = 2; n <= 20; ++n)
        EXPECT_TRUE(hidden(("zyt_sec_" + std::to_string(n)).c_str())) << n;
    // 345 has compression: only the one physical port's switch shows.
    EXPECT_FALSE(hidden("zyt_comp_1"));
    EXPECT_TRUE(hidden("zyt_comp_2"));
    // The shared port count is the number of 'U' ports, not the physical one.
    EXPECT_EQ(params::zytPortNumber()->value(), 4);
    EXPECT_EQ(ParamStore::find("zyt_sec_", 8, 2), nullptr);
    EXPECT_NE(ParamStore::find("zyt_sec_", 8, 1), nullptr);
}

TEST_F(ModelFeaturesTest, ParametersNeedAllTheirFeatureBits)
{
    // 336: e-mail and beeper, no SD card, display or events.
    runModel(336, "0", 2, "UU");
    EXPECT_FALSE(hidden("beepLnk"));
    EXPECT_TRUE(hidden("beepSDc"));     // beeper and SD card
    EXPECT_TRUE(hidden("autoSync"));
    EXPECT_TRUE(hidden("disp_lnk"));    // display and events
    EXPECT_TRUE(hidden("noti_lnk_1"));  // e-mail and events
    EXPECT_FALSE(hidden("noti_act_1"));
    EXPECT_FALSE(hidden("smtp_srv"));
    EXPECT_TRUE(hidden("relay_ctrl"));
    EXPECT_TRUE(hidden("wifi_name"));
    EXPECT_TRUE(hidden("zyt_poff_1"));
    EXPECT_TRUE(hidden("zyt_keyval_1"));
    EXPECT_TRUE(hidden("ip4vlan_on_1"));
    // Not feature-bound: the management VLAN and the port flags below the count.
    EXPECT_FALSE(hidden("ip4vlan_mgmt_id"));
    EXPECT_FALSE(hidden("zyt_sec_2"));
    EXPECT_TRUE(hidden("zyt_sec_3"));

    SetUp();
    runModel(353, "0", 2, "UU");
    EXPECT_FALSE(hidden("beepSDc"));
    EXPECT_FALSE(hidden("disp_lnk"));
    EXPECT_FALSE(hidden("zyt_poff_2"));
    EXPECT_TRUE(hidden("zyt_comp_1"));  // no compression on 353, whatever the ports
    EXPECT_TRUE(hidden("relay_on"));
}

TEST_F(ModelFeaturesTest, ModelsWithoutTheWlanSwitchHideOnlyIt)
{
    runModel(330, "2", 1, "U");
    EXPECT_EQ(features(), 0x4000u);
    EXPECT_TRUE(hidden("wifi"));
    EXPECT_FALSE(hidden("wifi_name"));
    EXPECT_FALSE(hidden("wifi_mode"));
    EXPECT_FALSE(hidden("btn_wps_pbc"));

    SetUp();
    runModel(331, "2", 1, "U");
    EXPECT_FALSE(hidden("wifi"));
}

TEST_F(ModelFeaturesTest, SyslogParametersAreAlwaysHidden)
{
    runModel(365, "4405a02", 20, "UUUUUUUUUUUUUUUUUUUU");
    EXPECT_TRUE(hidden("syslog"));
    EXPECT_TRUE(hidden("syslog_ipa"));
    EXPECT_TRUE(hidden("syslog_upo"));
    EXPECT_FALSE(hidden("zyt_sec_20"));
    EXPECT_FALSE(hidden("relay_stat_udea"));
}

TEST_F(ModelFeaturesTest, MaxIndexOfAFamilyFollowsTheModel)
{
    runModel(353, "0", 4, "UUUU");
    EXPECT_EQ(ParamStore::maxIndex("zyt_keyval_", 11), 4);
    EXPECT_EQ(ParamStore::maxIndex("ip_filter_", 10), 8);

    SetUp();
    runModel(328, "0", 4, "UUUU");  // no access control
    EXPECT_EQ(ParamStore::maxIndex("zyt_keyval_", 11), 0);
    EXPECT_EQ(ParamStore::maxIndex("zyt_sec_", 8), 4);
    EXPECT_EQ(ParamStore::maxIndex("ip_filter_", 10), 8);
}

TEST_F(ModelFeaturesTest, SoftwareFeaturesByName)
{
    runModel(328, "0", 2, "UU");  // e-mail only
    struct Case {
        const char* name;
        bool expected;
    };
    const Case withEmail[] = {
        {"EMAIL", true}, {"email", true}, {"E", true}, {"", true},
        {"SYSLOG", false}, {"NTP", true}, {"ntp", true}, {"TRAPS", true},
        {"WLAN", false}, {"W", true},  // "W" fails at WLAN but matches WPASUP earlier
        {"POSWITCH", false}, {"UCOMP", false}, {"EMAILX", false}, {"NOPE", false},
        {nullptr, false},
    };
    for (const Case& c : withEmail)
        EXPECT_EQ(isSoftwareFeature(c.name), c.expected) << (c.name ? c.name : "(null)");

    SetUp();
    runModel(330, "0", 2, "UU");  // nothing
    EXPECT_FALSE(isSoftwareFeature("E"));
    EXPECT_FALSE(isSoftwareFeature("email"));
    EXPECT_TRUE(isSoftwareFeature("WEV"));

    SetUp();
    runModel(345, "2", 1, "U");
    EXPECT_TRUE(isSoftwareFeature("ucomp"));
    EXPECT_TRUE(isSoftwareFeature("poswitch"));
    EXPECT_TRUE(isSoftwareFeature("WLAN"));
    EXPECT_FALSE(isSoftwareFeature("IP4VLAN"));
}

} // namespace
