#include "core/product/model_features.h"
#include "core/params/param.h"
#include "core/params/param_store.h"
#include "support/product_record.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The default parameter file of one model, against lines derived by hand.
class DefaultParamFileTest : public ::testing::Test {
protected:
    static std::string goldenPath()
    {
        const char* source = getenv("WEV_TEST_SOURCE");
        if (source && *source)
            return std::string(source) + "/tests/core/product/golden/params_default_353.dat";
        std::string here = __FILE__;
        return here.substr(0, here.rfind('/')) + "/golden/params_default_353.dat";
    }

    static std::vector<std::string> lines(std::istream& in)
    {
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

    TempBoxRoot root;
};

TEST_F(DefaultParamFileTest, Model353MatchesTheHandDerivedLines)
{
    ASSERT_TRUE(root.ok());
    int count = 0;
    Param** items = ParamStore::items(&count);
    for (int i = 0; i < count; ++i)
        items[i]->removeFlags(kParamHidden);
    useProduct(root, "product_id=353\ncompat_id=0\nusb_ports_phy=4\ndevice_types=UUUU\n");
    setRuntimeEnv();

    std::string path = root.dir() + "/params.dat";
    ASSERT_EQ(ParamStore::save(path.c_str()), 0);
    std::ifstream written(path);
    std::vector<std::string> file = lines(written);
    ASSERT_FALSE(file.empty());

    std::ifstream goldenFile(goldenPath());
    ASSERT_TRUE(goldenFile.good()) << goldenPath();
    std::vector<std::string> golden;
    for (const std::string& line : lines(goldenFile))
        if (!line.empty() && line[0] != '#')
            golden.push_back(line);
    ASSERT_GE(golden.size(), 40u);

    // Every golden line appears, in the same order.
    size_t at = 0;
    for (const std::string& expected : golden) {
        while (at < file.size() && file[at] != expected)
            ++at;
        ASSERT_LT(at, file.size()) << "missing or out of order: [" << expected << "]";
    }

    // Hidden and volatile parameters are never written.
    const char* absent[] = {"sw_features", "button_cnt", "usb_manu_1", "usb_slot_40", "disp_erVals",
                            "relay_eves", "wifi", "wifi_name", "zyt_comp_1", "zyt_sec_5",
                            "zyt_poff_5", "ip4vlan_on_5", "relay_ctrl", "syslog", "syslog_upo"};
    for (const char* name : absent) {
        for (const std::string& line : file) {
            std::istringstream words(line);
            std::string first;
            words >> first;
            EXPECT_NE(first, name) << line;
        }
    }
}

} // namespace
