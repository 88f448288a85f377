#include "startup.h"

#include "core/board/blinker.h"
#include "core/board/board_device.h"
#include "core/board/board_reactions.h"
#include "core/board/relay_control.h"
#include "core/cert/cert_files.h"
#include "core/cert/cert_generator.h"
#include "core/cert/cert_store.h"
#include "core/filter/ip_filter.h"
#include "core/util/file_queries.h"
#include "core/board/gpio_task.h"
#include "core/util/kernel_setting.h"
#include "core/product/model_features.h"
#include "core/net/net_interface.h"
#include "core/product/product_info.h"
#include "core/net/resolv_conf.h"
#include "core/addr/sock_addr.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "platform/files/file_replace.h"
#include "platform/files/root_path.h"
#include "core/storage/romfs_mount.h"
#include "core/storage/sd_mirror.h"
#include "core/task/signals.h"
#include "core/log/syslog_client.h"
#include "core/task/start_state.h"
#include "core/task/task.h"
#include "core/tls/tls_context.h"
#include "core/product/static_setup.h"
#include "core/i18n/texts.h"
#include "core/task/tick_clock.h"
#include "lazy_hub_watcher.h"
#include "services/mdns/bonjour_task.h"
#include "services/sdcard/sd_card_task.h"
#include "services/slp/slp_task.h"
#include "services/update/firmware_update.h"
#include "supervision.h"
#include "snmp/snmp_traps.h"
#include "snmp/snmpd_task.h"
#include "services/mail/event_mail.h"
#include "services/notify/notify_task.h"
#include "services/pop3/pop3_intake.h"
#include "usbserver/usb_server_task.h"
#include "services/arp_ping/arp_ping_task.h"
#include "services/dhcp/bootp_task.h"
#include "services/sntp/ntp_task.h"
#include "services/sntp/time_zone.h"
#include "services/wlan/wlan_task.h"
#include "services/wlan/wpa_supplicant_task.h"
#include "platform/clock/system_clock.h"
#include "usbserver/usb_status_publish.h"
#include "web/http/httpd.h"
#include "web/sessions/login_pages.h"
#include "web_admin_bridge.h"
#include "network_pages_bridge.h"
#include "web_pages_bridge.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Creates and starts a task that frees itself when its thread ends.
template <typename T>
int launch(T* task, int stackSize)
{
    int id = task->start(stackSize, 0);
    if (id < 0)
        delete task;
    return id;
}

// Every session is a thread of its own, and glibc gives each thread that
// allocates while others do an arena of its own, up to eight per processor
// here: memory freed in one stays there, so the heap spreads over dozens of
// arenas under many clients and the resident size climbs with each burst.
// The box has one processor; two arenas serve it.
void limitMallocArenas()
{
    mallopt(M_ARENA_MAX, 2);
}

// The lower layers report upward through seams; the layers above register
// their part before anything can use them.
void connectSubsystems()
{
    keepParamFileOnSdCard();
    registerBoardReactions();
    registerSysLogParamEffects();
    registerLinkDisplayEffect();
    setAddressSetHook(showAddressOnLeds);
    holdStopsWhileUpdating();
    registerIpFilterEffects();
    registerSnmpTrapOps();
    setClockSetter(systemClock().setTime);
    prepareTimeZoneVariable();
    registerUsbStatusPublisher();
    setSupplyEventSink(postSupplyEvent);
    setEventMailSender(sendEventMail);
    setMailboxPoller(pollPop3);
    connectPagesToUsbServer();
    registerWebSessions();
    connectAdminPages();
    connectNetworkPages();
    setWpsButtonHandler(startWpsFromButton);
}

void readStartCounter()
{
    const char* kickOff = getenv("KickOff");
    setStartCounter(kickOff ? atoi(kickOff) : -1);
}

// A kill or a power loss in the middle of an atomic write leaves the old file
// whole and the new content in a temporary file beside it; such files (one
// may hold a private key) must not stay for ever.
void removeInterruptedWrites()
{
    const std::string params = paramFilePath();
    if (removeReplaceLeftover(params))
        fprintf(stderr, "start-up: removed the temporary file of %s, left by a save that did not finish\n",
                params.c_str());
    removeInterruptedCertWrites();
}

void loadParameters()
{
    ParamStore::loadFile(paramFilePath().c_str());
    setRuntimeEnv();
}

void setDirtyPageIntervals()
{
    writeStringToFile(boxPath("/proc/sys/vm/dirty_expire_centisecs").c_str(), "100");
    writeStringToFile(boxPath("/proc/sys/vm/dirty_writeback_centisecs").c_str(), "100");
}

// On the first start after boot a card's configuration must be in force
// before anything reads the parameters; a watcher that hangs on a slow card
// does not hold the box up for longer than this.
constexpr int kSdCardFirstPassLimitMs = 10000;

void startSdCardTask()
{
    startSdCardWatcher(kSdCardFirstPassLimitMs);
}

void countBoot()
{
    IntParam* life = params::life();
    life->setChecked(life->value() + 1);
    if (saveParamsIfDirty() & kChangedSaveFailed)
        fprintf(stderr, "start-up: could not save %s\n", paramFilePath().c_str());
}

