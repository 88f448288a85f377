// "HTTPD": the web server's own task. It owns one HTTP and one HTTPS
// listener per listener slot the network settings ask for (the untagged
// interface, the port VLANs, the management VLAN), waits on all of them
// with poll, and starts one HttpConnection task per accepted socket; the
// TLS handshake is that task's business, so a silent client never holds up
// accepting. A network change rebuilds the listeners; accepted connections
// go on. At the cap of live connections the one that has waited longest
// for its request head makes room, so slow clients cannot lock others out.
#pragma once

#include <atomic>
#include <vector>

#include "core/task/task.h"

class Connection;
class NetInterface;

constexpr int kHttpListenerSlots = 22;

// The listener slots in use: 0 for the untagged interface unless only the
// management VLAN listens, 1 .. ports for the port VLANs when any VLAN may
// manage, ports + 1 for the management VLAN.
std::vector<int> httpListenerSlots(int ports, bool mgmt, bool mgmtAny, bool mgmtUntagged);

class Httpd : public Task {
public:
    // Negative ports: no listener of that kind; both negative, no server.
    Httpd(int httpPort, int httpsPort, NetInterface* iface);
    ~Httpd() override;

    void run() override;
    uint32_t onMessage(TaskMessage* msg) override;

    int openListeners();
    void closeListeners();
    // Accepts on the listener whose descriptor is fd; 1 when a connection
    // task was started.
    int acceptConnection(int fd);
    static int onListenerEvent(EventSource* source, uint32_t events);
    // Listeners rebuilt so far (each network change once).
    int reopenCount() const { return reopens_; }

private:
    struct Listener {
        Connection* connection = nullptr;
        bool tls = false;
        EventSource source;
    };

    int httpPort_;
    int httpsPort_;
    NetInterface* iface_;
    std::atomic<int> reopen_{0};
    int reopens_ = 0;
    bool started_ = false;  // the sessions were restored, so they are saved at the end
    std::vector<Listener*> listeners_;
};

// Start-up: "HTTPD" with the ports of the start state on iface. The task
// id, or -1.
int startHttpd(NetInterface* iface);
