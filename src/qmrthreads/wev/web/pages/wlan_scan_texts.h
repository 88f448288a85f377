// How the WLAN page shows a scanned network: the signal picture, the
// encryption code its "copy" button hands to the form (the row of the
// `wifi_encrypt` list), and whether it is an ad-hoc cell.
#pragma once

#include <string>

// The picture step 0 .. 100 (in 20s) for a signal level in dBm.
int wlanSignalStep(int dBm);
// The step of a link quality 0 .. 100: the nearest multiple of 20.
int wlanQualityStep(int quality);
// "/pics/wlanNNN.png" for a step, in double quotes (they belong to the value:
// the template puts it into an attribute as it stands).
std::string wlanPicture(int step);

// The encryption code of a flags text ("[WPA2-PSK-CCMP][ESS]"): 0 open, WEP,
// enterprise or unknown; 3 WPA TKIP, 4 WPA CCMP, 5 WPA2 TKIP, 6 WPA2 CCMP,
// 7 WPA TKIP+CCMP, 8 WPA2 TKIP+CCMP.
int wlanEncryptionCode(const std::string& flags);
bool wlanIsAdHoc(const std::string& flags);

// The operation mode's name ("Auto" .. "Monitor"), "" for other numbers.
const char* wlanModeName(int mode);
