#include "platform/wlan/sim_supplicant.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

// The supplicant's own reply limit.
constexpr size_t kReplyMax = 4096;

bool isQuoted(const std::string& v)
{
    return v.size() >= 2 && v.front() == '"' && v.back() == '"';
}

bool isHex(const std::string& v)
{
    return !v.empty() && v.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// The supplicant's checks of the values this program sends; anything else
// is taken as it is.
bool valueAcceptable(const std::string& name, const std::string& value)
{
    if (name == "ssid")
        return (isQuoted(value) && value.size() - 2 <= 32) || (isHex(value) && value.size() % 2 == 0 && value.size() <= 64);
    if (name == "psk")
        return (isQuoted(value) && value.size() - 2 >= 8 && value.size() - 2 <= 63) || (isHex(value) && value.size() == 64);
    if (name.rfind("wep_key", 0) == 0 && name.size() == 8) {
        if (isQuoted(value))
            return value.size() - 2 == 5 || value.size() - 2 == 13 || value.size() - 2 == 16;
        return isHex(value) && (value.size() == 10 || value.size() == 26 || value.size() == 32);
    }
    if (name == "identity" || name == "password" || name == "anonymous_identity" || name == "phase1" ||
        name == "phase2" || name == "ca_cert" || name == "client_cert" || name == "private_key" || name == "pac_file")
        return isQuoted(value);
    return !value.empty();
}

std::string unquote(const std::string& v)
{
    return isQuoted(v) ? v.substr(1, v.size() - 2) : v;
}

} // namespace

SimSupplicant::SimSupplicant(std::string socketPath, std::string scanFile, std::string wpsFile)
    : socketPath_(std::move(socketPath)), scanFile_(std::move(scanFile)), wpsFile_(std::move(wpsFile))
{
}

SimSupplicant::~SimSupplicant()
{
    if (fd_ >= 0) {
        close(fd_);
        unlink(socketPath_.c_str());
    }
}

bool SimSupplicant::open()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    unlink(socketPath_.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int saved = errno;
        close(fd_);
        fd_ = -1;
        errno = saved;
        return false;
    }
    return true;
}

void SimSupplicant::serve()
{
    while (!stop_.load())
        serveFor(100);
}

void SimSupplicant::serveFor(int waitMs)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0)
        return;
    char command[kReplyMax];
    Peer from{};
    from.length = sizeof from.address;
    ssize_t n = recvfrom(fd_, command, sizeof command, 0, reinterpret_cast<sockaddr*>(&from.address), &from.length);
    if (n < 0)
        return;
    commands_.fetch_add(1);
    handle(command, static_cast<int>(n), from);
}

void SimSupplicant::handle(const char* command, int length, const Peer& from)
{
    std::string text(command, static_cast<size_t>(length));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    sendTo(from, answer(text, from));
    for (const std::string& event : pendingEvents_)
        sendEvent(event);
    pendingEvents_.clear();
}

std::string SimSupplicant::answer(const std::string& command, const Peer& from)
{
    size_t space = command.find(' ');
    std::string verb = command.substr(0, space);
    std::string args = space == std::string::npos ? "" : command.substr(space + 1);
    if (verb == "PING")
        return "PONG\n";
    if (verb == "ATTACH") {
        attached_.push_back(from);
        loadScanFile();
        pendingEvents_.push_back("<3>CTRL-EVENT-SCAN-RESULTS ");
        return "OK\n";
    }
    if (verb == "DETACH" || verb == "SET" || verb == "AP_SCAN")
        return "OK\n";
    if (verb == "SCAN") {
        loadScanFile();
        pendingEvents_.push_back("<3>CTRL-EVENT-SCAN-RESULTS ");
        return "OK\n";
    }
    if (verb == "ADD_NETWORK") {
        networks_.emplace_back();
        return std::to_string(networks_.size() - 1) + "\n";
    }
    if (verb == "SET_NETWORK")
        return setNetwork(args);
    if (verb == "ENABLE_NETWORK")
        return enableNetwork(args);
    if (verb == "BSS")
        return bss(args);
    if (verb == "STATUS")
        return connectedSsid_.empty() ? "wpa_state=SCANNING\n" : "wpa_state=COMPLETED\nssid=" + connectedSsid_ + "\n";
    if (verb == "WPS_PBC") {
        std::ifstream in(wpsFile_);
        std::string credential;
        if (in && std::getline(in, credential) && !credential.empty())
            pendingEvents_.push_back("<3>WPS-CRED-RECEIVED " + credential);
        else
            pendingEvents_.push_back("<3>WPS-TIMEOUT ");
        return "OK\n";
    }
    return "UNKNOWN COMMAND\n";
}