void openBoard()
{
    if (boardDevice().open())
        startGpioTask(&boardDevice());
}

// Whether the board has the simple LED driver is known once "GPio" has
// probed it; its start-up is bounded (LED test and port power groups).
void startBlinkerOnSimpleDriver()
{
    if (!boardDevice().isOpen())
        return;
    const timespec pause{0, 100 * 1000 * 1000};
    for (int i = 0; i < 300 && !boardDevice().started() && shutdownRequests() == 0; ++i)
        nanosleep(&pause, nullptr);
    if (boardDevice().started() && !boardDevice().extendedDriver())
        startBlinkerTask(&boardDevice());
}

constexpr uint32_t kTwoPhyProduct = 353;
constexpr uint32_t kPhyProbeProduct = 330;
constexpr uint32_t kNoLinkPollProduct = 357;

void pauseMs(long ms)
{
    const timespec pause{ms / 1000, (ms % 1000) * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

bool wiredLinkUp()
{
    if (productInfo().product_id == kTwoPhyProduct)
        return wiredInterface().isRunning() > 0;
    int mask = 0;
    return wiredInterface().linkStatus(&mask) > 0 && mask != 0;
}

void bringUpWiredInterface()
{
    NetInterface& eth0 = wiredInterface();
    eth0.setName("eth0");
    eth0.openSocket();
    eth0.up();
    while (eth0.isUp() <= 0 && shutdownRequests() == 0) {
        handleRelayEvent(RELAY_NETWORK_OFF);
        pauseMs(100);
        eth0.up();
    }
    handleRelayEvent(RELAY_NETWORK_ON);
}

bool hasWlanHardware()
{
    return (productInfo().compat_id & COMPAT_WLAN_BITS) != 0;
}

// Decides whether the box runs on the wired port, and waits for its link
// when there is nothing else to run on. Sets the link-poll flag.
void decideWiredLink(SupervisionState& state)
{
    const bool wlan = hasWlanHardware() && params::wifi()->isOn();
    state.wiredInUse = !wlan;
    if (wlan) {
        uint32_t product = productInfo().product_id;
        state.linkPoll = product == kPhyProbeProduct ? wiredInterface().probePhy() > 0
                         : product != kNoLinkPollProduct;
        for (int i = 0; state.linkPoll && i < 4 && !state.wiredInUse; ++i) {
            if (i > 0)
                pauseMs(1000);
            state.wiredInUse = wiredLinkUp();
        }
        return;
    }
    while (!wiredLinkUp() && shutdownRequests() == 0)
        pauseMs(500);
    state.linkPoll = true;
}

// WLAN: the supplicant and its "WLan" task run whenever the radio is on; the
// network block is written only when the box runs on the radio.
WLanTask* startWlanSupplicant()
{
    NetInterface& wlan = wlanInterface();
    wlan.setName("wlan0");
    wlan.openSocket();
    startWpaSupplicantTask(kWpaWlan, "wlan0");
    return startWlanTask(kWpaWlan);
}

void startWired8021x()
{
    if (hasWlanHardware() || params::auth_typ()->equalsToken("---"))
        return;
    startWpaSupplicantTask(kWpaWired, "eth0");
    if (WLanTask* wired = startWlanTask(kWpaWired))
        startWpaCfgTask(wired);
}

void setCurrentInterfaceForLink(const SupervisionState& state)
{
    setCurrentInterface(&wiredInterface());
    WLanTask* wlan = hasWlanHardware() && params::wifi()->isOn() ? startWlanSupplicant() : nullptr;
    if (state.wiredInUse) {
        setCurrentInterface(&wiredInterface());
        params::wifi_onair()->set("off", -1);
    } else {
        setCurrentInterface(&wlanInterface());
        if (wlan)
            startWpaCfgTask(wlan);
        params::wifi_onair()->set("on", -1);
    }
    startWired8021x();
}

bool hasIpv6Hardware()
{
    return productInfo().compat_id & COMPAT_IPV6_BIT;
}

void bringUpCurrentInterface()
{
    NetInterface* cur = currentInterface();
    cur->up();
    writeResolvConf();
    if (hasIpv6Hardware())
        setIpv6Enabled(params::ipv6()->isOn());
}

void setIpv4Address()
{
    NetInterface* cur = currentInterface();
    if (!params::ip_addr()->hasValue()) {
        SockAddr zeroconf;
        zeroconf.makeZeroconf(*cur);
        params::ip_addr()->setAddress(zeroconf);
        params::ip_setby()->set("zconf", -1);
    }
    params::ip_addr()->address().applyAsAddress(*cur, nullptr, true);
    if (cur->routeIpv4Address() && params::ip_auto()->isOn())
        launch(new ArpPingTask(cur), 20480);
}

// A link-local box has no filter: it is reached only by whoever gives it its
// address.
void applyIpFilter()
{
    if (!params::ip_addr()->address().isLinkLocal())
        ipFilterApply();
}

void applyVlans()
{
    if (params::sw_features()->value() & kFeatureIp4Vlan)
        currentInterface()->applyVlanParams();
}

void announceAddress()
{
    currentInterface()->sendGratuitousArp(params::ip_addr()->address());
}

void takeNetworkDown()
{
    NetInterface* cur = currentInterface();
    if (!cur)
        return;
    cur->setAddress(SockAddr::parse("0.0.0.0"));
    cur->down();
    if (hasIpv6Hardware() && params::ipv6()->isOn()) {
        cur->applyIpv6Address(false);
        cur->applyIpv6Route(false);
    }
    if (params::sw_features()->value() & kFeatureAccessControl)
        cur->removeAllSlots();
}

long certFileSize(int index)
{
    return fileSize(certFilePath(index).c_str(), nullptr, 0, nullptr);
}

// A private key whose certificate is missing is a left-over of an import that
// did not finish: remove it, check the root certificate, set up TLS.
void prepareTls()
{
    if (certFileSize(CERT_FPKEY) > 1 && certFileSize(CERT_FSRV) <= 0)
        deleteCertFile(CERT_FPKEY);
    tlsInitOnce(checkRootCertificate());
}

// At the first start the box has no key: the default request is filled in and
// the key and its self-signed certificate are made in the background. The same
// happens when the self-signed pair is there but does not work (the power
// went while a new pair replaced it, one file at a time): TLS would otherwise
// have no pair to fall back on.
void makeFirstKeyPair()
{
    CertStore* store = CertStore::instance();
    if (certFileSize(CERT_PKEY) >= 0) {
        if (tlsCheckKeyPair(kTlsPairSelfSigned))
            return;
        fprintf(stderr, "the self-signed key and certificate do not match: making a new pair\n");
    }
    fillDefaultCertRequest(store);
    if (int validated = store->validate(CERT_MODE_SELF_SIGNED))
        startCertGenerator(validated);
}

void mountReadOnlyImage()
{
    if (mountRomfs())
        return;
    switchRomfs();
    mountRomfs();
}

void applyDefaultPorts()
{
    setServicePorts(httpPort() == -1 ? 80 : httpPort(), httpsPort() == -1 ? 443 : httpsPort(),
                    snmpPort() == -1 ? 161 : snmpPort());
}

void printBanner()
{
    fprintf(stderr, "\n#\n##\n#### %s Master running on %s ip:%s/%s HTTP:%d HTTPS:%d KickOff:%d ####\n##\n#\n",
            "wev", currentInterface()->name(), params::ip_addr()->text().c_str(), params::ip_mask()->text().c_str(),
            httpPort(), httpsPort(), startCounter());
}

// The DHCP/BOOTP client starts once the interface runs (its requests are
// raw frames on it).
void startAddressClient()
{
    if (!params::ip_dhcp()->isOn() && !params::ip_bootp()->isOn())
        return;
    NetInterface* cur = currentInterface();
    while (cur->isRunning() <= 0 && shutdownRequests() == 0)
        pauseMs(1000);
    launch(new BootpTask(cur), 20480);
}

void startTasks()
{
    useTlsForUsbSessions();
    launch(new NtpTask(currentInterface()), 20480);
    startSlpTask(currentInterface());
    startBonjourTask(currentInterface());
    startUsbServer(currentInterface());
    startSnmpAgent();
    startHttpd(currentInterface());
    startBlinkerOnSimpleDriver();
    launch(new LazyHubWatcher(), 20480);
    if (params::sw_features()->value() & kFeatureEmail)
        startNotifyTask(snmpTrapSinkConfigured());
    // Last, so that every task that follows network changes hears the
    // change its first lease makes.
    startAddressClient();
}

void finishStartUp(SupervisionState& state)
{
    handleRelayEvent(RELAY_RESTART);
    state.lastSecond = boardTicks();
    announceAddress();
}

int endSequence()
{
    // Tasks may still run after the stop time-out: shared objects stay alive
    // and the process ends without running static destructors.
    // The syslog client says goodbye while the interface still has its
    // address; afterwards nothing it sends could leave the box.
    SysLog::shutdown();
    stopWpaSupplicant(2000);
    takeNetworkDown();
    boardDevice().close();
    CertStore::release();
    ipFilterFlush();
    switchRomfs();
    fflush(stdout);
    fflush(stderr);
    return exitCode();
}

} // namespace

int runBox()
{
    limitMallocArenas();
    staticSetUp();
    connectSubsystems();
    boardDevice();
    readStartCounter();
    umask(077);
    installSignalHandlers();
    removeInterruptedWrites();
    loadParameters();
    setDirtyPageIntervals();
    startSdCardTask();
    countBoot();
    openBoard();
    bringUpWiredInterface();
    SupervisionState state;
    decideWiredLink(state);

    installStopSignalHandlers();
    setCurrentInterfaceForLink(state);
    applyDefaultPorts();
    printBanner();
    mountReadOnlyImage();
    prepareTls();
    makeFirstKeyPair();
    initMessageCatalogue();
    bringUpCurrentInterface();
    setIpv4Address();
    applyIpFilter();
    applyVlans();
    SysLog::start();

    startTasks();
    finishStartUp(state);

    superviseTasks(state);
    return endSequence();
}
