// Connect with take-over, the port rules, disconnect with its fall-backs,
// set configuration with the vendor quirks, the claim test, release, clear
// halt, reset and the administrator's disconnect, checked against what the
// simulated host saw.
#include "usb_device_ops_fixture.h"

#include "core/product/model_features.h"
#include "usbserver/usb_device_view.h"
#include "usbserver/usb_port_power.h"

namespace {

constexpr int kPort = 1;

class UsbConnectTest : public UsbDeviceOpsTest {
public:
    void TearDown() override
    {
        params::sw_features()->setValue(featuresBefore_);
        UsbDeviceOpsTest::TearDown();
    }

    void SetUp() override
    {
        UsbDeviceOpsTest::SetUp();
        featuresBefore_ = params::sw_features()->value();
    }

    void setPortPower(bool on)
    {
        const int f = featuresBefore_;
        params::sw_features()->setValue(on ? f | kFeaturePortPower : f & ~kFeaturePortPower);
    }

    Bytes rowPort(int extra = -1) const
    {
        Bytes b{static_cast<uint8_t>(row_), static_cast<uint8_t>(kPort)};
        if (extra >= 0)
            b.push_back(static_cast<uint8_t>(extra));
        return b;
    }

    Bytes setConfigBody(int value, const Bytes& pairs = {}) const
    {
        Bytes b{static_cast<uint8_t>(row_), static_cast<uint8_t>(kPort), static_cast<uint8_t>(value),
                static_cast<uint8_t>(pairs.size() / 2)};
        return b + pairs;
    }

