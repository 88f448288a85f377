// A HID boot keyboard (low speed, interface 3/1/1, interrupt IN 0x81 with
// 8-byte reports). Text typed from outside becomes a press report and a
// release report per character on the US layout; the interrupt endpoint
// NAKs while no report waits.
#include "platform/usbfs/sim/usb_sim_model.h"

#include <cstring>
#include <deque>

namespace usbsim {

namespace {

const std::vector<uint8_t> kReportDescriptor = {
    0x05, 0x01, 0x09, 0x06, 0xa1, 0x01, 0x05, 0x07, 0x19, 0xe0, 0x29, 0xe7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xc0,
};

std::vector<uint8_t> hidDescriptor()
{
    uint16_t length = static_cast<uint16_t>(kReportDescriptor.size());
    return {9, 0x21, 0x11, 0x01, 0, 1, 0x22, static_cast<uint8_t>(length & 0xff), static_cast<uint8_t>(length >> 8)};
}

constexpr uint8_t kShift = 0x02;
constexpr size_t kMaxReports = 4096;

struct KeyStroke {
    uint8_t modifier;
    uint8_t usage;
};

bool keyFor(char c, KeyStroke* key)
{
    static const char kDigits[] = "1234567890";
    static const char kShiftedDigits[] = "!@#$%^&*()";
    struct Punct { char plain, shifted; uint8_t usage; };
    static const Punct kPunct[] = {
        {'-', '_', 0x2d}, {'=', '+', 0x2e}, {'[', '{', 0x2f}, {']', '}', 0x30}, {'\\', '|', 0x31},
        {';', ':', 0x33}, {'\'', '"', 0x34}, {'`', '~', 0x35}, {',', '<', 0x36}, {'.', '>', 0x37},
        {'/', '?', 0x38},
    };
    if (c >= 'a' && c <= 'z') {
        *key = {0, static_cast<uint8_t>(0x04 + (c - 'a'))};
        return true;
    }
    if (c >= 'A' && c <= 'Z') {
        *key = {kShift, static_cast<uint8_t>(0x04 + (c - 'A'))};
        return true;
    }
    for (int i = 0; i < 10; ++i) {
        if (c == kDigits[i] || c == kShiftedDigits[i]) {
            *key = {c == kDigits[i] ? uint8_t(0) : kShift, static_cast<uint8_t>(0x1e + i)};
            return true;
        }
    }
    for (const Punct& p : kPunct) {
        if (c == p.plain || c == p.shifted) {
            *key = {c == p.plain ? uint8_t(0) : kShift, p.usage};
            return true;
        }
    }
    switch (c) {
    case '\n':
        *key = {0, 0x28};
        return true;
    case '\t':
        *key = {0, 0x2b};
        return true;
    case ' ':
        *key = {0, 0x2c};
        return true;
    default:
        return false;
    }
}

class KeyboardModel : public DeviceModel {
public:
    KeyboardModel() : DeviceModel("keyboard")
    {
        device_ = makeDeviceDescriptor(0x0200, 0, 0, 0, 8, 0x1209, 0x0002, 0x0100, 1);
        configs_.push_back(ConfigBuilder()
                               .config(1, 0, 0xa0, 50)
                               .interface(0, 0, 3, 1, 1, 0)
                               .raw(hidDescriptor())
                               .endpoint(0x81, 3, 8, 10)
                               .finish());
        setString(kManufacturerIndex, "WEV Simulation");
        setString(kProductIndex, "Keyboard");
        setString(kSerialIndex, "KB0001");
        speed_ = Speed::Low;
    }

    int control(const Setup& s, uint8_t* data) override
    {
        if (s.requestType == 0x81 && s.request == 6 && s.index == 0) {
            if (s.value >> 8 == 0x22)
                return copyOut(kReportDescriptor, s.length, data);
            if (s.value >> 8 == 0x21)
                return copyOut(hidDescriptor(), s.length, data);
            return -EPIPE;
        }
        switch (s.requestType << 8 | s.request) {
        case 0x2109:  // SET_REPORT: the LED byte
            if (s.length >= 1)
                leds_ = data[0];
            return s.length;
        case 0x210a:  // SET_IDLE
            idle_ = static_cast<uint8_t>(s.value >> 8);
            return 0;
        case 0x210b:  // SET_PROTOCOL
            protocol_ = static_cast<uint8_t>(s.value & 1);
            return 0;
        case 0xa101: {  // GET_REPORT
            std::vector<uint8_t> empty(8, 0);
            return copyOut(empty, s.length, data);
        }
        case 0xa102:
            return copyOut({idle_}, s.length, data);
        case 0xa103:
            return copyOut({protocol_}, s.length, data);
        default:
            return -EPIPE;
        }
    }

    int transferIn(uint8_t, uint8_t* data, int length) override
    {
        if (reports_.empty())
            return kNak;
        const std::vector<uint8_t>& report = reports_.front();
        int n = copyOut(report, static_cast<uint16_t>(length > 0xffff ? 0xffff : length), data);
        reports_.pop_front();
        return n;
    }

    void busReset() override
    {
        reports_.clear();
        leds_ = 0;
        idle_ = 0;
        protocol_ = 1;
    }

    const char* kernelDriverFor(int interfaceNumber) const override
    {
        return interfaceNumber == 0 ? "usbhid" : nullptr;
    }

    bool input(const std::string& text, std::string* error) override
    {
        std::vector<KeyStroke> keys;
        for (char c : text) {
            KeyStroke key;
            if (!keyFor(c, &key)) {
                *error = "no key types character 0x" + hex(static_cast<uint8_t>(c));
                return false;
            }
            keys.push_back(key);
        }
        if (reports_.size() + 2 * keys.size() > kMaxReports) {
            *error = "too much typed text waits already";
            return false;
        }
        for (const KeyStroke& key : keys) {
            reports_.push_back({key.modifier, 0, key.usage, 0, 0, 0, 0, 0});
            reports_.push_back(std::vector<uint8_t>(8, 0));
        }
        return true;
    }

private:
    static int copyOut(const std::vector<uint8_t>& bytes, uint16_t length, uint8_t* data)
    {
        size_t n = bytes.size() < length ? bytes.size() : length;
        memcpy(data, bytes.data(), n);
        return static_cast<int>(n);
    }

    static std::string hex(uint8_t value)
    {
        static const char kDigits[] = "0123456789abcdef";
        return {kDigits[value >> 4], kDigits[value & 15]};
    }

    std::deque<std::vector<uint8_t>> reports_;
    uint8_t leds_ = 0;
    uint8_t idle_ = 0;
    uint8_t protocol_ = 1;
};

} // namespace

std::unique_ptr<DeviceModel> makeKeyboardModel(const ModelOptions& options, std::string* error)
{
    std::unique_ptr<DeviceModel> model(new KeyboardModel());
    if (!model->applyOptions(options, error))
        return nullptr;
    return model;
}

} // namespace usbsim
