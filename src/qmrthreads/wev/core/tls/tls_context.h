// The TLS library's set-up and the per-connection contexts. Every TLS
// session gets a context of its own, made from the parameters and the key
// files as they are at that moment: a change of `sslmethod`, `security` or of
// the certificate files takes effect with the next connection. The session
// holds the only reference to its context, so freeing the session frees both.
//
// Versions: TLS 1.0 to 1.2 as `sslmethod` selects; TLS 1.3 and SSL 3 are
// never offered. Every context runs at security level 0, so the box's
// 1024-bit default keys and the old versions load.
//
// Neither role verifies the peer's certificate: a server does not ask for
// client certificates, and a client (the mail protocols) takes whatever
// certificate the server shows, so it does not notice a man in the middle.
#pragma once

#include <cstdint>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// Key pairs by kind: the key file and the certificate file of each.
enum : int {
    kTlsPairSelfSigned = 0,  // "/flash/cert_pkey.pem", "/flash/cert_srv.pem"
    kTlsPairImported = 1,    // "/flash/cert_fpkey.pem", "/flash/cert_fsrv.pem"
    kTlsPairRequest = 2,     // "/flash/cert_rpriv.pem", "/flash/cert_rcert.pem"
};

// Longest a handshake may take, in ticks, in either role.
constexpr int64_t kTlsHandshakeTicks = 2000;

// The first call sets the library up (error texts, the server connection
// form that can carry a session, the key file's mode); later calls do
// nothing. Returns value in every case. Meant for the start-up thread, before
// any task starts.
int tlsInitOnce(int value);

// The box hands its crypto to the kernel's crypto device through OpenSSL's
// "devcrypto" engine. That engine does not exist here: this says so, and
// TLS runs on the library's own code.
void InitHwEngineServerSSL();

// A new session with its own context for the server or the client role, with
// the imported pair loaded, else the self-signed pair; null (the error queue
// printed) when the context cannot be made or neither pair loads.
SSL* tlsCreateSession(bool server);

// Loads the pair of kind into context: 1 when both files exist, both load and
// the key belongs to the certificate; else 0 (the error queue printed for
// files that exist but do not load or do not match).
int tlsLoadKeyPair(SSL_CTX* context, int kind);

// 1 when the pair of kind loads into a fresh server context and the key
// matches the certificate; for the certificate pages and the import.
int tlsCheckKeyPair(int kind);

