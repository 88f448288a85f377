#include "services/wlan/network_block.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>

#include "core/cert/cert_files.h"
#include "core/cert/cert_store.h"
#include "core/params/param_handles.h"
#include "platform/files/root_path.h"
#include "services/wlan/wpa_ctrl.h"

namespace {

const char* const kWpaCiphers[] = {"TKIP", "AES", "TKIP2", "AES2", "AESTKIP", "AESTKIP2", "Auto"};
const char kPacFile[] = "/var/cert_pac";
const char kRootCert[] = "/flash/cert_root.pem";
const char kClientCert[] = "/flash/cert_fsrv.pem";
const char kClientKey[] = "/flash/cert_fpkey.pem";

bool is(const std::string& value, const char* token)
{
    return strcasecmp(value.c_str(), token) == 0;
}

bool isAnyOf(const std::string& value, std::initializer_list<const char*> tokens)
{
    for (const char* t : tokens) {
        if (is(value, t))
            return true;
    }
    return false;
}

bool isWpaCipher(const std::string& encrypt)
{
    for (const char* c : kWpaCiphers) {
        if (is(encrypt, c))
            return true;
    }
    return false;
}

bool isWep(const std::string& encrypt)
{
    return isAnyOf(encrypt, {"WepOpen", "WepShared"});
}

// The supplicant takes a quoted text up to the next double quote; anything
// that would end it early or break the line is refused at the parameter, so
// here it can only be written as it is.
std::string q(const std::string& text)
{
    return "\"" + text + "\"";
}

class StepList {
public:
    void add(std::string text) { steps_.push_back({false, std::move(text)}); }
    void plain(std::string text) { steps_.push_back({true, std::move(text)}); }
    std::vector<NetworkStep> take() { return std::move(steps_); }

private:
    std::vector<NetworkStep> steps_;
};

void addKeyManagement(const NetworkBlockInput& in, StepList& s)
{
    const bool eap = !is(in.authType, "---");
    if (!eap) {
        s.add(isWpaCipher(in.encrypt) ? "key_mgmt WPA-PSK" : "key_mgmt NONE");
        return;
    }
    if (isWpaCipher(in.encrypt)) {
        s.add("key_mgmt WPA-EAP");
        s.add("eapol_flags 3");
        return;
    }
    s.add("key_mgmt IEEE8021X");
    s.add(isWep(in.encrypt) ? "eapol_flags 3" : "eapol_flags 0");
}

void addWepKeys(const NetworkBlockInput& in, StepList& s)
{
    for (int i = 0; i < 4; ++i) {
        const std::string& key = in.wepKeys[i];
        if (key.empty())
            continue;
        const bool hex = key.size() == 10 || key.size() == 26;
        s.add("wep_key" + std::to_string(i) + " " + (hex ? key : q(key)));
    }
    s.add("wep_tx_keyidx " + std::to_string(in.keyId - 1));
    s.add("priority 5");
}

void addCiphers(const NetworkBlockInput& in, StepList& s)
{
    const std::string& e = in.encrypt;
    if (isAnyOf(e, {"Auto", "AESTKIP", "AESTKIP2"})) {
        s.add("group CCMP TKIP");
        s.add("pairwise CCMP TKIP");
    }
    if (isAnyOf(e, {"TKIP", "TKIP2"})) {
        s.add("group TKIP");
        s.add("pairwise TKIP");
    }
    if (isAnyOf(e, {"AES", "AES2"})) {
        s.add("group CCMP");
        s.add("pairwise CCMP");
    }
    if (isWep(e))
        s.add("group WEP104 WEP40");
    if (is(e, "Auto"))
        s.add("proto WPA RSN");
    if (isAnyOf(e, {"TKIP", "AES", "AESTKIP"}))
        s.add("proto WPA");
    if (isAnyOf(e, {"TKIP2", "AES2", "AESTKIP2"}))
        s.add("proto RSN");
    if (isWpaCipher(e) && !in.psk.empty())
        s.add("psk " + (in.psk.size() == 64 ? in.psk : q(in.psk)));
}

void addWlanLines(const NetworkBlockInput& in, StepList& s)
{
    s.add("ssid " + q(in.ssid));
    s.add("scan_ssid 1");
    s.add(std::string("mode ") + (is(in.mode, "adhoc") ? "1" : "0"));
    if (isWep(in.encrypt))
        addWepKeys(in, s);
    if (is(in.encrypt, "WepShared"))
        s.add("auth_alg SHARED");
    addCiphers(in, s);
}

void addEapMethod(const NetworkBlockInput& in, StepList& s)
{
    if (is(in.authType, "---"))
        return;
    if (is(in.authType, "MD5")) {
        s.add(std::string("eap MD5") + (in.kind == kWpaWlan ? " LEAP" : ""));
        s.add("identity " + q(in.authName));
        s.add("password " + q(in.authPassword));
        return;
    }
    s.add("eap " + in.authType);
    if (is(in.authType, "FAST"))
        s.add(std::string("pac_file ") + q(in.root + kPacFile));
    const bool tls = is(in.authType, "TLS");
    s.add("identity " + q(tls && !in.tlsCommonName.empty() ? in.tlsCommonName : in.authName));
    if (!in.authPassword.empty())
        s.add("password " + q(in.authPassword));
    if (!is(in.authType, "FAST") && in.rootCertExists)
        s.add(std::string("ca_cert ") + q(in.root + kRootCert));
    if (tls && in.clientCertExists)
        s.add(std::string("client_cert ") + q(in.root + kClientCert));
    if (tls && in.privateKeyExists)
        s.add(std::string("private_key ") + q(in.root + kClientKey));
    if (is(in.authIntern, "ETLS")) {
        if (in.rootCertExists)
            s.add(std::string("ca_cert2 ") + q(in.root + kRootCert));
        if (in.clientCertExists)
            s.add(std::string("client_cert2 ") + q(in.root + kClientCert));
        if (in.privateKeyExists)
            s.add(std::string("private_key2 ") + q(in.root + kClientKey));
    }
}

const char* phase1Of(const std::string& outer)
{
    if (is(outer, "PLABEL0"))
        return "peaplabel=0";
    if (is(outer, "PLABEL1"))
        return "peaplabel=1";
    if (is(outer, "PVER0"))
        return "peapver=0";
    if (is(outer, "PVER1"))
        return "peapver=1";
    if (is(outer, "FPROV1"))
        return "fast_provisioning=2";
    return nullptr;
}

const char* phase2Of(const std::string& inner)
{
    if (is(inner, "PAP"))
        return "auth=PAP";
    if (is(inner, "CHAP"))
        return "autheap=MSCHAP";
    if (is(inner, "MSCHAP2"))
        return "autheap=MSCHAPV2";
    if (is(inner, "EMD5"))
        return "autheap=MD5";
    if (is(inner, "ETLS"))
        return "autheap=TLS";
    return "auth=";
}

void addPhasesAndExtras(const NetworkBlockInput& in, StepList& s)
{
    if (const char* p1 = phase1Of(in.authExtern))
        s.add(std::string("phase1 ") + q(p1));
    s.add(std::string("phase2 ") + q(phase2Of(in.authIntern)));
    if (!in.anonymousName.empty())
        s.add("anonymous_identity " + q(in.anonymousName));
    if (!in.wpaAddon.empty())
        s.add(in.wpaAddon);
}

void addRadioMode(const NetworkBlockInput& in, StepList& s)
{
    if (in.kind != kWpaWlan)
        return;
    if (is(in.mode, "adhoc")) {
        s.plain("AP_SCAN 1");
        s.add("frequency " + std::to_string(channelFrequency(in.channel)));
    } else if (in.roaming) {
        s.add(std::string("bgscan ") + q("simple:30:-65:300"));
    }
}

bool fileExists(const char* boxFile)
{
    return access(boxPath(boxFile).c_str(), F_OK) == 0;
}

// The WLAN parameters exist only on models with WLAN: a missing one reads
// as empty.
std::string textOf(StringParam* p)
{
    return p ? *p->value() : std::string();
}

std::string tokenOf(P3List* p)
{
    return p ? std::string(p->currentToken()) : std::string();
}

int valueOf(IntParam* p, int otherwise)
{
    return p ? p->value() : otherwise;
}

std::string tlsCommonName()
{
    if (!parseCertificate(CERT_SRV, nullptr, -1) || !parseCertificate(CERT_FSRV, nullptr, -1))
        return std::string();
    char cn[256];
    int n = certVariable(CERT_FSRV, "cn", cn, sizeof cn);
    return n > 0 ? std::string(cn, static_cast<size_t>(n)) : std::string();
}

} // namespace

