// A mass-storage device: bulk-only transport (bulk OUT 0x02, bulk IN 0x81)
// with SCSI INQUIRY, TEST UNIT READY, REQUEST SENSE, READ CAPACITY(10),
// READ(10) and WRITE(10) over a disk image file of 512-byte blocks. Other
// commands fail with CHECK CONDITION and the sense ILLEGAL REQUEST. Data is
// read from and written to the image as the transfers go, so a large
// transfer needs no large buffer.
//
// Options: image=PATH (created with size= bytes when missing; K and M
// suffixes), size=BYTES (default 4M).
#include "platform/usbfs/sim/usb_sim_model.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace usbsim {

namespace {

constexpr uint32_t kBlockSize = 512;
constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;

uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint32_t be32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

void putLe32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void putBe32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

bool parseSize(const std::string& text, uint64_t* size)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text.c_str(), &end, 10);
    if (errno != 0)
        return false;
    std::string suffix = end;
    uint64_t unit = suffix.empty() ? 1 : suffix == "K" ? 1024 : suffix == "M" ? 1024 * 1024 : 0;
    if (unit == 0 || value > (1ull << 40) / unit)
        return false;
    *size = value * unit;
    return true;
}

struct Sense {
    uint8_t key = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
};

constexpr Sense kNoSense{};
constexpr Sense kInvalidOpcode{0x05, 0x20, 0};
constexpr Sense kInvalidField{0x05, 0x24, 0};
constexpr Sense kLbaOutOfRange{0x05, 0x21, 0};
constexpr Sense kLunNotSupported{0x05, 0x25, 0};
constexpr Sense kReadError{0x03, 0x11, 0};
constexpr Sense kWriteError{0x03, 0x0c, 0};

enum class Phase { Command, DataIn, DataOut, Status };

class StorageModel : public DeviceModel {
public:
    StorageModel() : DeviceModel("storage")
    {
        device_ = makeDeviceDescriptor(0x0200, 0, 0, 0, 64, 0x1209, 0x0003, 0x0100, 1);
        configs_.push_back(ConfigBuilder()
                               .config(1, 0, 0x80, 100)
                               .interface(0, 0, 8, 6, 0x50, 0)
                               .endpoint(kBulkIn, 2, 512, 0)
                               .endpoint(kBulkOut, 2, 512, 0)
                               .finish());
        setString(kManufacturerIndex, "WEV Simulation");
        setString(kProductIndex, "Mass Storage");
        setString(kSerialIndex, "MS0001");
        speed_ = Speed::High;
    }

    ~StorageModel() override
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    bool openImage(const ModelOptions& options, std::string* error)
    {
        std::string path = options.get("image");
        uint64_t size = 4 * 1024 * 1024;
        if (options.has("size") && !parseSize(options.get("size"), &size)) {
            *error = "size must be a number of bytes (K and M suffixes), not '" + options.get("size") + "'";
            return false;
        }
        if (path.empty() || path[0] != '/') {
            *error = "image must be an absolute path, not '" + path + "'";
            return false;
        }
        fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ < 0 && errno == ENOENT) {
            fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd_ >= 0 && ftruncate(fd_, static_cast<off_t>(size)) != 0) {
                *error = "cannot size image " + path + ": " + strerror(errno);
                return false;
            }
        }
        if (fd_ < 0) {
            *error = "cannot open image " + path + ": " + strerror(errno);
            return false;
        }
        struct stat st;
        if (fstat(fd_, &st) != 0 || st.st_size < static_cast<off_t>(kBlockSize)) {
            *error = "image " + path + " holds less than one block";
            return false;
        }
        blocks_ = static_cast<uint64_t>(st.st_size) / kBlockSize;
        if (blocks_ > 0xffffffffull)
            blocks_ = 0xffffffffull;
        return true;
    }

    int control(const Setup& s, uint8_t* data) override
    {
        if (s.requestType == 0x21 && s.request == 0xff) {  // Bulk-Only Mass Storage Reset
            phase_ = Phase::Command;
            return 0;
        }
        if (s.requestType == 0xa1 && s.request == 0xfe) {  // Get Max LUN
            if (s.length < 1)
                return -EPIPE;
            data[0] = 0;
            return 1;
        }
        return -EPIPE;
    }

    int transferOut(uint8_t endpoint, const uint8_t* data, int length) override
    {
        if (endpoint != kBulkOut)
            return -EPIPE;
        if (phase_ == Phase::Command)
            return command(data, length);
        if (phase_ == Phase::DataOut)
            return dataOut(data, length);
        return -EPIPE;
    }

    int transferIn(uint8_t endpoint, uint8_t* data, int length) override
    {
        if (endpoint != kBulkIn)
            return -EPIPE;
        if (phase_ == Phase::DataIn)
            return dataIn(data, length);
        if (phase_ == Phase::Status)
            return status(data, length);
        return kNak;
    }

    void busReset() override { phase_ = Phase::Command; }

    const char* kernelDriverFor(int interfaceNumber) const override
    {
        return interfaceNumber == 0 ? "usb-storage" : nullptr;
    }

