#include "platform/usbfs/sim/usb_sim_control.h"

#include "platform/usbfs/sim/usb_sim.h"
#include "platform/usbfs/sim/usb_sim_host.h"
#include "platform/usbfs/sim/usb_sim_layout.h"

#include "platform/files/file_replace.h"
#include "platform/files/root_path.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace usbsim {

namespace {

constexpr size_t kMaxCommand = 4096;
constexpr int64_t kPollIntervalMs = 20;

const char* const kRequests[] = {
    "open",    "control",   "submit", "claim",    "release", "setconfig",    "setinterface",
    "clear_halt", "resetep", "reset", "getdriver", "ioctl",  "port_release", "discard",
};

std::vector<std::string> split(const std::string& line)
{
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t start = line.find_first_not_of(" \t", pos);
        if (start == std::string::npos)
            break;
        size_t end = line.find_first_of(" \t", start);
        words.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        pos = end == std::string::npos ? line.size() : end;
    }
    return words;
}

std::string errorAnswer(const std::string& reason)
{
    return "error: " + reason;
}

bool validRequest(const std::string& name)
{
    for (const char* r : kRequests)
        if (name == r)
            return true;
    unsigned endpoint = 0;
    int used = 0;
    return name.compare(0, 4, "urb:") == 0 && sscanf(name.c_str() + 4, "%i%n", &endpoint, &used) == 1 &&
           static_cast<size_t>(used) == name.size() - 4 && endpoint > 0 && endpoint < 0x100 && (endpoint & 0x70) == 0;
}

// "urb:129" and "urb:0x81" name the same endpoint.
std::string canonicalRequest(const std::string& name)
{
    if (name.compare(0, 4, "urb:") != 0)
        return name;
    unsigned endpoint = 0;
    sscanf(name.c_str() + 4, "%i", &endpoint);
    char text[16];
    snprintf(text, sizeof text, "urb:0x%02x", endpoint);
    return text;
}

bool parseError(const std::string& text, int* error)
{
    if (text == "ok") {
        *error = 0;
        return true;
    }
    if (text == "stall") {
        *error = EPIPE;
        return true;
    }
    for (int e = 1; e < 200; ++e) {
        const char* name = strerrorname_np(e);
        if (name && text == name) {
            *error = e;
            return true;
        }
    }
    char* end = nullptr;
    long value = strtol(text.c_str(), &end, 10);
    if (!text.empty() && *end == 0 && value > 0 && value < 4096) {
        *error = static_cast<int>(value);
        return true;
    }
    return false;
}

// The model handed in by the layer above. Commands run on whichever thread
// touched the seam, so they read it under its lock.
struct HandedInSetup {
    std::mutex mutex;
    UsbfsSetup setup;
};

HandedInSetup& handedIn()
{
    static HandedInSetup* record = new HandedInSetup;  // outlives every caller
    return *record;
}

UsbfsSetup currentSetup()
{
    std::lock_guard<std::mutex> guard(handedIn().mutex);
    return handedIn().setup;
}

bool portLocation(const std::string& text, std::string* location, std::string* error)
{
    char* end = nullptr;
    long port = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != 0) {
        *error = "port must be a number, not '" + text + "'";
        return false;
    }
    return locationForPort(currentSetup().product, static_cast<int>(port), location, error);
}

bool firstFreePort(std::string* location, std::string* error)
{
    const UsbfsSetup setup = currentSetup();
    int ports = setup.ports > 0 ? static_cast<int>(setup.ports) : 4;
    for (int port = 1; port <= ports; ++port) {
        std::string place;
        std::string ignored;
        if (locationForPort(setup.product, port, &place, &ignored) && !Host::instance().isPlugged(place)) {
            *location = place;
            return true;
        }
    }
    *error = "every port is taken";
    return false;
}

std::string plugCommand(const std::vector<std::string>& words)
{
    if (words.size() < 2)
        return errorAnswer("plug needs a model");
    ModelOptions options;
    std::string location;
    bool kernelDriver = false;
    std::string error;
    for (size_t i = 2; i < words.size(); ++i) {
        const std::string& w = words[i];
        size_t eq = w.find('=');
        if (w == "kernel-driver") {
            kernelDriver = true;
        } else if (eq == std::string::npos || eq == 0) {
            return errorAnswer("'" + w + "' is no KEY=VALUE option");
        } else if (w.compare(0, eq, "at") == 0) {
            location = w.substr(eq + 1);
        } else if (w.compare(0, eq, "port") == 0) {
            if (!portLocation(w.substr(eq + 1), &location, &error))
                return errorAnswer(error);
        } else {
            options.set(w.substr(0, eq), w.substr(eq + 1));
        }
    }
    if (location.empty() && !firstFreePort(&location, &error))
        return errorAnswer(error);
    std::string name = Host::instance().plug(words[1], location, options, kernelDriver, &error);
    return name.empty() ? errorAnswer(error) : "ok " + name;
}

std::string unplugCommand(const std::vector<std::string>& words)
{
    if (words.size() != 2)
        return errorAnswer("unplug needs one device name, port=N or all");
    if (words[1] == "all") {
        Host::instance().unplugAll();
        return "ok";
    }
    std::string name = words[1];
    std::string error;
    if (name.compare(0, 5, "port=") == 0 && !portLocation(name.substr(5), &name, &error))
        return errorAnswer(error);
    return Host::instance().unplug(name, &error) ? "ok" : errorAnswer(error);
}

