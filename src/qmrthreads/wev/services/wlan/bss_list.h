// The WLAN scan list: one record per access point the supplicant reported
// after its last scan, in the order of its "BSS n" answers. The WLan task
// rebuilds it; the web pages read it. Both hold the scan list lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BssRecord {
    std::string bssid;
    std::string freq;
    int channel = 0;              // 1..13 for 2412..2472 MHz, 14 for 2484, else 0
    std::string capabilities;
    int level = 0;
    std::string flags;
    std::string ssid;
    std::vector<uint8_t> ie;      // decoded; empty for an odd count of hex digits
};

// Locks the list for flag non-zero, unlocks it for 0.
void lockScanList(int flag);
// The list; read and change it only under lockScanList(1).
std::vector<BssRecord>& wlanScanList();

// The channel of a frequency in MHz (0 outside the 2.4 GHz channels).
int frequencyChannel(int mhz);

// Parses one "BSS n" answer (length bytes). Lines end at a line feed; a line
// that the answer's end cuts off is not taken. Keys other than the known
// ones and lines without "=" are passed over.
BssRecord parseBssAnswer(const char* text, int length);

// Decodes hex digits; false (and out empty) for an odd count or a non-digit.
bool decodeHex(const char* text, int length, std::vector<uint8_t>* out);
