// The enterprise MIB's objects over the parameter store, one per parameter
// that has one, generated with the catalogue from data/params.tsv (the oid
// and access columns), in identifier order.
#pragma once

#include <cstdint>

struct ParamMibRow {
    int16_t slot;        // the parameter's slot of ParamStore::catalogue()
    uint8_t type;        // ASN.1 type the object announces
    bool writable;
    uint8_t length;      // sub-identifiers under the enterprise root, 3 to 6
    uint32_t oid[6];
};

extern const ParamMibRow paramMibRows[];
extern const int paramMibRowCount;
