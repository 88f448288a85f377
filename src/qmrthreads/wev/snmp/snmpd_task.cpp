#include "snmp/snmpd_task.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/large_fd_set.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/net/connection.h"
#include "core/params/param_handles.h"
#include "core/task/tick_clock.h"
#include "platform/files/root_path.h"
#include "snmp/enterprise_mib.h"
#include "snmp/snmp_library_lock.h"
#include "snmp/snmpd_conf.h"
#include "snmp/system_mib.h"

// The library asks this for sysUpTime and for every trap's time stamp: the
// program's tick clock, so both count from program start and do not restart
// with the agent. The executable exports it, so the library's own calls
// reach this definition instead of the library's.
extern "C" u_long netsnmp_get_agent_uptime(void)
{
    return u_long(uint32_t(taskTicks()));
}

// The library's module initialisers (its headers for them are not
// installed).
extern "C" {
void init_ifTable(void);
void init_ifXTable(void);
void init_ip(void);
void init_udp(void);
void init_tcp(void);
void init_icmp(void);
void init_system_mib(void);
void init_var_route(void);
void init_at(void);
void init_udpTable(void);
void init_tcpTable(void);
void init_snmp_mib(void);
void init_sysORTable(void);
void init_vacm_vars(void);
void init_snmpEngine(void);
void init_snmpMPDStats(void);
void init_usmStats(void);
void init_usmUser(void);
void init_vacm_context(void);
}

namespace {

constexpr const char* kAppName = "snmpd";
constexpr int kAgentStackSize = 65536;

bool trapSinkAtStart = false;

// The library's modules this agent serves, after its own two.
void initModules()
{
    init_vekAutoMib();
    init_vek_mib();
    struct Module {
        const char* name;
        void (*init)();
    };
    static const Module modules[] = {
        {"interfaces", init_ifTable}, {"interfaces", init_ifXTable}, {"ip", init_ip},
        {"udp", init_udp}, {"tcp", init_tcp}, {"icmp", init_icmp}, {"system_mib", init_system_mib},
        {"var_route", init_var_route}, {"at", init_at}, {"udpTable", init_udpTable},
        {"tcpTable", init_tcpTable}, {"snmp_mib", init_snmp_mib}, {"sysORTable", init_sysORTable},
        {"vacm_vars", init_vacm_vars}, {"snmpEngine", init_snmpEngine}, {"snmpMPDStats", init_snmpMPDStats},
        {"usmStats", init_usmStats}, {"usmUser", init_usmUser}, {"vacm_context", init_vacm_context},
    };
    for (const Module& m : modules) {
        if (should_init(m.name))
            m.init();
    }
}

void applyLibrarySettings(const char* configPath)
{
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 0);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_CACHE_TIMEOUT, 5);
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_APPTYPE, kAppName);
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OPTIONALCONFIG, configPath);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    static const std::string persistent = boxPath("/var/net-snmp");
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, persistent.c_str());
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS, 1);
    snmp_enable_stderrlog();
}

// What the library waits for now: its descriptors, and how long it may
// wait (-1: until one of them is readable).
struct LibraryWait {
    std::vector<int> fds;
    int ms = -1;
};

LibraryWait libraryWait()
{
    netsnmp_large_fd_set readSet;
    netsnmp_large_fd_set_init(&readSet, FD_SETSIZE);
    int width = 0;
    int block = 1;
    timeval timeout{};
    snmp_select_info2(&width, &readSet, &timeout, &block);
    LibraryWait wait;
    for (int fd = 0; fd < width; ++fd) {
        if (NETSNMP_LARGE_FD_ISSET(fd, &readSet))
            wait.fds.push_back(fd);
    }
    netsnmp_large_fd_set_cleanup(&readSet);
    if (!block)
        wait.ms = int(timeout.tv_sec * 1000 + (timeout.tv_usec + 999) / 1000);
    return wait;
}

bool bindToManagementInterface(int fd, bool quiet)
{
    sockaddr_storage local{};
    socklen_t length = sizeof(local);
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    const bool ipv6 = local.ss_family == AF_INET6;
    const int rc = force2face(fd);
    if (!quiet)
        std::printf("%s %s force2face(%d) rc:%d \n", ipv6 ? "snmpUDPIPv6Domain.c" : "snmpUDPDomain.c",
                    ipv6 ? "netsnmp_udp6_transport" : "netsnmp_udp_transport", fd, rc);
    return rc == 0;
}

class AgentLoop {
public:
    explicit AgentLoop(int messageFd) : messageFd_(messageFd) {}

    // Starts the library; false when the agent cannot serve.
    bool start(const char* configPath);
    // Runs until a stop message; the library is shut down on return.
    void run();

private:
    bool handleMessage();
    void reconfigure();
    bool waitAndServe();

    int messageFd_;
    std::vector<int> serverFds_;
    bool running_ = true;
    bool reconfigure_ = false;
};

