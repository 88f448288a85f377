// Unix datagram sockets, the WLAN control's line to the supplicant.
#include "core/net/connection.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/files/root_path.h"

namespace {

// Names are unique per process: the process id is part of them and the
// counter only grows.
std::atomic<int> unixSocketCounter{0};

// sun_path holds 108 bytes with the terminator.
constexpr size_t kMaxUnixName = 107;
// A connect target leaves room for the terminator and one more byte.
constexpr size_t kMaxUnixTarget = 105;

bool fillUnixAddress(sockaddr_un* address, const char* path)
{
    size_t length = strlen(path);
    if (length > kMaxUnixName)
        return false;
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path, path, length);
    return true;
}

} // namespace

int Connection::openUnixDgram(const char* path)
{
    if (fd >= 0)
        close();
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    flags = 0;
    if (s < 0)
        return 0;
    fd = s;
    family = AF_UNIX;
    type = SOCK_DGRAM;

    int n = unixSocketCounter.fetch_add(1) + 1;
    std::string name;
    if (path) {
        name = path;
    } else {
        char generated[64];
        snprintf(generated, sizeof generated, "/var/unixsock_%d-%d", static_cast<int>(getpid()), n);
        name = boxPath(generated);
    }

    sockaddr_un address;
    if (!fillUnixAddress(&address, name.c_str())) {
        close();
        return 0;
    }
    int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (rc != 0 && errno == EADDRINUSE) {
        // A name left behind by an earlier run is taken back once.
        unlink(name.c_str());
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (rc != 0) {
        close();
        return 0;
    }
    if (!path)
        unixName_ = name;
    return 1;
}

int Connection::connectUnix(const char* path)
{
    if (!path || strlen(path) > kMaxUnixTarget)
        return 0;
    sockaddr_un address;
    if (!fillUnixAddress(&address, path))
        return 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        // Only a socket file nobody listens on is stale; a busy or missing
        // peer's file is left alone.
        if (errno == ECONNREFUSED)
            unlink(path);
        return 0;
    }
    state = kConnConnected;
    return 1;
}
