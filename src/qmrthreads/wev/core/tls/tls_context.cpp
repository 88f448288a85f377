// The TLS library's set-up and the per-connection contexts.
#include "core/tls/tls_context.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/cert/cert_files.h"
#include "core/net/connection.h"
#include "core/util/file_queries.h"
#include "core/params/param.h"
#include "core/params/param_handles.h"
#include "core/tls/tls_connection.h"

namespace {

std::once_flag initOnce;

bool fileExists(const std::string& path)
{
    return fileSize(path.c_str(), nullptr, 0, nullptr) >= 0;
}

// Security level 0 no longer drops the anonymous suites that "MEDIUM" and
// "HIGH" name (the default level did): a server without authentication would
// be offered to any client that asks. "DEFAULT" excludes them itself.
const char* cipherListFor(int security)
{
    switch (security) {
    case 1:
        return "LOW:!aNULL";
    case 2:
        return "MEDIUM:RSA+AES128+SHA:!aNULL";
    case 3:
        return "HIGH:!aNULL";
    default:
        return "DEFAULT";
    }
}

// `sslmethod` fixes one version or, with "any", allows 1.0 to 1.2.
void setVersions(SSL_CTX* context)
{
    int lowest = TLS1_VERSION;
    int highest = TLS1_2_VERSION;
    const P3List* method = params::sslmethod();
    if (method->equalsToken("tls10"))
        lowest = highest = TLS1_VERSION;
    else if (method->equalsToken("tls11"))
        lowest = highest = TLS1_1_VERSION;
    else if (method->equalsToken("tls12"))
        lowest = highest = TLS1_2_VERSION;
    SSL_CTX_set_min_proto_version(context, lowest);
    SSL_CTX_set_max_proto_version(context, highest);
}

SSL_CTX* newContext(bool server)
{
    SSL_CTX* context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!context) {
        ERR_print_errors_fp(stderr);
        return nullptr;
    }
    setVersions(context);
    // A list that names no cipher this library still has ("LOW") fails, and
    // leaves the context with the TLS 1.3 suites alone, which these versions
    // cannot use: every handshake would fail. Such a level gets the default.
    if (SSL_CTX_set_cipher_list(context, cipherListFor(params::security()->value())) != 1) {
        ERR_clear_error();
        SSL_CTX_set_cipher_list(context, "DEFAULT");
    }
    // After the cipher list: the level is what lets the 1024-bit keys and
    // TLS 1.0/1.1 through.
    SSL_CTX_set_security_level(context, 0);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return context;
}

// A context of its own for each try: a pair that half loaded must not leave
// its certificate or key behind in the context that serves the other pair.
SSL_CTX* newContextWithPair(bool server, int kind)
{
    SSL_CTX* context = newContext(server);
    if (!context)
        return nullptr;
    if (tlsLoadKeyPair(context, kind))
        return context;
    SSL_CTX_free(context);
    return nullptr;
}

Connection* newTlsServerConnection(Task* owner, NetInterface* iface, int vlanId)
{
    return new TlsConnection(owner, iface, vlanId);
}

void initLibrary(int value)
{
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_ssl(0, nullptr);
    unsigned char seed[8] = {};
    memcpy(seed, &value, sizeof value);
    RAND_seed(seed, sizeof seed);
    InitHwEngineServerSSL();
    setServerConnectionFactory(newTlsServerConnection);
    // The self-signed key may come from an older firmware that left it
    // readable.
    chmod(certFilePath(CERT_PKEY).c_str(), 0600);
}

} // namespace

int tlsInitOnce(int value)
{
    std::call_once(initOnce, initLibrary, value);
    return value;
}

void InitHwEngineServerSSL()
{
    fprintf(stderr, "%s() can not find engine Id: %s\n", "InitHwEngineServerSSL", "devcrypto");
}

namespace {

constexpr int kTlsPairKinds = kTlsPairRequest + 1;

// The files of a pair as they are now: a changed file gives another stamp.
uint64_t pairStamp(const std::string& key, const std::string& certificate)
{
    uint64_t stamp = 1469598103934665603ull;
    for (const std::string* path : {&key, &certificate}) {
        struct stat st {};
        stat(path->c_str(), &st);
        for (uint64_t v : {uint64_t(st.st_dev), uint64_t(st.st_ino), uint64_t(st.st_size),
                           uint64_t(st.st_mtim.tv_sec), uint64_t(st.st_mtim.tv_nsec)})
            stamp = (stamp ^ v) * 1099511628211ull;
    }
    return stamp;
}

// A pair that cannot be used is tried at every connection: its errors are
// said once, and again only when one of its files changes.
void reportUnusablePair(int kind, const std::string& key, const std::string& certificate)
{
    static std::atomic<uint64_t> reported[kTlsPairKinds];
    const uint64_t stamp = pairStamp(key, certificate);
    if (kind < 0 || kind >= kTlsPairKinds || reported[kind].exchange(stamp) != stamp) {
        fprintf(stderr, "TLS: the key %s and the certificate %s cannot be used:\n", key.c_str(), certificate.c_str());
        ERR_print_errors_fp(stderr);
    }
    ERR_clear_error();
}

} // namespace

int tlsLoadKeyPair(SSL_CTX* context, int kind)
{
    const int keyIndex = certPairKeyIndex(kind);
    const int certificateIndex = certPairCertIndex(kind);
    if (!context || keyIndex < 0 || certificateIndex < 0)
        return 0;
    const std::string key = certFilePath(keyIndex);
    const std::string certificate = certFilePath(certificateIndex);
    if (!fileExists(key) || !fileExists(certificate))
        return 0;
    // The key is checked against the certificate: a certificate that does
    // not match makes the library drop the key while both loads still
    // succeed, and every handshake would fail with that pair.
    if (SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1
        || SSL_CTX_use_certificate_file(context, certificate.c_str(), SSL_FILETYPE_PEM) != 1
        || SSL_CTX_check_private_key(context) != 1) {
        reportUnusablePair(kind, key, certificate);
        return 0;
    }
    return 1;
}

int tlsCheckKeyPair(int kind)
{
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context) {
        ERR_print_errors_fp(stderr);
        return 0;
    }
    SSL_CTX_set_security_level(context, 0);
    int ok = tlsLoadKeyPair(context, kind);
    SSL_CTX_free(context);
    return ok;
}

SSL* tlsCreateSession(bool server)
{
    SSL_CTX* context = newContextWithPair(server, kTlsPairImported);
    if (!context)
        context = newContextWithPair(server, kTlsPairSelfSigned);
    if (!context)
        return nullptr;
    SSL* session = SSL_new(context);
    if (!session)
        ERR_print_errors_fp(stderr);
    // The session keeps its own reference: freeing it frees the context.
    SSL_CTX_free(context);
    return session;
}
