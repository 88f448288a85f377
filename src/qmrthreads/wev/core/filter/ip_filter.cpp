#include "core/filter/ip_filter.h"

#include "core/addr/ip_mask.h"
#include "core/params/param_change_effects.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"

#include <libiptc/libiptc.h>
#include <linux/netfilter/xt_mac.h>
#include <linux/netfilter/xt_multiport.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <vector>

namespace {

const char kTable[] = "filter";
const char kChain[] = "INPUT";

// Cache bits the rules have always carried; the kernel does not read them.
constexpr unsigned kCacheAddress = 0x21;
constexpr unsigned kCacheMac = 0x4000;
constexpr unsigned kCacheUsbPorts = 0x421;
constexpr unsigned kCacheAll = 0x1;

constexpr size_t kEntrySize = XT_ALIGN(sizeof(ipt_entry));
constexpr size_t kTargetSize = XT_ALIGN(sizeof(xt_standard_target));
constexpr size_t kMacMatchSize = XT_ALIGN(sizeof(xt_entry_match)) + XT_ALIGN(sizeof(xt_mac_info));
constexpr size_t kPortsMatchSize = XT_ALIGN(sizeof(xt_entry_match)) + XT_ALIGN(sizeof(xt_multiport_v1));

// One rule: the entry header, an optional match, and a standard target.
class Rule {
public:
    Rule(const char* verdict, size_t matchSize, unsigned cache, uint16_t protocol)
        : bytes_(kEntrySize + matchSize + kTargetSize, 0)
    {
        entry()->ip.proto = protocol;
        entry()->nfcache = cache;
        entry()->target_offset = static_cast<uint16_t>(kEntrySize + matchSize);
        entry()->next_offset = static_cast<uint16_t>(bytes_.size());
        auto* target = reinterpret_cast<xt_entry_target*>(bytes_.data() + kEntrySize + matchSize);
        target->u.user.target_size = static_cast<uint16_t>(kTargetSize);
        snprintf(target->u.user.name, sizeof target->u.user.name, "%s", verdict);
    }

    ipt_entry* entry() { return reinterpret_cast<ipt_entry*>(bytes_.data()); }

    // The match record after the header, named and sized; its data.
    void* match(const char* name, size_t size, uint8_t revision)
    {
        auto* m = reinterpret_cast<xt_entry_match*>(bytes_.data() + kEntrySize);
        m->u.match_size = static_cast<uint16_t>(size);
        snprintf(m->u.user.name, sizeof m->u.user.name, "%s", name);
        m->u.user.revision = revision;
        return m->data;
    }

