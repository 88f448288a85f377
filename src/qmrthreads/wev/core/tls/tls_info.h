// The TLS facts that the USB protocol, the mail status and the TLS pages
// report about a connection: record protocol, cipher, the session's cipher
// list and the library's version. Each answers for any connection; a plain
// one (or null) has nothing to report.
#pragma once

#include <cstddef>
#include <vector>

class Connection;

// The record protocol of the connection's session ("TLSv1.2", ...), "" for
// a plain connection or before application data was read.
const char* tlsProtocolName(const Connection* connection);

// "<protocol> <cipher description>" into buffer (the description only when
// more than 128 bytes are left for it): 1, or 0 for null, a plain
// connection or a session without a current cipher.
int describeTls(const Connection* connection, char* buffer, size_t size);

// One cipher the session offers: its protocol version and its name, both
// the library's constant texts.
struct TlsCipherName {
    const char* version;
    const char* name;
};

// The ciphers the connection's session offers, in the library's order;
// empty for a plain connection.
std::vector<TlsCipherName> tlsSessionCiphers(const Connection* connection);

// The library's version text: name, version and build date, blank-separated.
const char* tlsLibraryVersion();
