#include "web/pages/start_page.h"

#include "web/http/http_connection.h"
#include "web/http/page_table.h"
#include "web/http/template_vars.h"
#include "web/pages/device_pages.h"
#include "web/pages/security_pages.h"
#include "web/pages/usb_port_source.h"

#include "core/net/connection.h"
#include "core/params/param_handles.h"
#include "core/product/model_features.h"
#include "support/param_override.h"
#include "support/product_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

std::mutex seenMutex;
std::vector<int> disconnected;

PortDevice printerOnPort1()
{
    PortDevice d;
    d.row = 0;
    d.port = 1;
    d.connected = true;
    d.product = "Printer";
    return d;
}

// What the server's table holds; the request threads read it.
std::vector<PortDevice> plugged;

void listDevices(std::vector<PortDevice>* out)
{
    std::lock_guard<std::mutex> hold(seenMutex);
    *out = plugged;
}
int rowCount()
{
    return 40;
}
int disconnectPort(int port)
{
    std::lock_guard<std::mutex> hold(seenMutex);
    disconnected.push_back(port);
    return 1;
}
const UsbPortSource kSource = {listDevices, rowCount, disconnectPort};

const std::string kAdminKey(16, 'A');
const std::string kUserKey(16, 'U');

int findByKey(const char* key, bool, WebSessionView* out)
{
    if (key == kAdminKey || key == kUserKey) {
        out->slot = key == kAdminKey ? 2 : 0;
        out->type = key == kAdminKey ? 3 : 2;
        out->key = key;
        out->user = key == kAdminKey ? "admin" : "user";
        return out->slot;
    }
    return -1;
}
const WebSessionOps kSessions = {findByKey};

class StartPage : public testing::Test {
protected:
    void SetUp() override
    {
        useProduct(root_, "product_id=1\nusb_ports_phy=2\nproduct_name=VK-2\nhw_project=7\nyear=2024\nmonth=3\n"
                          "serial_no=42\n");
        root_.writeFile("/romfs/templates/start.html",
                        "rows={UTAB#} hot={UTAB_hot_1} serial={SerialNo} refresh={MetaAutoRefresh}\n");
        std::filesystem::create_directories(root_.dir() + "/tmp");
        params_.set("sessKeys", "on");
        params_.set("usb_owner_", "pc (198.18.0.9)", 1);
        setUsbPortSource(&kSource);
        setWebSessionOps(&kSessions);
        registerDevicePages();
        registerSecurityPages();
        std::lock_guard<std::mutex> hold(seenMutex);
        disconnected.clear();
        plugged = {printerOnPort1()};
    }
    void TearDown() override
    {
        setUsbPortSource(nullptr);
        setWebSessionOps(nullptr);
        root_.writeFile("/conf.d/product_params", "");
        reloadProductInfoForTest();
    }

    // One request on its own connection task; the whole answer.
    std::string get(const std::string& target, const std::string& key)
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        auto* conn = new Connection(nullptr, nullptr, -1);
        conn->fd = fds[0];
        conn->family = AF_UNIX;
        conn->type = SOCK_STREAM;
        conn->state = kConnConnected;
        auto* task = new HttpConnection(conn, false);
        EXPECT_GT(task->start(kConnectionStack, 0), 0);
        std::string request = "GET " + target + " HTTP/1.0\r\nCookie: SessKey=" + key + "\r\n\r\n";
        EXPECT_EQ(write(fds[1], request.data(), request.size()), static_cast<ssize_t>(request.size()));
        std::string all;
        char buffer[8192];
        for (;;) {
            pollfd p{fds[1], POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0)
                break;
            ssize_t n = read(fds[1], buffer, sizeof buffer);
            if (n <= 0)
                break;
            all.append(buffer, static_cast<size_t>(n));
        }
        close(fds[1]);
        return all;
    }
    std::vector<int> seen()
    {
        std::lock_guard<std::mutex> hold(seenMutex);
        return disconnected;
    }

    TempBoxRoot root_;
    ParamOverride params_;
};

TEST_F(StartPage, AdministratorDisconnectsAnExistingPortOnly)
{
    struct Case {
        const char* query;
        const std::string& key;
        std::vector<int> ports;
    } cases[] = {
        {"?disconnect=1", kAdminKey, {1}},
        {"?disconnect=2", kAdminKey, {2}},
        {"?disconnect=3", kAdminKey, {}},   // a 2-port box
        {"?disconnect=0", kAdminKey, {}},
        {"?disconnect=1x", kAdminKey, {}},
        {"?disconnect=-1", kAdminKey, {}},
        {"?disconnect=1", kUserKey, {}},   // a user cannot
        {"", kAdminKey, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.query) + " " + c.key);
        {
            std::lock_guard<std::mutex> hold(seenMutex);
            disconnected.clear();
        }
        std::string page = get(std::string("/start.html") + c.query, c.key);
        EXPECT_NE(page.find("200 OK"), std::string::npos) << page;
        EXPECT_EQ(seen(), c.ports);
        // After a disconnect the page comes back to itself, without the
        // query that would disconnect again.
        bool refreshes = page.find("refresh=<meta") != std::string::npos;
        EXPECT_EQ(refreshes, !c.ports.empty()) << page;
        if (refreshes) {
            EXPECT_EQ(page.find("disconnect="), std::string::npos) << page;
        }
    }
}