    int row_ = -1;
    std::string name_;
    int featuresBefore_ = 0;
};

TEST_F(UsbConnectTest, TakeOverSendsTheOldOwnerNotice17AndMovesTheRow)
{
    row_ = plugDevice("loopback", kPort, &name_);
    DeviceClient& a = client();
    DeviceClient& b = client();
    ASSERT_EQ(a.connect(row_, kPort, "alpha").header.status, kUsbStatusDone);
    EXPECT_TRUE(ownedBy(row_, taskIdOf(0)));
    uint32_t pending = a.submit(row_, kPort, 0x82, kUrbTypeInterrupt, 8);
    EXPECT_EQ(a.heartbeat(1).header.status, kUsbStatusDone);

    Frame reply = b.connect(row_, kPort, "beta");
    EXPECT_EQ(reply.header.status, kUsbStatusDone);
    Frame notice;
    ASSERT_TRUE(a.notice(kUsbOpNoticeVanished, &notice));
    EXPECT_EQ(notice.header.length, 2u);
    EXPECT_EQ(notice.header.word0, 1u);
    EXPECT_EQ(notice.data, (Bytes{static_cast<uint8_t>(row_), kPort}));
    EXPECT_TRUE(ownedBy(row_, taskIdOf(1)));
    // The old owner's transfer is answered, once.
    UrbResult r = a.reap(pending);
    EXPECT_EQ(r.final().header.status, kUsbStatusGone);
    EXPECT_EQ(r.final().header.error, static_cast<uint32_t>(EPIPE));
    EXPECT_TRUE(eventually([&] { return published(UsbPublishKind::Connect, row_) == 2; }));
    EXPECT_EQ(counters(name_).openFiles, 1);
}

// The table's view names the client that holds the row, as its connect
// published it, and nobody once the row is let go.
TEST_F(UsbConnectTest, TheDeviceViewNamesTheClientHoldingTheRow)
{
    row_ = plugDevice("loopback", kPort, &name_);
    DeviceClient& a = client();
    DeviceClient& b = client();
    auto ownerName = [this] {
        UsbDeviceView view;
        EXPECT_TRUE(copyUsbDeviceView(row_, &view));
        return std::string(view.ownerName);
    };
    ASSERT_EQ(a.connect(row_, kPort, "alpha").header.status, kUsbStatusDone);
    EXPECT_TRUE(eventually([&] { return ownerName() == "alpha"; })) << ownerName();
    ASSERT_EQ(a.connect(row_, kPort, "renamed").header.status, kUsbStatusDone);
    EXPECT_EQ(ownerName(), "alpha") << "a retake publishes nothing new";
    ASSERT_EQ(b.connect(row_, kPort, "beta").header.status, kUsbStatusDone);
    EXPECT_TRUE(eventually([&] { return ownerName() == "beta"; })) << ownerName();
    ASSERT_EQ(b.request(kUsbOpDisconnect, rowPort()).header.status, kUsbStatusDone);
    UsbDeviceView view;
    ASSERT_TRUE(copyUsbDeviceView(row_, &view));
    EXPECT_EQ(view.state, UsbViewState::Present);
    EXPECT_STREQ(view.ownerName, "");
}

TEST_F(UsbConnectTest, RetakeByTheOwnerPublishesNothingAndDoesNoPreReset)
{
    row_ = plugDevice("loopback", kPort, &name_);
    params_.set("zyt_prereset_", "on", kPort);
    DeviceClient& a = client();
    const int resets = resetsLogged(name_);
    ASSERT_EQ(a.connect(row_, kPort).header.status, kUsbStatusDone);
    EXPECT_EQ(resetsLogged(name_), resets + 1) << "the pre-reset of a new take";
    uint32_t pending = a.submit(row_, kPort, 0x82, kUrbTypeInterrupt, 8);
    ASSERT_EQ(a.connect(row_, kPort).header.status, kUsbStatusDone);
    EXPECT_EQ(resetsLogged(name_), resets + 1);
    EXPECT_EQ(published(UsbPublishKind::Connect, row_), 1);
    Frame notice;
    EXPECT_FALSE(a.notice(kUsbOpNoticeVanished, &notice, 100));
    EXPECT_EQ(a.reap(pending).final().header.status, kUsbStatusGone);
    EXPECT_EQ(counters(name_).openFiles, 1);
    // The taken row works.
    EXPECT_EQ(a.transfer(row_, kPort, 0x01, kUrbTypeBulk, 0, pattern(10, 1)).final().header.status,
              kUsbStatusDone);
}

// The port's rules refuse before anything is taken from the owner.
TEST_F(UsbConnectTest, RefusedClientsTakeNothingFromTheOwner)
{
    row_ = plugDevice("loopback", kPort, &name_);
    DeviceClient& owner = client();
    DeviceClient& other = client();
    ASSERT_EQ(owner.connect(row_, kPort).header.status, kUsbStatusDone);
    // The owner's connect is published after its answer.
    ASSERT_TRUE(eventually([&] { return published(UsbPublishKind::Connect, row_) == 1; }));
    struct Case {
        const char* what;
        const char* param;
        const char* value;
        int port;
        uint32_t status;
        uint32_t error;
    };
    const Case cases[] = {
        {"id filter", "zyt_accctrl_", "ids", kPort, kUsbStatusRefused, EFAULT},
        {"TLS only, plain session", "zyt_sec_", "on", kPort, kUsbStatusRefused, EACCES},
        {"wrong port", nullptr, nullptr, kPort + 1, kUsbStatusFailed, ENODEV},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        ParamOverride local;
        if (k.param) {
            local.set(k.param, k.value, kPort);
        }
        Frame f = other.connect(row_, k.port);
        EXPECT_EQ(f.header.status, k.status);
        EXPECT_EQ(f.header.error, k.error);
        EXPECT_TRUE(ownedBy(row_, taskIdOf(0)));
        Frame notice;
        EXPECT_FALSE(owner.notice(kUsbOpNoticeVanished, &notice, 50));
    }
    EXPECT_EQ(published(UsbPublishKind::Connect, row_), 1);
}

// Operations on a row connected to another session answer 5/12 and touch
// nothing.
TEST_F(UsbConnectTest, AnotherSessionsDeviceCannotBeActedOn)
{
    row_ = plugDevice("loopback", kPort, &name_);
    DeviceClient& owner = client();
    DeviceClient& other = client();
    ASSERT_EQ(owner.connect(row_, kPort).header.status, kUsbStatusDone);
    ASSERT_EQ(owner.request(kUsbOpSetConfiguration, setConfigBody(1)).header.status, kUsbStatusDone);
    const size_t from = log(name_).size();
    struct Case {
        const char* what;
        uint32_t opcode;
        Bytes body;
    };
    const Case cases[] = {
        {"claim test", kUsbOpClaimTest, rowPort(0)},
        {"release interface", kUsbOpReleaseInterface, rowPort(0)},
        {"disconnect", kUsbOpDisconnect, rowPort()},
        {"clear halt", kUsbOpClearHalt, rowPort(0x81)},
        {"reset", kUsbOpResetDevice, rowPort()},
        {"set configuration", kUsbOpSetConfiguration, setConfigBody(1)},
        {"abort endpoint", kUsbOpAbortEndpoint, rowPort(0x81)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Frame f = other.request(k.opcode, k.body);
        EXPECT_EQ(f.header.status, kUsbStatusRefused);
        EXPECT_EQ(f.header.error, static_cast<uint32_t>(ENOMEM));
    }
    EXPECT_EQ(log(name_).size(), from) << "the device saw nothing";
    EXPECT_TRUE(ownedBy(row_, taskIdOf(0)));
    EXPECT_EQ(owner.transfer(row_, kPort, 0x01, kUrbTypeBulk, 0, pattern(4, 1)).final().header.status,
              kUsbStatusDone);
}

TEST_F(UsbConnectTest, SetConfigurationWithTheVendorRules)
{
    struct Case {
        const char* what;
        const char* model;
        const char* injected;
        std::vector<int> values;               // requests in turn; the last is checked
        uint32_t status;
        uint32_t error;
        std::vector<std::string> logged;       // log lines after the last request, in order
        bool deferred;
    };
    const Case cases[] = {
        {"answered from the cache", "126f:1165", nullptr, {1}, kUsbStatusDone, 0, {}, false},
        {"the same configuration again", "loopback", nullptr, {1, 1}, kUsbStatusDone, 0, {}, false},
        {"a new configuration", "loopback", nullptr, {1}, kUsbStatusDone, 0,
         {"setconfig 1 -> 0", "claim 0 -> 0"}, false},
        {"unconfigure first", "088e:5036", nullptr, {1}, kUsbStatusDone, 0,
         {"setconfig 0 -> 0", "setconfig 1 -> 0", "claim 0 -> 0"}, false},
        {"unconfigure first, the other device", "0819:0101", nullptr, {1}, kUsbStatusDone, 0,
         {"setconfig 0 -> 0", "setconfig 1 -> 0", "claim 0 -> 0"}, false},
        {"configuration 0", "loopback", nullptr, {1, 0}, kUsbStatusDone, 0,
         {"release 0 -> 0", "setconfig 0 -> 0"}, false},
        {"configuration 0 through the port release", "0d46:0001", nullptr, {0}, kUsbStatusDone, 0,
         {"port_release -> 0"}, false},
        {"port release missing: reset instead", "0d46:0001", "port_release ENOTTY", {0}, kUsbStatusDone, 0,
         {"port_release -> -ENOTTY", "reset -> 0"}, true},
        {"port release failing otherwise", "0d46:0001", "port_release EIO", {0}, kUsbStatusDone, 0,
         {"port_release -> -EIO"}, true},
        {"a configuration the device lacks", "loopback", nullptr, {7}, kUsbStatusFailed, EINVAL,
         {"setconfig 7 -> -EINVAL"}, true},
        // Accepted, but no cached record says which interfaces it has: none
        // is claimed, and the device is reset later.
        {"a value no cached configuration has, accepted", "loopback", "setconfig ok 1", {7}, kUsbStatusDone, 0,
         {"setconfig 7 -> 0"}, true},
        {"the same after a cached one was selected", "loopback", "setconfig ok 2", {1, 7}, kUsbStatusDone, 0,
         {"release 0 -> 0", "setconfig 7 -> 0"}, true},
        {"claim failing", "loopback", "claim EBUSY 1", {1}, kUsbStatusFailed, EBUSY,
         {"setconfig 1 -> 0", "claim 0 -> -EBUSY"}, true},
    };
    int port = kPort;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        std::string name;
        row_ = plugDevice(k.model, port, &name);
        ASSERT_GE(row_, 0);
        DeviceClient& c = client();
        ASSERT_EQ(c.connect(row_, port).header.status, kUsbStatusDone);
        if (k.injected) {
            ASSERT_EQ(inject(name, k.injected).compare(0, 2, "ok"), 0);
        }
        Frame f;
        size_t from = 0;
        for (int value : k.values) {
            from = log(name).size();
            f = c.request(kUsbOpSetConfiguration,
                          Bytes{static_cast<uint8_t>(row_), static_cast<uint8_t>(port), static_cast<uint8_t>(value), 0});
        }
        EXPECT_EQ(f.header.status, k.status);
        EXPECT_EQ(f.header.error, k.error);
        std::vector<std::string> lines = log(name);
        std::vector<std::string> seen;
        for (size_t i = from; i < lines.size(); ++i) {
            if (lines[i].compare(0, 9, "getdriver") != 0)
                seen.push_back(lines[i]);
        }
        EXPECT_EQ(seen, k.logged);
        // Marked once the reply is out.
        EXPECT_EQ(c.heartbeat(1).header.status, kUsbStatusDone);
        EXPECT_EQ(usbDeviceTable[row_].resetPending.load() != 0, k.deferred);
        ++port;
    }
}

// The deferred reset after a failed configuration closes the file within
// 100 ticks; the row stays connected, and configuring opens it again.
TEST_F(UsbConnectTest, DeferredResetClosesTheFileAndSetConfigurationReopensIt)
{
    row_ = plugDevice("0d46:0001", kPort, &name_);
    DeviceClient& c = client();
    ASSERT_EQ(c.connect(row_, kPort).header.status, kUsbStatusDone);
    ASSERT_EQ(inject(name_, "port_release ENOTTY 1").compare(0, 2, "ok"), 0);
    ASSERT_EQ(c.request(kUsbOpSetConfiguration, setConfigBody(0)).header.status, kUsbStatusDone);
    advanceTicks(101);
    EXPECT_TRUE(eventually([&] { return usbDeviceTable[row_].fd.load() < 0; }));
    EXPECT_TRUE(ownedBy(row_, taskIdOf(0)));
    ASSERT_EQ(c.request(kUsbOpSetConfiguration, setConfigBody(1)).header.status, kUsbStatusDone);
    EXPECT_GE(usbDeviceTable[row_].fd.load(), 0);
    // Completions of the reopened file are reaped.
    UrbResult r = c.transfer(row_, kPort, 0x01, kUrbTypeBulk, 0, pattern(64, 1));
    EXPECT_EQ(r.final().header.status, kUsbStatusDone);
}

TEST_F(UsbConnectTest, DisconnectThroughThePortReleaseAndItsFallBacks)
{
    struct Case {
        const char* what;
        const char* model;
        const char* injected;
        bool portPower;
        uint32_t status;
        uint32_t error;
        int resets;
        int powerOffs;
        int releases;  // interfaces released
    };
    const Case cases[] = {
        {"released", "loopback", nullptr, false, kUsbStatusDone, 0, 0, 0, 1},
        {"gone already", "loopback", "port_release ENODEV", false, kUsbStatusDone, 0, 0, 0, 0},
        {"no port release, reset", "loopback", "port_release ENOTTY", false, kUsbStatusDone, 0, 1, 0, 1},
        {"no port release, power cycle", "loopback", "port_release ENOTTY", true, kUsbStatusDone, 0, 0, 1, 0},
        {"no port release, reset fails", "loopback", "port_release ENOTTY+reset EIO", false, kUsbStatusFailed,
         EIO, 1, 0, 0},
        {"gone, but this product needs the reset", "1234:8086", "port_release ENODEV", false, kUsbStatusDone, 0, 1,
         0, 1},
        {"gone, but this vendor needs the power cycle", "1139:0001", "port_release ENODEV", true, kUsbStatusDone, 0,
         0, 1, 0},
    };
    int port = kPort;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        setPortPower(k.portPower);
        std::string name;
        row_ = plugDevice(k.model, port, &name);
        ASSERT_GE(row_, 0);
        DeviceClient& c = client();
        ASSERT_EQ(c.connect(row_, port).header.status, kUsbStatusDone);
        ASSERT_EQ(c.request(kUsbOpSetConfiguration,
                            Bytes{static_cast<uint8_t>(row_), static_cast<uint8_t>(port), 1, 0})
                      .header.status,
                  kUsbStatusDone);
        std::string injected = k.injected ? k.injected : "";
        for (size_t start = 0; !injected.empty() && start < injected.size();) {
            size_t plus = injected.find('+', start);
            std::string one = injected.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
            ASSERT_EQ(inject(name, one).compare(0, 2, "ok"), 0) << one;
            start = plus == std::string::npos ? injected.size() : plus + 1;
        }
        const size_t from = log(name).size();
        const int powerOffs = usbPortPowerOffRequests();
        Frame f = c.request(kUsbOpDisconnect, Bytes{static_cast<uint8_t>(row_), static_cast<uint8_t>(port)});
        EXPECT_EQ(f.header.status, k.status);
        EXPECT_EQ(f.header.error, k.error);
        EXPECT_EQ(countLog(name, "reset", from), k.resets);
        EXPECT_EQ(usbPortPowerOffRequests() - powerOffs, k.powerOffs);
        EXPECT_EQ(countLog(name, "release 0", from), k.releases);
        EXPECT_EQ(usbDeviceTable[row_].state.load(), kUsbSlotPresent);
        EXPECT_EQ(usbDeviceTable[row_].fd.load(), -1);
        EXPECT_EQ(usbDeviceTable[row_].selectedConfig, -1);
        EXPECT_EQ(published(UsbPublishKind::Disconnect, row_), 1);
        EXPECT_EQ(counters(name).openFiles, 0);
        ++port;
    }
}

