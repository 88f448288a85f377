#include "services/wlan/wlan_status.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>

#include "core/net/connection.h"
#include "core/params/param_handles.h"
#include "platform/wlan/wlan_radio.h"

namespace {

constexpr const char* kWlanInterface = "wlan0";
const char* const kModeTexts[] = {"Auto", "Ad-Hoc", "Infrastructure", "Master", "Repeater", "Secondary", "Monitor"};

pthread_mutex_t statusMutex = PTHREAD_MUTEX_INITIALIZER;
WlanReadings wlanStatus;

WlanReadings snapshot()
{
    pthread_mutex_lock(&statusMutex);
    WlanReadings copy = wlanStatus;
    pthread_mutex_unlock(&statusMutex);
    return copy;
}

std::string macText(const uint8_t mac[6])
{
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

std::string statsText(const WlanReadings& r)
{
    char text[96];
    snprintf(text, sizeof text, "Quality=%d/%d  Signal level=%d dBm  Noise level=%d dBm", r.quality, r.qualityMax,
             r.signal, r.noise);
    return text;
}

} // namespace

int readWlanStatus()
{
    WlanReadings fresh;
    int rc = wlanRadio().readStatus(kWlanInterface, &fresh);
    if (rc != 0)
        memset(&fresh, 0, sizeof fresh);
    pthread_mutex_lock(&statusMutex);
    wlanStatus = fresh;
    pthread_mutex_unlock(&statusMutex);
    return rc;
}

int wlanModeText(std::string* out)
{
    WlanReadings r = snapshot();
    *out = r.hasMode && r.mode >= 0 && r.mode < 7 ? kModeTexts[r.mode] : "";
    return 1;
}

int wlanMode()
{
    return snapshot().mode;
}

void wlanEssid(std::string* out)
{
    WlanReadings r = snapshot();
    *out = r.hasEssid ? std::string(r.essid, strnlen(r.essid, sizeof r.essid)) : std::string();
}

int wlanSignalQuality()
{
    WlanReadings r = snapshot();
    if (!r.hasStats)
        return 0;
    return r.quality > 100 ? 100 : r.quality;
}

void wlanBitRateText(std::string* out)
{
    WlanReadings r = snapshot();
    out->clear();
    if (!r.hasBitRate)
        return;
    char text[32];
    const double rate = static_cast<double>(r.bitRate);
    if (rate >= 1e9)
        snprintf(text, sizeof text, "%g Gb/s", rate / 1e9);
    else if (rate >= 1e6)
        snprintf(text, sizeof text, "%g Mb/s", rate / 1e6);
    else
        snprintf(text, sizeof text, "%g kb/s", rate / 1e3);
    *out = text;
}

int wlanDriverName(std::string* out)
{
    char name[64];
    int n = wlanRadio().driverName(kWlanInterface, name, sizeof name);
    if (n <= 0) {
        out->clear();
        return 0;
    }
    *out = name;
    return 1;
}

int readWlanSerial()
{
    StringParam* serial = params::wifi_serial();
    if (!serial)
        return 0;
    if (!serial->value()->empty())
        return 1;
    uint8_t mac[6];
    if (!wlanRadio().readSerial(kWlanInterface, mac)) {
        printf("error serial\n");
        return 0;
    }
    serial->set(macText(mac).c_str(), -1);
    return 1;
}

int readApAddress(std::string* out)
{
    WlanReadings r;
    if (wlanRadio().readStatus(kWlanInterface, &r) != 0 || !r.hasAp)
        return 0;
    *out = macText(r.ap);
    return 1;
}

std::string wifiInfoPageBody()
{
    std::string body = "<head> <title> Wifi Info Page </title>\n</head>\n";
    readWlanStatus();
    WlanReadings r = snapshot();
    body += "<table border=1 cellpadding=5><tbody valign=top align=left>\n";
    body += "<TR><TD>----- Connection State -----<TD>";
    body += "<TR><TD><table border=0 cellpadding=3>\n";
    if (r.hasStats)
        body += "<TR><TD>Link: <TD> " + statsText(r) + " <TD><TR>";
    readWlanSerial();
    StringParam* serial = params::wifi_serial();
    body += "<TR><TD>CARDs MAC Addr: <TD> " + (serial ? *serial->value() : std::string()) + "  <TD>";
    std::string ap;
    readApAddress(&ap);
    body += "<TR><TD>AP BSSID:     <TD>  " + ap + "  <TD>";
    body += "\n</TR></table>\n";
    return body;
}

int writeWifiInfoPage(Connection* conn)
{
    std::string body = wifiInfoPageBody();
    return conn->send(body.data(), static_cast<int>(body.size()), 0, false);
}
