#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/addr/sock_addr.h"
#include "support/message_recorder.h"
#include "support/private_netns.h"
#include "support/product_record.h"

namespace {

using netns::out;

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Address (without prefix) -> label, as `ip -o addr` shows them on a device.
std::map<std::string, std::string> labelsOn(const std::string& device)
{
    std::map<std::string, std::string> labels;
    std::istringstream lines(out("ip -4 -o addr show dev " + device));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        std::string address;
        while (words >> word) {
            if (word == "inet" && words >> address)
                address = address.substr(0, address.find('/'));
            const size_t end = word.find('\\');
            if (end != std::string::npos && !address.empty()) {
                labels[address] = word.substr(0, end);
                break;
            }
        }
    }
    return labels;
}

IntParam* member(const char* prefix, int n)
{
    Param* p = ParamStore::find(prefix, static_cast<int>(std::strlen(prefix)), static_cast<uint32_t>(n));
    return p ? static_cast<IntParam*>(p) : nullptr;
}

IpParam* ipMember(const char* prefix, int n)
{
    Param* p = ParamStore::find(prefix, static_cast<int>(std::strlen(prefix)), static_cast<uint32_t>(n));
    return p && p->paramClass() == ParamClass::Ip ? static_cast<IpParam*>(p) : nullptr;
}

class VlanSlots : public PrivateNetnsTest {
protected:
    void SetUp() override
    {
        PrivateNetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        useProduct(root_, "product_id=1\nphy0_addr=4\nusb_ports_phy=4\ndevice_types=UUUU\n");
        params::sw_features()->setValue(0x20000 | 0x2000);
        params::ip4vlan_mgmt()->setValue(0);
        for (int n = 1; n <= 20; ++n)
            member("ip4vlan_on_", n)->setValue(0);
        iface_.setName("eth0");
        ASSERT_EQ(iface_.openSocket(), 1);
        ASSERT_EQ(iface_.up(), 1);
    }

    void portVlan(int n, bool on, int id, const char* address, const char* gateway = "0.0.0.0")
    {
        member("ip4vlan_on_", n)->setValue(on ? 1 : 0);
        member("ip4vlan_id_", n)->setValue(id);
        ipMember("ip4vlan_addr_", n)->setAddress(SockAddr::parse(address));
        ipMember("ip4vlan_mask_", n)->setAddress(SockAddr::parse("255.255.255.0"));
        ipMember("ip4vlan_gate_", n)->setAddress(SockAddr::parse(gateway));
    }

    void switchPort(int n, bool on) { member("ip4vlan_on_", n)->setValue(on ? 1 : 0); }

    // Every slot in use shows its address exactly once under its own label;
    // on each VLAN one slot owns the device and the aliases differ.
    void expectSlotsMatchTheKernel(const std::string& context)
    {
        std::map<int, std::set<int>> aliases;
        std::map<int, int> owners;
        for (int n = 0; n < NetInterface::slotCount(); ++n) {
            const IfAddrSlot s = iface_.slot(n);
            if (!s.inUse())
                continue;
            char device[IFNAMSIZ];
            iface_.deviceName(device, sizeof(device), s.vlanId, -1);
            char label[IFNAMSIZ];
            iface_.deviceName(label, sizeof(label), s.vlanId, s.alias);
            SockAddr a;
            a.setIpv4(s.address);
            const auto labels = labelsOn(device);
            auto it = labels.find(a.str());
            ASSERT_NE(it, labels.end()) << context << ": slot " << n << " " << a.str() << " missing on " << device;
            EXPECT_EQ(it->second, label) << context << ": slot " << n;
            if (s.alias == -1)
                ++owners[s.vlanId];
            else
                EXPECT_TRUE(aliases[s.vlanId].insert(s.alias).second) << context << ": alias used twice";
        }
        for (const auto& [vlan, set] : aliases)
            EXPECT_EQ(owners[vlan], 1) << context << ": VLAN " << vlan << " has aliases but no owner";
    }

