// The real radio: wireless-extension requests on the interface, and the
// supplicant program with the "wext" driver.
#include "platform/wlan/wlan_radio.h"

#include <linux/wireless.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files/root_path.h"

namespace {

// The module's private request for its own MAC address.
constexpr unsigned long kWlanGetSerial = 0x8BE5;

class RequestSocket {
public:
    RequestSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~RequestSocket()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool get(const char* name, unsigned long request, iwreq* req)
    {
        snprintf(req->ifr_name, sizeof req->ifr_name, "%s", name);
        return fd_ >= 0 && ioctl(fd_, request, req) >= 0;
    }
    RequestSocket(const RequestSocket&) = delete;
    RequestSocket& operator=(const RequestSocket&) = delete;

private:
    int fd_;
};

void readText(RequestSocket& s, const char* name, unsigned long request, char* out, size_t size, bool* has)
{
    iwreq req{};
    char buffer[IW_ESSID_MAX_SIZE + 1] = {};
    req.u.essid.pointer = buffer;
    req.u.essid.length = sizeof buffer;
    if (!s.get(name, request, &req))
        return;
    size_t n = req.u.essid.length < size - 1 ? req.u.essid.length : size - 1;
    memcpy(out, buffer, n);
    out[n] = '\0';
    *has = true;
}

bool readParam(RequestSocket& s, const char* name, unsigned long request, int32_t* out)
{
    iwreq req{};
    if (!s.get(name, request, &req) || req.u.param.disabled)
        return false;
    *out = req.u.param.value;
    return true;
}

void readStats(RequestSocket& s, const char* name, WlanReadings* out)
{
    iw_statistics stats{};
    iwreq req{};
    req.u.data.pointer = &stats;
    req.u.data.length = sizeof stats;
    req.u.data.flags = 1;
    if (!s.get(name, SIOCGIWSTATS, &req))
        return;
    out->hasStats = true;
    out->quality = stats.qual.qual;
    out->qualityMax = 100;
    out->signal = static_cast<int8_t>(stats.qual.level);
    out->noise = static_cast<int8_t>(stats.qual.noise);
}

// <linux/wireless.h> brings the kernel's interface records, which clash
// with the C library's if_nametoindex declarations; sysfs tells as much.
bool interfaceExists(const char* name)
{
    char path[96];
    snprintf(path, sizeof path, "/sys/class/net/%s", name);
    return access(boxPath(path).c_str(), F_OK) == 0;
}

int readRealStatus(const char* name, WlanReadings* out)
{
    memset(out, 0, sizeof *out);
    RequestSocket s;
    iwreq req{};
    if (!s.get(name, SIOCGIWNAME, &req))
        return interfaceExists(name) ? kWlanNoExtensions : kWlanNoInterface;
    out->hasName = true;
    snprintf(out->name, sizeof out->name, "%s", req.u.name);
    out->hasNwid = readParam(s, name, SIOCGIWNWID, &out->nwid);
    out->hasSensitivity = readParam(s, name, SIOCGIWSENS, &out->sensitivity);
    iwreq key{};
    key.u.data.pointer = out->key;
    key.u.data.length = sizeof out->key;
    if (s.get(name, SIOCGIWENCODE, &key)) {
        out->hasKey = true;
        out->keyLength = key.u.data.length;
        out->keyFlags = key.u.data.flags;
    }
    readText(s, name, SIOCGIWESSID, out->essid, sizeof out->essid, &out->hasEssid);
    iwreq ap{};
    if (s.get(name, SIOCGIWAP, &ap)) {
        out->hasAp = true;
        memcpy(out->ap, ap.u.ap_addr.sa_data, 6);
    }
    readText(s, name, SIOCGIWNICKN, out->nickname, sizeof out->nickname, &out->hasNickname);
    out->hasNickname = out->hasNickname && strlen(out->nickname) > 1;
    int32_t rate = 0;
    if ((out->hasBitRate = readParam(s, name, SIOCGIWRATE, &rate)))
        out->bitRate = rate;
    out->hasRts = readParam(s, name, SIOCGIWRTS, &out->rts);
    out->hasFragment = readParam(s, name, SIOCGIWFRAG, &out->fragment);
    iwreq mode{};
    if (s.get(name, SIOCGIWMODE, &mode) && mode.u.mode < 7) {
        out->hasMode = true;
        out->mode = static_cast<int>(mode.u.mode);
    }
    out->hasPower = readParam(s, name, SIOCGIWPOWER, &out->power);
    out->hasTxPower = readParam(s, name, SIOCGIWTXPOW, &out->txPower);
    out->hasRetry = readParam(s, name, SIOCGIWRETRY, &out->retry);
    readStats(s, name, out);
    return 0;
}

int readRealSerial(const char* name, uint8_t mac[6])
{
    RequestSocket s;
    iwreq req{};
    uint8_t buffer[32] = {};
    req.u.data.pointer = buffer;
    req.u.data.length = sizeof buffer;
    if (!s.get(name, kWlanGetSerial, &req))
        return 0;
    memcpy(mac, buffer, 6);
    return 1;
}

int readRealDriverName(const char* name, char* out, int size)
{
    char link[128];
    char target[256];
    snprintf(link, sizeof link, "/sys/class/net/%s/device/driver", name);
    ssize_t n = readlink(boxPath(link).c_str(), target, sizeof target - 1);
    if (n <= 0)
        return 0;
    target[n] = '\0';
    const char* slash = strrchr(target, '/');
    return snprintf(out, static_cast<size_t>(size), "%s", slash ? slash + 1 : target);
}

pid_t startRealSupplicant(const SupplicantLaunch& launch, int* exitFd)
{
    return startSupplicantProgram(launch, exitFd);
}

void stopRealSupplicant()
{
    stopSupplicantProgram(2000);
}

} // namespace

const WlanRadioOps realWlanRadioOps = {readRealStatus,      readRealSerial,        readRealDriverName,
                                       startRealSupplicant, reapSupplicantProgram, stopRealSupplicant};
