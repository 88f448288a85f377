// The enterprise MIB over the parameter store: every parameter with an
// object (param_mib_rows.h) under 1.3.6.1.4.1.32473.2, read through
// Param::getSnmp and written through ParamSnmpWriter, plus the fixed index
// and count cells of its tables. Runs on the agent's thread only.
#pragma once

#include <cstddef>
#include <cstdint>

// The enterprise root 1.3.6.1.4.1.32473.
constexpr int kEnterpriseOidLength = 7;
extern const unsigned long enterpriseOid[kEnterpriseOidLength];

// Registers the module "VEK-AUTOSystem" with the agent library.
void init_vekAutoMib();

// The row whose identifier (under the enterprise root, without instance) is
// suffix; null when there is none.
const struct ParamMibRow* findParamMibRow(const uint32_t* suffix, size_t length);

// The fixed index and count cells: identifier under the root and value.
struct MibIndexCell {
    uint8_t length;
    uint32_t oid[6];
    uint8_t value;
};
// Fills cells (at most max) and returns how many there are.
size_t mibIndexCells(MibIndexCell* cells, size_t max);