TEST_F(UsbConnectTest, ResetFallsBackToAPowerCycleOnModelsWithPortPower)
{
    row_ = plugDevice("loopback", kPort, &name_);
    DeviceClient& c = client();
    ASSERT_EQ(c.connect(row_, kPort).header.status, kUsbStatusDone);
    EXPECT_EQ(c.request(kUsbOpResetDevice, rowPort()).header.status, kUsbStatusDone);
    EXPECT_EQ(resetsLogged(name_), 1);

    ASSERT_EQ(inject(name_, "reset EIO").compare(0, 2, "ok"), 0);
    setPortPower(false);
    Frame f = c.request(kUsbOpResetDevice, rowPort());
    EXPECT_EQ(f.header.status, kUsbStatusFailed);
    EXPECT_EQ(f.header.error, static_cast<uint32_t>(EIO));

    setPortPower(true);
    const int powerOffs = usbPortPowerOffRequests();
    f = c.request(kUsbOpResetDevice, rowPort());
    EXPECT_EQ(f.header.status, kUsbStatusDone);
    EXPECT_EQ(usbPortPowerOffRequests(), powerOffs + 1);
    ASSERT_EQ(inject(name_, "clear").compare(0, 2, "ok"), 0);

    // The power cycle makes the device vanish and come back as a new row.
    unplug(name_);
    rescanUsbDevices();
    Frame notice;
    ASSERT_TRUE(c.notice(kUsbOpNoticeVanished, &notice));
    advanceTicks(100);
    rescanUsbDevices();
    plug("loopback port=" + std::to_string(kPort));
    rescanUsbDevices();
    EXPECT_GE(rowOnPort(kPort), 0);
}

