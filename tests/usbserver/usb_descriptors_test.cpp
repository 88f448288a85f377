// Descriptor reading at attach and the string cache: descriptor blobs as
// devices deliver them, and strings from simulated devices.
#include "usbserver/usb_table_fixture.h"

#include "usbserver/usb_descriptors.h"
#include "usbserver/usb_strings.h"

#include <fcntl.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Builds what a usbfs file holds: the device descriptor, then descriptors.
class Blob {
public:
    explicit Blob(int configurations)
    {
        bytes_ = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x00, 0x00, 0x01, 0, 0, 0,
                  static_cast<uint8_t>(configurations)};
    }
    Blob& config(uint8_t value, uint8_t numInterfaces)
    {
        return raw({9, 2, 0, 0, numInterfaces, value, 0, 0x80, 50});
    }
    Blob& interface(uint8_t number, uint8_t alt, uint8_t cls = 0xff, uint8_t length = 9)
    {
        Bytes d = {length, 4, number, alt, 1, cls, 0, 0, 0};
        d.resize(length, 0xee);
        return raw(d);
    }
    Blob& endpoint(uint8_t address, uint8_t attributes, uint8_t length = 7)
    {
        Bytes d = {length, 5, address, attributes, 64, 0, 0};
        d.resize(length, 0);
        return raw(d);
    }
    Blob& raw(const Bytes& d)
    {
        bytes_.insert(bytes_.end(), d.begin(), d.end());
        return *this;
    }
    Bytes bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

struct MemoryFile {
    Bytes bytes;
    size_t position = 0;
};

ssize_t memoryRead(void* context, void* buffer, size_t size)
{
    auto* file = static_cast<MemoryFile*>(context);
    if (file->position >= file->bytes.size())
        return 0;
    size_t n = std::min(size, file->bytes.size() - file->position);
    memcpy(buffer, file->bytes.data() + file->position, n);
    file->position += n;
    return static_cast<ssize_t>(n);
}

int memorySkip(void* context, size_t count)
{
    static_cast<MemoryFile*>(context)->position += count;
    return 0;
}

class UsbDescriptors : public UsbTableTest {
public:
    UsbDeviceSlot& slot() { return usbDeviceTable[0]; }

    int fetch(const Bytes& bytes)
    {
        slot().reset();
        MemoryFile file{bytes, 0};
        DescriptorSource source{&file, memoryRead, memorySkip};
        return fetchDescriptors(slot(), source);
    }

    static std::vector<int> numbers(const UsbConfigRecord& record)
    {
        return std::vector<int>(record.interfaceNumbers, record.interfaceNumbers + record.interfaceNumberCount);
    }

    // The row of the one device plugged, after a scan took it.
    int scannedRow(const std::string& plugArgs)
    {
        plug(plugArgs);
        rescanUsbDevices();
        for (int row = 0; row < usbRowCount.load(); ++row)
            if (usbDeviceTable[row].state.load() == kUsbSlotPresent)
                return row;
        ADD_FAILURE() << "no row for " << plugArgs;
        return 0;
    }
};

