// The supplicant stand-in of the simulated radio: the supplicant's control
// protocol on a unix datagram socket, answered from a scan file and a WPS
// credential file (see wlan_radio.h). Commands: PING, ATTACH, DETACH, SET,
// ADD_NETWORK, SET_NETWORK, ENABLE_NETWORK, AP_SCAN, SCAN, BSS, STATUS,
// WPS_PBC; others are answered "UNKNOWN COMMAND". Events go to every
// attached socket: scan results after ATTACH and SCAN, the connection after
// an ENABLE_NETWORK that matches an access point, and after WPS_PBC the
// credential (or a time-out without one).
#pragma once

#include <sys/un.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

class SimSupplicant {
public:
    SimSupplicant(std::string socketPath, std::string scanFile, std::string wpsFile);
    ~SimSupplicant();

    // Binds the control socket; false with errno set.
    bool open();
    // Serves until requestStop; removes the socket file at the end.
    void serve();
    // Serves what arrives within waitMs (tests drive it step by step).
    void serveFor(int waitMs);
    void requestStop() { stop_.store(true); }

    // The values a network was given (tests).
    std::map<std::string, std::string> network(int id) const;
    int commandCount() const { return commands_.load(); }

    SimSupplicant(const SimSupplicant&) = delete;
    SimSupplicant& operator=(const SimSupplicant&) = delete;

private:
    struct Peer {
        sockaddr_un address;
        socklen_t length;
    };
    struct AccessPoint {
        std::vector<std::string> lines;   // as "BSS n" shows them
        std::string ssid;
        std::string bssid;
        std::string psk;
    };

    void handle(const char* command, int length, const Peer& from);
    std::string answer(const std::string& command, const Peer& from);
    std::string setNetwork(const std::string& args);
    std::string enableNetwork(const std::string& args);
    std::string bss(const std::string& args);
    void loadScanFile();
    void sendTo(const Peer& to, const std::string& text);
    void sendEvent(const std::string& text);

    std::string socketPath_;
    std::string scanFile_;
    std::string wpsFile_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> commands_{0};
    std::vector<Peer> attached_;
    std::vector<AccessPoint> accessPoints_;
    std::vector<std::map<std::string, std::string>> networks_;
    std::vector<std::string> pendingEvents_;
    std::string connectedSsid_;
};
