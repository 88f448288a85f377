#include "core/net/resolver.h"

#include <netdb.h>
#include <pthread.h>
#include <time.h>

#include <cstring>

#include "core/params/param_handles.h"
#include "core/addr/sock_addr.h"
#include "core/task/task.h"

namespace {

pthread_mutex_t resolverMutex = PTHREAD_MUTEX_INITIALIZER;
constexpr int64_t kBusyWaitTicks = 50;

// The first address of the family that a look-up found.
bool lookUp(SockAddr& out, const char* name, int family)
{
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found)
        return false;
    bool taken = false;
    for (const addrinfo* a = found; a && !taken; a = a->ai_next) {
        if (a->ai_family == AF_INET6 && a->ai_addrlen >= sizeof(sockaddr_in6)) {
            out.clear(true);
            out.in6.sin6_addr = reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr;
            taken = true;
        } else if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
            out.clear(false);
            out.in4.sin_addr = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
            taken = true;
        }
    }
    freeaddrinfo(found);
    return taken;
}

}  // namespace

void lockResolver()
{
    while (pthread_mutex_trylock(&resolverMutex) != 0) {
        if (Task* task = Task::current()) {
            task->waitFor(kBusyWaitTicks, -1);
        } else {
            const timespec pause{0, 5 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
}

void unlockResolver()
{
    pthread_mutex_unlock(&resolverMutex);
}

int SockAddr::resolve(const char* name)
{
    if (!name || !*name)
        return 0;
    // Only a text that is an address counts as one: a name with ':' that
    // does not parse would otherwise pass as the always usable "::".
    SockAddr literal;
    if (literal.fromString(name) && literal.isUsable()) {
        *this = literal;
        return 1;
    }
    if (!params::dns()->isOn())
        return 0;

    // A look-up may wait for silent name servers for many seconds; it holds
    // no lock meanwhile, so the resolver file can be rewritten with the
    // servers of a new lease at once.
    const bool found = (params::ipv6()->isOn() && lookUp(*this, name, AF_INET6)) || lookUp(*this, name, AF_INET);
    if (found)
        return 1;
    // The family stays; the port and the IPv4 address are cleared.
    std::memset(reinterpret_cast<uint8_t*>(this) + 2, 0, 14);
    return 0;
}