TEST_F(UsbConnectTest, ClaimTestReleaseAndClearHalt)
{
    row_ = plugDevice("loopback", kPort, &name_);
    DeviceClient& c = client();
    // Claim test on a device nobody holds: a claim on a descriptor of its own.
    Frame f = c.request(kUsbOpClaimTest, rowPort(0));
    EXPECT_EQ(f.header.status, kUsbStatusDone);
    EXPECT_EQ(countLog(name_, "claim 0 -> 0"), 1);
    // Closed after the reply, which gives the interface back.
    EXPECT_TRUE(eventually([&] { return counters(name_).openFiles == 0; }));
    EXPECT_EQ(counters(name_).claimedInterfaces, 0);
    f = c.request(kUsbOpClaimTest, rowPort(5));
    EXPECT_EQ(f.header.status, kUsbStatusFailed);

    ASSERT_EQ(c.connect(row_, kPort).header.status, kUsbStatusDone);
    f = c.request(kUsbOpClaimTest, rowPort(0));
    EXPECT_EQ(f.header.status, kUsbStatusFailed);
    EXPECT_EQ(f.header.error, static_cast<uint32_t>(EPROTO)) << "the file is open";

    ASSERT_EQ(c.request(kUsbOpSetConfiguration, setConfigBody(1)).header.status, kUsbStatusDone);
    EXPECT_EQ(c.request(kUsbOpReleaseInterface, rowPort(0)).header.status, kUsbStatusDone);
    EXPECT_EQ(counters(name_).claimedInterfaces, 0);

    EXPECT_EQ(c.request(kUsbOpClearHalt, rowPort(0x81)).header.status, kUsbStatusDone);
    ASSERT_EQ(inject(name_, "clear_halt EIO 1").compare(0, 2, "ok"), 0);
    f = c.request(kUsbOpClearHalt, rowPort(0x81));
    EXPECT_EQ(f.header.status, kUsbStatusFailed);
    EXPECT_EQ(f.header.error, static_cast<uint32_t>(ENODEV));
}

