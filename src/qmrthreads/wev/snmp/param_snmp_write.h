// Writes of parameters over SNMP: the agent library calls the write method of
// an object once per variable binding and phase (RESERVE1, RESERVE2, ACTION,
// COMMIT, FREE or UNDO); this answers each phase for the bound parameter.
// RESERVE1 checks the type, length and value; ACTION stores it; COMMIT
// collects the change (side effects, parameter file); UNDO restores.
//
// The value a binding replaced is kept per parameter from ACTION until that
// binding's COMMIT, FREE or UNDO, so a request that writes several
// parameters of one class restores each of them to its own old value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/addr/sock_addr.h"
#include "core/params/param.h"

class ParamSnmpWriter {
public:
    // One phase (the library's numbers, MODE_SET_RESERVE1 to MODE_SET_UNDO)
    // of one binding; returns the SNMP error status.
    int write(Param& param, int action, const uint8_t* value, int type, size_t length);

    // Parameters with a saved old value (tests).
    size_t savedCount() const { return saved_.size(); }

private:
    struct Saved {
        bool wasModified = false;
        int32_t number = 0;
        std::shared_ptr<const std::string> text;
        SockAddr address;
        uint8_t mac[6] = {};
    };

    int reserve(Param& param, const uint8_t* value, int type, size_t length) const;
    int store(Param& param, const uint8_t* value, int type, size_t length);
    int commit(Param& param);
    void undo(Param& param);
    void save(Param& param);

    std::map<const Param*, Saved> saved_;
};