    bool appendTo(xtc_handle* handle) { return iptc_append_entry(kChain, entry(), handle) != 0; }

private:
    std::vector<uint8_t> bytes_;
};

int appendAddressRules(xtc_handle* handle)
{
    int count = 0;
    Rule rule("ACCEPT", 0, kCacheAddress, 0);
    for (int n = 1; n <= 8; ++n) {
        BoolParam* on = params::ip_filter_on(n);
        StringParam* text = params::ip_filter(n);
        if (!on || !on->isOn() || !text || !text->hasValue())
            continue;
        char value[64];
        text->toText(value, sizeof value);
        uint32_t address, mask;
        if (!parseIpMask(value, &address, &mask, nullptr, 0))
            continue;
        rule.entry()->ip.src.s_addr = htonl(address);
        rule.entry()->ip.smsk.s_addr = htonl(mask);
        if (rule.appendTo(handle))
            ++count;
        else
            fprintf(stderr, "IP filter: rule %d: %s\n", n, iptc_strerror(errno));
    }
    return count;
}

int appendMacRules(xtc_handle* handle)
{
    int count = 0;
    Rule rule("ACCEPT", kMacMatchSize, kCacheMac, 0);
    auto* info = static_cast<xt_mac_info*>(rule.match("mac", kMacMatchSize, 0));
    for (int n = 1; n <= 8; ++n) {
        BoolParam* on = params::hw_filter_on(n);
        MacParam* mac = params::hw_filter(n);
        if (!on || !on->isOn() || !mac || !mac->hasValue())
            continue;
        mac->bytes(info->srcaddr);
        if (rule.appendTo(handle))
            ++count;
        else
            fprintf(stderr, "IP filter: hardware rule %d: %s\n", n, iptc_strerror(errno));
    }
    return count;
}

// The final rule: TCP to the USB ports (plain and TLS: the service is
// protected on both), all TCP, or everything. false for an unknown level.
bool appendDrop(xtc_handle* handle)
{
    P3List* level = params::protection_level();
    if (level->equalsToken("protec_zyt")) {
        Rule rule("DROP", kPortsMatchSize, kCacheUsbPorts, IPPROTO_TCP);
        auto* ports = static_cast<xt_multiport_v1*>(rule.match("multiport", kPortsMatchSize, 1));
        ports->flags = XT_MULTIPORT_DESTINATION;
        ports->count = 2;
        ports->ports[0] = static_cast<uint16_t>(params::zyt_port()->value());
        ports->ports[1] = static_cast<uint16_t>(params::zyt_sslport()->value());
        return rule.appendTo(handle);
    }
    if (level->equalsToken("protec_tcp"))
        return Rule("DROP", 0, kCacheAddress, IPPROTO_TCP).appendTo(handle);
    if (level->equalsToken("protec_all"))
        return Rule("DROP", 0, kCacheAll, 0).appendTo(handle);
    return false;
}

// Replaces the chain's rules: the filter's when install, none otherwise, in
// one commit. The rules installed (0 when none or the commit failed).
int replaceRules(bool install)
{
    xtc_handle* handle = iptc_init(kTable);
    if (!handle) {
        fprintf(stderr, "IP filter: table %s: %s\n", kTable, iptc_strerror(errno));
        return -1;
    }
    int count = 0;
    bool ok = iptc_flush_entries(kChain, handle) != 0;
    if (ok && install) {
        count = appendAddressRules(handle) + appendMacRules(handle);
        if (count > 0 && !appendDrop(handle))
            fprintf(stderr, "IP filter: no drop rule for level \"%s\"\n", params::protection_level()->currentToken());
    }
    if (!ok || !iptc_commit(handle)) {
        fprintf(stderr, "IP filter: commit: %s\n", iptc_strerror(errno));
        iptc_free(handle);
        return -1;
    }
    iptc_free(handle);
    return count;
}

void setSilently(Param* p, const char* text)
{
    p->set(text, -1);
    p->takeModified();
}

void saveParamFile()
{
    if (ParamStore::save(paramFilePath().c_str()) != 0)
        fprintf(stderr, "IP filter: could not save %s\n", paramFilePath().c_str());
}

// The test cycle; true when the rules are to be installed.
bool advanceTestCycle()
{
    P3List* test = params::protection_test();
    BoolParam* protection = params::protection();
    if (!protection->isOn()) {
        if (test->equalsToken("test")) {
            setSilently(test, "on");
            saveParamFile();
        }
        return false;
    }
    if (test->equalsToken("test")) {
        setSilently(protection, "off");
        setSilently(test, "on");
        saveParamFile();
        return false;
    }
    if (test->equalsToken("on")) {
        setSilently(test, "test");
        saveParamFile();
    }
    return true;
}

// Set by the start-up apply: before it (while the loaded file's values are
// collected) and on a link-local box the filter is not in use.
std::atomic<bool> filterInUse{false};

void onFilterSetting(Param&)
{
    if (filterInUse.load())
        ipFilterReapply();
}

} // namespace

int ipFilterFlush()
{
    return replaceRules(false) >= 0 ? 1 : 0;
}

int ipFilterApply()
{
    filterInUse.store(true);
    return replaceRules(advanceTestCycle()) > 0 ? 1 : 0;
}

int ipFilterReapply()
{
    return replaceRules(params::protection()->isOn()) > 0 ? 1 : 0;
}

void registerIpFilterEffects()
{
    for (const char* name : {"protection", "ip_filter", "hw_filter", "zyt_port", "zyt_sslport"})
        registerParamEffect(name, true, onFilterSetting);
}
