#include "snmp/system_mib.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/util_funcs/header_generic.h>
#include <net-snmp/agent/util_funcs/header_simple_table.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>

#include "core/params/param_store.h"
#include "core/product/product_info.h"
#include "core/task/shutdown.h"
#include "snmp/enterprise_mib.h"

namespace {

enum : u_char {
    kDefaultName = 2,
    kMacAddress = 3,
    kSerialNo = 4,
    kHwProject = 5,
    kCompatId = 6,
    kCompatLevel = 7,
    kProductId = 8,
    kFirmwareVersion = 9,
    kYear = 10,
    kMonth = 11,
    kPortCount = 12,
    kHwMajor = 13,
    kHwMinor = 14,
    kSwVersion = 15,
    kSwRelease = 16,
    kSwSubrelease = 17,
    kSoftwareId = 18,
    kReset = 19,
    kDescription = 20,
};

constexpr long kFactoryReset = 9;
constexpr long kRestart = 10;
constexpr int kRestartDelaySeconds = 1;

long integerAnswer;

// The integer objects' values; the records do not change during a run.
bool integerValue(u_char magic, long* out)
{
    const ProductInfo& p = productInfo();
    const FirmwareInfo& f = firmwareInfo();
    const SoftwarePackageInfo& s = softwarePackageInfo();
    switch (magic) {
    case kSerialNo: *out = p.serial_no; return true;
    case kHwProject: *out = p.hw_project; return true;
    case kCompatId: *out = p.compat_id; return true;
    case kCompatLevel: *out = f.compat_level; return true;
    case kProductId: *out = p.product_id; return true;
    case kFirmwareVersion: *out = f.firmware_version; return true;
    case kYear: *out = p.year; return true;
    case kMonth: *out = p.month; return true;
    case kPortCount: *out = p.printer_ports; return true;
    case kHwMajor: *out = p.hw_major; return true;
    case kHwMinor: *out = p.hw_minor; return true;
    case kSwVersion: *out = s.version; return true;
    case kSwRelease: *out = s.release; return true;
    case kSwSubrelease: *out = s.subrelease; return true;
    case kSoftwareId: *out = s.software_id; return true;
    case kReset: *out = 0; return true;
    default: return false;
    }
}

// The reset acts only in COMMIT, once every binding of the request has been
// accepted, and only for a well-formed INTEGER.
int write_vekSystemReset(int action, u_char* value, u_char type, size_t length, u_char*, oid*, size_t)
{
    if (action == MODE_SET_RESERVE1) {
        if (type != ASN_INTEGER)
            return SNMP_ERR_WRONGTYPE;
        if (length != sizeof(long) || !value)
            return SNMP_ERR_WRONGLENGTH;
    }
    if (action == MODE_SET_COMMIT) {
        long v;
        std::memcpy(&v, value, sizeof(v));
        actOnResetRequest(v);
    }
    return SNMP_ERR_NOERROR;
}

u_char* var_vekSystem(struct variable* vp, oid* name, size_t* length, int exact, size_t* varLength,
                      WriteMethod** writeMethod)
{
    if (header_generic(vp, name, length, exact, varLength, writeMethod) != MATCH_SUCCEEDED) {
        // Any instance of the reset object reaches its write method.
        if (vp->magic == kReset)
            *writeMethod = write_vekSystemReset;
        return nullptr;
    }
    if (vp->magic == kDefaultName) {
        *varLength = std::strlen(productInfo().default_name);
        return reinterpret_cast<u_char*>(const_cast<char*>(productInfo().default_name));
    }
    if (vp->magic == kMacAddress) {
        *varLength = 6;
        return const_cast<u_char*>(productInfo().ethaddr0);
    }
    if (vp->magic == kDescription) {
        const char* d = deviceDescription();
        *varLength = std::strlen(d);
        return reinterpret_cast<u_char*>(const_cast<char*>(d));
    }
    if (!integerValue(vp->magic, &integerAnswer))
        return nullptr;
    if (vp->magic == kReset)
        *writeMethod = write_vekSystemReset;
    *varLength = sizeof(integerAnswer);
    return reinterpret_cast<u_char*>(&integerAnswer);
}

int write_prtGeneralReset(int, u_char*, u_char, size_t, u_char*, oid*, size_t)
{
    return SNMP_ERR_NOERROR;
}

u_char* var_system_mib(struct variable* vp, oid* name, size_t* length, int exact, size_t* varLength,
                       WriteMethod** writeMethod)
{
    if (header_simple_table(vp, name, length, exact, varLength, writeMethod, 1) != MATCH_SUCCEEDED) {
        *writeMethod = write_prtGeneralReset;
        return nullptr;
    }
    integerAnswer = 3;
    *varLength = sizeof(integerAnswer);
    return reinterpret_cast<u_char*>(&integerAnswer);
}

#define RO NETSNMP_OLDAPI_RONLY
struct variable3 systemTable[] = {
    {kDescription, ASN_OCTET_STR, RO, var_vekSystem, 2, {1, 1}},
    {kDefaultName, ASN_OCTET_STR, RO, var_vekSystem, 3, {2, 1, 2}},
    {kMacAddress, ASN_OCTET_STR, RO, var_vekSystem, 3, {2, 1, 3}},
    {kHwProject, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 4}},
    {kProductId, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 5}},
    {kFirmwareVersion, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 6}},
    {kCompatId, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 7}},
    {kCompatLevel, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 8}},
    {kSerialNo, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 9}},
    {kYear, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 10}},
    {kMonth, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 11}},
    {kSwVersion, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 12}},
    {kSwRelease, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 13}},
    {kSwSubrelease, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 14}},
    {kHwMajor, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 16}},
    {kHwMinor, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 17}},
    {kSoftwareId, ASN_INTEGER, RO, var_vekSystem, 3, {2, 1, 33}},
    {kPortCount, ASN_INTEGER, RO, var_vekSystem, 3, {2, 2, 1}},
    {kReset, ASN_INTEGER, NETSNMP_OLDAPI_RWRITE, var_vekSystem, 3, {2, 8, 1}},
};
struct variable4 prtCompatTable[] = {
    {1, ASN_INTEGER, NETSNMP_OLDAPI_RWRITE, var_system_mib, 4, {5, 1, 1, 3}},
};
#undef RO

} // namespace

