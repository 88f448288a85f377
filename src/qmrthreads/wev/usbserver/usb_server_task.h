// "UsbSrvd": the USB server's own task. It listens for clients of the USB
// sharing protocol on every listener slot (the untagged interface, the port
// VLANs, the management VLAN), accepts them, refuses them beyond the client
// limit, starts one "UsbSrvdPrcs" task per client, and rescans the device
// table every 100 ticks. A network change reopens the listeners; the
// established sessions go on.
//
// Accepting is all this thread does for a client: the TLS handshake runs on
// the client's own task, so a silent client never holds up the others, the
// scan, or the device drops the scan posts.
//
// With usb_publish.h and usb_device_view.h, this is all the rest of the
// program sees of the USB server: start-up and supervision call only what
// is declared here.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/task/task.h"
#include "usbserver/usb_poll_record.h"

class Connection;
class NetInterface;

// Slots: usb_ports_phy + 2, at most this many.
constexpr int kUsbListenerSlots = 22;

class UsbSrvd : public Task {
public:
    UsbSrvd(UsbRecordHandler sessionHandler, NetInterface* iface);
    ~UsbSrvd() override;

    void run() override;
    uint32_t onMessage(TaskMessage* msg) override;

    // The listeners of every slot: plain on `zyt_port`, TLS on
    // `zyt_sslport` (only once the TLS layer is registered). The number of
    // listeners opened.
    int openListeners();
    void closeListeners();
    // Accepts on the listener whose descriptor is fd. 1 when a client task
    // was started, 0 when nothing was accepted or the client was refused.
    int acceptClient(int fd);
    static int onListenerEvent(EventSource* source, uint32_t events);

    int slotCount() const { return slotCount_; }
    Connection* listener(int slot, bool tls) const;
    bool restartRequested() const { return restart_.load() != 0; }

    // One pass of the periodic work after a wait: the scan when it is due,
    // resets asked for rows nobody owns, and the listeners reopened after a
    // network change.
    void periodicWork();

private:
    void waitForBoard();
    void clearUnownedResets();

    UsbRecordHandler sessionHandler_;
    NetInterface* iface_;
    std::atomic<int> restart_{0};
    int slotCount_ = 0;
    Connection* listeners_[kUsbListenerSlots][2] = {};
    EventSource sources_[kUsbListenerSlots][2];
    uint64_t lastScan_ = 0;
};

// The most clients alive at once: a new one is refused while more than
// twice the physical ports are alive.
int usbClientLimit();

// Start-up: installs the device operations' request handlers, creates
// "UsbSrvd" with usb_srv_thread as the session handler on iface and starts
// it. The task id, or -1.
int startUsbServer(NetInterface* iface);

// Lets the USB server open its TLS listeners and run their handshakes on the
// session tasks. Called once at start-up, after TLS was set up and before
// the server starts.
void useTlsForUsbSessions();

// Switches on every port whose power-off time has run out (the supervision
// loop, every 100 ms).
void powerOnExpiredPorts();
