// The TLS layer, registered as the USB sessions' TLS operations
// (usb_session_tls.h).
#include "usbserver/usb_server_task.h"

#include "core/tls/tls_connection.h"
#include "core/tls/tls_info.h"
#include "usbserver/usb_session_tls.h"

#include <openssl/ssl.h>

namespace {

bool hasSession(Connection* connection)
{
    return hasTlsSession(connection);
}

int pendingBytes(Connection* connection)
{
    const TlsConnection* tls = tlsConnectionOf(connection);
    return tls && tls->session() ? SSL_pending(tls->session()) : 0;
}

int describe(Connection* connection, char* buffer, size_t size)
{
    return describeTls(connection, buffer, size);
}

const UsbTlsOps tlsOps = {runServerHandshake, hasSession, pendingBytes, describe};

} // namespace

void useTlsForUsbSessions()
{
    setUsbTlsOps(&tlsOps);
}