std::string injectCommand(const std::vector<std::string>& words)
{
    std::string error;
    if (words.size() == 3 && words[2] == "clear")
        return Host::instance().clearInjections(words[1], &error) ? "ok" : errorAnswer(error);
    if (words.size() < 4 || words.size() > 5)
        return errorAnswer("inject needs a device, a request and an error, and may take a count");
    if (!validRequest(words[2]))
        return errorAnswer("unknown request '" + words[2] + "'");
    Injection injection;
    injection.request = canonicalRequest(words[2]);
    if (!parseError(words[3], &injection.error))
        return errorAnswer("unknown error '" + words[3] + "' (an errno name like EIO, stall, ok)");
    if (words.size() == 5) {
        char* end = nullptr;
        long count = strtol(words[4].c_str(), &end, 10);
        if (words[4].empty() || *end != 0 || count < 1 || count > 1000000)
            return errorAnswer("count must be 1 or more, not '" + words[4] + "'");
        injection.remaining = static_cast<int>(count);
    }
    return Host::instance().inject(words[1], injection, &error) ? "ok" : errorAnswer(error);
}

std::string typeCommand(const std::string& line, const std::vector<std::string>& words)
{
    if (words.size() < 3)
        return errorAnswer("type needs a device and text");
    size_t name = line.find(words[1]);
    size_t text = line.find_first_not_of(" \t", name + words[1].size());
    std::string error;
    return Host::instance().input(words[1], line.substr(text), &error) ? "ok" : errorAnswer(error);
}

std::string modelsText()
{
    std::string text = "ok\nloopback\nkeyboard\nstorage\nhub\ndual-config\nbroken\n";
    for (size_t i = 0; i < kSpecialIdCount; ++i) {
        char line[160];
        snprintf(line, sizeof line, "%04x:%04x %s\n", kSpecialIds[i].vendor, kSpecialIds[i].product,
                 kSpecialIds[i].treatment);
        text += line;
    }
    return text;
}

std::mutex& queueMutex()
{
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

bool writeTextFile(const std::string& path, const std::string& text)
{
    return replaceFile(path, text, 0644, false).ok();
}

bool plainName(const char* name)
{
    if (name[0] == '.' || name[0] == 0)
        return false;
    for (const char* p = name; *p; ++p)
        if (!isalnum(static_cast<unsigned char>(*p)) && *p != '.' && *p != '_' && *p != '-')
            return false;
    return true;
}

std::string readCommand(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return "";
    char buf[kMaxCommand + 1];
    ssize_t n = ::read(fd, buf, kMaxCommand);
    ::close(fd);
    if (n <= 0)
        return "";
    std::string line(buf, static_cast<size_t>(n));
    size_t end = line.find_first_of("\r\n");
    return end == std::string::npos ? line : line.substr(0, end);
}

void writeStateFile()
{
    static std::string last;
    std::string text = stateText();
    if (text == last)
        return;
    if (writeTextFile(simDir() + "/state", text))
        last = text;
}

// The state file follows every scan; between scans only what a command
// changed, so URB traffic does not rewrite it all the time.
void applyLocked(bool scan)
{
    Host::instance().start();
    std::string dir = simDir() + "/commands";
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            size_t length = strlen(e->d_name);
            if (length > 4 && strcmp(e->d_name + length - 4, ".cmd") == 0 && plainName(e->d_name))
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string path = dir + "/" + name;
        std::string line = readCommand(path);
        unlink(path.c_str());
        std::string answer = line.empty() ? errorAnswer("empty command") : runCommand(line);
        writeTextFile(simDir() + "/results/" + name.substr(0, name.size() - 4), answer + "\n");
    }
    if (scan || !names.empty())
        writeStateFile();
}

} // namespace

void setUp(const UsbfsSetup& setup)
{
    std::lock_guard<std::mutex> guard(handedIn().mutex);
    handedIn().setup = setup;
}

std::string runCommand(const std::string& line)
{
    std::vector<std::string> words = split(line);
    if (words.empty())
        return errorAnswer("empty command");
    const std::string& verb = words[0];
    if (verb == "plug")
        return plugCommand(words);
    if (verb == "unplug")
        return unplugCommand(words);
    if (verb == "inject")
        return injectCommand(words);
    if (verb == "type")
        return typeCommand(line, words);
    if (verb == "state")
        return "ok\n" + Host::instance().stateText();
    if (verb == "log") {
        if (words.size() != 2)
            return errorAnswer("log needs one device name");
        std::string text = "ok\n";
        for (const std::string& entry : Host::instance().requestLog(words[1]))
            text += entry + "\n";
        return text;
    }
    if (verb == "models")
        return modelsText();
    return errorAnswer("unknown command '" + verb + "' (plug, unplug, inject, type, state, log, models)");
}

void applyQueuedCommands()
{
    if (rootPrefix().empty())
        return;
    std::lock_guard<std::mutex> guard(queueMutex());
    applyLocked(true);
}

void applyQueuedCommandsSoon()
{
    static std::atomic<int64_t> lastMs{-kPollIntervalMs};
    if (rootPrefix().empty())
        return;
    int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    int64_t last = lastMs.load();
    if (now - last < kPollIntervalMs || !lastMs.compare_exchange_strong(last, now))
        return;
    std::unique_lock<std::mutex> guard(queueMutex(), std::try_to_lock);
    if (!guard.owns_lock())
        return;
    applyLocked(false);
}

std::string command(const std::string& line)
{
    return runCommand(line);
}

bool deviceCounters(const std::string& name, DeviceCounters* out)
{
    return Host::instance().counters(name, out);
}

std::vector<std::string> requestLog(const std::string& name)
{
    return Host::instance().requestLog(name);
}

uint64_t requestCount(const std::string& name, const std::string& request)
{
    return Host::instance().requestCount(name, request);
}

std::string stateText()
{
    return Host::instance().stateText();
}

void resetForTest()
{
    std::lock_guard<std::mutex> guard(queueMutex());
    Host::instance().reset();
}

} // namespace usbsim
