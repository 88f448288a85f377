#include "usbserver/usb_session_tls.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "usbserver/usb_poll_record.h"

namespace {

std::atomic<const UsbTlsOps*> tlsOps{nullptr};

std::mutex tlsInfoMutex;
char tlsInfoText[kUsbTlsInfoSize];

} // namespace

void storeTlsInfo(UsbPollRecord* session)
{
    session->tlsInfoDone = 1;
    const UsbTlsOps* ops = usbTlsOps();
    char text[kUsbTlsInfoSize] = {};
    if (!ops || !ops->describe || !ops->describe(session->connection, text, sizeof text))
        return;
    std::lock_guard<std::mutex> lock(tlsInfoMutex);
    memcpy(tlsInfoText, text, sizeof tlsInfoText);
    tlsInfoText[sizeof tlsInfoText - 1] = 0;
}

void setUsbTlsOps(const UsbTlsOps* ops)
{
    tlsOps.store(ops);
}

const UsbTlsOps* usbTlsOps()
{
    return tlsOps.load();
}

int usbTlsInfo(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return 0;
    std::lock_guard<std::mutex> lock(tlsInfoMutex);
    return snprintf(buffer, size, "%s", tlsInfoText);
}

bool isTlsSession(const UsbPollRecord* record)
{
    const UsbTlsOps* ops = usbTlsOps();
    return record && record->connection && ops && ops->hasSession && ops->hasSession(record->connection);
}
