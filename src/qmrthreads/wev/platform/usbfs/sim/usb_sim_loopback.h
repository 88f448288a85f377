// The vendor loopback device: what goes out on a bulk OUT endpoint comes
// back on the bulk IN endpoints, in order, through a FIFO of limited size
// (a full FIFO NAKs further OUT data until IN transfers drain it). Each bulk
// OUT transfer queues a report on the interrupt IN endpoints: the number of
// OUT transfers so far, 32-bit little-endian.
//
// Vendor requests: IN request 1 answers the FIFO's fill (32-bit little-
// endian); OUT request 2 empties the FIFO. Others stall.
#pragma once

#include "platform/usbfs/sim/usb_sim_model.h"

#include <deque>
#include <set>

namespace usbsim {

class LoopbackModel : public DeviceModel {
public:
    static constexpr size_t kFifoCapacity = 1024 * 1024;

    LoopbackModel();

    int control(const Setup& setup, uint8_t* data) override;
    int transferOut(uint8_t endpoint, const uint8_t* data, int length) override;
    int transferIn(uint8_t endpoint, uint8_t* data, int length) override;
    void busReset() override;

protected:
    // For devices that reuse the loopback behaviour with other descriptors.
    LoopbackModel(const char* kind, std::set<uint8_t> interruptIn);

private:
    size_t fill() const { return fifo_.size() - head_; }

    std::set<uint8_t> interruptIn_;
    std::vector<uint8_t> fifo_;
    size_t head_ = 0;
    uint32_t outTransfers_ = 0;
    std::deque<uint32_t> reports_;
};

} // namespace usbsim
