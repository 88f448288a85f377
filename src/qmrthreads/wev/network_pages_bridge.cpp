#include "network_pages_bridge.h"

#include <cstdio>
#include <cstdlib>

#include "core/task/tick_clock.h"
#include "services/mail/smtp_client.h"
#include "services/mdns/bonjour_responder.h"
#include "services/notify/notify_task.h"
#include "services/pop3/pop3_intake.h"
#include "services/wlan/bss_list.h"
#include "services/wlan/wlan_status.h"
#include "web/info/info_pages.h"
#include "web/pages/network_page_sources.h"
#include "web/pages/network_pages.h"

namespace {

std::string bonjourName()
{
    char name[kInstanceNameSize];
    currentBonjourName(name, sizeof name);
    return name;
}

void mailCounters(MailCounters* out)
{
    SmtpStatus smtp = smtpStatus();
    out->sent = smtp.sent > 0 ? static_cast<unsigned long>(smtp.sent) : 0;
    out->smtpProgress = smtp.progress;
    out->smtpError = smtp.error;
    Pop3Status pop3 = pop3Status();
    out->received = pop3.received > 0 ? static_cast<unsigned long>(pop3.received) : 0;
    out->refused = pop3.refused > 0 ? static_cast<unsigned long>(pop3.refused) : 0;
    out->pop3Progress = pop3.progress;
    out->pop3Error = pop3.error;
    out->pop3NextPoll = static_cast<int64_t>((boardTicks() + 50) / 100) + notifySecondsToNextPoll();
}

// "2437" (MHz, as the supplicant reports it) as "2.437 GHz".
std::string frequencyText(const std::string& mhz)
{
    char* end = nullptr;
    const long value = strtol(mhz.c_str(), &end, 10);
    if (mhz.empty() || *end || value <= 0)
        return mhz;
    char text[32];
    snprintf(text, sizeof text, "%ld.%03ld GHz", value / 1000, value % 1000);
    return text;
}

bool wlanStatus(WlanStatusView* out)
{
    if (readWlanStatus() != 0)
        return false;
    out->mode = wlanMode();
    wlanEssid(&out->essid);
    wlanBitRateText(&out->bitRate);
    out->quality = wlanSignalQuality();
    wlanDriverName(&out->driver);
    return true;
}

void wlanScanList(std::vector<WlanScanEntry>* out)
{
    lockScanList(1);
    for (const BssRecord& bss : ::wlanScanList()) {
        WlanScanEntry e;
        e.bssid = bss.bssid;
        e.ssid = bss.ssid;
        e.flags = bss.flags;
        e.level = bss.level;
        e.channel = bss.channel;
        e.frequency = frequencyText(bss.freq);
        out->push_back(std::move(e));
    }
    lockScanList(0);
}

const NetworkPageSources kSources = {bonjourName, mailCounters, mailStatusText, wlanStatus, wlanScanList};

const WlanInfoSource kWlanInfoSource = {wifiInfoPageBody};

} // namespace

void connectNetworkPages()
{
    setNetworkPageSources(&kSources);
    setWlanInfoSource(&kWlanInfoSource);
    registerNetworkPages();
}