TEST_F(UsbConnectTest, ClearHaltIsNotSentToTheDevicesThatHangOnIt)
{
    row_ = plugDevice("0a50:0101", kPort, &name_);
    DeviceClient& c = client();
    ASSERT_EQ(c.connect(row_, kPort).header.status, kUsbStatusDone);
    EXPECT_EQ(c.request(kUsbOpClearHalt, rowPort(0x81)).header.status, kUsbStatusDone);
    EXPECT_EQ(countLog(name_, "clear_halt"), 0);
}

TEST_F(UsbConnectTest, AdminDisconnectSendsNotice19AndResetsLater)
{
    row_ = plugDevice("loopback", kPort, &name_);
    DeviceClient& c = client();
    ASSERT_EQ(c.connect(row_, kPort).header.status, kUsbStatusDone);
    EXPECT_EQ(adminDisconnectPort(kPort), 1);
    EXPECT_EQ(published(UsbPublishKind::Disconnect, row_), 1);
    // Notices go out between two requests of the owner's session.
    EXPECT_EQ(c.heartbeat(3).header.status, kUsbStatusDone);
    Frame notice;
    ASSERT_TRUE(c.notice(kUsbOpNoticeAdminDisconnect, &notice));
    EXPECT_EQ(notice.data, (Bytes{static_cast<uint8_t>(row_), kPort}));
    EXPECT_TRUE(ownedBy(row_, taskIdOf(0)));
    advanceTicks(101);
    EXPECT_TRUE(eventually([&] { return usbDeviceTable[row_].fd.load() < 0; }));
    EXPECT_EQ(resetsLogged(name_), 1);
}