std::string SimSupplicant::setNetwork(const std::string& args)
{
    char* end = nullptr;
    unsigned long id = strtoul(args.c_str(), &end, 10);
    if (end == args.c_str() || *end != ' ' || id >= networks_.size())
        return "FAIL\n";
    std::string rest(end + 1);
    size_t space = rest.find(' ');
    if (space == std::string::npos)
        return "FAIL\n";
    std::string name = rest.substr(0, space);
    std::string value = rest.substr(space + 1);
    if (!valueAcceptable(name, value))
        return "FAIL\n";
    networks_[id][name] = value;
    return "OK\n";
}

std::string SimSupplicant::enableNetwork(const std::string& args)
{
    unsigned long id = strtoul(args.c_str(), nullptr, 10);
    if (id >= networks_.size())
        return "FAIL\n";
    auto& net = networks_[id];
    const std::string ssid = unquote(net["ssid"]);
    for (const AccessPoint& ap : accessPoints_) {
        if (ap.ssid != ssid)
            continue;
        const bool pskMatches = ap.psk.empty() ? !net.count("psk") : unquote(net["psk"]) == ap.psk;
        if (!pskMatches)
            continue;
        connectedSsid_ = ssid;
        pendingEvents_.push_back("<3>CTRL-EVENT-CONNECTED - Connection to " + ap.bssid + " completed [id=" +
                                 std::to_string(id) + " id_str=]");
        break;
    }
    return "OK\n";
}

std::string SimSupplicant::bss(const std::string& args)
{
    unsigned long n = strtoul(args.c_str(), nullptr, 10);
    if (n >= accessPoints_.size())
        return "";
    std::string text = "id=" + std::to_string(n) + "\n";
    for (const std::string& line : accessPoints_[n].lines)
        text += line + "\n";
    return text;
}

void SimSupplicant::loadScanFile()
{
    accessPoints_.clear();
    std::ifstream in(scanFile_);
    std::string line;
    AccessPoint current;
    auto finish = [&]() {
        if (!current.lines.empty())
            accessPoints_.push_back(current);
        current = AccessPoint();
    };
    while (std::getline(in, line)) {
        if (line.empty()) {
            finish();
            continue;
        }
        if (line.rfind("psk=", 0) == 0) {
            current.psk = line.substr(4);
            continue;
        }
        if (line.rfind("ssid=", 0) == 0)
            current.ssid = line.substr(5);
        if (line.rfind("bssid=", 0) == 0)
            current.bssid = line.substr(6);
        current.lines.push_back(line);
    }
    finish();
}

void SimSupplicant::sendTo(const Peer& to, const std::string& text)
{
    size_t length = text.size() < kReplyMax ? text.size() : kReplyMax;
    sendto(fd_, text.data(), length, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to.address), to.length);
}

void SimSupplicant::sendEvent(const std::string& text)
{
    for (const Peer& peer : attached_)
        sendTo(peer, text);
}

std::map<std::string, std::string> SimSupplicant::network(int id) const
{
    if (id < 0 || static_cast<size_t>(id) >= networks_.size())
        return {};
    return networks_[static_cast<size_t>(id)];
}
