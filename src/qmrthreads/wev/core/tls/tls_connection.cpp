// The TLS form of a connection: handshakes, reads, writes and the end of a
// session.
#include "core/tls/tls_connection.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/util/descriptor_mode.h"
#include "core/task/tick_clock.h"
#include "core/tls/tls_context.h"
#include "core/tls/tls_socket_bio.h"

namespace {

// Waits inside a session are cut into slices this long, so the limit is
// checked against the program's clock while the owner's messages are served.
constexpr int64_t kWaitSliceTicks = 10;

// How long a close waits for the peer's side of a close-notify exchange.
constexpr int kCloseWaitMs = 330;

constexpr uint8_t kRecordApplicationData = 23;

bool wantsIo(int sslError)
{
    return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

// The TLS seam of Connection is protected. Code that holds a connection as
// a Connection reaches it through member pointers named here, so virtual
// dispatch decides: the TLS form runs its TLS code, a plain connection
// answers as one (no session, handshakes fail).
class SeamAccess : public Connection {
public:
    static bool sessionOn(const Connection* c) { return (c->*(&SeamAccess::hasSession))(); }
    static int serverHandshakeOn(Connection* c) { return (c->*(&SeamAccess::serverHandshake))(); }
    static int clientHandshakeOn(Connection* c) { return (c->*(&SeamAccess::clientHandshake))(); }
};

// A session whose handshake failed: its descriptor is the connection's, which
// the connection's owner closes.
void discardSession(SSL* session)
{
    SSL_free(session);
    ERR_clear_error();
}

void waitForPeer(int fd, short events)
{
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = poll(&p, 1, kCloseWaitMs);
    } while (rc < 0 && errno == EINTR);
}

// A close-notify, and the peer's answer when it comes in time. Two rounds
// at most, each waiting a bounded time.
void shutdownGently(SSL* session, int fd)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        ERR_clear_error();
        int rc = SSL_shutdown(session);
        if (rc > 0)
            return;
        int e = SSL_get_error(session, rc);
        if (rc == 0 || e == SSL_ERROR_WANT_READ)
            waitForPeer(fd, POLLIN);
        else if (e == SSL_ERROR_WANT_WRITE)
            waitForPeer(fd, POLLOUT);
    }
}

} // namespace

TlsConnection::TlsConnection(Task* owner, NetInterface* iface, int vlanId) : Connection(owner, iface, vlanId)
{
}

TlsConnection::~TlsConnection()
{
    // Deleted without closeSession: the descriptor is the base's to close,
    // and nothing is said to the peer.
    if (session_) {
        SSL_set_quiet_shutdown(session_, 1);
        SSL_free(session_);
    }
}

int TlsConnection::awaitSocket(int sslError, uint64_t start, int64_t limitTicks)
{
    // Slices that time out say nothing about the connection's health.
    const int keptErrorState = errorState;
    for (;;) {
        const int64_t elapsed = static_cast<int64_t>(boardTicks() - start);
        if (elapsed > limitTicks)
            return 0;
        const int64_t slice = std::clamp<int64_t>(limitTicks - elapsed, 1, kWaitSliceTicks);
        int error = 0;
        int ready = sslError == SSL_ERROR_WANT_WRITE ? wait4write(slice, &error, true)
                                                     : wait4read(slice, &error, true);
        if (ready) {
            errorState = keptErrorState;
            return 1;
        }
        // A slice that ran out, or a message that ended it, goes on.
        if (error != 0 && error != kConnTimedOut)
            return 0;
    }
}

SSL* tlsServerHandshake(TlsConnection* c)
{
    if (!c || c->fd < 0 || c->session_)
        return nullptr;
    const uint64_t start = boardTicks();
    SSL* session = tlsCreateSession(true);
    if (!session) {
        ERR_print_errors_fp(stderr);
        return nullptr;
    }
    if (!tlsAttachSocket(session, c->fd)) {
        ERR_print_errors_fp(stderr);
        discardSession(session);
        return nullptr;
    }
    const bool wasBlocking = isBlocking(c->fd);
    c->setNonBlocking();
    for (;;) {
        ERR_clear_error();
        int rc = SSL_accept(session);
        if (rc == 1) {
            memset(c->recordHeader_, 0, sizeof c->recordHeader_);
            c->session_ = session;
            return session;
        }
        int e = SSL_get_error(session, rc);
        if (!wantsIo(e) || !c->awaitSocket(e, start, kTlsHandshakeTicks))
            break;
    }
    if (wasBlocking)
        c->setBlocking();
    discardSession(session);
    return nullptr;
}

SSL* TlsConnection::tlsClientHandshake()
{
    if (fd < 0 || session_)
        return nullptr;
    const uint64_t start = boardTicks();
    SSL* session = tlsCreateSession(false);
    if (!session) {
        ERR_print_errors_fp(stderr);
        return nullptr;
    }
    if (!tlsAttachSocket(session, fd)) {
        ERR_print_errors_fp(stderr);
        discardSession(session);
        return nullptr;
    }
    const bool wasBlocking = isBlocking(fd);
    setNonBlocking();
    for (;;) {
        ERR_clear_error();
        int rc = SSL_connect(session);
        lastTlsResult_ = rc;
        if (rc == 1) {
            memset(recordHeader_, 0, sizeof recordHeader_);
            session_ = session;
            return session;
        }
        if (rc == 0) {
            ERR_print_errors_fp(stderr);
            break;
        }
        int e = SSL_get_error(session, rc);
        if (!wantsIo(e) || !awaitSocket(e, start, kTlsHandshakeTicks))
            break;
    }
    if (wasBlocking)
        setBlocking();
    discardSession(session);
    return nullptr;
}

