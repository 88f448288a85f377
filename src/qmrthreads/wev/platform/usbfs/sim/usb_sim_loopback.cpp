#include "platform/usbfs/sim/usb_sim_loopback.h"

#include <cstring>

namespace usbsim {

namespace {

constexpr size_t kMaxReports = 64;

void putLe32(uint8_t* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

} // namespace

LoopbackModel::LoopbackModel() : LoopbackModel("loopback", {0x82})
{
    device_ = makeDeviceDescriptor(0x0200, 0xff, 0, 0, 64, 0x1209, 0x0001, 0x0100, 1);
    configs_.push_back(ConfigBuilder()
                           .config(1, 0, 0x80, 50)
                           .interface(0, 0, 0xff, 0, 0, 0)
                           .endpoint(0x01, 2, 512, 0)
                           .endpoint(0x81, 2, 512, 0)
                           .endpoint(0x82, 3, 8, 4)
                           .finish());
    setString(kManufacturerIndex, "WEV Simulation");
    setString(kProductIndex, "Loopback Device");
    setString(kSerialIndex, "LB0001");
    speed_ = Speed::High;
}

LoopbackModel::LoopbackModel(const char* kind, std::set<uint8_t> interruptIn)
    : DeviceModel(kind), interruptIn_(std::move(interruptIn))
{
}

int LoopbackModel::control(const Setup& setup, uint8_t* data)
{
    if (setup.requestType == 0xc0 && setup.request == 1) {
        uint8_t word[4];
        putLe32(word, static_cast<uint32_t>(fill()));
        int n = setup.length < 4 ? setup.length : 4;
        memcpy(data, word, static_cast<size_t>(n));
        return n;
    }
    if (setup.requestType == 0x40 && setup.request == 2) {
        fifo_.clear();
        head_ = 0;
        return 0;
    }
    return -EPIPE;
}

int LoopbackModel::transferOut(uint8_t, const uint8_t* data, int length)
{
    if (fill() + static_cast<size_t>(length) > kFifoCapacity)
        return kNak;
    if (head_ > 0 && head_ >= fifo_.size() / 2) {
        fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    fifo_.insert(fifo_.end(), data, data + length);
    ++outTransfers_;
    if (reports_.size() < kMaxReports)
        reports_.push_back(outTransfers_);
    return length;
}

int LoopbackModel::transferIn(uint8_t endpoint, uint8_t* data, int length)
{
    if (interruptIn_.count(endpoint)) {
        if (reports_.empty())
            return kNak;
        uint8_t report[4];
        putLe32(report, reports_.front());
        reports_.pop_front();
        int n = length < 4 ? length : 4;
        memcpy(data, report, static_cast<size_t>(n));
        return n;
    }
    if (fill() == 0)
        return kNak;
    size_t n = fill() < static_cast<size_t>(length) ? fill() : static_cast<size_t>(length);
    memcpy(data, fifo_.data() + head_, n);
    head_ += n;
    if (head_ == fifo_.size()) {
        fifo_.clear();
        head_ = 0;
    }
    return static_cast<int>(n);
}

void LoopbackModel::busReset()
{
    fifo_.clear();
    head_ = 0;
    reports_.clear();
}

std::unique_ptr<DeviceModel> makeLoopbackModel(const ModelOptions& options, std::string* error)
{
    std::unique_ptr<DeviceModel> model(new LoopbackModel());
    if (!model->applyOptions(options, error))
        return nullptr;
    return model;
}

} // namespace usbsim
