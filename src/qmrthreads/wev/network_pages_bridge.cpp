#include "network_pages_bridge.h"

#include "services/mail/smtp_client.h"
#include "services/mdns/bonjour_responder.h"
#include "web/pages/network_page_sources.h"
#include "web/pages/network_pages.h"

namespace {

std::string bonjourName()
{
    char name[kInstanceNameSize];
    currentBonjourName(name, sizeof name);
    return name;
}

// The sending side only: this program takes no mail in yet, so the
// intake's counters stay 0.
void mailCounters(MailCounters* out)
{
    SmtpStatus smtp = smtpStatus();
    out->sent = smtp.sent > 0 ? static_cast<unsigned long>(smtp.sent) : 0;
    out->smtpProgress = smtp.progress;
    out->smtpError = smtp.error;
}

// No WLAN control is built into this program yet: the WLAN page shows no
// status and no scan list.
const NetworkPageSources kSources = {bonjourName, mailCounters, mailStatusText, nullptr, nullptr};

} // namespace

void connectNetworkPages()
{
    setNetworkPageSources(&kSources);
    registerNetworkPages();
}