private:
    int command(const uint8_t* cbw, int length)
    {
        if (length != 31 || le32(cbw) != kCbwSignature)
            return -EPIPE;  // not a command block: the host must recover with a reset
        tag_ = le32(cbw + 4);
        expected_ = le32(cbw + 8);
        hostIn_ = (cbw[12] & 0x80) != 0;
        transferred_ = 0;
        status_ = 0;
        inBuffer_.clear();
        diskIn_ = 0;
        diskOut_ = 0;
        uint8_t lun = cbw[13] & 0x0f;
        const uint8_t* cb = cbw + 15;
        if (lun != 0)
            fail(kLunNotSupported);
        else
            execute(cb);
        startDataPhase();
        return length;
    }

    void execute(const uint8_t* cb)
    {
        switch (cb[0]) {
        case 0x00:  // TEST UNIT READY
            break;
        case 0x03:  // REQUEST SENSE
            requestSense(cb[4]);
            return;
        case 0x12:  // INQUIRY
            inquiry(cb);
            break;
        case 0x25:  // READ CAPACITY(10)
            inBuffer_.assign(8, 0);
            putBe32(inBuffer_.data(), static_cast<uint32_t>(blocks_ - 1));
            putBe32(inBuffer_.data() + 4, kBlockSize);
            break;
        case 0x28:  // READ(10)
            blockCommand(cb, true);
            break;
        case 0x2a:  // WRITE(10)
            blockCommand(cb, false);
            break;
        default:
            fail(kInvalidOpcode);
            return;
        }
        if (status_ == 0)
            sense_ = kNoSense;
    }

    void requestSense(uint8_t allocation)
    {
        inBuffer_.assign(18, 0);
        inBuffer_[0] = 0x70;
        inBuffer_[2] = sense_.key;
        inBuffer_[7] = 10;
        inBuffer_[12] = sense_.asc;
        inBuffer_[13] = sense_.ascq;
        if (inBuffer_.size() > allocation)
            inBuffer_.resize(allocation);
        sense_ = kNoSense;
    }

    void inquiry(const uint8_t* cb)
    {
        if (cb[1] & 1) {
            fail(kInvalidField);
            return;
        }
        static const char kIdentity[] = "WEVSIM  Simulated Disk  1.00";  // vendor 8, product 16, revision 4
        inBuffer_.assign(36, 0);
        inBuffer_[1] = 0x80;  // removable
        inBuffer_[2] = 0x04;
        inBuffer_[3] = 0x02;
        inBuffer_[4] = 31;
        memcpy(inBuffer_.data() + 8, kIdentity, 28);
        size_t allocation = static_cast<size_t>(cb[3] << 8 | cb[4]);
        if (inBuffer_.size() > allocation)
            inBuffer_.resize(allocation);
    }

    void blockCommand(const uint8_t* cb, bool read)
    {
        uint64_t lba = be32(cb + 2);
        uint64_t count = static_cast<uint64_t>(cb[7] << 8 | cb[8]);
        if (lba + count > blocks_) {
            fail(kLbaOutOfRange);
            return;
        }
        offset_ = static_cast<off_t>(lba * kBlockSize);
        if (read)
            diskIn_ = count * kBlockSize;
        else
            diskOut_ = count * kBlockSize;
    }

    void fail(const Sense& sense)
    {
        status_ = 1;
        sense_ = sense;
        inBuffer_.clear();
        diskIn_ = 0;
        diskOut_ = 0;
    }

    // Matches what the device has to move with what the host announced.
    void startDataPhase()
    {
        uint64_t deviceIn = inBuffer_.size() + diskIn_;
        if (expected_ == 0) {
            if (deviceIn > 0 || diskOut_ > 0)
                status_ = 2;  // phase error: the host expects no data
            inRemaining_ = 0;
            phase_ = Phase::Status;
            return;
        }
        if (hostIn_) {
            if (diskOut_ > 0)
                status_ = 2;
            inRemaining_ = deviceIn < expected_ ? deviceIn : expected_;
            diskIn_ = diskIn_ < inRemaining_ ? diskIn_ : inRemaining_;
            phase_ = Phase::DataIn;
            return;
        }
        if (deviceIn > 0)
            status_ = 2;
        outRemaining_ = expected_;
        if (diskOut_ > expected_)
            diskOut_ = expected_;
        phase_ = Phase::DataOut;
    }

    int dataIn(uint8_t* data, int length)
    {
        if (inRemaining_ == 0) {
            phase_ = Phase::Status;  // zero-length packet ends the short data stage
            return 0;
        }
        size_t n = inRemaining_ < static_cast<uint64_t>(length) ? static_cast<size_t>(inRemaining_)
                                                               : static_cast<size_t>(length);
        if (!inBuffer_.empty()) {
            n = n < inBuffer_.size() ? n : inBuffer_.size();
            memcpy(data, inBuffer_.data(), n);
            inBuffer_.erase(inBuffer_.begin(), inBuffer_.begin() + static_cast<std::ptrdiff_t>(n));
        } else {
            ssize_t got = pread(fd_, data, n, offset_);
            if (got != static_cast<ssize_t>(n)) {
                fail(kReadError);
                inRemaining_ = 0;
                phase_ = Phase::Status;
                return -EPIPE;
            }
            offset_ += static_cast<off_t>(n);
        }
        inRemaining_ -= n;
        transferred_ += static_cast<uint32_t>(n);
        if (inRemaining_ == 0 && (n < static_cast<size_t>(length) || transferred_ == expected_))
            phase_ = Phase::Status;
        return static_cast<int>(n);
    }

    int dataOut(const uint8_t* data, int length)
    {
        size_t n = static_cast<size_t>(length);
        size_t toDisk = diskOut_ < n ? static_cast<size_t>(diskOut_) : n;
        if (toDisk > 0 && status_ == 0) {
            if (pwrite(fd_, data, toDisk, offset_) != static_cast<ssize_t>(toDisk)) {
                fail(kWriteError);
            } else {
                offset_ += static_cast<off_t>(toDisk);
                diskOut_ -= toDisk;
                transferred_ += static_cast<uint32_t>(toDisk);
            }
        }
        outRemaining_ = outRemaining_ > n ? outRemaining_ - n : 0;
        if (outRemaining_ == 0)
            phase_ = Phase::Status;
        return length;
    }

    int status(uint8_t* data, int length)
    {
        if (length < 13)
            return -EOVERFLOW;
        putLe32(data, kCswSignature);
        putLe32(data + 4, tag_);
        putLe32(data + 8, expected_ - transferred_);
        data[12] = status_;
        phase_ = Phase::Command;
        return 13;
    }

    int fd_ = -1;
    uint64_t blocks_ = 0;
    Phase phase_ = Phase::Command;
    uint32_t tag_ = 0;
    uint32_t expected_ = 0;
    uint32_t transferred_ = 0;
    bool hostIn_ = false;
    uint8_t status_ = 0;
    Sense sense_;
    std::vector<uint8_t> inBuffer_;
    uint64_t diskIn_ = 0;
    uint64_t diskOut_ = 0;
    uint64_t inRemaining_ = 0;
    uint64_t outRemaining_ = 0;
    off_t offset_ = 0;
};

} // namespace

std::unique_ptr<DeviceModel> makeStorageModel(const ModelOptions& options, std::string* error)
{
    std::unique_ptr<StorageModel> model(new StorageModel());
    if (!model->openImage(options, error) || !model->applyOptions(options, error))
        return nullptr;
    return model;
}

} // namespace usbsim
