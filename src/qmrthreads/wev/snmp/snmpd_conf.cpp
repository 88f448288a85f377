#include "snmp/snmpd_conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/product_info.h"
#include "core/task/start_state.h"
#include "platform/files/root_path.h"

namespace {

std::atomic<int> sinkCounters[2] = {{-1}, {-1}};

// A value with a line end or another control character would add directives
// of its own; such a value is left out, like an empty one.
bool usable(const std::string& text)
{
    return !text.empty() && !hasControlCharacter(text.data(), text.size());
}

// In single quotes, with the quote and the backslash escaped as the agent's
// configuration reader expects.
std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '\'';
    return out;
}

// In double quotes, with the quote and the backslash escaped.
std::string doubleQuoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

// A word of a directive: as it stands unless it would split or start a
// comment, then quoted.
std::string word(const std::string& text)
{
    return text.find_first_of(" \t'\"\\#") == std::string::npos ? text : quoted(text);
}

std::string rawText(StringParam* p)
{
    return p ? *p->value() : std::string();
}

struct UserParams {
    P3List* rights;
    StringParam* name;
    StringParam* password;
    P3List* hash;
    P3List* cipher;
    StringParam* passphrase;
};

void printUser(FILE* out, const UserParams& u)
{
    const char* directive = u.rights->equalsToken("readwrite") ? "rwuser"
                            : u.rights->equalsToken("readonly") ? "rouser"
                                                                : nullptr;
    const std::string name = rawText(u.name);
    if (!directive || !usable(name))
        return;
    const std::string password = rawText(u.password);
    const std::string passphrase = rawText(u.passphrase);
    const char* level = "noauth";
    std::fprintf(out, "createUser %s", word(name).c_str());
    if (usable(password)) {
        std::fprintf(out, " %s %s", u.hash->label(), quoted(password).c_str());
        level = "auth";
        // A cipher without a pass phrase would make the library refuse the
        // whole user; the user keeps authentication then.
        if (!u.cipher->equalsToken("---") && usable(passphrase)) {
            std::fprintf(out, " %s %s ", u.cipher->label(), quoted(passphrase).c_str());
            level = "priv";
        }
    }
    std::fprintf(out, "\n%s %s %s\n", directive, doubleQuoted(name).c_str(), level);
}

// Trap sink i (1 or 2) when both its parameters exist and have a value.
bool printTrapSink(FILE* out, int i)
{
    Param* community = ParamStore::find("trapcommu_", 10, uint32_t(i));
    Param* address = ParamStore::find("trapto_", 7, uint32_t(i));
    if (!community || !address || community->paramClass() != ParamClass::String ||
        address->paramClass() != ParamClass::Ip)
        return false;
    const std::string c = rawText(static_cast<StringParam*>(community));
    const SockAddr a = static_cast<IpParam*>(address)->address();
    if (!usable(c) || !a.isSet())
        return false;
    std::fprintf(out, "trapsink %s %s\n", a.str().c_str(), word(c).c_str());
    return true;
}

void printSystemGroup(FILE* out)
{
    const ProductInfo& p = productInfo();
    const SoftwarePackageInfo& s = softwarePackageInfo();
    std::fprintf(out, "sysObjectID .1.3.6.1.4.1.32473.1.1\n");
    const std::string name = paramText(params::sys_name());
    std::fprintf(out, "sysName     %s\n", usable(name) ? name.c_str() : p.default_name);
    std::fprintf(out, "sysDescr    VEK %s; SN %03u%04u%02u%05u, HW %u.%u, FW %u, SW %u.%u.%u\n", p.product_name,
                 p.hw_project, p.year, p.month, p.serial_no, p.hw_major, p.hw_minor, firmwareInfo().firmware_version,
                 s.version, s.release, s.subrelease);
    const std::string contact = paramText(params::sys_contact());
    if (usable(contact))
        std::fprintf(out, "sysContact  %s\n", contact.c_str());
    const std::string location = paramText(params::sys_descr());
    if (usable(location))
        std::fprintf(out, "sysLocation %s\n", location.c_str());
}

} // namespace

std::string snmpdConfPath()
{
    return boxPath("/var/snmpd.conf");
}

void printSnmpdConf(FILE* out, unsigned* sinks)
{
    const bool ipv6 = params::ipv6()->isOn();
    std::fprintf(out, "agentaddress udp:%d", snmpPort());
    if (ipv6)
        std::fprintf(out, ",udp6:%d", snmpPort());
    std::fputc('\n', out);
    if (params::snmpv3()->isOn()) {
        printUser(out, {params::admin_rights(), params::admin_name(), params::admin_pwd(), params::admin_hash(),
                        params::admin_cipher(), params::admin_passphrase()});
        printUser(out, {params::any_rights(), params::any_name(), params::any_pwd(), params::any_hash(),
                        params::any_cipher(), params::any_passphrase()});
    }
    const std::string community = rawText(params::snmpv1_community());
    if (params::snmpv1()->isOn() && usable(community)) {
        const char access = params::snmpv1_ronly()->isOn() ? 'o' : 'w';
        std::fprintf(out, "r%ccommunity  %s\n", access, word(community).c_str());
        if (ipv6)
            std::fprintf(out, "r%ccommunity6 %s\n", access, word(community).c_str());
    }
    *sinks = 0;
    for (int i = 1; i <= 2; ++i) {
        if (printTrapSink(out, i))
            *sinks |= 1u << (i - 1);
    }
    printSystemGroup(out);
}

int writeSnmpdConf(const char* path, bool* trapSinkWritten)
{
    // Created 0600 whatever the umask: the file holds passwords in clear.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    fchmod(fd, 0600);
    FILE* out = fdopen(fd, "w");
    if (!out) {
        ::close(fd);
        return 0;
    }
    unsigned sinks = 0;
    printSnmpdConf(out, &sinks);
    std::fclose(out);
    for (int i = 0; i < 2; ++i)
        sinkCounters[i].store((sinks & (1u << i)) ? 0 : -1);
    if (sinks && trapSinkWritten)
        *trapSinkWritten = true;
    return 1;
}

int trapSinkTrapCount(int sink)
{
    return sink == 1 || sink == 2 ? sinkCounters[sink - 1].load() : -1;
}

void countTrapsSent(int n)
{
    for (std::atomic<int>& c : sinkCounters) {
        int v = c.load();
        while (v >= 0 && !c.compare_exchange_weak(v, v + n)) {
        }
    }
}