TEST_F(UsbConnectTest, AClientTakingARowAfterAnAdminDisconnectKeepsItsDevice)
{
    row_ = plugDevice("loopback", kPort, &name_);
    EXPECT_EQ(adminDisconnectPort(kPort), 1);  // nobody holds the row
    DeviceClient& c = client();
    ASSERT_EQ(c.connect(row_, kPort).header.status, kUsbStatusDone);
    advanceTicks(101);
    // The first request after the clock moved wakes the session, which then
    // looks for deferred resets; the second is served after that look.
    EXPECT_EQ(c.heartbeat(1).header.status, kUsbStatusDone);
    EXPECT_EQ(c.heartbeat(2).header.status, kUsbStatusDone);
    EXPECT_GE(usbDeviceTable[row_].fd.load(), 0) << "the new owner's file was closed";
    EXPECT_EQ(resetsLogged(name_), 0);
    EXPECT_EQ(c.request(kUsbOpSetConfiguration, setConfigBody(1)).header.status, kUsbStatusDone);
}

TEST_F(UsbConnectTest, KernelDriversGiveTheirInterfacesUpOnConnect)
{
    row_ = plugDevice("keyboard kernel-driver", kPort, &name_);
    ASSERT_GE(row_, 0);
    DeviceClient& c = client();
    ASSERT_EQ(c.connect(row_, kPort).header.status, kUsbStatusDone);
    EXPECT_EQ(countLog(name_, "ioctl 0 disconnect -> 0"), 1);
    EXPECT_EQ(c.request(kUsbOpSetConfiguration, setConfigBody(1)).header.status, kUsbStatusDone);
    EXPECT_EQ(countLog(name_, "claim 0 -> 0"), 1);
}

} // namespace
