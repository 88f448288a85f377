// "WLan": follows the supplicant's events on its per-interface control
// socket (scan results, connected, disconnected, WPS time-out, WPS
// credential) and keeps the scan list. "WpaCfg" writes the network block
// once; "WpaWps" starts WPS push-button configuration once.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/task/task.h"
#include "services/wlan/bss_list.h"
#include "services/wlan/network_block.h"
#include "services/wlan/wpa_ctrl.h"

class Connection;

// Status LED states of the WLAN.
enum : int {
    kWlanLedOff = 0,        // configuring, disconnected, WPS time-out
    kWlanLedAdHoc = 1,      // connected in ad-hoc mode
    kWlanLedConnected = 2,  // connected in infrastructure mode or after WPS
    kWlanLedWps = 3,        // WPS running
};

// Events the task follows (compared over the prefix's length).
constexpr const char* kEventScanResults = "<3>CTRL-EVENT-SCAN-RESULTS";
constexpr const char* kEventConnected = "<3>CTRL-EVENT-CONNECTED";
constexpr const char* kEventDisconnected = "<3>CTRL-EVENT-DISCONNECTED";
constexpr const char* kEventWpsTimeout = "<3>WPS-TIMEOUT";
constexpr const char* kEventWpsCredential = "<3>WPS-CRED-RECEIVED";
constexpr const char* kEventEapFailure = "<3>CTRL-EVENT-EAP-FAILURE";

class WLanTask : public Task {
public:
    using Handler = void (WLanTask::*)(const char* text, int length, int user);

    explicit WLanTask(int kind);
    ~WLanTask() override;
    void run() override;

    int kind() const { return kind_; }

    // Registers a handler for events that begin with prefix; the newest
    // registration is asked first.
    void addHandler(const char* prefix, Handler handler, int user);
    // Calls every handler whose prefix begins the text; the number called.
    int dispatch(const char* text, int length);

    // The event handlers (public for the tests).
    void onScanResults(const char* text, int length, int user);
    void onWlanConnected(const char* text, int length, int user);
    void onWlanDisconnected(const char* text, int length, int user);
    void onWpsTimeout(const char* text, int length, int user);
    void onWpsCredReceived(const char* text, int length, int user);
    void onEapFailure(const char* text, int length, int user);

    // How many connections to the supplicant's socket are tried, one second
    // apart (tests shorten it).
    int connectAttempts = 10;

private:
    struct HandlerEntry {
        std::string prefix;
        Handler handler;
        int user;
    };

    void registerHandlers();
    void serveEvents();
    void rebuildScanList();

    int kind_;
    Connection* control_ = nullptr;
    Connection* scanConnection_ = nullptr;
    std::vector<HandlerEntry> handlers_;
    std::vector<BssRecord> pending_;   // the scan list being gathered
    pthread_mutex_t mutex_;
    char event_[kWpaReplyMax + 1];
    char answer_[kWpaReplyMax + 1];
};

// Writes and enables the network block for the supplicant of kind, on the
// calling task's thread: 1 on success, 0 on any failure (the added network
// then stays disabled). steps are the values to send (they live in the
// caller's object: the waits may end the thread).
// *slot holds the connection while it is open (the caller deletes it).
int configureNetwork(Task* task, int kind, const std::vector<NetworkStep>& steps, Connection** slot,
                     int connectAttempts);

class WpaCfgTask : public Task {
public:
    // Configures the supplicant of the kind of wlan; the kind is taken now,
    // so the WLan task may end before this one runs.
    explicit WpaCfgTask(const WLanTask* wlan);
    ~WpaCfgTask() override;
    void run() override;

    bool skip = false;
    int connectAttempts = 10;
    int result = -1;              // configureNetwork's result once it ran

private:
    int kind_;
    std::vector<NetworkStep> steps_;
    Connection* conn_ = nullptr;
};

class WpaWpsTask : public Task {
public:
    WpaWpsTask(int pin, int mode);
    ~WpaWpsTask() override;
    void run() override;

    int pin() const { return pin_; }
    int mode() const { return mode_; }

private:
    int pin_;
    int mode_;              // 1 push button: the PIN is not sent
    Connection* conn_ = nullptr;
};

// 1 after a WPS start was accepted, until connected or timed out.
extern std::atomic<int> wpsRunning;

// Creates and starts "WLan" for the kind; the task or null.
WLanTask* startWlanTask(int kind);
// Creates and starts "WpaCfg" for the WLan task; its id or -1.
int startWpaCfgTask(const WLanTask* wlan);
// The WPS button: starts "WpaWps" with the PIN of the WLAN MAC address.
void startWpsFromButton();