TEST_F(StartPage, PortInUseAndSerialNumber)
{
    std::string admin = get("/start.html", kAdminKey);
    EXPECT_NE(admin.find("rows=2 hot=1 serial=00720240300042"), std::string::npos) << admin;
    std::string user = get("/start.html", kUserKey);
    EXPECT_NE(user.find("rows=2 hot= serial="), std::string::npos) << user;
}

// A tagged port with a device gets a row of its own under the tag on the
// start and the encryption page, whatever the language of the address; the
// device access page says so where a port is empty.
TEST_F(StartPage, PortTableRowsOfEachPage)
{
    params_.set("zyt_tag_", "Desk", 1);
    params_.set("sw_features", std::to_string(kFeatureAccessControl));
    // The language of an address becomes the box's.
    params_.set("language", params::language()->text());
    std::filesystem::create_directories(root_.dir() + "/etc");
    for (const char* name : {"/device/usb.html", "/security/encrypt.html", "/security/devacc.html"}) {
        root_.writeFile(std::string("/romfs/templates") + name,
                        "rows={UTAB#} p2=[{?UTAB_prod_2}] p3=[{?UTAB_prod_3}]\n");
    }
    const struct {
        const char* url;
        const char* shows;
    } cases[] = {
        {"/start.html", "rows=3 "},
        {"/device/usb.html", "rows=2 p2=[&ndash;] p3=[]"},
        {"/security/encrypt.html", "rows=3 p2=[Printer] p3=[&ndash;]"},
        {"/security/encrypt_de.html", "rows=3 p2=[Printer] p3=[&ndash;]"},
        {"/security/devacc.html", "rows=2 p2=[No device connected] p3=[]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        std::string page = get(c.url, kAdminKey);
        EXPECT_NE(page.find("200 OK"), std::string::npos) << page;
        EXPECT_NE(page.find(c.shows), std::string::npos) << page;
    }
}

// The keys under their parameters' names, the key itself and escaped; the
// ids of each port's devices in table order.
TEST_F(StartPage, DeviceAccessPageShowsKeysAndTheIdsOfEachPort)
{
    root_.writeFile("/romfs/templates/security/devacc.html",
                    "K1[{zyt_keyval_1}] K2[{zyt_keyval_2}] V1[{?VendProds_1}] V2[{?VendProds_2}] rows={UTAB#}\n");
    // Keys read back masked, which the override cannot put back.
    struct Keys {
        Keys()
        {
            params::zyt_keyval(1)->set("k<1>&", -1);
            params::zyt_keyval(2)->set("", -1);
        }
        ~Keys() { params::zyt_keyval(1)->set("", -1); }
    } keys;
    auto device = [](int row, int port, int vendor, int product) {
        PortDevice d;
        d.row = row;
        d.port = port;
        d.idVendor = vendor;
        d.idProduct = product;
        return d;
    };
    {
        std::lock_guard<std::mutex> hold(seenMutex);
        plugged = {device(0, 2, 0x1111, 0x2222), device(1, 1, 0xabcd, 0x1), device(2, 2, 0x0a0b, 0x0c0d)};
    }
    params_.set("sw_features", std::to_string(kFeatureAccessControl));
    std::string page = get("/security/devacc.html", kAdminKey);
    EXPECT_NE(page.find("K1[k&lt;1&gt;&amp;] K2[] V1[abcd:0001 ] V2[1111:2222 0a0b:0c0d ] rows=3"), std::string::npos)
        << page;

    // No device anywhere: no ids at all.
    {
        std::lock_guard<std::mutex> hold(seenMutex);
        plugged.clear();
    }
    page = get("/security/devacc.html", kAdminKey);
    EXPECT_NE(page.find("V1[] V2[] rows=2"), std::string::npos) << page;

    // A model without port access control has no such page.
    params_.set("sw_features", std::to_string(kFeatureEmail | kFeaturePortPower));
    page = get("/security/devacc.html", kAdminKey);
    EXPECT_NE(page.find(" 500 "), std::string::npos) << page;
    EXPECT_EQ(page.find("K1["), std::string::npos) << page;
}

TEST(StartPageLights, SupplyAndLinkColours)
{
    struct Case {
        bool relay;
        uint32_t supply, display;
        int link;
        const char *leftPow, *rightPow, *leftLink, *rightLink;
    } cases[] = {
        {true, 0x3, 0, 0, "green", "green", "-", "-"},
        {true, 0x2, 0, 0, "red", "green", "-", "-"},   // input 1 missing
        {true, 0x0, 0, 0, "red", "red", "-", "-"},
        {false, 0, 0x1, 0x11, "green", "red", "green", "green"},  // input 1 missing
        {false, 0, 0x2, 0x10, "red", "green", "green", "red"},
        {false, 0, 0x0, 0x1, "green", "green", "red", "green"},
    };
    for (const Case& c : cases) {
        TemplateVars vars;
        setPowerAndLinkLights(vars, c.relay, c.supply, c.display, c.link);
        auto get = [&](const char* name) {
            const std::string* v = vars.find(name, -1);
            return v ? *v : std::string("-");
        };
        SCOPED_TRACE(testing::Message() << c.relay << " " << c.supply << " " << c.display << " " << c.link);
        EXPECT_EQ(get("LeftPow"), c.leftPow);
        EXPECT_EQ(get("RightPow"), c.rightPow);
        EXPECT_EQ(get("LeftLink"), c.leftLink);
        EXPECT_EQ(get("RightLink"), c.rightLink);
    }
}

} // namespace
