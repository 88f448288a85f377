#include "core/product/model_features.h"

#include "core/params/param.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/product_info.h"

#include <cstdio>
#include <cstring>

namespace {

// Feature needs a parameter may carry in its flags.
constexpr uint32_t kFeatureNeedMask = 0xfff000;

struct ModelRow {
    uint32_t productId;
    ModelFeatures features;
};

const ModelRow modelTable[] = {
    {328, {0x1000, 0, 0, nullptr, false}},
    {340, {0x1000, 0, 0, nullptr, false}},
    {341, {0x1000, 0, 0, nullptr, false}},
    {342, {0x1000, 0, 0, nullptr, false}},
    {348, {0x1000, 0, 0, nullptr, false}},
    {354, {0x1000, 0, 0, nullptr, false}},
    {362, {0x1000, 0, 0, nullptr, false}},
    {363, {0x1000, 0, 0, nullptr, false}},
    {336, {0x101000, 0, 0, nullptr, false}},
    {349, {0x101000, 0, 0, nullptr, false}},
    {337, {0xb000, 0, 0, nullptr, false}},
    {345, {0x1b000, 0, 1, "ZYT-K3", false}},
    {332, {0x2b000, 8, 0, "ZYT-K2", false}},
    {339, {0x2b000, 0, 0, nullptr, false}},
    {347, {0x2b000, 0, 0, nullptr, false}},
    {356, {0x2b000, 0, 0, nullptr, false}},
    {366, {0x2b000, 0, 0, nullptr, false}},
    {367, {0x2b000, 0, 0, nullptr, false}},
    {353, {0x3eb000, 0, 0, nullptr, false}},
    {365, {0x6ab000, 0, 0, nullptr, false}},
    {326, {0, 4, 0, "ZYT-K1", false}},
    {330, {0, 0, 0, nullptr, true}},
    {357, {0, 0, 0, nullptr, true}},
};

// The physical port count after the model's fix, with the message the fix
// has always printed.
uint32_t fixedPortCount(const ModelFeatures& model, uint32_t ports)
{
    uint32_t fixed = ports;
    if (model.minPortsPhy > 0 && ports < static_cast<uint32_t>(model.minPortsPhy))
        fixed = static_cast<uint32_t>(model.minPortsPhy);
    if (model.maxPortsPhy > 0 && ports > static_cast<uint32_t>(model.maxPortsPhy))
        fixed = static_cast<uint32_t>(model.maxPortsPhy);
    if (fixed != ports)
        fprintf(stderr, "%s BugFix %s force usb_port_phy -> %d\n", "setRuntimeEnv", model.bugFixTag,
                static_cast<int>(fixed));
    return fixed;
}

// The member number at the end of a per-port name: the text after the last
// '_' that has something after it. -1 when there is none or it is no number.
int trailingMemberNumber(const char* name)
{
    const char* underscore = nullptr;
    for (const char* p = name; *p; ++p) {
        if (*p == '_' && p[1] != '\0')
            underscore = p;
    }
    int number = 0;
    if (!underscore || sscanf(underscore + 1, "%d", &number) != 1)
        return -1;
    return number;
}

bool modelLacks(const Param* p, uint32_t mask, uint32_t portsPhy)
{
    uint32_t need = p->flags() & kFeatureNeedMask;
    if (need != 0 && (mask & need) != need)
        return true;
    if (!p->hasFlags(kParamPerPort))
        return false;
    int number = trailingMemberNumber(p->name());
    return number < 0 || static_cast<uint32_t>(number) > portsPhy;
}

void hideWhatTheModelLacks(uint32_t mask, uint32_t portsPhy)
{
    int count = 0;
    Param** items = ParamStore::items(&count);
    for (int i = 0; i < count; ++i) {
        if (modelLacks(items[i], mask, portsPhy))
            items[i]->addFlags(kParamHidden);
    }
}

bool hasFeature(uint32_t bits)
{
    return (static_cast<uint32_t>(params::sw_features()->value()) & bits) != 0;
}

char foldCase(unsigned char c)
{
    return static_cast<char>(c > 'Z' ? c - 32 : c);
}

bool nameBeginsFeature(const char* name, const char* feature)
{
    for (; *name; ++name, ++feature) {
        if (*feature == '\0' || foldCase(*name) != foldCase(*feature))
            return false;
    }
    return true;
}

struct SoftwareFeature {
    const char* name;
    bool (*test)();  // null: always present
};

const SoftwareFeature softwareFeatureTable[] = {
    {"ZYTSSL", nullptr},
    {"IPTABLES", nullptr},
    {"NTP", nullptr},
    {"SNMPD", nullptr},
    {"BONJOUR", nullptr},
    {"WPASUP", nullptr},
    {"EMAIL", hasFeatureEmail},
    {"WLAN", hasFeatureWlan},
    {"WEV", nullptr},
    {"POSWITCH", hasFeaturePortSwitch},
    {"ACCCTRL", hasFeatureAccessControl},
    {"IP4VLAN", hasFeatureIp4Vlan},
    {"TRAPS", hasFeatureEmail},
    {"UTAGS", nullptr},
    {"UCOMP", hasFeatureCompression},
    {"SYSLOG", hasFeatureSyslog},
};

} // namespace

ModelFeatures modelFeatures(uint32_t productId)
{
    for (const ModelRow& row : modelTable) {
        if (row.productId == productId)
            return row.features;
    }
    return ModelFeatures{0, 0, 0, nullptr, false};
}

uint32_t featureMaskFor(uint32_t productId, uint32_t compatId)
{
    uint32_t base = (compatId & COMPAT_WLAN_BITS) ? uint32_t{kFeatureWlan} : 0u;
    return base | modelFeatures(productId).mask;
}

void setRuntimeEnv()
{
    const ProductInfo& product = productInfo();
    ModelFeatures model = modelFeatures(product.product_id);
    uint32_t mask = featureMaskFor(product.product_id, product.compat_id);

    uint32_t portsPhy = fixedPortCount(model, product.usb_ports_phy);
    if (portsPhy != product.usb_ports_phy)
        setUsbPortsPhy(portsPhy);
    if (model.hidesWifi)
        params::wifi()->addFlags(kParamHidden);

    params::zytPortNumber()->setChecked(product.count_u);
    params::sw_features()->setChecked(static_cast<int32_t>(mask));

    hideWhatTheModelLacks(mask, portsPhy);

    params::syslog()->addFlags(kParamHidden);
    params::syslog_ipa()->addFlags(kParamHidden);
    params::syslog_upo()->addFlags(kParamHidden);
}

bool isSoftwareFeature(const char* name)
{
    if (!name)
        return false;
    for (const SoftwareFeature& row : softwareFeatureTable) {
        if (!nameBeginsFeature(name, row.name))
            continue;
        if (!row.test || row.test())
            return true;
    }
    return false;
}

bool hasFeatureEmail() { return hasFeature(kFeatureEmail); }
bool hasFeatureAccessControl() { return hasFeature(kFeatureAccessControl); }
bool hasFeatureWlan() { return hasFeature(kFeatureWlan); }
bool hasFeaturePortSwitch() { return hasFeature(kFeaturePortPower); }
bool hasFeatureCompression() { return hasFeature(kFeatureCompression); }
bool hasFeatureIp4Vlan() { return hasFeature(kFeatureIp4Vlan); }
bool hasFeatureSyslog() { return false; }