    TempBoxRoot root_;
    NetInterface iface_;
};

TEST_F(VlanSlots, DeviceNames)
{
    struct Case {
        int vlan;
        int alias;
        const char* name;
    };
    const Case cases[] = {
        {-1, -1, "eth0"},      {7, -1, "eth0.7"},   {7, 0, "eth0.7:0"},    {-1, 3, "eth0:3"},
        {0, -1, "eth0.0"},     {4096, -1, "eth0.4096"}, {4097, -1, "eth0"}, {7, 99, "eth0.7:99"},
        {7, 100, "eth0.7"},    {-5, -1, "eth0"},
    };
    for (const Case& c : cases) {
        char name[IFNAMSIZ];
        const int n = iface_.deviceName(name, sizeof(name), c.vlan, c.alias);
        EXPECT_STREQ(name, c.name) << c.vlan << "/" << c.alias;
        EXPECT_EQ(n, static_cast<int>(std::strlen(c.name)));
    }
    NetInterface longName("abcdefghijklm");
    char name[IFNAMSIZ];
    EXPECT_EQ(longName.deviceName(name, sizeof(name), 4094, 99), 15);
    EXPECT_STREQ(name, "abcdefghijklm.4");
}

TEST_F(VlanSlots, VlanRequestWithoutKernelSupport)
{
    if (netns::run("ip link add link eth0 name probe.5 type vlan id 5").status == 0)
        GTEST_SKIP() << "this kernel has 802.1Q";
    EXPECT_EQ(iface_.addVlan(4097), 0);
    EXPECT_EQ(iface_.addVlan(-1), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(iface_.addVlan(9), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(err, "addVlan: VLAN 9 on eth0 not created")) << err;

    makeVlanStandIn(7);
    testing::internal::CaptureStderr();
    EXPECT_EQ(iface_.addVlan(7), 1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(err, "using the existing device eth0.7")) << err;

    testing::internal::CaptureStderr();
    EXPECT_EQ(iface_.removeVlan("eth0.7"), 0);
    err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(err, "removeVlan: eth0.7 not removed")) << err;
}

TEST_F(VlanSlots, ManagementVlanWithMetricRoute)
{
    makeVlanStandIn(10);
    MessageRecorder recorder;
    ASSERT_TRUE(recorder.started());
    params::ip_addr()->setAddress(SockAddr::parse("198.18.10.2"));
    params::ip_mask()->setAddress(SockAddr::parse("255.255.255.0"));
    params::ip_gate()->setAddress(SockAddr::parse("198.18.10.1"));
    params::ip4vlan_mgmt()->setValue(1);
    params::ip4vlan_mgmt_id()->setValue(10);

    EXPECT_EQ(iface_.applyVlanParams(), 1);
    EXPECT_TRUE(contains(out("ip -4 -o addr show dev eth0.10"), "198.18.10.2/24")) << out("ip -4 addr");
    const std::string routes = out("ip -4 route show dev eth0.10");
    EXPECT_TRUE(contains(routes, "default via 198.18.10.1 metric 5")) << routes;
    EXPECT_EQ(iface_.slot(0).vlanId, 10);
    EXPECT_EQ(iface_.slot(0).alias, -1);
    EXPECT_EQ(recorder.drain(), std::vector<uint32_t>{MSG_NETWORK_CHANGED});

    EXPECT_EQ(iface_.applyVlanParams(), 1);
    EXPECT_TRUE(recorder.drain().empty()) << "nothing changed, nothing announced";

    params::ip4vlan_mgmt()->setValue(0);
    EXPECT_EQ(iface_.applyVlanParams(), 1);
    EXPECT_FALSE(iface_.slot(0).inUse());
    EXPECT_FALSE(contains(out("ip -4 -o addr show dev eth0.10"), "198.18.10.2")) << "no address left behind";
    EXPECT_EQ(recorder.drain(), std::vector<uint32_t>{MSG_NETWORK_CHANGED});
}

