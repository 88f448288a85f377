#include "services/wlan/wlan_task.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/board/board_device.h"
#include "core/net/connection.h"
#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "services/wlan/bss_list.h"
#include "services/wlan/wps_credential.h"

std::atomic<int> wpsRunning{0};

namespace {

constexpr int64_t kEventWaitTicks = 200;
constexpr int64_t kConfigureDelayTicks = 300;
constexpr int kTaskStack = 20480;

void setWlanLed(int state)
{
    boardDevice().setStatusLed(state);
}

NetInterface& interfaceOf(int kind)
{
    return kind == kWpaWlan ? wlanInterface() : wiredInterface();
}

int sendText(Connection* conn, const char* text)
{
    return wpaCtrlCommand(conn, text, static_cast<int>(strlen(text)));
}

} // namespace

WLanTask::WLanTask(int kind) : Task("WLan"), kind_(kind)
{
    pthread_mutex_init(&mutex_, nullptr);
    registerHandlers();
}

WLanTask::~WLanTask()
{
    delete control_;
    delete scanConnection_;
    pthread_mutex_destroy(&mutex_);
}

void WLanTask::addHandler(const char* prefix, Handler handler, int user)
{
    pthread_mutex_lock(&mutex_);
    handlers_.insert(handlers_.begin(), HandlerEntry{prefix, handler, user});
    pthread_mutex_unlock(&mutex_);
}

void WLanTask::registerHandlers()
{
    addHandler(kEventScanResults, &WLanTask::onScanResults, 0);
    addHandler(kEventConnected, &WLanTask::onWlanConnected, 0);
    addHandler(kEventWpsTimeout, &WLanTask::onWpsTimeout, 0);
    addHandler(kEventDisconnected, &WLanTask::onWlanDisconnected, 0);
    addHandler(kEventWpsCredential, &WLanTask::onWpsCredReceived, 0);
    addHandler(kEventEapFailure, &WLanTask::onEapFailure, 0);
}

int WLanTask::dispatch(const char* text, int length)
{
    int called = 0;
    for (const HandlerEntry& h : handlers_) {
        if (length >= static_cast<int>(h.prefix.size()) && memcmp(text, h.prefix.data(), h.prefix.size()) == 0) {
            (this->*h.handler)(text, length, h.user);
            ++called;
        }
    }
    return called;
}

void WLanTask::run()
{
    control_ = connectSupplicant(this, kind_, connectAttempts, &control_);
    if (!control_) {
        printf("WLan: no supplicant at %s\n", wpaSocketPath(kind_));
        return;
    }
    // The credential of a WPS run comes to this task as event text; the
    // supplicant itself then keeps no network of it.
    if (kind_ == kWpaWlan)
        sendText(control_, "SET wps_cred_processing 2");
    char reply[32];
    wpaCtrlRequest(control_, "ATTACH", 6, reply, sizeof reply);
    serveEvents();
}

void WLanTask::serveEvents()
{
    for (;;) {
        int error = 0;
        if (!control_->wait4read(kEventWaitTicks, &error, true))
            continue;
        ssize_t n = recv(control_->fd, event_, kWpaReplyMax, 0);
        if (n <= 0)
            continue;
        event_[n] = '\0';
        dispatch(event_, static_cast<int>(n));
    }
}

void WLanTask::onScanResults(const char*, int, int)
{
    delete scanConnection_;
    scanConnection_ = connectSupplicant(this, kind_, 1);
    if (!scanConnection_)
        return;
    // The new list is gathered first and swapped in at the end, so readers
    // never wait for the supplicant's answers and never see half a list.
    pending_.clear();
    for (int n = 0;; ++n) {
        char command[24];
        int length = snprintf(command, sizeof command, "BSS %d", n);
        int got = wpaCtrlRequest(scanConnection_, command, length, answer_, kWpaReplyMax);
        if (got <= 0 || (got >= 3 && memcmp(answer_, "EOF", 3) == 0))
            break;
        pending_.push_back(parseBssAnswer(answer_, got));
    }
    lockScanList(1);
    wlanScanList().swap(pending_);
    lockScanList(0);
    pending_.clear();
    delete scanConnection_;
    scanConnection_ = nullptr;
}

void WLanTask::onWlanConnected(const char*, int, int)
{
    TaskMessage msg{0, MSG_RESTART_DHCP, 0, 0};
    postToTaskNamed("Bootp", &msg);
    interfaceOf(kind_).sendGratuitousArp(params::ip_addr()->address());
    P3List* mode = params::wifi_mode();
    if (kind_ == kWpaWlan && mode && mode->equalsToken("adhoc") && !wpsRunning.load()) {
        setWlanLed(kWlanLedAdHoc);
    } else {
        setWlanLed(kWlanLedConnected);
        if (params::btn_wps_pbc() && params::btn_wps_pbc()->isOn()) {
            params::btn_wps_pbc()->set("off", -1);
            saveParamsIfDirty();
        }
    }
    wpsRunning.store(0);
    printf("WLan: %s connected\n", wpaInterfaceName(kind_));
    fflush(stdout);
}

