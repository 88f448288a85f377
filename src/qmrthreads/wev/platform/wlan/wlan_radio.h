// The WLAN radio seam. What the program reads from the WLAN hardware (the
// wireless status of "wlan0", its MAC address) and the supplicant that
// drives the radio go through one table of operations. Two back-ends sit side
// by side: the kernel's wireless extensions with Debian's wpa_supplicant
// program (driver "wext"), and a simulated radio for machines without WLAN
// hardware, whose supplicant stand-in answers the same control protocol on
// the same socket from a scan list that a test or the demo writes under the
// root. The choice is made once, on first use: the real radio when the root
// is the box's own "/", else the simulated one.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/wlan/supplicant_process.h"

// The wireless status of an interface; each value with a flag telling whether
// the driver reported it.
struct WlanReadings {
    bool hasName;       char name[16];        // protocol name ("IEEE 802.11g")
    bool hasNwid;       int32_t nwid;
    bool hasSensitivity; int32_t sensitivity;
    bool hasKey;        uint8_t key[64]; int keyLength; int keyFlags;
    bool hasEssid;      char essid[33];
    bool hasAp;         uint8_t ap[6];
    bool hasNickname;   char nickname[33];
    bool hasBitRate;    int64_t bitRate;      // bit/s
    bool hasRts;        int32_t rts;
    bool hasFragment;   int32_t fragment;
    bool hasMode;       int mode;             // 0 Auto .. 6 Monitor
    bool hasPower;      int32_t power;
    bool hasTxPower;    int32_t txPower;      // dBm
    bool hasRetry;      int32_t retry;
    bool hasStats;      int quality; int qualityMax; int signal; int noise;  // dBm
};

// readStatus results besides 0.
enum : int {
    kWlanNoInterface = -19,
    kWlanNoExtensions = -95,
};

struct WlanRadioOps {
    // Clears out and fills what the driver reports: 0, kWlanNoInterface or
    // kWlanNoExtensions.
    int (*readStatus)(const char* interfaceName, WlanReadings* out);
    // The WLAN module's own MAC address: 1, or 0 when it cannot be read.
    int (*readSerial)(const char* interfaceName, uint8_t mac[6]);
    // The kernel driver's name: its length, 0 when there is none.
    int (*driverName)(const char* interfaceName, char* out, int size);
    // Starts the supplicant for the radio: a pid-like handle (above 0) and
    // *exitFd readable when it has ended, or -1 with errno set.
    pid_t (*startSupplicant)(const SupplicantLaunch& launch, int* exitFd);
    // Collects the ended supplicant: its exit code.
    int (*finishSupplicant)(pid_t handle);
    // Asks a running supplicant to end; nothing when none runs.
    void (*stopSupplicant)();
};

const WlanRadioOps& wlanRadio();

extern const WlanRadioOps realWlanRadioOps;
extern const WlanRadioOps simWlanRadioOps;

// The simulated radio's files under the root: the status ("key=value" lines:
// name, essid, ap, mode, bitrate, quality, signal, noise, serial, driver),
// the scan list (blocks of the supplicant's "BSS n" lines, a blank line
// between two access points; a block's "psk=" line is the passphrase that
// the access point accepts), and the WPS credential an access point hands
// out on a push-button run (the hex of the Credential attribute; without the
// file WPS times out).
constexpr const char* kSimWlanStatus = "/var/wlan.sim/status";
constexpr const char* kSimWlanScan = "/var/wlan.sim/scan";
constexpr const char* kSimWlanWps = "/var/wlan.sim/wps";
