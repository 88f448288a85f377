// A second network namespace for the far end of a test network: the box's
// side lives in the test's own private namespace (private_netns.h), the
// peers (clients, a syslog receiver, multicast senders) live here, so their
// traffic really crosses the veth pairs instead of the loopback device.
//
// The namespace is kept alive by a descriptor; commands run in it through
// nsenter, and sockets are made in it by a thread that steps in and out.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "support/private_netns.h"

class PeerNamespace {
public:
    PeerNamespace()
    {
        // A namespace belongs to the thread that makes it; a helper thread
        // makes this one so the test's own thread stays where it is.
        std::thread maker([this] {
            if (unshare(CLONE_NEWNET) == 0)
                fd_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        });
        maker.join();
        if (fd_ >= 0)
            path_ = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd_);
    }
    ~PeerNamespace()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    PeerNamespace(const PeerNamespace&) = delete;
    PeerNamespace& operator=(const PeerNamespace&) = delete;

    bool ok() const { return fd_ >= 0; }
    // What `ip link set DEV netns` and `nsenter --net=` take.
    const std::string& path() const { return path_; }

    std::string wrap(const std::string& command) const
    {
        return "nsenter --net=" + path_ + " sh -c '" + command + "'";
    }
    netns::Result run(const std::string& command) const { return netns::run(wrap(command)); }
    void must(const std::string& command) const { netns::must(wrap(command)); }

    // A veth pair: boxEnd stays in the calling thread's namespace, peerEnd
    // moves here, up with peerAddress ("198.18.x.y/24") when one is given.
    void link(const std::string& boxEnd, const std::string& peerEnd, const std::string& peerAddress) const
    {
        netns::must("ip link add " + boxEnd + " type veth peer name " + peerEnd);
        netns::must("ip link set " + peerEnd + " netns " + path_);
        must("ip link set lo up");
        if (!peerAddress.empty())
            must("ip addr add " + peerAddress + " dev " + peerEnd);
        must("ip link set " + peerEnd + " up");
    }

    // A socket that lives in this namespace; -1 when it cannot be made.
    int socket(int domain, int type, int protocol = 0) const
    {
        int made = -1;
        std::thread inside([&] {
            if (setns(fd_, CLONE_NEWNET) == 0)
                made = ::socket(domain, type | SOCK_CLOEXEC, protocol);
        });
        inside.join();
        return made;
    }

private:
    int fd_ = -1;
    std::string path_;
};