void WLanTask::onWlanDisconnected(const char*, int, int)
{
    setWlanLed(kWlanLedOff);
}

void WLanTask::onWpsTimeout(const char*, int, int)
{
    setWlanLed(kWlanLedOff);
    wpsRunning.store(0);
}

void WLanTask::onWpsCredReceived(const char* text, int length, int)
{
    int pos = static_cast<int>(strlen(kEventWpsCredential));
    while (pos < length && text[pos] == ' ')
        ++pos;
    int end = pos;
    while (end < length && text[end] != ' ' && text[end] != '\n')
        ++end;
    WpsCredential cred;
    if (!parseWpsCredential(text + pos, end - pos, &cred)) {
        printf("WLan: WPS credential not usable\n");
        return;
    }
    storeWpsCredential(cred);
}

void WLanTask::onEapFailure(const char*, int, int)
{
    printf("WLan: 802.1X authentication on %s failed\n", wpaInterfaceName(kind_));
    fflush(stdout);
}

int configureNetwork(Task* task, int kind, const std::vector<NetworkStep>& steps, Connection** slot, int attempts)
{
    setWlanLed(kWlanLedOff);
    *slot = connectSupplicant(task, kind, attempts, slot);
    Connection* conn = *slot;
    if (!conn)
        return 0;
    char id[16];
    int n = wpaCtrlRequest(conn, "ADD_NETWORK", 11, id, sizeof id - 1);
    if (n <= 0)
        return 0;
    char* lf = static_cast<char*>(memchr(id, '\n', static_cast<size_t>(n)));
    if (!lf || lf == id)
        return 0;
    *lf = '\0';
    for (const NetworkStep& step : steps) {
        if (step.plainCommand) {
            char reply[32];
            wpaCtrlRequest(conn, step.text.c_str(), static_cast<int>(step.text.size()), reply, sizeof reply);
        } else if (wpaSetNetwork(conn, id, step.text.c_str()) != 0) {
            printf("WpaCfg: the supplicant refused \"%.60s\"\n", step.text.c_str());
            return 0;
        }
    }
    char reply[32];
    const char* apScan = kind == kWpaWlan ? "AP_SCAN 1" : "AP_SCAN 0";
    wpaCtrlRequest(conn, apScan, static_cast<int>(strlen(apScan)), reply, sizeof reply);
    char enable[40];
    int length = snprintf(enable, sizeof enable, "ENABLE_NETWORK %s", id);
    wpaCtrlRequest(conn, enable, length, reply, sizeof reply);
    return 1;
}

WpaCfgTask::WpaCfgTask(const WLanTask* wlan) : Task("WpaCfg"), kind_(wlan->kind()) {}

WpaCfgTask::~WpaCfgTask()
{
    delete conn_;
}

void WpaCfgTask::run()
{
    waitFor(kConfigureDelayTicks, -1);
    if (skip)
        return;
    steps_ = networkBlockSteps(currentNetworkBlockInput(kind_));
    result = configureNetwork(this, kind_, steps_, &conn_, connectAttempts);
    delete conn_;
    conn_ = nullptr;
}

WpaWpsTask::WpaWpsTask(int pin, int mode) : Task("WpaWps"), pin_(pin), mode_(mode) {}

WpaWpsTask::~WpaWpsTask()
{
    delete conn_;
}

void WpaWpsTask::run()
{
    if (!params::btn_wps_pbc() || !params::btn_wps_pbc()->isOn())
        return;
    conn_ = connectSupplicant(this, kWpaWlan, 1);
    if (!conn_)
        return;
    char reply[32];
    wpaCtrlRequest(conn_, "AP_SCAN 1", 9, reply, sizeof reply);
    if (sendText(conn_, "WPS_PBC") == 0) {
        setWlanLed(kWlanLedWps);
        wpsRunning.store(1);
    }
    delete conn_;
    conn_ = nullptr;
}

WLanTask* startWlanTask(int kind)
{
    auto* task = new WLanTask(kind);
    if (task->start(kTaskStack, 0) < 0) {
        delete task;
        return nullptr;
    }
    return task;
}

int startWpaCfgTask(const WLanTask* wlan)
{
    auto* task = new WpaCfgTask(wlan);
    int id = task->start(kTaskStack, 0);
    if (id < 0)
        delete task;
    return id;
}

void startWpsFromButton()
{
    uint8_t mac[6] = {};
    wlanInterface().readMac(mac);
    auto* task = new WpaWpsTask(wpsPinFromMac(mac), 1);
    if (task->start(kTaskStack, 0) < 0)
        delete task;
}
