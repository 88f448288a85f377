#include "snmp/enterprise_mib.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/util_funcs/header_generic.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/params/param_store.h"
#include "snmp/param_mib_rows.h"
#include "snmp/param_snmp_write.h"

const unsigned long enterpriseOid[kEnterpriseOidLength] = {1, 3, 6, 1, 4, 1, 32473};

namespace {

static_assert(sizeof(oid) == sizeof(unsigned long), "net-snmp sub-identifiers are unsigned long");

// A family of index cells: the column's identifier without the member
// number, and the number of members (each cell holds its number). count 0:
// a single count cell at prefix holding value.
struct IndexFamily {
    uint8_t length;
    uint32_t prefix[6];
    uint8_t members;
    uint8_t value;
};

constexpr IndexFamily kIndexFamilies[] = {
    {4, {2, 40, 10, 1}, 0, 8},        // rows of the address filter
    {5, {2, 40, 11, 1, 1}, 8, 0},
    {4, {2, 40, 12, 1}, 0, 8},        // rows of the hardware filter
    {5, {2, 40, 13, 1, 1}, 8, 0},
    {4, {2, 43, 1, 1}, 0, 20},        // VLAN rows
    {5, {2, 43, 2, 1, 1}, 20, 0},
    {4, {2, 50, 1, 1}, 0, 20},        // port rows
    {5, {2, 50, 2, 1, 1}, 20, 0},
};

// The value the library answers for the current request; it copies the bytes
// before the next call.
std::string answer;
long answerInteger;
ParamSnmpWriter writer;

bool suffixLess(const ParamMibRow& row, const uint32_t* suffix, size_t length)
{
    return std::lexicographical_compare(row.oid, row.oid + row.length, suffix, suffix + length);
}

// The row of a full request name (root, object, instance .0).
const ParamMibRow* rowOfName(const oid* name, size_t length)
{
    if (length < size_t(kEnterpriseOidLength) + 2 ||
        std::memcmp(name, enterpriseOid, sizeof(enterpriseOid)) != 0 || name[length - 1] != 0)
        return nullptr;
    uint32_t suffix[6];
    const size_t n = length - kEnterpriseOidLength - 1;
    if (n > 6)
        return nullptr;
    for (size_t i = 0; i < n; ++i) {
        if (name[kEnterpriseOidLength + i] > UINT32_MAX)
            return nullptr;
        suffix[i] = uint32_t(name[kEnterpriseOidLength + i]);
    }
    return findParamMibRow(suffix, n);
}

int writeParamObject(int action, u_char* value, u_char type, size_t length, u_char*, oid* name, size_t nameLength)
{
    const ParamMibRow* row = rowOfName(name, nameLength);
    if (!row)
        return SNMP_ERR_NOTWRITABLE;
    Param* param = ParamStore::catalogue()[row->slot];
    std::printf("call wrapper %s\n", param->name());
    return writer.write(*param, action, value, type, length);
}

// Row magic 0: a parameter object; 1 to 128: an index or count cell holding
// that value.
u_char* var_vekAutoMib(struct variable* vp, oid* name, size_t* length, int exact, size_t* varLength,
                       WriteMethod** writeMethod)
{
    if (header_generic(vp, name, length, exact, varLength, writeMethod) != MATCH_SUCCEEDED)
        return nullptr;
    if (vp->magic != 0) {
        // An int with its length: a single byte would come back signed.
        answerInteger = vp->magic;
        *varLength = sizeof(answerInteger);
        return reinterpret_cast<u_char*>(&answerInteger);
    }
    const ParamMibRow* row = rowOfName(name, *length);
    if (!row)
        return nullptr;
    const Param* param = ParamStore::catalogue()[row->slot];
    if (!param->getSnmp(answer))
        return nullptr;
    if (row->writable)
        *writeMethod = writeParamObject;
    *varLength = answer.size();
    return reinterpret_cast<u_char*>(answer.data());
}

variable7 makeVariable(uint8_t magic, uint8_t type, bool writable, const uint32_t* suffix, size_t length)
{
    variable7 v{};
    v.magic = magic;
    v.type = char(type);
    v.acl = writable ? NETSNMP_OLDAPI_RWRITE : NETSNMP_OLDAPI_RONLY;
    v.findVar = var_vekAutoMib;
    v.namelen = u_char(length);
    for (size_t i = 0; i < length; ++i)
        v.name[i] = suffix[i];
    return v;
}

} // namespace

const ParamMibRow* findParamMibRow(const uint32_t* suffix, size_t length)
{
    const ParamMibRow* end = paramMibRows + paramMibRowCount;
    const ParamMibRow* it = std::lower_bound(paramMibRows, end, 0, [&](const ParamMibRow& row, int) {
        return suffixLess(row, suffix, length);
    });
    if (it == end || it->length != length || !std::equal(suffix, suffix + length, it->oid))
        return nullptr;
    return it;
}

size_t mibIndexCells(MibIndexCell* cells, size_t max)
{
    size_t n = 0;
    for (const IndexFamily& f : kIndexFamilies) {
        const int count = f.members ? f.members : 1;
        for (int m = 1; m <= count && n < max; ++m, ++n) {
            MibIndexCell& c = cells[n];
            c.length = f.length;
            std::copy(f.prefix, f.prefix + f.length, c.oid);
            if (f.members) {
                c.oid[c.length++] = uint32_t(m);
                c.value = uint8_t(m);
            } else {
                c.value = f.value;
            }
        }
    }
    return n;
}

void init_vekAutoMib()
{
    std::puts("Register VEK AUTO MIB.");
    static std::vector<variable7> table;
    table.clear();
    for (int i = 0; i < paramMibRowCount; ++i) {
        const ParamMibRow& r = paramMibRows[i];
        table.push_back(makeVariable(0, r.type, r.writable, r.oid, r.length));
    }
    MibIndexCell cells[64];
    const size_t count = mibIndexCells(cells, sizeof(cells) / sizeof(cells[0]));
    for (size_t i = 0; i < count; ++i)
        table.push_back(makeVariable(cells[i].value, ASN_INTEGER, false, cells[i].oid, cells[i].length));
    oid root[kEnterpriseOidLength];
    std::copy(enterpriseOid, enterpriseOid + kEnterpriseOidLength, root);
    register_mib("VEK-AUTOSystem", reinterpret_cast<struct variable*>(table.data()), sizeof(variable7),
                 table.size(), root, kEnterpriseOidLength);
}
