#include "services/wlan/wpa_ctrl.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/net/connection.h"
#include "core/task/task.h"
#include "platform/files/root_path.h"

namespace {

constexpr int kConnectPauseTicks = 100;

bool isEvent(const char* text, int length)
{
    return length > 0 && text[0] == '<';
}

} // namespace

const char* wpaSocketPath(int kind)
{
    return kind == kWpaWlan ? "/var/wifi/wlan0" : "/var/wifi/eth0";
}

const char* wpaInterfaceName(int kind)
{
    return kind == kWpaWlan ? "wlan0" : "eth0";
}

Connection* connectSupplicant(Task* owner, int kind, int attempts, Connection** slot)
{
    auto* conn = new Connection(owner, nullptr, -1);
    if (slot)
        *slot = conn;
    if (!conn->openUnixDgram(nullptr)) {
        if (slot)
            *slot = nullptr;
        delete conn;
        return nullptr;
    }
    // The path lives on the stack: a stop message may end the thread in the
    // pause between two attempts.
    char path[112];
    if (snprintf(path, sizeof path, "%s%s", rootPrefix().c_str(), wpaSocketPath(kind)) >= static_cast<int>(sizeof path)) {
        if (slot)
            *slot = nullptr;
        delete conn;
        return nullptr;
    }
    for (int i = 0; i < attempts; ++i) {
        if (i > 0 && owner)
            owner->waitFor(kConnectPauseTicks, -1);
        if (conn->connectUnix(path))
            return conn;
    }
    if (slot)
        *slot = nullptr;
    delete conn;
    return nullptr;
}

int wpaCtrlRequest(Connection* conn, const char* command, int length, char* reply, int size, int64_t answerTicks)
{
    int error = 0;
    if (!conn || conn->fd < 0 || !conn->wait4write(kWpaWriteWaitTicks, &error, true))
        return -1;
    if (send(conn->fd, command, static_cast<size_t>(length), MSG_NOSIGNAL) != length)
        return -1;
    for (;;) {
        if (!conn->wait4read(answerTicks, &error, true))
            return -2;
        ssize_t n = recv(conn->fd, reply, static_cast<size_t>(size), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -2;
        if (!isEvent(reply, static_cast<int>(n)))
            return static_cast<int>(n);
    }
}

int wpaCtrlCommand(Connection* conn, const char* command, int length)
{
    char reply[32];
    int n = wpaCtrlRequest(conn, command, length, reply, sizeof reply);
    return n == 3 && memcmp(reply, "OK\n", 3) == 0 ? 0 : -1;
}

int wpaSetNetwork(Connection* conn, const char* networkId, const char* value)
{
    char command[kWpaSetNetworkMax + 1];
    int n = snprintf(command, sizeof command, "SET_NETWORK %s %s", networkId, value);
    if (n < 0 || n > kWpaSetNetworkMax) {
        printf("wpa: SET_NETWORK %s value of %zu characters is too long\n", networkId, strlen(value));
        return -1;
    }
    return wpaCtrlCommand(conn, command, n);
}