const char* deviceDescription()
{
    static char text[64];
    static bool built = false;
    if (!built) {
        const SoftwarePackageInfo& s = softwarePackageInfo();
        char version[48];
        std::snprintf(version, sizeof(version), "; version %u.%u.%u", s.version, s.release, s.subrelease);
        // Cut to the buffer: a long product name loses the version's end.
        const std::string full = std::string("VEK ") + productInfo().product_name + version;
        const size_t n = std::min(full.size(), sizeof(text) - 1);
        std::memcpy(text, full.data(), n);
        text[n] = '\0';
        built = true;
    }
    return text;
}

void actOnResetRequest(long value)
{
    if (value == kFactoryReset) {
        ParamStore::factoryReset();
        startShutdownTask(kRestartDelaySeconds);
    } else if (value == kRestart) {
        startShutdownTask(kRestartDelaySeconds);
    }
}

void init_vek_mib()
{
    oid root[kEnterpriseOidLength];
    std::copy(enterpriseOid, enterpriseOid + kEnterpriseOidLength, root);
    register_mib("VEK-System", reinterpret_cast<struct variable*>(systemTable), sizeof(struct variable3),
                 sizeof(systemTable) / sizeof(systemTable[0]), root, kEnterpriseOidLength);
    oid printerMib[] = {1, 3, 6, 1, 2, 1, 43};
    register_mib("VEK-PrtCompat", reinterpret_cast<struct variable*>(prtCompatTable), sizeof(struct variable4), 1,
                 printerMib, sizeof(printerMib) / sizeof(printerMib[0]));
}
