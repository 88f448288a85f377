// The simulated radio. Readings come from the root's status file. The
// supplicant stand-in is a thread that serves the supplicant's control
// protocol on the per-interface socket: networks are added and set (with the
// supplicant's own checks of the values this program sends), scan results
// are the access points of the root's scan file, and enabling a network
// whose SSID (and, for a passphrase, whose passphrase) matches an access
// point reports the connection to the attached sockets.
#include "platform/wlan/wlan_radio.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files/root_path.h"
#include "platform/wlan/sim_supplicant.h"

namespace {

std::map<std::string, std::string> readStatusFile()
{
    std::map<std::string, std::string> values;
    std::ifstream in(boxPath(kSimWlanStatus));
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

bool parseMac(const std::string& text, uint8_t mac[6])
{
    unsigned b[6];
    if (sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        mac[i] = static_cast<uint8_t>(b[i]);
    return true;
}

int readSimStatus(const char*, WlanReadings* out)
{
    memset(out, 0, sizeof *out);
    auto v = readStatusFile();
    if (v.empty())
        return kWlanNoInterface;
    if (v.count("name")) {
        out->hasName = true;
        snprintf(out->name, sizeof out->name, "%s", v["name"].c_str());
    }
    if (v.count("essid")) {
        out->hasEssid = true;
        snprintf(out->essid, sizeof out->essid, "%s", v["essid"].c_str());
    }
    out->hasAp = v.count("ap") && parseMac(v["ap"], out->ap);
    if (v.count("mode")) {
        out->mode = atoi(v["mode"].c_str());
        out->hasMode = out->mode >= 0 && out->mode < 7;
    }
    if (v.count("bitrate")) {
        out->hasBitRate = true;
        out->bitRate = atoll(v["bitrate"].c_str());
    }
    if (v.count("quality")) {
        out->hasStats = true;
        out->quality = atoi(v["quality"].c_str());
        out->qualityMax = 100;
        out->signal = atoi(v["signal"].c_str());
        out->noise = atoi(v["noise"].c_str());
    }
    return 0;
}

int readSimSerial(const char*, uint8_t mac[6])
{
    auto v = readStatusFile();
    return v.count("serial") && parseMac(v["serial"], mac) ? 1 : 0;
}

int readSimDriverName(const char*, char* out, int size)
{
    auto v = readStatusFile();
    if (!v.count("driver") || v["driver"].empty())
        return 0;
    return snprintf(out, static_cast<size_t>(size), "%s", v["driver"].c_str());
}

// The one stand-in of this process.
std::atomic<SimSupplicant*> runningSim{nullptr};
pthread_t simThread;
int simExitFd = -1;

void* simThreadMain(void* arg)
{
    auto* sim = static_cast<SimSupplicant*>(arg);
    sim->serve();
    uint64_t one = 1;
    ssize_t ignored = write(simExitFd, &one, sizeof one);
    (void)ignored;
    return nullptr;
}

pid_t startSimSupplicant(const SupplicantLaunch& launch, int* exitFd)
{
    if (runningSim) {
        errno = EBUSY;
        return -1;
    }
    std::string socketPath = std::string(launch.controlDir) + "/" + launch.interfaceName;
    auto* sim = new SimSupplicant(socketPath, boxPath(kSimWlanScan), boxPath(kSimWlanWps));
    if (!sim->open()) {
        int saved = errno;
        delete sim;
        errno = saved;
        return -1;
    }
    int fd = eventfd(0, EFD_CLOEXEC);
    if (fd < 0) {
        delete sim;
        return -1;
    }
    simExitFd = fd;
    runningSim.store(sim);
    if (pthread_create(&simThread, nullptr, simThreadMain, sim) != 0) {
        runningSim.store(nullptr);
        delete sim;
        close(fd);
        errno = EAGAIN;
        return -1;
    }
    *exitFd = dup(fd);
    return 1;
}

int finishSimSupplicant(pid_t)
{
    SimSupplicant* sim = runningSim.load();
    if (!sim)
        return -1;
    pthread_join(simThread, nullptr);
    runningSim.store(nullptr);
    delete sim;
    close(simExitFd);
    simExitFd = -1;
    return 0;
}

void stopSimSupplicant()
{
    // The stand-in object lives until its thread has been joined.
    if (SimSupplicant* sim = runningSim.load())
        sim->requestStop();
}

} // namespace

const WlanRadioOps simWlanRadioOps = {readSimStatus,      readSimSerial,       readSimDriverName,
                                      startSimSupplicant, finishSimSupplicant, stopSimSupplicant};
