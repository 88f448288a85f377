#include "web_admin_bridge.h"

#include "services/mail/smtp_client.h"
#include "services/sdcard/sd_card_task.h"
#include "services/update/firmware_update.h"
#include "usbserver/usb_session_tls.h"
#include "web/pages/admin_pages.h"
#include "web/pages/admin_services.h"
#include "web/sessions/web_session_table.h"

#include <cstring>

namespace {

std::string lastUsbTls()
{
    char text[kUsbTlsInfoSize];
    return usbTlsInfo(text, sizeof text) > 0 ? std::string(text) : std::string();
}

std::string lastSmtpTls()
{
    return smtpStatus().tlsInfo;
}

bool sdCard(std::string* label)
{
    // The watcher's thread writes the record, without a lock: the page reads
    // it as the box always has, a label changing only when a card comes in.
    const SdMedium& card = sdCardMedium();
    if (label)
        label->assign(card.label, strnlen(card.label, sizeof card.label));
    return card.mounted;
}

void countSessions(int* users, int* admins)
{
    webSessionTable().countByLevel(admins, users);
}

const AdminServiceOps kAdminServices = {
    precheckUpdateFile,
    startUpdate,
    lastUsbTls,
    nullptr,  // POP3 intake keeps no TLS description yet
    lastSmtpTls,
    sdCard,
    countSessions,
};

} // namespace

void connectAdminPages()
{
    setAdminServiceOps(&kAdminServices);
    registerAdminPages();
}
