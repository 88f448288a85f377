#include "core/tls/tls_socket_bio.h"

#include <openssl/bio.h>
#include <sys/socket.h>

#include <cerrno>

namespace {

// OpenSSL's socket BIO writes with write(2); this one is the same BIO with a
// write that asks the kernel not to raise SIGPIPE.
int writeWithoutSignal(BIO* bio, const char* data, int size)
{
    int fd = -1;
    BIO_get_fd(bio, &fd);
    errno = 0;
    int n = static_cast<int>(send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL));
    BIO_clear_retry_flags(bio);
    if (n <= 0 && BIO_sock_should_retry(n))
        BIO_set_retry_write(bio);
    return n;
}

BIO_METHOD* makeMethod()
{
    const BIO_METHOD* socket = BIO_s_socket();
    BIO_METHOD* method = BIO_meth_new(BIO_TYPE_SOCKET, "socket without SIGPIPE");
    if (!method)
        return nullptr;
    BIO_meth_set_write(method, writeWithoutSignal);
    BIO_meth_set_read(method, BIO_meth_get_read(socket));
    BIO_meth_set_puts(method, BIO_meth_get_puts(socket));
    BIO_meth_set_ctrl(method, BIO_meth_get_ctrl(socket));
    BIO_meth_set_create(method, BIO_meth_get_create(socket));
    BIO_meth_set_destroy(method, BIO_meth_get_destroy(socket));
    return method;
}

const BIO_METHOD* quietSocketMethod()
{
    static BIO_METHOD* method = makeMethod();  // made once, kept for the program's life
    return method;
}

} // namespace

bool tlsAttachSocket(SSL* session, int fd)
{
    const BIO_METHOD* method = quietSocketMethod();
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (!bio)
        return false;
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    SSL_set_bio(session, bio, bio);
    return true;
}
