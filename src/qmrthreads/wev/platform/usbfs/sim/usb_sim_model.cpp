#include "platform/usbfs/sim/usb_sim_model.h"

#include <cstdlib>

namespace usbsim {

namespace {

void putLe16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value)
{
    bytes[offset] = static_cast<uint8_t>(value & 0xff);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void appendLe16(std::vector<uint8_t>& bytes, uint16_t value)
{
    bytes.push_back(static_cast<uint8_t>(value & 0xff));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

// Next code point of UTF-8 text; malformed bytes come back as '?'.
uint32_t nextCodePoint(const std::string& text, size_t* pos)
{
    uint8_t c = static_cast<uint8_t>(text[(*pos)++]);
    if (c < 0x80)
        return c;
    int more = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : -1;
    if (more < 0 || *pos + static_cast<size_t>(more) > text.size())
        return '?';
    uint32_t cp = c & (0x3f >> more);
    for (int i = 0; i < more; ++i) {
        uint8_t next = static_cast<uint8_t>(text[*pos]);
        if ((next & 0xc0) != 0x80)
            return '?';
        cp = cp << 6 | (next & 0x3f);
        ++*pos;
    }
    return cp > 0x10ffff ? '?' : cp;
}

} // namespace

const char* speedText(Speed speed)
{
    switch (speed) {
    case Speed::Low:
        return "1.5";
    case Speed::Full:
        return "12";
    case Speed::High:
        return "480";
    case Speed::Super:
        return "5000";
    }
    return "12";
}

bool parseSpeed(const std::string& text, Speed* speed)
{
    for (Speed s : {Speed::Low, Speed::Full, Speed::High, Speed::Super}) {
        if (text == speedText(s)) {
            *speed = s;
            return true;
        }
    }
    return false;
}

std::string ModelOptions::get(const std::string& key, const std::string& fallback) const
{
    auto it = values_.find(key);
    return it == values_.end() ? fallback : it->second;
}

bool ModelOptions::number(const std::string& key, unsigned long* value) const
{
    auto it = values_.find(key);
    if (it == values_.end() || it->second.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(it->second.c_str(), &end, 0);
    if (errno != 0 || *end != 0 || it->second[0] == '-')
        return false;
    *value = v;
    return true;
}

ConfigBuilder& ConfigBuilder::config(uint8_t value, uint8_t iConfiguration, uint8_t attributes, uint8_t maxPower)
{
    bytes_ = {9, 2, 0, 0, 0, value, iConfiguration, attributes, maxPower};
    interfaceOffsets_.clear();
    return *this;
}

ConfigBuilder& ConfigBuilder::interface(uint8_t number, uint8_t alt, uint8_t cls, uint8_t subClass,
                                        uint8_t protocol, uint8_t iInterface)
{
    interfaceOffsets_.push_back(bytes_.size());
    bytes_.insert(bytes_.end(), {9, 4, number, alt, 0, cls, subClass, protocol, iInterface});
    return *this;
}

ConfigBuilder& ConfigBuilder::endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval)
{
    bytes_.insert(bytes_.end(), {7, 5, address, attributes});
    appendLe16(bytes_, maxPacket);
    bytes_.push_back(interval);
    if (!interfaceOffsets_.empty())
        ++bytes_[interfaceOffsets_.back() + 4];
    return *this;
}

ConfigBuilder& ConfigBuilder::raw(const std::vector<uint8_t>& bytes)
{
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

std::vector<uint8_t> ConfigBuilder::finish()
{
    if (bytes_.size() < 9)
        return bytes_;
    putLe16(bytes_, 2, static_cast<uint16_t>(bytes_.size()));
    uint32_t seen = 0;
    uint8_t count = 0;
    for (size_t offset : interfaceOffsets_) {
        uint8_t number = bytes_[offset + 2];
        if (number < 32 && !(seen & (1u << number))) {
            seen |= 1u << number;
            ++count;
        }
    }
    bytes_[4] = count;
    return bytes_;
}

std::vector<uint8_t> makeDeviceDescriptor(uint16_t bcdUsb, uint8_t cls, uint8_t subClass, uint8_t protocol,
                                          uint8_t maxPacket0, uint16_t vendor, uint16_t product,
                                          uint16_t bcdDevice, uint8_t numConfigurations)
{
    std::vector<uint8_t> d = {18, 1};
    appendLe16(d, bcdUsb);
    d.insert(d.end(), {cls, subClass, protocol, maxPacket0});
    appendLe16(d, vendor);
    appendLe16(d, product);
    appendLe16(d, bcdDevice);
    d.insert(d.end(), {kManufacturerIndex, kProductIndex, kSerialIndex, numConfigurations});
    return d;
}

std::vector<uint8_t> stringDescriptorBytes(const std::string& text)
{
    std::vector<uint8_t> d = {2, 3};
    size_t pos = 0;
    while (pos < text.size()) {
        uint32_t cp = nextCodePoint(text, &pos);
        if (cp >= 0x10000) {
            if (d.size() + 4 > 255)
                break;
            cp -= 0x10000;
            appendLe16(d, static_cast<uint16_t>(0xd800 | (cp >> 10)));
            appendLe16(d, static_cast<uint16_t>(0xdc00 | (cp & 0x3ff)));
            continue;
        }
        if (d.size() + 2 > 255)
            break;
        appendLe16(d, static_cast<uint16_t>(cp));
    }
    d[0] = static_cast<uint8_t>(d.size());
    return d;
}

uint16_t DeviceModel::vendor() const
{
    return static_cast<uint16_t>(device_[8] | device_[9] << 8);
}

uint16_t DeviceModel::product() const
{
    return static_cast<uint16_t>(device_[10] | device_[11] << 8);
}

int DeviceModel::stringDescriptor(uint8_t index, uint16_t lang, uint8_t* out, int size) const
{
    std::vector<uint8_t> bytes;
    if (index == 0) {
        bytes = {4, 3, 0x09, 0x04};  // one language: US English
    } else {
        auto it = strings_.find(index);
        if (it == strings_.end() || lang != 0x0409)
            return -EPIPE;
        bytes = stringDescriptorBytes(it->second);
    }
    int n = static_cast<int>(bytes.size()) < size ? static_cast<int>(bytes.size()) : size;
    for (int i = 0; i < n; ++i)
        out[i] = bytes[static_cast<size_t>(i)];
    return n;
}

std::string DeviceModel::stringText(uint8_t index) const
{
    auto it = strings_.find(index);
    return index == 0 || it == strings_.end() ? std::string() : it->second;
}

int DeviceModel::control(const Setup&, uint8_t*)
{
    return -EPIPE;
}

int DeviceModel::transferOut(uint8_t, const uint8_t*, int)
{
    return kNak;
}

int DeviceModel::transferIn(uint8_t, uint8_t*, int)
{
    return kNak;
}

bool DeviceModel::input(const std::string&, std::string* error)
{
    *error = "a " + kind_ + " device takes no input";
    return false;
}

bool DeviceModel::applyName(const ModelOptions& options, const char* key, uint8_t index, size_t descriptorOffset)
{
    if (!options.has(key))
        return true;
    std::string text = options.get(key);
    if (text.size() > 126)
        return false;
    if (text.empty()) {
        strings_.erase(index);
        device_[descriptorOffset] = 0;
        return true;
    }
    strings_[index] = text;
    device_[descriptorOffset] = index;
    return true;
}

void DeviceModel::setInterfaceClass(uint8_t cls)
{
    constexpr uint8_t kInterfaceType = 4;
    constexpr size_t kClassOffset = 5;
    for (std::vector<uint8_t>& config : configs_) {
        for (size_t at = 0; at + 1 < config.size() && config[at] >= 2; at += config[at]) {
            if (config[at + 1] == kInterfaceType && at + kClassOffset < config.size())
                config[at + kClassOffset] = cls;
        }
    }
}

bool DeviceModel::applyOptions(const ModelOptions& options, std::string* error)
{
    struct IdOption { const char* key; size_t offset; };
    for (const IdOption& id : {IdOption{"vid", 8}, IdOption{"pid", 10}, IdOption{"bcd", 12}}) {
        if (!options.has(id.key))
            continue;
        unsigned long value = 0;
        if (!options.number(id.key, &value) || value > 0xffff) {
            *error = std::string(id.key) + " must be a number from 0 to 0xffff, not '" + options.get(id.key) + "'";
            return false;
        }
        putLe16(device_, id.offset, static_cast<uint16_t>(value));
    }
    if (!applyName(options, "manufacturer", kManufacturerIndex, 14) || !applyName(options, "product", kProductIndex, 15) ||
        !applyName(options, "serial", kSerialIndex, 16)) {
        *error = "a name may have at most 126 characters";
        return false;
    }
    if (options.has("class")) {
        unsigned long value = 0;
        if (!options.number("class", &value) || value > 0xff) {
            *error = "class must be a number from 0 to 0xff, not '" + options.get("class") + "'";
            return false;
        }
        setInterfaceClass(static_cast<uint8_t>(value));
    }
    if (options.has("speed")) {
        if (!parseSpeed(options.get("speed"), &speed_)) {
            *error = "speed must be 1.5, 12, 480 or 5000, not '" + options.get("speed") + "'";
            return false;
        }
        putLe16(device_, 2, speed_ == Speed::Super ? 0x0300 : 0x0200);
        device_[7] = speed_ == Speed::Low ? 8 : speed_ == Speed::Super ? 9 : 64;
    }
    return true;
}

} // namespace usbsim
