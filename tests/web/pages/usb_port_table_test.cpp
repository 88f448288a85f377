#include "web/pages/usb_port_table.h"

#include "web/http/template_vars.h"

#include "core/params/param_handles.h"
#include "support/param_override.h"
#include "support/product_record.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

PortDevice device(int row, int port, const char* product, bool connected = false)
{
    PortDevice d;
    d.row = row;
    d.port = port;
    d.connected = connected;
    d.idVendor = 0x1d6b;
    d.idProduct = 0x0104;
    d.manufacturer = "Maker";
    d.product = product;
    d.serial = "S-1";
    return d;
}

class PortTable : public testing::Test {
protected:
    void SetUp() override
    {
        useProduct(root_, "product_id=1\nusb_ports_phy=2\nproduct_name=VK-2\n");
        for (int port = 1; port <= 2; ++port) {
            params_.set("zyt_poff_", "off", port);
            params_.set("zyt_tag_", "", port);
            params_.set("zyt_accctrl_", "---", port);
            params_.set("zyt_2vlan_", "0", port);
        }
        for (int row = 1; row <= 4; ++row)
            params_.set("usb_owner_", "Available", row);
        params_.set("sw_features", "0");
        view_.lang = "en";
        view_.admin = true;
    }
    void TearDown() override
    {
        root_.writeFile("/conf.d/product_params", "");
        reloadProductInfoForTest();
    }

    // The table's variables by exact name; "-" for one not set.
    std::string get(const std::string& name) const
    {
        const std::string* v = vars_.find(name, -1);
        return v ? *v : "-";
    }
    int build(const std::vector<PortDevice>& devices) { return setUsbPortTable(vars_, view_, devices, 40); }

    TempBoxRoot root_;
    ParamOverride params_;
    PortTableView view_;
    TemplateVars vars_;
};

TEST_F(PortTable, EmptyPortAndDevicePortEachGetOneRow)
{
    EXPECT_EQ(build({device(0, 2, "Stick")}), 2);
    const std::map<std::string, std::string> expected = {
        {"UTAB#", "2"}, {"USB_MAXDEVS", "40"}, {"USB_PLUGGED", "1"},
        {"UTAB_odd_1", "1"}, {"UTAB_odd_2", "-"},
        {"UTAB_manu_1", "&ndash;"}, {"UTAB_prod_1", "&ndash;"}, {"UTAB_sern_1", "&ndash;"},
        {"UTAB_devs_1", "No device connected"}, {"UTAB_prodID_1", "-"}, {"UTAB_slot_1", "1"},
        {"UTAB_slotnr_1", "1"}, {"SLOTHDR_1", "No device connected"},
        {"UTAB_manu_2", "Maker"}, {"UTAB_prod_2", "Stick"}, {"UTAB_sern_2", "S-1"},
        {"UTAB_vendID_2", "1d6b"}, {"UTAB_prodID_2", "0104"}, {"UTAB_devs_2", "Available"},
        {"UTAB_slot_2", "2"}, {"SLOTHDR_2", "Stick"},
        // A port with a single row carries no continuation mark.
        {"UTAB_succs_1", "-"}, {"UTAB_succs_2", "-"},
        {"UTAB_VLan_1", "&lowast;"}, {"UTAB_chain_1", "-"}, {"UTAB_chainred_1", "-"},
    };
    for (const auto& [name, value] : expected)
        EXPECT_EQ(get(name), value) << name;
}

TEST_F(PortTable, HubDevicesShareTheirPortsFirstRow)
{
    EXPECT_EQ(build({device(0, 1, "Hub"), device(3, 1, "Keyboard"), device(1, 2, "Disk")}), 3);
    EXPECT_EQ(get("UTAB_succs_1"), "1");
    EXPECT_EQ(get("UTAB_succs_2"), "0");
    EXPECT_EQ(get("UTAB_succs_3"), "-");
    EXPECT_EQ(get("UTAB_slot_1"), "1");
    EXPECT_EQ(get("UTAB_slot_2"), "-");  // port columns on the first row only
    EXPECT_EQ(get("UTAB_slotnr_2"), "1");
    EXPECT_EQ(get("UTAB_prod_2"), "Keyboard");
    EXPECT_EQ(get("UTAB_slot_3"), "2");
    EXPECT_EQ(get("SLOTHDR_1"), "Hub");
    EXPECT_EQ(get("USB_PLUGGED"), "3");
}

TEST_F(PortTable, SwitchedOffPortShowsNoIds)
{
    params_.set("zyt_poff_", "on", 1);
    build({device(0, 1, "Stick")});
    EXPECT_EQ(get("UTAB_devs_1"), "Port deactivated");
    EXPECT_EQ(get("SLOTHDR_1"), "Port deactivated");
    EXPECT_EQ(get("UTAB_poff_1"), "1");
    EXPECT_EQ(get("UTAB_prodID_1"), "-");
    EXPECT_EQ(get("UTAB_vendID_1"), "-");
    EXPECT_EQ(get("UTAB_prod_1"), "Stick");
}

