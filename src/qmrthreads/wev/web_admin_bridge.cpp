#include "web_admin_bridge.h"

#include "services/mail/smtp_client.h"
#include "services/pop3/pop3_intake.h"
#include "core/storage/sd_card_state.h"
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

std::string lastPop3Tls()
{
    return pop3Status().tlsInfo;
}

bool sdCard(std::string* label)
{
    if (label)
        *label = sdCardLabel();
    int state = sdCardState();
    return state == kSdCardWriteProtected || state == kSdCardMounted;
}

void countSessions(int* users, int* admins)
{
    webSessionTable().countByLevel(admins, users);
}

const AdminServiceOps kAdminServices = {
    precheckUpdateFile,
    startUpdate,
    lastUsbTls,
    lastPop3Tls,
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