TEST_F(VlanSlots, TwoPortVlansWithTheSameId)
{
    makeVlanStandIn(7);
    portVlan(1, true, 7, "198.18.17.2");
    portVlan(2, true, 7, "198.18.17.3");
    EXPECT_EQ(iface_.applyVlanParams(), 1);
    const auto labels = labelsOn("eth0.7");
    EXPECT_EQ(labels.at("198.18.17.2"), "eth0.7");
    EXPECT_EQ(labels.at("198.18.17.3"), "eth0.7:0");
    EXPECT_EQ(iface_.slot(1).alias, -1);
    EXPECT_EQ(iface_.slot(2).alias, 0);
    expectSlotsMatchTheKernel("two slots");
}

// Three slots on one VLAN, taken away and brought back in various orders:
// every slot that is on keeps its address, under its own alias.
TEST_F(VlanSlots, RemovingAndAddingAgainInAnyOrderKeepsEveryAddress)
{
    makeVlanStandIn(7);
    const char* addresses[] = {nullptr, "198.18.17.2", "198.18.17.3", "198.18.17.4"};
    struct Step {
        int port;
        bool on;
    };
    const std::vector<std::vector<Step>> sequences = {
        {{2, false}, {2, true}},
        {{1, false}, {1, true}},
        {{1, false}, {2, false}, {2, true}, {1, true}},
        {{2, false}, {1, false}, {1, true}, {2, true}},
        {{3, false}, {1, false}, {3, true}, {1, true}},
        {{2, false}, {3, false}, {3, true}, {2, true}},
    };
    for (size_t i = 0; i < sequences.size(); ++i) {
        for (int n = 1; n <= 3; ++n)
            portVlan(n, true, 7, addresses[n]);
        ASSERT_EQ(iface_.applyVlanParams(), 1);
        expectSlotsMatchTheKernel("start of sequence " + std::to_string(i));
        for (const Step& s : sequences[i]) {
            switchPort(s.port, s.on);
            ASSERT_EQ(iface_.applyVlanParams(), 1);
            const std::string context = "sequence " + std::to_string(i) + " port " + std::to_string(s.port) +
                                        (s.on ? " on" : " off");
            expectSlotsMatchTheKernel(context);
            const auto labels = labelsOn("eth0.7");
            for (int n = 1; n <= 3; ++n) {
                const bool on = member("ip4vlan_on_", n)->isOn();
                EXPECT_EQ(labels.count(addresses[n]), on ? 1u : 0u) << context << ": " << addresses[n];
            }
        }
    }

    // A new address for the owner brings its aliases back too.
    portVlan(1, true, 7, "198.18.17.9");
    ASSERT_EQ(iface_.applyVlanParams(), 1);
    expectSlotsMatchTheKernel("owner readdressed");
    const auto labels = labelsOn("eth0.7");
    EXPECT_EQ(labels.size(), 3u);
    EXPECT_EQ(labels.count("198.18.17.2"), 0u);
}

TEST_F(VlanSlots, SwitchingAPortVlanOffAnnouncesOnce)
{
    makeVlanStandIn(7);
    makeVlanStandIn(8);
    portVlan(1, true, 7, "198.18.17.2");
    portVlan(3, true, 8, "198.18.18.2");
    ASSERT_EQ(iface_.applyVlanParams(), 1);
    MessageRecorder recorder;
    ASSERT_TRUE(recorder.started());

    switchPort(3, false);
    EXPECT_EQ(iface_.applyVlanParams(), 1);
    EXPECT_FALSE(iface_.slot(3).inUse());
    EXPECT_TRUE(labelsOn("eth0.8").empty());
    EXPECT_EQ(recorder.drain(), std::vector<uint32_t>{MSG_NETWORK_CHANGED});
    EXPECT_EQ(iface_.applyVlanParams(), 1);
    EXPECT_TRUE(recorder.drain().empty());

    // Without the VLAN feature nothing is touched.
    params::sw_features()->setValue(0x2000);
    switchPort(1, false);
    EXPECT_EQ(iface_.applyVlanParams(), 0);
    EXPECT_TRUE(iface_.slot(1).inUse());
    EXPECT_EQ(labelsOn("eth0.7").count("198.18.17.2"), 1u);
    EXPECT_TRUE(recorder.drain().empty());
}

