// The WLAN radio's status for the WLAN pages: read through the radio seam
// into one record, which the accessors below read. Several page threads may
// refresh and read it at once: a lock keeps each reading whole.
#pragma once

#include <string>

class Connection;

// Refreshes the record from "wlan0": 0, -19 without the interface, -95 when
// it has no wireless extensions (the record is then empty).
int readWlanStatus();

// The mode text ("Auto", "Ad-Hoc", "Infrastructure", "Master", "Repeater",
// "Secondary", "Monitor"), empty when unknown; returns 1.
int wlanModeText(std::string* out);
int wlanMode();
void wlanEssid(std::string* out);
// The link quality, at most 100; 0 without statistics.
int wlanSignalQuality();
// "54 Mb/s", as wireless-tools prints a bit rate; empty when unknown.
void wlanBitRateText(std::string* out);
// The kernel driver of "wlan0"; 0 when there is none.
int wlanDriverName(std::string* out);

// Fills `wifi_serial` from the WLAN module when it is empty: 1, or 0 (with
// "error serial" on standard output) when the module does not tell.
int readWlanSerial();
// The access point's address as lower-case MAC text; 0 when not known.
int readApAddress(std::string* out);

// The "Wifi Info Page" body.
std::string wifiInfoPageBody();
// Sends it on the connection: bytes sent or the send's failure.
int writeWifiInfoPage(Connection* conn);
