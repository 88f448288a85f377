// The TLS facts reported about a connection.
#include "core/tls/tls_info.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include "core/tls/tls_connection.h"

const char* tlsProtocolName(const Connection* connection)
{
    const TlsConnection* tls = tlsConnectionOf(connection);
    return tls ? tls->tlsProtocolName() : "";
}

int describeTls(const Connection* connection, char* buffer, size_t size)
{
    const TlsConnection* tls = tlsConnectionOf(connection);
    return tls ? tls->describeTls(buffer, size) : 0;
}

std::vector<TlsCipherName> tlsSessionCiphers(const Connection* connection)
{
    std::vector<TlsCipherName> list;
    const TlsConnection* tls = tlsConnectionOf(connection);
    if (!tls)
        return list;
    STACK_OF(SSL_CIPHER)* ciphers = SSL_get_ciphers(tls->session());
    const int count = ciphers ? sk_SSL_CIPHER_num(ciphers) : 0;
    for (int i = 0; i < count; ++i) {
        const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(ciphers, i);
        list.push_back({SSL_CIPHER_get_version(cipher), SSL_CIPHER_get_name(cipher)});
    }
    return list;
}

const char* tlsLibraryVersion()
{
    return OpenSSL_version(OPENSSL_VERSION);
}