TEST_F(PortTable, TaggedPortGetsAnExtraRowWhereThePageAsksForIt)
{
    params_.set("zyt_tag_", "Lab <3>", 1);
    for (bool tagRows : {false, true}) {
        SCOPED_TRACE(tagRows);
        vars_ = TemplateVars();
        view_.tagRows = tagRows;
        EXPECT_EQ(build({device(0, 1, "Stick")}), tagRows ? 3 : 2);
        EXPECT_EQ(get("UTAB_tag_1"), "Lab &lt;3&gt;");
        EXPECT_EQ(get("SLOTHDR_1"), "Lab &lt;3&gt;");
        EXPECT_EQ(get("UTAB_succs_1"), tagRows ? "1" : "-");
        EXPECT_EQ(get("UTAB_prod_2"), tagRows ? "Stick" : "&ndash;");
        EXPECT_EQ(get("UTAB_devs_2"), tagRows ? "Available" : "No device connected");
        EXPECT_EQ(get("UTAB_succs_2"), tagRows ? "0" : "-");
        EXPECT_EQ(get("UTAB_slotnr_2"), tagRows ? "-" : "2");
    }
    // Without a device the tag makes no extra row.
    vars_ = TemplateVars();
    EXPECT_EQ(build({}), 2);
}

TEST_F(PortTable, OwnerAndDeviceTextsAreEscaped)
{
    params_.set("usb_owner_", "pc<script>x</script> (198.18.0.9)", 1);
    PortDevice d = device(0, 1, "");
    d.connected = true;
    d.manufacturer = "<img src=x onerror=alert(1)>";
    d.serial = "a&b";
    build({d});
    EXPECT_EQ(get("UTAB_devs_1"), "Occupied by pc&lt;script&gt;x&lt;/script&gt; (198.18.0.9)");
    EXPECT_EQ(get("UTAB_manu_1"), "&lt;img src=x onerror=alert(1)&gt;");
    EXPECT_EQ(get("UTAB_prod_1"), "???");
    EXPECT_EQ(get("UTAB_sern_1"), "a&amp;b");
    EXPECT_EQ(get("SLOTHDR_1"), "No device connected");  // an empty product names no port
}

TEST_F(PortTable, PortInUseIsMarkedForAdministratorsOnly)
{
    for (bool admin : {true, false}) {
        SCOPED_TRACE(admin);
        vars_ = TemplateVars();
        view_.admin = admin;
        build({device(0, 1, "Hub"), device(1, 1, "Printer", true), device(2, 2, "Stick")});
        EXPECT_EQ(get("UTAB_hot_1"), admin ? "1" : "-");
        EXPECT_EQ(get("UTAB_hot_2"), "-");
        EXPECT_EQ(get("UTAB_hot_3"), "-");
    }
}

TEST_F(PortTable, AccessMarksAndVlanBinding)
{
    params_.set("zyt_accctrl_", "keyids", 1);
    params_.set("zyt_accctrl_", "ids", 2);
    params_.set("zyt_2vlan_", "2", 1);
    params_.set("ip4vlan_id_", "77", 2);
    params_.set("zyt_2vlan_", "3", 2);
    PortDevice listed = device(0, 1, "Listed");
    listed.idsListed = true;
    build({listed});
    EXPECT_EQ(get("UTAB_chain_1"), "1");
    EXPECT_EQ(get("UTAB_chainred_1"), "-");
    EXPECT_EQ(get("UTAB_key_1"), "1");
    EXPECT_EQ(get("UTAB_VLan_1"), "2:77");
    // An empty port that filters by ids is marked red, and a binding past
    // the ports is none.
    EXPECT_EQ(get("UTAB_chainred_2"), "1");
    EXPECT_EQ(get("UTAB_key_2"), "-");
    EXPECT_EQ(get("UTAB_VLan_2"), "&mdash;");
}

TEST_F(PortTable, CompressionMarkNeedsTheFeature)
{
    params_.set("zyt_comp_", "on", 1);
    build({});
    EXPECT_EQ(get("UTAB_comp_1"), "-");
    params_.set("sw_features", std::to_string(0x10000));
    vars_ = TemplateVars();
    build({});
    EXPECT_EQ(get("UTAB_comp_1"), "1");
}

TEST_F(PortTable, DeviceAccessPageNamesTheEmptyPort)
{
    view_.devAccess = true;
    build({});
    EXPECT_EQ(get("UTAB_manu_1"), "&ndash;");
    EXPECT_EQ(get("UTAB_prod_1"), "No device connected");
    EXPECT_EQ(get("UTAB_sern_1"), "&ndash;");
}

} // namespace