TEST_F(UsbDescriptors, BlobsAsDevicesDeliverThem)
{
    struct Case {
        const char* what;
        Bytes blob;
        int result;
        int configCount;
        int interfaceCount;
        std::vector<int> numbers;   // of the first configuration
        int claimCount;
    };
    Bytes seventyInterfaces = Blob(1).config(1, 70).bytes();
    for (int i = 0; i < 70; ++i) {
        Bytes d = {9, 4, static_cast<uint8_t>(i), 0, 0, 0xff, 0, 0, 0};
        seventyInterfaces.insert(seventyInterfaces.end(), d.begin(), d.end());
    }
    std::vector<int> first64;
    for (int i = 0; i < 64; ++i)
        first64.push_back(i);

    const Case cases[] = {
        {"two interfaces, one with two alternate settings",
         Blob(1).config(1, 2).interface(0, 0).endpoint(0x81, 2).interface(1, 0).interface(1, 1).endpoint(0x02, 2).bytes(),
         1, 1, 3, {0, 1}, 2},
        {"more configurations of length 9 than declared",
         Blob(1).config(1, 1).interface(0, 0).config(2, 1).interface(0, 0).bytes(), 0, 2, 1, {0}, 1},
        {"a configuration of another length is skipped",
         Blob(1).config(1, 1).raw({10, 2, 0, 0, 1, 2, 0, 0x80, 50, 0}).interface(0, 0).bytes(), 1, 1, 1, {0}, 1},
        {"no configurations", Blob(0).config(1, 1).bytes(), 0, 0, 0, {}, 0},
        {"nine configurations", Blob(9).config(1, 1).bytes(), 0, 0, 0, {}, 0},
        {"declares more interfaces than it has", Blob(1).config(1, 5).interface(0, 0).interface(3, 0).bytes(),
         1, 1, 2, {0, 3}, 2},
        {"more interfaces than the record holds", seventyInterfaces, 1, 1, 70, first64, 64},
        {"an interface of 12 bytes is read for its 9",
         Blob(1).config(1, 2).interface(0, 0, 0xff, 12).interface(1, 0).bytes(), 1, 1, 2, {0, 1}, 2},
        {"an interface shorter than 9 bytes is none",
         Blob(1).config(1, 2).interface(0, 0, 0xff, 5).interface(1, 0).bytes(), 1, 1, 1, {1}, 1},
        {"a cut interface fails", Blob(1).config(1, 1).raw({9, 4, 0, 0}).bytes(), 0, 1, 0, {}, 0},
        {"a cut configuration fails", Blob(1).raw({9, 2, 0, 0}).bytes(), 0, 1, 0, {}, 0},
        {"a length below 4 ends the list", Blob(1).config(1, 2).interface(0, 0).raw({3, 4, 1}).interface(1, 0).bytes(),
         1, 1, 1, {0}, 1},
        {"interfaces before any configuration are counted only",
         Blob(1).interface(7, 0).config(1, 1).interface(0, 0).bytes(), 1, 1, 2, {0}, 1},
        {"a short device descriptor fails", Bytes{18, 1, 0, 2, 0, 0}, 0, 0, 0, {}, 0},
        {"a device descriptor of another type fails", [] {
             Bytes b = Blob(1).config(1, 0).bytes();
             b[1] = 2;
             return b;
         }(), 0, 0, 0, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(fetch(c.blob), c.result);
        EXPECT_EQ(slot().configCount, c.configCount);
        EXPECT_EQ(slot().interfaceCount, c.interfaceCount);
        if (c.result) {
            EXPECT_EQ(numbers(slot().configCache[0]), c.numbers);
            EXPECT_EQ(slot().configCache[0].claimCount(), c.claimCount);
        }
    }
}

TEST_F(UsbDescriptors, EndpointsAreCountedByDirectionAndType)
{
    Bytes blob = Blob(1)
                     .config(1, 1)
                     .interface(0, 0, 1)
                     .endpoint(0x81, 1, 9)  // audio: 9 bytes, isochronous IN
                     .endpoint(0x02, 2)
                     .endpoint(0x83, 3)
                     .endpoint(0x84, 2)
                     .endpoint(0x05, 3, 8)  // neither 7 nor 9: skipped
                     .interface(1, 0, 14)
                     .bytes();
    ASSERT_EQ(fetch(blob), 1);
    const uint8_t expected[8] = {1, 1, 1, 1, 1, 0, 1, 0};
    EXPECT_EQ(memcmp(slot().endpointCounts, expected, 8), 0);
    EXPECT_EQ(slot().isVideo, 1);
    EXPECT_EQ(slot().interfaceCount, 2);
    EXPECT_EQ(slot().deviceDescriptor[17], 1);
    EXPECT_EQ(slot().configCacheCount, 1);
    EXPECT_EQ(slot().configCache[0].bConfigurationValue(), 1);
}

TEST_F(UsbDescriptors, AttachReadsEveryConfigurationOfTheDevice)
{
    int row = scannedRow("dual-config at=1-1.1");
    const UsbDeviceSlot& s = usbDeviceTable[row];
    EXPECT_EQ(s.configCacheCount, 2);
    EXPECT_EQ(s.configCount, 2);
    EXPECT_EQ(s.configCache[0].bConfigurationValue(), 1);
    EXPECT_EQ(s.configCache[1].bConfigurationValue(), 2);
    EXPECT_EQ(numbers(s.configCache[0]), (std::vector<int>{0, 1}));
    EXPECT_EQ(s.configCache[0].claimCount(), 2);

    // A device whose interface descriptor is 12 bytes long: the rest is
    // skipped and its endpoints are still found where they are.
    clearUsbTable();
    usbsim::resetForTest();
    row = scannedRow("broken fault=long-interface at=1-1.2");
    const UsbDeviceSlot& b = usbDeviceTable[row];
    EXPECT_EQ(b.interfaceCount, 1);
    EXPECT_EQ(b.endpointCounts[kEpInBulk], 1);
    EXPECT_EQ(b.endpointCounts[kEpOutBulk], 1);
}

TEST_F(UsbDescriptors, NamesAreCachedAtAttachAndConvertedToSingleBytes)
{
    int row = scannedRow("loopback at=1-1.2 manufacturer=Gr\xc3\xbc\xc3\x9f" "e\xe2\x82\xac serial=S1");
    UsbDeviceSlot& s = usbDeviceTable[row];
    ASSERT_EQ(s.languageKnown, 1);
    EXPECT_EQ(s.language, 0x0409);

    uint8_t bytes[255];
    int manufacturer = s.deviceDescriptor[14];
    int n = s.cachedString(s.language, manufacturer, bytes, sizeof bytes);
    ASSERT_EQ(n, 2 + 2 * 6);
    EXPECT_EQ(bytes[0], n);
    EXPECT_EQ(bytes[1], 3);
    EXPECT_EQ(s.cachedString(s.language, 0xEE, bytes, sizeof bytes), 0) << "a string the device lacks is a recorded failure";
    EXPECT_EQ(s.cachedString(s.language, 0x42, bytes, sizeof bytes), -1) << "never asked for";
    EXPECT_EQ(s.cachedString(s.language, manufacturer, bytes, 4), 4) << "cut to the caller's size";

    ASSERT_EQ(s.openDevice(O_RDWR, nullptr), 1);
    char text[kUsbTextSize];
    EXPECT_EQ(s.readStringAscii(manufacturer, text, sizeof text), 6);
    EXPECT_STREQ(text, "Gr\xfc\xdf" "e?") << "Latin-1 kept, anything above it '?'";
    EXPECT_EQ(s.readStringAscii(manufacturer, text, 3), 2);
    EXPECT_STREQ(text, "Gr");
    EXPECT_EQ(s.readStringAscii(0, text, sizeof text), -1);
    s.closeDevice();
}

TEST_F(UsbDescriptors, OnlyWholeStringsAreCached)
{
    int row = scannedRow("loopback at=1-1.2");
    UsbDeviceSlot& s = usbDeviceTable[row];
    const int product = s.deviceDescriptor[15];
    s.clearStringCache();
    ASSERT_EQ(s.openDevice(O_RDWR, nullptr), 1);
    uint8_t bytes[255];
    EXPECT_EQ(s.readStringDescriptor(s.fd.load(), s.language, product, bytes, 4), 4);
    EXPECT_GT(bytes[0], 4);
    EXPECT_EQ(s.cachedString(s.language, product, bytes, sizeof bytes), -1) << "a cut descriptor is not cached";

    int whole = s.readStringDescriptor(s.fd.load(), s.language, product, bytes, sizeof bytes);
    EXPECT_EQ(whole, bytes[0]);
    EXPECT_EQ(s.cachedString(s.language, product, bytes, sizeof bytes), whole);

    EXPECT_LT(s.readStringDescriptor(s.fd.load(), s.language, 0x42, bytes, sizeof bytes), 0);
    EXPECT_EQ(s.cachedString(s.language, 0x42, bytes, sizeof bytes), 0);
    s.closeDevice();

    // Without a descriptor nothing reached the device and nothing is recorded.
    EXPECT_LT(s.readStringDescriptor(-1, s.language, 0x43, bytes, sizeof bytes), 0);
    EXPECT_EQ(s.cachedString(s.language, 0x43, bytes, sizeof bytes), -1);
    bytes[0] = 0x55;
    EXPECT_EQ(usbControl(-1, 6, 0x80, 0x0300, 0, bytes, 8, 1000), -1);
    EXPECT_EQ(bytes[0], 0) << "the buffer is zero-filled first";
}

TEST_F(UsbDescriptors, AShortLanguageListMeansNoStringsAtAttach)
{
    int row = scannedRow("broken fault=short-langids at=1-1.2");
    UsbDeviceSlot& s = usbDeviceTable[row];
    EXPECT_EQ(s.state.load(), kUsbSlotPresent);
    EXPECT_EQ(s.languageKnown, 0);
    uint8_t bytes[255];
    for (int index : {1, 2, 3, 0xEE})
        EXPECT_EQ(s.cachedString(0x0409, index, bytes, sizeof bytes), -1) << index;
    EXPECT_EQ(published(UsbPublishKind::Attach, row), 1) << "the device itself is shared";
}

TEST_F(UsbDescriptors, TheStringCacheOfARowIsBounded)
{
    UsbDeviceSlot& s = slot();
    s.reset();
    const uint8_t text[] = {4, 3, 'a', 0};
    for (int i = 0; i < kUsbStringCacheLimit + 40; ++i)
        s.cacheString(0x0400 + i / 256, i % 256, text, sizeof text);
    EXPECT_EQ(s.stringCacheEntries, kUsbStringCacheLimit);
    uint8_t out[8];
    EXPECT_EQ(s.cachedString(0x0400, 0, out, sizeof out), 4);
    EXPECT_EQ(s.cachedString(0x0401, 30, out, sizeof out), -1);

    // The first entry of a language and index stays.
    const uint8_t other[] = {6, 3, 'b', 0, 'c', 0};
    s.cacheString(0x0400, 0, other, sizeof other);
    EXPECT_EQ(s.cachedString(0x0400, 0, out, sizeof out), 4);

    s.reset();
    EXPECT_EQ(s.stringCacheEntries, 0);
    EXPECT_EQ(s.cachedString(0x0400, 0, out, sizeof out), -1);
}

} // namespace