TEST_F(VlanSlots, AFailedSlotIsTriedAgain)
{
    portVlan(1, true, 9, "198.18.19.2");
    MessageRecorder recorder;
    ASSERT_TRUE(recorder.started());
    testing::internal::CaptureStderr();
    EXPECT_EQ(iface_.applyVlanParams(), 1);
    EXPECT_EQ(iface_.applyVlanParams(), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(err, "configureSlot: slot 1 on eth0.9 not set up")) << err;
    EXPECT_FALSE(iface_.slot(1).inUse());
    // A slot that was not there and still is not changes nothing to announce.
    EXPECT_TRUE(recorder.drain().empty());

    // The device appears (here: the stand-in); the same parameters now work.
    makeVlanStandIn(9);
    EXPECT_EQ(iface_.applyVlanParams(), 1);
    EXPECT_TRUE(iface_.slot(1).inUse());
    EXPECT_EQ(labelsOn("eth0.9").count("198.18.19.2"), 1u);
    EXPECT_EQ(recorder.drain(), std::vector<uint32_t>{MSG_NETWORK_CHANGED});

    // A step failing half-way leaves nothing of the slot behind.
    makeVlanStandIn(7);
    portVlan(2, true, 7, "198.18.17.3", "198.19.1.1");
    testing::internal::CaptureStderr();
    EXPECT_EQ(iface_.applyVlanParams(), 1);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(iface_.slot(2).inUse());
    EXPECT_TRUE(labelsOn("eth0.7").empty()) << out("ip -4 addr show dev eth0.7");
    portVlan(2, true, 7, "198.18.17.3", "198.18.17.1");
    EXPECT_EQ(iface_.applyVlanParams(), 1);
    EXPECT_TRUE(iface_.slot(2).inUse());
    EXPECT_TRUE(contains(out("ip -4 route show dev eth0.7"), "default via 198.18.17.1 metric 5"));
}

TEST_F(VlanSlots, ConfigureSlotDirectlyAndRemoveAll)
{
    makeVlanStandIn(7);
    makeVlanStandIn(10);
    const SockAddr mask = SockAddr::parse("255.255.255.0");
    const SockAddr none = SockAddr::parse("0.0.0.0");
    EXPECT_EQ(iface_.configureSlot(0, SockAddr::parse("198.18.10.2"), mask, none, 10), 1);
    EXPECT_EQ(iface_.configureSlot(0, SockAddr::parse("198.18.10.2"), mask, none, 10), 0) << "already so";
    EXPECT_EQ(iface_.configureSlot(1, SockAddr::parse("198.18.17.2"), mask, none, 7), 1);
    EXPECT_EQ(iface_.configureSlot(2, SockAddr::parse("198.18.17.3"), mask, none, 7), 1);
    EXPECT_EQ(iface_.configureSlot(21, SockAddr::parse("198.18.17.5"), mask, none, 7), -1);
    expectSlotsMatchTheKernel("configured");
    EXPECT_EQ(iface_.removeSlot(2), 1);
    EXPECT_EQ(iface_.removeSlot(2), 0) << "not in use any more";
    // Taking an alias down that has no address leaves its device alone.
    EXPECT_EQ(iface_.down("eth0.7:5"), 0);
    EXPECT_EQ(iface_.isUp("eth0.7"), 1);
    EXPECT_EQ(labelsOn("eth0.7").count("198.18.17.2"), 1u);

    iface_.removeAllSlots();
    for (int n = 0; n < kIfAddrSlots; ++n)
        EXPECT_FALSE(iface_.slot(n).inUse()) << n;
    EXPECT_TRUE(labelsOn("eth0.7").empty());
    EXPECT_TRUE(labelsOn("eth0.10").empty());
}

}  // namespace
