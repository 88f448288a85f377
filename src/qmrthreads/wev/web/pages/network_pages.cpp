#include "web/pages/network_pages.h"

#include "web/http/http_connection.h"
#include "web/http/page_answers.h"
#include "web/http/page_table.h"
#include "web/http/save_params_page.h"
#include "web/pages/ipv6_addresses.h"
#include "web/pages/network_page_sources.h"

#include "core/net/dhcp_lease.h"
#include "core/net/net_interface.h"
#include "core/notify/notify_event.h"
#include "core/params/param_handles.h"
#include "core/product/model_features.h"
#include "core/task/tick_clock.h"
#include "core/util/uptime_text.h"
#include "platform/files/root_path.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

const NetworkPageSources* sources = nullptr;

// Asks the POP3 intake to poll now (the notification task hands it on).
constexpr uint32_t kPollMailNow = 0x8000;

bool formSaysSet(const HttpConnection& connection)
{
    std::string action;
    return connection.getFormVar("action", &action) && action == "set";
}

bool isSetBy(const char* token)
{
    return strcmp(params::ip_setby()->currentToken(), token) == 0;
}

// The web becomes the address's source when the form changed the address,
// or switched off the protocol that had set it. Whether ip_setby changed.
bool takeAddressSource(bool addressChanged)
{
    const bool offDhcp = isSetBy("dhcp") && params::ip_dhcp()->isOff();
    const bool offBootp = isSetBy("bootp") && params::ip_bootp()->isOff();
    if (!addressChanged && !offDhcp && !offBootp)
        return false;
    if (isSetBy("http"))
        return false;
    params::ip_setby()->set("http", -1);
    return true;
}

std::string ticksText(uint64_t ticks)
{
    char text[32];
    return uptimeText(ticks, text, sizeof text);
}

void setLeaseVars(HttpConnection& connection)
{
    const uint64_t start = dhcpLeaseStartTick();
    if (params::ip_dhcp()->isOff() || start < 1)
        return;
    TemplateVars& vars = connection.vars();
    vars.setRaw("DhcpHaveLease", "1");
    const int seconds = dhcpLeaseTime();
    // A lease of 0 seconds is one without end.
    if (seconds == 0)
        vars.setRaw("DhcpLease", connection.translate("unlimited"));
    else
        vars.setRaw("DhcpLease", ticksText(static_cast<uint64_t>(seconds > 0 ? seconds : 0) * 100));
    const uint64_t now = boardTicks();
    vars.setRaw("DhcpGotLease", ticksText(now > start ? now - start : 0));
}

void setIpv6AddressVars(HttpConnection& connection)
{
    NetInterface* iface = currentInterface();
    if (!iface)
        return;
    std::vector<std::string> addresses;
    if (!readInterfaceIpv6Addresses(boxPath("/proc/net/if_inet6"), iface->name(), &addresses))
        return;
    TemplateVars& vars = connection.vars();
    for (size_t n = 0; n < addresses.size(); ++n)
        vars.setIndexed("ipv6_addrlist_", static_cast<int>(n), addresses[n], true);
    vars.setCount("ipv6_addrlist_", static_cast<int>(addresses.size()));
    if (addresses.empty())
        return;
    std::vector<Ipv6Route> routes;
    if (!readIpv6Routes(iface->name(), routes))
        return;
    for (size_t n = 0; n < routes.size(); ++n) {
        const Ipv6Route& r = routes[n];
        vars.setIndexed("ipv6_gatelist_", static_cast<int>(n),
                        std::string(r.destination) + "/" + std::to_string(r.prefixLength) + " </td><td> " + r.nextHop,
                        true);
    }
    vars.setCount("ipv6_gatelist_", static_cast<int>(routes.size()));
}

void setMailVars(HttpConnection& connection)
{
    if (!sources || !sources->mailCounters)
        return;
    MailCounters m;
    sources->mailCounters(&m);
    TemplateVars& vars = connection.vars();
    vars.setRaw("emails_in", std::to_string(m.received));
    vars.setRaw("emails_spam", std::to_string(m.refused));
    vars.setRaw("emails_out", std::to_string(m.sent));
    if (sources->mailStatusText) {
        vars.setRaw("emails_instat", connection.translate(sources->mailStatusText(m.pop3Progress)));
        vars.setRaw("emails_inerr", connection.translate(sources->mailStatusText(m.pop3Error)));
        vars.setRaw("emails_outstat", connection.translate(sources->mailStatusText(m.smtpProgress)));
        vars.setRaw("emails_outerr", connection.translate(sources->mailStatusText(m.smtpError)));
    }
    const int64_t left = m.pop3NextPoll - static_cast<int64_t>((boardTicks() + 50) / 100);
    vars.setRaw("emails_next", std::to_string(left > 0 ? left : 0));
}

} // namespace

void setNetworkPageSources(const NetworkPageSources* s)
{
    sources = s;
}

const NetworkPageSources* networkPageSources()
{
    return sources;
}

int ipv4Page(HttpConnection& connection)
{
    if (formSaysSet(connection)) {
        FormApplied applied;
        if (applyPostedForm(connection, &applied)) {
            const bool sourceChanged = takeAddressSource(applied.addressChanged);
            if (applied.changed != 0 || sourceChanged) {
                int result = finishParamChange(connection);
                if (result != 1)
                    return result;
            }
        }
    }
    setLeaseVars(connection);
    return 1;
}

int ip4VlanPage(HttpConnection& connection)
{
    int result = saveParamsPage(connection);
    if (result != 1)
        return result;
    if (NetInterface* iface = currentInterface())
        iface->applyVlanParams();
    return 1;
}

int ipv6Page(HttpConnection& connection)
{
    int result = saveParamsPage(connection);
    if (result != 1)
        return result;
    setIpv6AddressVars(connection);
    return 1;
}

int bonjourPage(HttpConnection& connection)
{
    int result = saveParamsPage(connection);
    if (result == 1 && sources && sources->bonjourName)
        connection.vars().setText("bonjour_current", sources->bonjourName());
    return result;
}

int emailPage(HttpConnection& connection)
{
    if (!(static_cast<uint32_t>(params::sw_features()->value()) & kFeatureEmail))
        return -1;
    std::string unused;
    if (connection.getFormVar("checknow", &unused)) {
        postNotifyMessage(kPollMailNow);
        size_t directory = 0;
        connection.refreshTarget = connection.currentUrl(&directory);
        connection.refreshSeconds = 5;
        return showWaitPage(connection, connection.translate("Check email now...").c_str());
    }
    int result = saveParamsPage(connection);
    if (result != 1)
        return result;
    setMailVars(connection);
    return 1;
}

void registerNetworkPages()
{
    setPageHandler("/network/ipv4.html", ipv4Page);
    setPageHandler("/network/ip4vlan.html", ip4VlanPage);
    setPageHandler("/network/ipv6.html", ipv6Page);
    setPageHandler("/network/wlan.html", wlanPage);
    setPageHandler("/network/bonjour.html", bonjourPage);
    setPageHandler("/network/email.html", emailPage);
}