int TlsConnection::serverHandshake()
{
    return tlsServerHandshake(this) ? 1 : 0;
}

int TlsConnection::clientHandshake()
{
    return tlsClientHandshake() ? 1 : 0;
}

void TlsConnection::peekRecordHeader()
{
    uint8_t head[sizeof recordHeader_];
    ssize_t n = recv(fd, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
    if (n == static_cast<ssize_t>(sizeof head))
        memcpy(recordHeader_, head, sizeof head);
}

int TlsConnection::tlsRead(void* buffer, int size)
{
    const uint64_t start = boardTicks();
    bool first = true;
    while (session_) {
        // Only before the library has taken any part of the next record is
        // the socket's head a record header.
        if (first && recordHeader_[0] != kRecordApplicationData && !SSL_has_pending(session_))
            peekRecordHeader();
        first = false;
        ERR_clear_error();
        int n = SSL_read(session_, buffer, size);
        if (n > 0)
            return n;
        int e = SSL_get_error(session_, n);
        // The rest of a record that does not come within the stall limit
        // breaks the connection rather than holding the thread.
        if (!wantsIo(e) || !awaitSocket(e, start, kSendStallTicks))
            break;
    }
    ERR_clear_error();
    errorState = kConnErrorBroken;
    return kConnBroken;
}

int TlsConnection::tlsWrite(const void* data, int size)
{
    if (!session_) {
        errno = ENOTCONN;
        return -1;
    }
    if (size <= 0)
        return 0;
    const uint64_t start = boardTicks();
    for (;;) {
        ERR_clear_error();
        int n = SSL_write(session_, data, size);
        if (n > 0)
            return n;
        int e = SSL_get_error(session_, n);
        if (!wantsIo(e)) {
            ERR_clear_error();
            errno = EPIPE;
            return -1;
        }
        // Renegotiation can make a write wait for the peer's data: wait for
        // what the library asked for, not always for writability.
        if (!awaitSocket(e, start, kSendStallTicks)) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

int TlsConnection::sessionPending()
{
    return session_ ? SSL_pending(session_) : 0;
}

int TlsConnection::sessionRead(void* buffer, int size)
{
    return tlsRead(buffer, size);
}

int TlsConnection::sessionWrite(const void* data, int size)
{
    return tlsWrite(data, size);
}

void TlsConnection::endSession()
{
    if (!session_)
        return;
    tlsCloseSession(session_, true);
    session_ = nullptr;
    fd = -1;
    state = kConnClosed;
}

const char* TlsConnection::tlsProtocolName() const
{
    if (recordHeader_[0] != kRecordApplicationData)
        return "";
    if (recordHeader_[1] == 2)
        return "SSLv2";
    if (recordHeader_[1] != 3)
        return "";
    switch (recordHeader_[2]) {
    case 0:
        return "SSLv3";
    case 1:
        return "TLSv1.0";
    case 2:
        return "TLSv1.1";
    case 3:
        return "TLSv1.2";
    default:
        return "";
    }
}

int TlsConnection::describeTls(char* buffer, size_t size) const
{
    if (!session_ || !buffer || size == 0)
        return 0;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(session_);
    if (!cipher)
        return 0;
    int n = snprintf(buffer, size, "%s ", tlsProtocolName());
    if (n < 0)
        return 0;
    const size_t used = std::min(static_cast<size_t>(n), size - 1);
    const size_t left = size - used;
    if (left > 128)
        SSL_CIPHER_description(cipher, buffer + used, static_cast<int>(std::min<size_t>(left, 1024)));
    return 1;
}

void tlsCloseSession(SSL* session, bool quiet)
{
    if (!session)
        return;
    const int fd = SSL_get_fd(session);
    if (fd > 0) {
        if (quiet)
            SSL_set_quiet_shutdown(session, 1);
        else
            shutdownGently(session, fd);
        close(fd);
    }
    SSL_free(session);
    ERR_clear_error();
}

int runServerHandshake(Connection* connection)
{
    if (!connection || SeamAccess::sessionOn(connection))
        return 0;
    return SeamAccess::serverHandshakeOn(connection);
}

int runClientHandshake(Connection* connection)
{
    if (!connection || SeamAccess::sessionOn(connection))
        return 0;
    return SeamAccess::clientHandshakeOn(connection);
}

bool hasTlsSession(const Connection* connection)
{
    return connection && SeamAccess::sessionOn(connection);
}

const TlsConnection* tlsConnectionOf(const Connection* connection)
{
    // Only the TLS form ever reports a session.
    return hasTlsSession(connection) ? static_cast<const TlsConnection*>(connection) : nullptr;
}
