// TlsConnection: the form of Connection that can carry a TLS session. Once
// tlsInitOnce has run, listeners and accepted connections take this form;
// a TLS-capable client is made as one with new. Without a session it behaves
// as a plain connection.
//
// Handshakes never run on a thread that accepts connections: a listener
// accepts without TLS (acceptNew(false)), hands the connection to the task
// that serves it, and that task makes itself the owner and calls
// runServerHandshake. A client that stays silent then holds only its own
// task, for at most kTlsHandshakeTicks.
//
// A session is used by one thread at a time, the owner's: OpenSSL does not
// allow a read and a write on one session from two threads.
//
// While a session is on it, the socket is non-blocking and every wait inside
// the session's reads and writes is bounded, so a peer that sends half a
// record or stops reading cannot hold the thread for ever.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/net/connection.h"

typedef struct ssl_st SSL;

class TlsConnection : public Connection {
public:
    TlsConnection(Task* owner, NetInterface* iface, int vlanId);
    ~TlsConnection() override;

    SSL* session() const { return session_; }
    // Result of the last client handshake step (SSL_connect).
    int lastTlsResult() const { return lastTlsResult_; }
    // The first bytes of the peer's current record, as last peeked.
    const uint8_t* recordHeader() const { return recordHeader_; }

    // The client handshake on this connected socket (at once after connect,
    // or after a STARTTLS exchange); the session, or null. Gives up after
    // kTlsHandshakeTicks.
    SSL* tlsClientHandshake();
    // Bytes read (above 0), or kConnBroken (error state 2).
    int tlsRead(void* buffer, int size);
    // Bytes written (above 0); -1 without a session, when the write failed
    // or when the peer took nothing for kSendStallTicks (errno says which).
    int tlsWrite(const void* data, int size);
    // "SSLv2", "SSLv3", "TLSv1.0" to "TLSv1.2" from the peeked record
    // header once application data was seen; "" otherwise.
    const char* tlsProtocolName() const;
    // "<protocol> <cipher description>" into buffer: 1, or 0 without a
    // session or a current cipher. The description is left out when the
    // buffer has no more than 128 bytes left after the protocol.
    int describeTls(char* buffer, size_t size) const;

protected:
    bool hasSession() const override { return session_ != nullptr; }
    int sessionPending() override;
    int sessionRead(void* buffer, int size) override;
    int sessionWrite(const void* data, int size) override;
    void endSession() override;
    int serverHandshake() override;
    int clientHandshake() override;

private:
    friend SSL* tlsServerHandshake(TlsConnection* connection);

    // Waits for what the library asked for: readable on WANT_READ, writable
    // on WANT_WRITE. 1 when the socket is ready; 0 once limitTicks have
    // passed since start or the socket failed.
    int awaitSocket(int sslError, uint64_t start, int64_t limitTicks);
    void peekRecordHeader();

    uint8_t recordHeader_[4] = {};
    int lastTlsResult_ = 0;
    SSL* session_ = nullptr;
};

// The server handshake on the calling thread: the session of a completed
// handshake (also stored in the connection), or null after a failure or
// kTlsHandshakeTicks. The connection stays the caller's to close.
SSL* tlsServerHandshake(TlsConnection* connection);

// Ends a session: a close-notify unless quiet, the socket descriptor closed,
// session and context freed.
void tlsCloseSession(SSL* session, bool quiet);

// For code that holds a connection as a Connection (an accepted one, say):
// 1 when the handshake completed on the calling thread and the session is
// stored; 0 for a plain connection, a failed handshake or one that already
// has a session. The connection is left for the caller to close.
int runServerHandshake(Connection* connection);
int runClientHandshake(Connection* connection);

// Whether the connection carries a TLS session (false for null).
bool hasTlsSession(const Connection* connection);
// The connection as its TLS form when it carries a session, else null.
const TlsConnection* tlsConnectionOf(const Connection* connection);