int channelFrequency(int channel)
{
    if (channel >= 1 && channel <= 13)
        return 2412 + 5 * (channel - 1);
    return channel == 14 ? 2484 : 0;
}

NetworkBlockInput currentNetworkBlockInput(int kind)
{
    NetworkBlockInput in;
    in.kind = kind;
    in.authType = tokenOf(params::auth_typ());
    in.authExtern = tokenOf(params::auth_extern());
    in.authIntern = tokenOf(params::auth_intern());
    in.authName = textOf(params::auth_name());
    in.authPassword = textOf(params::auth_pwd());
    in.anonymousName = textOf(params::auth_ano_name());
    in.wpaAddon = textOf(params::auth_wpa_addon());
    in.encrypt = tokenOf(params::wifi_encrypt());
    in.ssid = textOf(params::wifi_name());
    in.mode = tokenOf(params::wifi_mode());
    for (int i = 0; i < 4; ++i)
        in.wepKeys[i] = textOf(params::wifi_wkey(i + 1));
    in.keyId = valueOf(params::wifi_keyid(), 1);
    in.psk = textOf(params::wifi_psk());
    in.channel = valueOf(params::wifi_channel(), 0);
    in.roaming = params::wifi_roaming() && params::wifi_roaming()->isOn();
    in.root = rootPrefix();
    in.rootCertExists = fileExists(kRootCert);
    in.clientCertExists = fileExists(kClientCert);
    in.privateKeyExists = fileExists(kClientKey);
    if (is(in.authType, "TLS"))
        in.tlsCommonName = tlsCommonName();
    return in;
}

std::vector<NetworkStep> networkBlockSteps(const NetworkBlockInput& in)
{
    StepList s;
    s.add("priority 10");
    if (in.kind == kWpaWlan) {
        addKeyManagement(in, s);
        addWlanLines(in, s);
    } else {
        s.add("key_mgmt IEEE8021X");
        s.add("eapol_flags 0");
    }
    addEapMethod(in, s);
    addPhasesAndExtras(in, s);
    addRadioMode(in, s);
    return s.take();
}
