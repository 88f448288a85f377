// The TLS layer's part in a USB session, behind one table of operations:
// the sessions and the server call the table, never the TLS layer itself,
// so a test may register its own.
#pragma once

#include <cstddef>

class Connection;
struct UsbPollRecord;

// Whoever builds TLS connections registers these; until then the USB server
// opens no TLS listener and every session is plain.
struct UsbTlsOps {
    // The server handshake, run on the session's own thread and bounded by
    // the TLS layer; 1 when the session is established.
    int (*serverHandshake)(Connection* connection);
    bool (*hasSession)(Connection* connection);
    // Decrypted bytes waiting inside the session.
    int (*pending)(Connection* connection);
    // The protocol and cipher text; 1 when written.
    int (*describe)(Connection* connection, char* buffer, size_t size);
};
void setUsbTlsOps(const UsbTlsOps* ops);
const UsbTlsOps* usbTlsOps();

// The TLS description of the last TLS session (the certificate page shows
// it); empty before any. Returns the length.
constexpr size_t kUsbTlsInfoSize = 140;
int usbTlsInfo(char* buffer, size_t size);
// Keeps the TLS description of the session's connection as the last one;
// the session's first complete read does it, once the handshake is over.
void storeTlsInfo(UsbPollRecord* session);

// The client connection carries a TLS session.
bool isTlsSession(const UsbPollRecord* record);