bool AgentLoop::start(const char* configPath)
{
    applyLibrarySettings(configPath);
    init_agent(kAppName);
    initModules();
    init_snmp(kAppName);
    const std::vector<int> before = libraryWait().fds;
    const int rc = init_master_agent();
    setSnmpLibraryReady(true);
    if (rc != 0)
        return false;
    for (int fd : libraryWait().fds) {
        bool known = false;
        for (int b : before)
            known = known || b == fd;
        if (known)
            continue;
        if (!bindToManagementInterface(fd, false))
            return false;
        serverFds_.push_back(fd);
    }
    snmp_log(LOG_INFO, "NET-SNMP version %s\n", netsnmp_get_version());
    return true;
}

// One message from the pipe: stop, or a network change. false: the pipe is
// gone, which ends the agent like a stop.
bool AgentLoop::handleMessage()
{
    TaskMessage msg{};
    ssize_t n;
    do {
        n = read(messageFd_, &msg, sizeof(msg));
    } while (n < 0 && errno == EINTR);
    if (n == 0)
        return false;
    if (n != ssize_t(sizeof(msg)))
        return true;
    if (msg.code & MSG_STOP) {
        running_ = false;
    } else if (msg.code & MSG_NETWORK_CHANGED) {
        Task::current()->onMessage(&msg);
        for (int fd : serverFds_)
            force2face(fd);
        reconfigure_ = true;
    }
    return true;
}

void AgentLoop::reconfigure()
{
    sigset_t hup, old;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hup, &old);
    reconfigure_ = false;
    snmp_log(LOG_INFO, "Reconfiguring daemon\n");
    snmp_log(LOG_INFO, "NET-SNMP version %s restarted\n", netsnmp_get_version());
    update_config();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// One wait of the library's descriptors and the pipe, and the library's work
// on what arrived. The library lock is released only for the wait itself.
bool AgentLoop::waitAndServe()
{
    const LibraryWait library = libraryWait();
    std::vector<pollfd> fds;
    fds.push_back({messageFd_, POLLIN, 0});
    for (int fd : library.fds)
        fds.push_back({fd, POLLIN, 0});

    snmpLibraryMutex().unlock();
    int ready = poll(fds.data(), fds.size(), library.ms);
    const int pollErrno = errno;
    snmpLibraryMutex().lock();

    bool ok = true;
    if (ready < 0 && pollErrno != EINTR) {
        errno = pollErrno;
        snmp_log_perror("poll");
        ok = false;
    } else if (ready > 0) {
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ok = handleMessage();
            --ready;
        }
        if (ready > 0) {
            netsnmp_large_fd_set readSet;
            netsnmp_large_fd_set_init(&readSet, FD_SETSIZE);
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                    NETSNMP_LARGE_FD_SET(fds[i].fd, &readSet);
            }
            snmp_read2(&readSet);
            netsnmp_large_fd_set_cleanup(&readSet);
        }
    } else if (ready == 0) {
        snmp_timeout();
    }
    run_alarms();
    netsnmp_check_outstanding_agent_requests();
    return ok;
}

void AgentLoop::run()
{
    while (running_) {
        if (reconfigure_)
            reconfigure();
        if (!waitAndServe())
            break;
    }
    if (!running_)
        snmp_log(LOG_INFO, "Received TERM or STOP signal...  shutting down...\n");
}

} // namespace

SnmpdTask::SnmpdTask() : Task("NET-SNMPD") {}

void SnmpdTask::run()
{
    // The trace lines of the agent go to standard output as whole lines.
    static char lineBuffer[8192];
    std::setvbuf(stdout, lineBuffer, _IOLBF, sizeof(lineBuffer));
    // Everything of the agent ends with this scope: exit() does not return.
    {
        const std::string path = snmpdConfPath();
        std::lock_guard<std::mutex> lock(snmpLibraryMutex());
        AgentLoop loop(messageFd());
        if (loop.start(path.c_str())) {
            loop.run();
            setSnmpLibraryReady(false);
            snmp_shutdown(kAppName);
        } else {
            // The agent cannot serve; the trap sinks it opened stay usable.
            std::fprintf(stderr, "NET-SNMPD: the agent could not open its transports; it ends\n");
        }
    }
    exit();
}

uint32_t SnmpdTask::onMessage(TaskMessage* msg)
{
    if (msg->code & MSG_NETWORK_CHANGED) {
        bool scratch = false;
        writeSnmpdConf(snmpdConfPath().c_str(), &scratch);
    }
    return msg->code;
}

int startSnmpAgent()
{
    if (!params::snmpv1()->isOn() && !params::snmpv3()->isOn())
        return -1;
    // Debian ships no MIB files: the agent loads none.
    setenv("MIBS", "", 1);
    setenv("MIBDIRS", "", 1);
    SnmpdTask* task = new SnmpdTask();
    writeSnmpdConf(snmpdConfPath().c_str(), &trapSinkAtStart);
    const int id = task->start(scaledStackSize(kAgentStackSize), 0);
    if (id < 0)
        delete task;
    return id;
}

bool snmpTrapSinkConfigured()
{
    return trapSinkAtStart;
}
