// The network block: which SET_NETWORK values the parameters give, in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/wlan/network_block.h"
#include "services/wlan/wpa_ctrl.h"

namespace {

NetworkBlockInput wlanInput()
{
    NetworkBlockInput in;
    in.kind = kWpaWlan;
    in.authType = "---";
    in.authExtern = "---";
    in.authIntern = "---";
    in.encrypt = "---";
    in.ssid = "lab net";
    in.mode = "infra";
    in.keyId = 1;
    in.channel = 3;
    return in;
}

NetworkBlockInput wiredInput(const char* method)
{
    NetworkBlockInput in = wlanInput();
    in.kind = kWpaWired;
    in.authType = method;
    in.authName = "alice";
    in.authPassword = "pw";
    return in;
}

std::vector<std::string> texts(const NetworkBlockInput& in)
{
    std::vector<std::string> out;
    for (const NetworkStep& s : networkBlockSteps(in))
        out.push_back(s.plainCommand ? "> " + s.text : s.text);
    return out;
}

struct Case {
    const char* name;
    NetworkBlockInput input;
    std::vector<std::string> expected;
};

std::vector<Case> cases()
{
    std::vector<Case> list;

    NetworkBlockInput aes2 = wlanInput();
    aes2.encrypt = "AES2";
    aes2.psk = "twenty-characters-ok";
    list.push_back({"AES2 with a passphrase", aes2,
                    {"priority 10", "key_mgmt WPA-PSK", "ssid \"lab net\"", "scan_ssid 1", "mode 0", "group CCMP",
                     "pairwise CCMP", "proto RSN", "psk \"twenty-characters-ok\"", "phase2 \"auth=\""}});

    NetworkBlockInput hexPsk = aes2;
    hexPsk.encrypt = "Auto";
    hexPsk.psk = std::string(64, 'a');
    list.push_back({"Auto with a 64-digit key", hexPsk,
                    {"priority 10", "key_mgmt WPA-PSK", "ssid \"lab net\"", "scan_ssid 1", "mode 0",
                     "group CCMP TKIP", "pairwise CCMP TKIP", "proto WPA RSN", "psk " + std::string(64, 'a'),
                     "phase2 \"auth=\""}});

    NetworkBlockInput wep = wlanInput();
    wep.encrypt = "WepShared";
    wep.wepKeys[0] = "0123456789abcdef0123456789";
    wep.wepKeys[2] = "thirteen-char";
    wep.keyId = 3;
    list.push_back({"WEP 26 hex digits as they are, 13 characters quoted", wep,
                    {"priority 10", "key_mgmt NONE", "ssid \"lab net\"", "scan_ssid 1", "mode 0",
                     "wep_key0 0123456789abcdef0123456789", "wep_key2 \"thirteen-char\"", "wep_tx_keyidx 2",
                     "priority 5", "auth_alg SHARED", "group WEP104 WEP40", "phase2 \"auth=\""}});

    NetworkBlockInput peap = wlanInput();
    peap.encrypt = "AESTKIP2";
    peap.authType = "PEAP";
    peap.authExtern = "PVER0";
    peap.authIntern = "MSCHAP2";
    peap.authName = "alice";
    peap.rootCertExists = true;
    peap.root = "/r";
    list.push_back({"PEAP with PVER0 and MS-CHAPv2 on WLAN", peap,
                    {"priority 10", "key_mgmt WPA-EAP", "eapol_flags 3", "ssid \"lab net\"", "scan_ssid 1",
                     "mode 0", "group CCMP TKIP", "pairwise CCMP TKIP", "proto RSN", "eap PEAP",
                     "identity \"alice\"", "ca_cert \"/r/flash/cert_root.pem\"", "phase1 \"peapver=0\"",
                     "phase2 \"autheap=MSCHAPV2\""}});

    list.push_back({"wired MD5", wiredInput("MD5"),
                    {"priority 10", "key_mgmt IEEE8021X", "eapol_flags 0", "eap MD5", "identity \"alice\"",
                     "password \"pw\"", "phase2 \"auth=\""}});

    NetworkBlockInput fast = wiredInput("FAST");
    fast.authExtern = "FPROV1";
    fast.rootCertExists = true;
    fast.anonymousName = "anon";
    fast.wpaAddon = "fragment_size=1000";
    list.push_back({"FAST with its PAC file, no CA line", fast,
                    {"priority 10", "key_mgmt IEEE8021X", "eapol_flags 0", "eap FAST", "pac_file \"/var/cert_pac\"",
                     "identity \"alice\"", "password \"pw\"", "phase1 \"fast_provisioning=2\"", "phase2 \"auth=\"",
                     "anonymous_identity \"anon\"", "fragment_size=1000"}});

    NetworkBlockInput tls = wiredInput("TLS");
    tls.authPassword = "";
    tls.tlsCommonName = "box-client";
    tls.clientCertExists = true;
    tls.privateKeyExists = true;
    tls.authIntern = "ETLS";
    list.push_back({"TLS takes the certificate's name", tls,
                    {"priority 10", "key_mgmt IEEE8021X", "eapol_flags 0", "eap TLS", "identity \"box-client\"",
                     "client_cert \"/flash/cert_fsrv.pem\"", "private_key \"/flash/cert_fpkey.pem\"",
                     "client_cert2 \"/flash/cert_fsrv.pem\"", "private_key2 \"/flash/cert_fpkey.pem\"",
                     "phase2 \"autheap=TLS\""}});

    NetworkBlockInput adhoc = wlanInput();
    adhoc.mode = "adhoc";
    adhoc.channel = 14;
    adhoc.roaming = true;
    list.push_back({"ad-hoc: the frequency after a plain AP_SCAN 1, no roaming", adhoc,
                    {"priority 10", "key_mgmt NONE", "ssid \"lab net\"", "scan_ssid 1", "mode 1", "phase2 \"auth=\"",
                     "> AP_SCAN 1", "frequency 2484"}});

    NetworkBlockInput roaming = wlanInput();
    roaming.roaming = true;
    list.push_back({"infrastructure with roaming", roaming,
                    {"priority 10", "key_mgmt NONE", "ssid \"lab net\"", "scan_ssid 1", "mode 0", "phase2 \"auth=\"",
                     "bgscan \"simple:30:-65:300\""}});

    NetworkBlockInput md5Wlan = wlanInput();
    md5Wlan.authType = "MD5";
    md5Wlan.encrypt = "WepOpen";
    md5Wlan.authName = "bob";
    list.push_back({"MD5 on WLAN with WEP also offers LEAP", md5Wlan,
                    {"priority 10", "key_mgmt IEEE8021X", "eapol_flags 3", "ssid \"lab net\"", "scan_ssid 1",
                     "mode 0", "wep_tx_keyidx 0", "priority 5", "group WEP104 WEP40", "eap MD5 LEAP",
                     "identity \"bob\"", "password \"\"", "phase2 \"auth=\""}});
    return list;
}

TEST(NetworkBlock, ValuesFollowTheParametersInOrder)
{
    for (const Case& c : cases())
        EXPECT_EQ(texts(c.input), c.expected) << c.name;
}

TEST(NetworkBlock, ChannelFrequencies)
{
    const std::pair<int, int> table[] = {{1, 2412}, {6, 2437}, {13, 2472}, {14, 2484}, {0, 0}, {15, 0}, {-1, 0}};
    for (auto [channel, mhz] : table)
        EXPECT_EQ(channelFrequency(channel), mhz) << channel;
}

} // namespace
