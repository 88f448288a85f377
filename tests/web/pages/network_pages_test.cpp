// The network settings pages served by a real connection task over a socket
// pair, with small templates that print the variables the handlers set.
#include "web/pages/network_pages.h"
#include "web/pages/network_page_sources.h"

#include "web/http/http_connection.h"

#include "core/cert/cert_files.h"
#include "core/net/connection.h"
#include "core/net/dhcp_lease.h"
#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/model_features.h"
#include "core/task/tick_clock.h"
#include "support/cert_test_support.h"
#include "support/param_override.h"
#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

WlanStatusView injectedStatus;
std::vector<WlanScanEntry> injectedScan;

bool readStatus(WlanStatusView* out)
{
    *out = injectedStatus;
    return true;
}

void readScan(std::vector<WlanScanEntry>* out)
{
    *out = injectedScan;
}

std::string bonjourName()
{
    return "Box <2> \"%s\"";
}

void mailCounters(MailCounters* out)
{
    out->received = 4;
    out->sent = 7;
    out->smtpError = 13;
}

const char* statusText(int code)
{
    return code == 13 ? "DNS failed" : "no error";
}

const NetworkPageSources kSources = {bonjourName, mailCounters, statusText, readStatus, readScan};

class NetworkPage : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_.writeFile("/romfs/templates/wait4.html", "WAIT[{DisplayMsg}] {MetaAutoRefresh}\n");
        root_.writeFile("/romfs/templates/network/snmp.html", "ERR[{ErrMsg}] NAME[{sys_name}]\n");
        root_.writeFile("/romfs/templates/network/wlan.html",
                        "ERR[{ErrMsg}] STAT[{wifi_curstat}] NAME[{wifi_curname}] SPEED[{wifi_curspeed}] "
                        "LEVEL[{wifi_curlevel}] PIC[{wifi_levpic}] N[{wifilname#}]\n"
                        "{[wifilname+1]ROW[{wifilpic_}|{wifilname_}|{wifiltitle_}|{wifilcrypt_}|{wifiltype_}|"
                        "{wifilset_}]\n}"
                        "ROOTS[{Root#}{[Root+1]:{Root_}:{OHash_}:{EAProot_}}]\n");
        root_.writeFile("/romfs/templates/network/ipv6.html",
                        "N[{ipv6_addrlist_#}] {[ipv6_addrlist_]A[{ipv6_addrlist_}]}"
                        " R[{ipv6_gatelist_#}] {[ipv6_gatelist_]G[{ipv6_gatelist_}]}\n");
        root_.writeFile("/romfs/templates/network/bonjour.html", "CUR[{bonjour_current}]\n");
        root_.writeFile("/romfs/templates/network/ipv4.html",
                        "HAVE[{DhcpHaveLease}] LEASE[{DhcpLease}] GOT[{DhcpGotLease}]\n");
        root_.writeFile("/romfs/templates/network/email.html",
                        "ERR[{ErrMsg}] IN[{emails_in}] OUT[{emails_out}] OUTERR[{emails_outerr}] NEXT[{emails_next}]\n");
        std::filesystem::create_directories(root_.dir() + "/etc");
        std::filesystem::create_directories(root_.dir() + "/flash");
        std::filesystem::create_directories(root_.dir() + "/var/wifi");
        std::filesystem::create_directories(root_.dir() + "/tmp");
        params_.set(params::sessKeys(), "off");
        params_.set(params::wifi_onair(), "on");
        registerNetworkPages();
        setNetworkPageSources(&kSources);
        injectedStatus = WlanStatusView{};
        injectedScan.clear();
        // What the test set is no change a page's save should act on.
        resetModified();
    }
    void TearDown() override { setNetworkPageSources(nullptr); }

    // One request on a fresh connection task; everything it answered.
    std::string serve(const std::string& request)
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
        size_t sent = 0;
        while (sent < request.size()) {
            ssize_t n = write(fds[1], request.data() + sent, request.size() - sent);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        std::string all;
        char buffer[16384];
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
    std::string post(const char* path, const std::string& body)
    {
        return serve(std::string("POST ") + path + " HTTP/1.1\r\nConnection: close\r\n"
                     "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    std::string get(const std::string& pathAndQuery)
    {
        return serve("GET " + pathAndQuery + " HTTP/1.1\r\nConnection: close\r\n\r\n");
    }

    TempBoxRoot root_;
    ParamOverride params_;
};

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST_F(NetworkPage, BadValuesAreRefusedWithTheFieldNamedAndNothingChanges)
{
    params_.set(params::sys_name(), "before");
    params_.set(params::snmpv1_community(), "public");
    resetModified();
    const char* refused[][2] = {
        {"sys_name=after&snmpv1_community=pub%01lic", "snmpv1_community"},       // control character
        {"snmpv1_community=pub%00lic&sys_name=after", "snmpv1_community"},       // NUL inside
        {"sys_name=after&__sys_contact=" "%0Ax%0D", "__sys_contact"},            // line end inside
        {"sys_name=after&ipv6_plen=65", "ipv6_plen"},                            // out of range
        {"sys_name=after&smtp_port=25x", "smtp_port"},                           // wrong type
        {"sys_name=after&dns_primary=198.18.0.300", "dns_primary"},              // no address
        {"sys_name=after&snmpv1=maybe", "snmpv1"},                               // no boolean
    };
    for (const auto& c : refused) {
        std::string page = post("/network/snmp.html", std::string("action=set&") + c[0]);
        EXPECT_TRUE(contains(page, "HTTP/1.1 200")) << c[0];
        EXPECT_TRUE(contains(page, std::string(": ") + c[1] + "]")) << page;
        EXPECT_TRUE(contains(page, "NAME[before]")) << c[0];
        EXPECT_EQ(params::snmpv1_community()->text(), "public") << c[0];
    }
    EXPECT_EQ(params::ipv6_plen()->text(), "64");
    std::string page = post("/network/snmp.html", "action=set&sys_name=after");
    EXPECT_TRUE(contains(page, "ERR[] NAME[after]")) << page;
}

TEST_F(NetworkPage, WithoutActionSetAFormChangesNothing)
{
    params_.set(params::sys_name(), "before");
    EXPECT_TRUE(contains(post("/network/snmp.html", "sys_name=after"), "NAME[before]"));
    EXPECT_TRUE(contains(post("/network/snmp.html", "action=sett&sys_name=after"), "NAME[before]"));
}

TEST_F(NetworkPage, WlanStatusAndScanList)
{
    injectedStatus.mode = 2;
    injectedStatus.essid = "Lab <net>";
    injectedStatus.bitRate = "54 Mb/s";
    injectedStatus.quality = 67;
    injectedScan = {
        {"02:11:22:33:44:55", "%s", "[WPA2-PSK-CCMP][ESS]", -70, 6, "2.437 GHz"},
        {"02:11:22:33:44:56", "it's <b>", "[WPA-PSK-TKIP+CCMP][WPA2-PSK-TKIP+CCMP][ESS]", -40, 11, "2.462 GHz"},
        {"02:11:22:33:44:57", "cell", "[IBSS]", -95, 1, "2.412 GHz"},
        {"02:11:22:33:44:58", "bare", "", -80, 3, "2.422 GHz"},
    };
    std::string page = get("/network/wlan.html");
    EXPECT_TRUE(contains(page, "STAT[Infrastructure] NAME[Lab &lt;net&gt;] SPEED[54 Mb/s] LEVEL[67] "
                               "PIC[\"/pics/wlan060.png\"] N[4]"))
        << page;
    EXPECT_TRUE(contains(page, "ROW[\"/pics/wlan060.png\"|%s|Copy configuration data of: 02:11:22:33:44:55|"
                               "[WPA2-PSK-CCMP][ESS]|Infrastructure [6 / 2.437 GHz]|'%s',6,0,5]"))
        << page;
    // The SSID reaches the script as a string that neither its quote nor
    // HTML can end.
    EXPECT_TRUE(contains(page, "ROW[\"/pics/wlan100.png\"|it&#39;s &lt;b&gt;|"));
    EXPECT_TRUE(contains(page, "|'it\\x27s \\x3cb\\x3e',8,0,10]")) << page;
    EXPECT_TRUE(contains(page, "ROW[\"/pics/wlan000.png\"|cell|Copy configuration data of: 02:11:22:33:44:57|[IBSS]|"
                               "AdHoc [1 / 2.412 GHz]|'cell',0,1,0]"))
        << page;
    EXPECT_TRUE(contains(page, "|bare|Copy configuration data of: 02:11:22:33:44:58|ERROR|"));
}

TEST_F(NetworkPage, WlanOffAirAndAdHoc)
{
    params_.set(params::wifi_onair(), "off");
    injectedStatus.mode = 2;
    injectedStatus.quality = 90;
    injectedStatus.bitRate = "54 Mb/s";
    EXPECT_TRUE(contains(get("/network/wlan.html"), "SPEED[---] LEVEL[---] PIC[\"/pics/wlan000.png\"] N[0]"));
    params_.set(params::wifi_onair(), "on");
    injectedStatus.mode = 1;
    EXPECT_TRUE(contains(get("/network/wlan.html"), "STAT[Ad-Hoc] NAME[] SPEED[54 Mb/s] LEVEL[] PIC[/pics/wlan060.png]"));
}

TEST_F(NetworkPage, EapRootTakesOnlyAnExistingCaFileName)
{
    certtest::Key key = certtest::newKey();
    certtest::CertShape shape;
    shape.subject = {{"C", "DE"}, {"O", "X"}, {"CN", "Lab root"}};
    shape.ca = true;
    const std::string pem = certtest::makeCertPem(shape, key.get());
    char name[16];
    snprintf(name, sizeof name, "%08lx.0", certtest::subjectHashOf(pem));
    root_.writeFile(std::string("/flash/") + name, pem);
    root_.writeFile("/tmp/xyz", "not a ca\n");
    const std::string link = root_.dir() + "/flash/cert_root.pem";
    const std::string stem = std::string(name).substr(0, 8);
    const std::string refused[] = {"../tmp/xyz", "..%2Ftmp%2Fxyz", stem.substr(0, 7) + "g.0", std::string(name) + "0",
                                   "ffffffff.0", stem};
    for (const std::string& value : refused) {
        std::string page = post("/network/wlan.html", "action=set&EAProot=" + value);
        EXPECT_TRUE(contains(page, ": EAProot]")) << value;
        EXPECT_FALSE(std::filesystem::is_symlink(link)) << value;
    }
    // A plain visit chooses nothing.
    get(std::string("/network/wlan.html?EAProot=") + name);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    std::string page = post("/network/wlan.html", std::string("action=set&EAProot=") + name);
    EXPECT_TRUE(contains(page, "ERR[]")) << page;
    // The list of roots marks the one chosen.
    EXPECT_TRUE(contains(page, "ROOTS[1:Lab root:" + stem + ":1]")) << page;
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), name);
    EXPECT_TRUE(contains(post("/network/wlan.html", "action=set&EAProot=---"), "ERR[]"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

// A stand-in for the supplicant's control socket: answers every request
// with "FAIL\n", as the wired driver answers SCAN.
class ControlSocket {
public:
    explicit ControlSocket(const std::string& path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        thread_ = std::thread([this] { answer(); });
    }
    ~ControlSocket()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
        unlink(path_.c_str());
    }
    bool bound() const { return bound_; }
    std::string lastRequest() const { return last_; }

private:
    void answer()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buffer[256];
            sockaddr_un from{};
            socklen_t length = sizeof from;
            ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0)
                continue;
            last_.assign(buffer, static_cast<size_t>(n));
            sendto(fd_, "FAIL\n", 5, 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::string last_;
    std::thread thread_;
};

TEST_F(NetworkPage, ScanAsksTheSupplicantAndAnswersTheWaitPage)
{
    // Without the supplicant the page is shown with the old list.
    EXPECT_TRUE(contains(post("/network/wlan.html", "scanNow=1"), "N[0]"));
    std::string page;
    {
        ControlSocket control(root_.dir() + "/var/wifi/wlan0");
        ASSERT_TRUE(control.bound());
        page = post("/network/wlan.html", "scanNow=1");
        EXPECT_EQ(control.lastRequest(), "SCAN");
    }
    EXPECT_TRUE(contains(page, "WAIT[Please wait...]")) << page;
    EXPECT_TRUE(contains(page, "content=\"6; url=")) << page;
    EXPECT_TRUE(contains(page, "/network/wlan_en.html\"/>")) << page;
}

TEST_F(NetworkPage, Ipv6ListsTheMainInterfacesAddressesAndRoutes)
{
    wiredInterface().setName("eth0");
    setCurrentInterface(&wiredInterface());
    root_.writeFile("/proc/net/if_inet6",
                    "fd42b0c5000000010000000000000002 02 40 00 80     eth0\n"
                    "fe80000000000000021122fffe334455 02 40 20 80     eth0\n"
                    "fd42b0c50000000200000000000000aa 03 40 00 80     eth1\n");
    root_.writeFile("/proc/net/ipv6_route",
                    "fd42b0c5000000010000000000000000 40 00000000000000000000000000000000 00 "
                    "00000000000000000000000000000000 00000100 00000001 00000000 00000001     eth0\n");
    std::string page = get("/network/ipv6.html");
    EXPECT_TRUE(contains(page, "N[2] A[fd42:b0c5:0:1::2]A[fe80::211:22ff:fe33:4455] "
                               "R[1] G[fd42:b0c5:0:1::/64 </td><td> ::]"))
        << page;
    root_.writeFile("/proc/net/if_inet6", "fd42b0c50000000200000000000000aa 03 40 00 80     eth1\n");
    EXPECT_TRUE(contains(get("/network/ipv6.html"), "N[0]  R[]"));
    setCurrentInterface(nullptr);
}

TEST_F(NetworkPage, LeaseVariablesOnlyWhileDhcpHoldsALease)
{
    params_.set(params::ip_dhcp(), "on");
    recordDhcpLeaseTime(-1);
    recordDhcpLeaseStart(0);
    EXPECT_TRUE(contains(get("/network/ipv4.html"), "HAVE[] LEASE[] GOT[]"));
    recordDhcpLeaseTime(600);
    setTickSourceForTest([]() -> uint64_t { return 100000; });
    recordDhcpLeaseStart(100000 - 6100);
    std::string page = get("/network/ipv4.html");
    EXPECT_TRUE(contains(page, "HAVE[1] LEASE[  0/00/10] GOT[  0/00/01]")) << page;
    // A lease without end is not one of 0 minutes.
    recordDhcpLeaseTime(0);
    EXPECT_TRUE(contains(get("/network/ipv4.html"), "LEASE[unlimited]"));
    params_.set(params::ip_dhcp(), "off");
    resetModified();
    EXPECT_TRUE(contains(get("/network/ipv4.html"), "HAVE[] LEASE[] GOT[]"));
    recordDhcpLeaseStart(0);
    setTickSourceForTest(nullptr);
}

TEST_F(NetworkPage, BonjourShowsTheNameInUseAsText)
{
    EXPECT_TRUE(contains(get("/network/bonjour.html"), "CUR[Box &lt;2&gt; &quot;%s&quot;]"));
}

TEST_F(NetworkPage, MailPageNeedsTheFeatureAndCheckNowSavesNothing)
{
    const int32_t features = params::sw_features()->value();
    params_.set(params::sw_features(), std::to_string(features & ~kFeatureEmail));
    EXPECT_TRUE(contains(get("/network/email.html"), "HTTP/1.1 500"));
    params_.set(params::sw_features(), std::to_string(features | kFeatureEmail));
    params_.set(params::smtp_srv(), "mail.example");
    std::string page = post("/network/email.html", "checknow=1&action=set&smtp_srv=other.example");
    EXPECT_TRUE(contains(page, "WAIT[Check email now...]")) << page;
    EXPECT_TRUE(contains(page, "content=\"5; url=")) << page;
    EXPECT_EQ(params::smtp_srv()->text(), "mail.example");
    page = get("/network/email.html");
    EXPECT_TRUE(contains(page, "IN[4] OUT[7] OUTERR[DNS failed] NEXT[0]")) << page;
}

} // namespace
