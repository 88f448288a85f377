// The network block the supplicant is given: the SET_NETWORK values built
// from the `wifi_*` and `auth_*` parameters, in the order they are sent.
#pragma once

#include <string>
#include <vector>

// What the block is built from: the parameters' tokens and texts and which
// of the 802.1X files exist.
struct NetworkBlockInput {
    int kind = 0;                 // kWpaWired or kWpaWlan
    std::string authType;         // `auth_typ` token: "---", "MD5", "TLS", "TTLS", "PEAP", "FAST"
    std::string authExtern;       // `auth_extern` token
    std::string authIntern;       // `auth_intern` token
    std::string authName;
    std::string authPassword;
    std::string anonymousName;
    std::string wpaAddon;
    std::string encrypt;          // `wifi_encrypt` token
    std::string ssid;             // `wifi_name`
    std::string mode;             // `wifi_mode` token: "adhoc", "infra"
    std::string wepKeys[4];       // `wifi_wkey1` .. `wifi_wkey4`
    int keyId = 1;                // `wifi_keyid`
    std::string psk;              // `wifi_psk`
    int channel = 0;              // `wifi_channel`
    bool roaming = false;         // `wifi_roaming`
    bool rootCertExists = false;      // "/flash/cert_root.pem"
    bool clientCertExists = false;    // "/flash/cert_fsrv.pem"
    bool privateKeyExists = false;    // "/flash/cert_fpkey.pem"
    std::string tlsCommonName;        // of the imported certificate, when usable
    std::string root;                 // put before the file names the supplicant opens
};

// One step of the configuration: a SET_NETWORK value, or a plain command
// whose answer is not looked at.
struct NetworkStep {
    bool plainCommand;
    std::string text;
};

// The input as the parameters and files give it now.
NetworkBlockInput currentNetworkBlockInput(int kind);

// The steps in sending order (without ADD_NETWORK, AP_SCAN and ENABLE_NETWORK).
std::vector<NetworkStep> networkBlockSteps(const NetworkBlockInput& in);


int channelFrequency(int channel);
