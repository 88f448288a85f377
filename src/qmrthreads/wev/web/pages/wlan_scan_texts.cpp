#include "web/pages/wlan_scan_texts.h"

#include <cstdio>

namespace {

bool contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

int wlanSignalStep(int dBm)
{
    if (dBm >= -44)
        return 100;
    if (dBm >= -64)
        return 80;
    if (dBm >= -74)
        return 60;
    if (dBm >= -84)
        return 40;
    if (dBm >= -89)
        return 20;
    return 0;
}

int wlanQualityStep(int quality)
{
    if (quality < 0)
        quality = 0;
    if (quality > 100)
        quality = 100;
    return (quality + 10) / 20 * 20;
}

std::string wlanPicture(int step)
{
    char text[32];
    snprintf(text, sizeof text, "\"/pics/wlan%03d.png\"", step);
    return text;
}

int wlanEncryptionCode(const std::string& flags)
{
    size_t at = flags.find("WPA2");
    const bool wpa2 = at != std::string::npos;
    if (!wpa2)
        at = flags.find("WPA");
    if (at == std::string::npos)
        return 0;
    const std::string rest = flags.substr(at);
    if (!contains(rest, "PSK"))
        return 0;
    const bool tkip = contains(rest, "TKIP");
    const bool ccmp = contains(rest, "CCMP");
    if (tkip && ccmp)
        return wpa2 ? 8 : 7;
    if (tkip)
        return wpa2 ? 5 : 3;
    if (ccmp)
        return wpa2 ? 6 : 4;
    return 0;
}

bool wlanIsAdHoc(const std::string& flags)
{
    return contains(flags, "IBSS");
}

const char* wlanModeName(int mode)
{
    static const char* const names[] = {"Auto", "Ad-Hoc", "Infrastructure", "Master", "Repeater", "Secondary", "Monitor"};
    return mode >= 0 && mode < 7 ? names[mode] : "";
}
