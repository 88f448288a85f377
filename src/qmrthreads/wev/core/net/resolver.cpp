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

// Copies a look-up's answer when its length fits the family's field.
bool takeHostEntry(SockAddr& out, const hostent* host)
{
    if (host->h_addrtype == AF_INET6 && host->h_length == 16 && host->h_addr_list[0]) {
        out.clear(true);
        std::memcpy(out.in6.sin6_addr.s6_addr, host->h_addr_list[0], 16);
        return true;
    }
    if (host->h_addrtype == AF_INET && host->h_length == 4 && host->h_addr_list[0]) {
        out.clear(false);
        std::memcpy(&out.in4.sin_addr.s_addr, host->h_addr_list[0], 4);
        return true;
    }
    return false;
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

    lockResolver();
    const hostent* host = gethostbyname2(name, params::ipv6()->isOn() ? AF_INET6 : AF_INET);
    if (!host)
        host = gethostbyname(name);
    const bool found = host && takeHostEntry(*this, host);
    unlockResolver();
    if (found)
        return 1;
    // The family stays; the port and the IPv4 address are cleared.
    std::memset(reinterpret_cast<uint8_t*>(this) + 2, 0, 14);
    return 0;
}
