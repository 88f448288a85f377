// The WLAN page: the interface's status, the networks of the last scan
// with a button each that copies its settings into the form, a new scan on
// request, and the CA certificate that 802.1X trusts.
#include "web/pages/network_pages.h"

#include "web/http/http_connection.h"
#include "web/http/page_answers.h"
#include "web/http/save_params_page.h"
#include "web/pages/eap_root_choice.h"
#include "web/pages/network_page_sources.h"
#include "web/pages/security_pages.h"
#include "web/pages/wlan_scan_texts.h"

#include "core/net/connection.h"
#include "core/params/param_handles.h"
#include "platform/files/root_path.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The supplicant's control socket of the WLAN interface.
constexpr char kWlanControl[] = "/var/wifi/wlan0";
constexpr int64_t kControlWriteTicks = 100;
constexpr int64_t kControlReplyTicks = 400;
constexpr int kScanWaitSeconds = 6;

// Sends SCAN to the supplicant and waits for its answer, which says nothing
// worth reading: the results arrive later and the WLAN control collects
// them. false when the control socket could not be reached.
// A stop message ends this thread inside the waits without unwinding: the
// caller holds no heap-owning local across this call, and the socket
// object is the one thing such a stop leaves behind.
bool requestScan(HttpConnection& connection, const char* controlPath)
{
    Connection* control = new Connection(&connection, nullptr, -1);
    bool reached = control->openUnixDgram(nullptr) && control->connectUnix(controlPath);
    if (reached) {
        int error = 0;
        char reply[256];
        if (control->wait4write(kControlWriteTicks, &error, true) == 1 && control->sendAll("SCAN", 4, true) == 4)
            control->receiveSome(reply, sizeof reply, kControlReplyTicks);
    }
    control->closeSession();
    return reached;
}

void setStatusVars(HttpConnection& connection, const NetworkPageSources* sources)
{
    WlanStatusView status;
    if (sources && sources->wlanStatus)
        sources->wlanStatus(&status);
    TemplateVars& vars = connection.vars();
    const bool onAir = params::wifi_onair()->isOn();
    vars.setRaw("wifi_curstat", wlanModeName(status.mode));
    vars.setText("wifi_curname", status.essid);
    vars.setText("wifi_curspeed", onAir ? status.bitRate : std::string("---"));
    if (status.mode != 1) {
        const int level = onAir ? status.quality : 0;
        vars.setRaw("wifi_curlevel", onAir ? std::to_string(level) : std::string("---"));
        vars.setRaw("wifi_levpic", wlanPicture(wlanQualityStep(level)));
    } else {
        vars.setRaw("wifi_levpic", "/pics/wlan060.png");
    }
    vars.setText("wifi_manu", status.driver);
}

// The text a "copy" button hands to the page's script as its arguments: the
// SSID as a quoted script string, the encryption code, ad-hoc, channel - 1.
std::string scriptString(const std::string& text)
{
    std::string out = "'";
    for (unsigned char c : text) {
        if (c == '\'' || c == '\\' || c < 0x20 || c == '<' || c == '>' || c == '&' || c == '"') {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

void setScanVars(HttpConnection& connection, const NetworkPageSources* sources)
{
    std::vector<WlanScanEntry> list;
    if (sources && sources->wlanScanList)
        sources->wlanScanList(&list);
    TemplateVars& vars = connection.vars();
    const std::string copyTitle = connection.translate("Copy configuration data of:");
    int n = 0;
    for (const WlanScanEntry& e : list) {
        ++n;
        const bool adHoc = wlanIsAdHoc(e.flags);
        vars.setIndexed("wifilpic_", n, wlanPicture(wlanSignalStep(e.level)), true);
        vars.setIndexed("wifilname_", n, e.ssid);
        vars.setIndexed("wifiltitle_", n, copyTitle + " " + e.bssid);
        vars.setIndexed("wifilcrypt_", n, e.flags.empty() ? std::string("ERROR") : e.flags);
        vars.setIndexed("wifiltype_", n,
                        std::string(adHoc ? "AdHoc" : "Infrastructure") + " [" + std::to_string(e.channel) + " / " +
                            e.frequency + "]");
        // The script string escapes every character HTML gives meaning to.
        vars.setIndexed("wifilset_", n,
                        scriptString(e.ssid) + "," + std::to_string(wlanEncryptionCode(e.flags)) + "," +
                            (adHoc ? "1" : "0") + "," + std::to_string(e.channel - 1),
                        true);
    }
    vars.setCount("wifilname", n);
}

bool scanAsked(const HttpConnection& connection)
{
    std::string unused;
    return connection.getFormVar("scanNow", &unused);
}

} // namespace

int wlanPage(HttpConnection& connection)
{
    {
        std::string action, choice;
        if (connection.getFormVar("action", &action) && action == "set" && connection.getFormVar("EAProot", &choice))
            chooseEapRoot(connection, choice);
    }
    int result = saveParamsPage(connection);
    if (result != 1)
        return result;
    if (scanAsked(connection)) {
        char controlPath[128] = "";
        {
            const std::string path = boxPath(kWlanControl);
            if (path.size() < sizeof controlPath)
                snprintf(controlPath, sizeof controlPath, "%s", path.c_str());
        }
        if (controlPath[0] && requestScan(connection, controlPath)) {
            size_t directory = 0;
            connection.refreshTarget = connection.currentUrl(&directory);
            connection.refreshSeconds = kScanWaitSeconds;
            return showWaitPage(connection, connection.translate("Please wait...").c_str());
        }
    }
    const NetworkPageSources* sources = networkPageSources();
    setStatusVars(connection, sources);
    setScanVars(connection, sources);
    return setRootCaVars(connection);
}
