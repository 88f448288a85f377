// What the network settings pages read of the services. The mDNS responder,
// the mail client and the WLAN control live beside the web server; start-up
// registers readers of their state here, so the pages never include their
// code. A reader that is not registered (a model without the service, or a
// service not built into this program) leaves its variables unset.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct MailCounters {
    unsigned long received = 0;  // mails the POP3 intake took
    unsigned long refused = 0;   // mails it refused (spam)
    unsigned long sent = 0;      // mails the SMTP server accepted
    int pop3Progress = 0;        // status codes, texts by mailStatusText
    int pop3Error = 0;
    int smtpProgress = 0;
    int smtpError = 0;
    int64_t pop3NextPoll = 0;    // second (tick clock) of the next POP3 poll
};

// The WLAN interface as its last status reading gave it.
struct WlanStatusView {
    int mode = -1;         // 0 Auto, 1 Ad-Hoc, 2 Infrastructure, ... 6 Monitor
    std::string essid;
    std::string bitRate;   // the driver's bit rate as text
    int quality = 0;       // link quality 0 .. 100
    std::string driver;    // the WLAN driver's name
};

// One network of the last scan.
struct WlanScanEntry {
    std::string bssid;
    std::string ssid;
    std::string flags;      // "[WPA2-PSK-CCMP][ESS]"
    int level = 0;          // signal in dBm
    int channel = 0;
    std::string frequency;  // "2.437 GHz"
};

struct NetworkPageSources {
    // The mDNS instance name in use (may differ from `bonjour_name` after
    // a name conflict).
    std::string (*bonjourName)();
    void (*mailCounters)(MailCounters* out);
    const char* (*mailStatusText)(int code);
    // Reads the WLAN status again; false when there is no WLAN interface.
    bool (*wlanStatus)(WlanStatusView* out);
    // A copy of the scan list taken under its lock, in its order.
    void (*wlanScanList)(std::vector<WlanScanEntry>* out);
};
void setNetworkPageSources(const NetworkPageSources* sources);
const NetworkPageSources* networkPageSources();
