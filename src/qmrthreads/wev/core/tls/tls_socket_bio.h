// The socket under a TLS session.
#pragma once

#include <openssl/ssl.h>

// Puts the connected stream socket fd under session, for reading and
// writing, like SSL_set_fd, except that writes to a peer that went away fail
// with EPIPE instead of raising SIGPIPE. The socket stays open when the
// session is freed. False when OpenSSL could not make the BIO.
bool tlsAttachSocket(SSL* session, int fd);
