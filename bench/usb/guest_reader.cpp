// READ(10) throughput of a USB mass-storage device over the bulk-only
// transport, measured inside the real-USB guest in one of two ways with the
// same loop, and a third figure without USB:
//
//   guest_reader direct [options]
//       straight through the kernel's usbfs: finds the device in sysfs,
//       detaches the kernel's driver from interface 0, claims it, and runs
//       every transfer as usbfs URBs (submit, poll, reap);
//   guest_reader server HOST PORT [options]
//       through the program's USB sharing protocol on HOST:PORT: device list,
//       connect, set configuration, and every transfer as one transfer
//       request whose answers are awaited before the next request; first
//       an "idle" line: the program's process at rest for 3 seconds;
//   guest_reader loopback [options]
//       no USB at all: the server mode's requests and answers for the same
//       sizes over the guest's loopback TCP with a trivial peer (a child
//       process), which shows what the network stack alone costs;
//   guest_reader relay [options]
//       the server mode's client and frames over the guest's loopback TCP to
//       a minimal relay (a child process) that takes the device as direct
//       mode does and runs every transfer request as the usbfs URBs the
//       server makes of it, answering each URB as the server does: the
//       device work, copies and switches of the server mode without the
//       server, to compare the server with.
//
// On the host (server_alone_bench.py) the same code measures the server
// against C baselines across the veth link:
//
//   guest_reader peer PORT          the loopback mode's trivial peer, a
//                                   process per connection, until killed
//   guest_reader peer-client HOST PORT [options]
//                                   the loopback mode's client against it
//   guest_reader echo-server PORT   a plain TCP echo, until killed
//   guest_reader echo HOST PORT [--size N] [--budget S]
//                                   round trips of N bytes through it
//   guest_reader urb-rtt HOST PORT --port N [--size N] [--budget S]
//                                   round trips of one bulk OUT URB of N
//                                   bytes to the loopback device on port N
//                                   of the server (each read back, untimed)
//
// "server" mode selects the device by --port instead of --device when given;
// GUEST_READER_SERVER_PID names the process whose usage it samples (and
// leaves out the idle report) where several programs are named wev.
//
// Options: --device VID:PID (hex, default 46f4:0001), --sizes N,N,... (bytes
// per READ(10), multiples of 512, default 4096,65536,1048576), --total BYTES
// (per size, default 64 MiB), --budget SECONDS (per size, default 20).
//
// The disk is expected to hold the benchmark's pattern: every 16 bytes of
// sector L are "WEVBENCH" and L as a little-endian u64. Four commands per
// size are checked whole before timing; during timing the first 16 bytes of
// every sector are checked.
//
// One line per size on stdout:
//   result mode=direct size=65536 commands=N bytes=B seconds=S bytes_per_second=R urbs=U
//          switches_per_command=C reader_cpu=S reader_faults_per_command=F
//          [server_cpu=S server_faults_per_command=F]
// (urbs counts usbfs URBs in direct mode and transfer requests in server
// and relay mode; switches are the whole guest's; server_cpu and
// server_faults are the program's process in server mode, the relay in relay
// mode and the trivial peer in loopback mode.)
// Failures go to stderr and end the program with exit code 1.
//
// Bulk IN transfers are cut into URBs of at most 64 KiB, each submitted when
// the previous one came back full, the way the program's server does it, so
// every mode makes the same requests of the device. Direct mode and the
// relay refuse a device whose interface another usbfs user has claimed (the
// program's server while a client has the device connected).

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr int kWaitMs = 10000;
constexpr uint32_t kMaxUrb = 65536;
constexpr uint32_t kSector = 512;
constexpr char kPattern[8] = {'W', 'E', 'V', 'B', 'E', 'N', 'C', 'H'};

// Set while a device is taken from its kernel driver: a failure gives it
// back before the program ends.
void (*releaseOnFailure)() = nullptr;

[[noreturn]] void die(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("guest_reader: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    if (void (*release)() = releaseOnFailure) {
        releaseOnFailure = nullptr;
        release();
    }
    exit(1);
}

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

uint32_t be32(const unsigned char* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void putBe32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

uint32_t le32(const unsigned char* p)
{
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void putLe32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// A page-aligned buffer, so both modes hand the kernel the same kind of memory.
struct Buffer {
    unsigned char* data = nullptr;
    size_t size = 0;

    explicit Buffer(size_t n) : size(n)
    {
        void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            die("no memory for a %zu-byte buffer", n);
        data = static_cast<unsigned char*>(p);
    }
    ~Buffer() { munmap(data, size); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
};

struct Endpoints {
    unsigned char in = 0;
    unsigned char out = 0;
};

// The bulk endpoints of interface 0, alternate setting 0, in a configuration
// descriptor with everything that follows it.
Endpoints bulkEndpoints(const unsigned char* p, size_t n)
{
    Endpoints e;
    bool inInterface0 = false;
    for (size_t at = 0; at + 2 <= n;) {
        size_t length = p[at];
        if (length < 2 || at + length > n)
            break;
        unsigned char type = p[at + 1];
        if (type == USB_DT_INTERFACE && length >= USB_DT_INTERFACE_SIZE)
            inInterface0 = p[at + 2] == 0 && p[at + 3] == 0;
        else if (type == USB_DT_ENDPOINT && length >= USB_DT_ENDPOINT_SIZE && inInterface0
                 && (p[at + 3] & USB_ENDPOINT_XFERTYPE_MASK) == USB_ENDPOINT_XFER_BULK) {
            unsigned char address = p[at + 2];
            if ((address & USB_DIR_IN) && !e.in)
                e.in = address;
            else if (!(address & USB_DIR_IN) && !e.out)
                e.out = address;
        }
        at += length;
    }
    return e;
}

// ---------------------------------------------------------------- transports

class Transport {
public:
    virtual ~Transport() = default;
    // Sends all of data; 0 or a message.
    virtual const char* bulkOut(unsigned char endpoint, const unsigned char* data, uint32_t n) = 0;
    // Reads up to n bytes, in URBs of at most 64 KiB, ending early on a short
    // one; *got is what came.
    virtual const char* bulkIn(unsigned char endpoint, unsigned char* data, uint32_t n, uint32_t* got) = 0;
    uint64_t urbs = 0;
};

// ----- usbfs

class UsbfsTransport : public Transport {
public:
    ~UsbfsTransport() override { close(); }

    void open(unsigned vendor, unsigned product)
    {
        std::string dir = findDevice(vendor, product);
        unsigned bus = readNumber(dir + "/busnum"), dev = readNumber(dir + "/devnum");
        char node[64];
        snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus, dev);
        fd_ = ::open(node, O_RDWR | O_CLOEXEC);
        if (fd_ < 0)
            die("open %s: %s", node, strerror(errno));
        fprintf(stderr, "guest_reader: usbfs: %s is %s\n", dir.c_str(), node);
        // The usbfs file starts with the cached device descriptor, then the
        // configurations: no request reaches the device for them.
        unsigned char descriptors[4096];
        ssize_t n = pread(fd_, descriptors, sizeof descriptors, 0);
        if (n < USB_DT_DEVICE_SIZE)
            die("read descriptors of %s: %s", node, n < 0 ? strerror(errno) : "too short");
        endpoints = bulkEndpoints(descriptors + USB_DT_DEVICE_SIZE, static_cast<size_t>(n) - USB_DT_DEVICE_SIZE);
        if (!endpoints.in || !endpoints.out)
            die("%s: interface 0 has no bulk IN and OUT endpoints", node);

        // Another usbfs user (the program's server, for one) holding the
        // interface would lose it to the detach below: refuse instead.
        usbdevfs_getdriver holder{};
        holder.interface = 0;
        if (ioctl(fd_, USBDEVFS_GETDRIVER, &holder) == 0 && strcmp(holder.driver, "usbfs") == 0)
            die("%s: interface 0 is claimed by another usbfs user", node);
        usbdevfs_ioctl detach{};
        detach.ifno = 0;
        detach.ioctl_code = USBDEVFS_DISCONNECT;
        // ENODATA: no driver was bound, which is just as good.
        if (ioctl(fd_, USBDEVFS_IOCTL, &detach) < 0 && errno != ENODATA)
            die("detach the kernel driver of interface 0: %s", strerror(errno));
        detached_ = true;
        int interface = 0;
        if (ioctl(fd_, USBDEVFS_CLAIMINTERFACE, &interface) < 0)
            die("claim interface 0: %s", strerror(errno));
        claimed_ = true;
    }

    // Gives the interface back to the kernel's driver, so the device is as
    // it was for whoever comes next.
    void close()
    {
        if (fd_ < 0)
            return;
        int interface = 0;
        if (claimed_ && ioctl(fd_, USBDEVFS_RELEASEINTERFACE, &interface) < 0)
            fprintf(stderr, "guest_reader: release interface 0: %s\n", strerror(errno));
        if (detached_) {
            usbdevfs_ioctl attach{};
            attach.ifno = 0;
            attach.ioctl_code = USBDEVFS_CONNECT;
            // 1 means the driver was bound again.
            if (ioctl(fd_, USBDEVFS_IOCTL, &attach) < 0)
                fprintf(stderr, "guest_reader: give interface 0 back to its driver: %s\n", strerror(errno));
        }
        ::close(fd_);
        fd_ = -1;
    }

    const char* bulkOut(unsigned char endpoint, const unsigned char* data, uint32_t n) override
    {
        uint32_t got = 0;
        return transfer(endpoint, const_cast<unsigned char*>(data), n, &got);
    }

    const char* bulkIn(unsigned char endpoint, unsigned char* data, uint32_t n, uint32_t* got) override
    {
        *got = 0;
        do {
            uint32_t part = n - *got < kMaxUrb ? n - *got : kMaxUrb;
            uint32_t actual = 0;
            if (const char* e = transfer(endpoint, data + *got, part, &actual))
                return e;
            *got += actual;
            if (actual < part)
                break;
        } while (*got < n);
        return nullptr;
    }

    // Hands one URB to the kernel; 0 or a message.
    const char* submit(usbdevfs_urb* urb, unsigned char endpoint, unsigned char* data, uint32_t n)
    {
        static char message[160];
        *urb = usbdevfs_urb{};
        urb->type = USBDEVFS_URB_TYPE_BULK;
        urb->endpoint = endpoint;
        urb->buffer = data;
        urb->buffer_length = static_cast<int>(n);
        urb->usercontext = urb;
        if (ioctl(fd_, USBDEVFS_SUBMITURB, urb) < 0) {
            snprintf(message, sizeof message, "submit URB on 0x%02x: %s", endpoint, strerror(errno));
            return message;
        }
        ++urbs;
        return nullptr;
    }

    // Waits for the URB submitted last to come back; what it carried in
    // *actual; 0 or a message.
    const char* reap(usbdevfs_urb* urb, uint32_t* actual)
    {
        static char message[160];
        const unsigned endpoint = urb->endpoint;
        usbdevfs_urb* done = nullptr;
        while (ioctl(fd_, USBDEVFS_REAPURBNDELAY, &done) < 0) {
            if (errno != EAGAIN) {
                snprintf(message, sizeof message, "reap URB on 0x%02x: %s", endpoint, strerror(errno));
                return message;
            }
            pollfd p{fd_, POLLOUT, 0};
            int r = poll(&p, 1, kWaitMs);
            if (r == 0) {
                ioctl(fd_, USBDEVFS_DISCARDURB, urb);
                ioctl(fd_, USBDEVFS_REAPURB, &done);
                snprintf(message, sizeof message, "URB on 0x%02x: no completion within %d ms", endpoint, kWaitMs);
                return message;
            }
            if (r < 0 && errno != EINTR) {
                snprintf(message, sizeof message, "poll: %s", strerror(errno));
                return message;
            }
        }
        if (done != urb) {
            snprintf(message, sizeof message, "reaped a URB that was not submitted");
            return message;
        }
        if (urb->status != 0) {
            snprintf(message, sizeof message, "URB on 0x%02x ended with status %d", endpoint, urb->status);
            return message;
        }
        *actual = static_cast<uint32_t>(urb->actual_length);
        return nullptr;
    }

    Endpoints endpoints;

private:
    const char* transfer(unsigned char endpoint, unsigned char* data, uint32_t n, uint32_t* actual)
    {
        usbdevfs_urb urb;
        if (const char* e = submit(&urb, endpoint, data, n))
            return e;
        return reap(&urb, actual);
    }

    static unsigned readNumber(const std::string& path)
    {
        FILE* f = fopen(path.c_str(), "r");
        unsigned v = 0;
        if (!f || fscanf(f, "%u", &v) != 1)
            die("read %s", path.c_str());
        fclose(f);
        return v;
    }

    static unsigned readHex(const std::string& path)
    {
        FILE* f = fopen(path.c_str(), "r");
        unsigned v = 0;
        if (!f)
            return ~0u;
        if (fscanf(f, "%x", &v) != 1)
            v = ~0u;
        fclose(f);
        return v;
    }

    // The device with these ids, else the first one whose interface 0 is of
    // the mass-storage class.
    static std::string findDevice(unsigned vendor, unsigned product)
    {
        const std::string base = "/sys/bus/usb/devices/";
        DIR* d = opendir(base.c_str());
        if (!d)
            die("open %s: %s", base.c_str(), strerror(errno));
        std::string byIds, byClass;
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name[0] == '.' || name.compare(0, 3, "usb") == 0)
                continue;
            size_t colon = name.find(':');
            if (colon == std::string::npos) {
                if (byIds.empty() && readHex(base + name + "/idVendor") == vendor
                    && readHex(base + name + "/idProduct") == product)
                    byIds = base + name;
            } else if (byClass.empty() && readHex(base + name + "/bInterfaceNumber") == 0
                       && readHex(base + name + "/bInterfaceClass") == USB_CLASS_MASS_STORAGE) {
                byClass = base + name.substr(0, colon);
            }
        }
        closedir(d);
        if (!byIds.empty())
            return byIds;
        if (!byClass.empty())
            return byClass;
        die("no USB device %04x:%04x and no mass-storage interface under %s", vendor, product, base.c_str());
    }

    int fd_ = -1;
    bool detached_ = false;
    bool claimed_ = false;
};

// ----- the USB sharing protocol

constexpr size_t kRequestHeader = 16;
constexpr size_t kReplyHeader = 24;
constexpr uint32_t kReplyBase = 0x1000;
constexpr uint32_t kOpVersion = 1;
constexpr uint32_t kOpTransfer = 8;
constexpr uint32_t kOpSetConfiguration = 21;
constexpr uint32_t kOpConnect = 25;
constexpr uint32_t kOpDisconnect = 6;
constexpr uint32_t kOpDeviceList = 29;
constexpr uint32_t kUrbFinal = kReplyBase + kOpTransfer;
constexpr uint32_t kUrbIntermediate = 0x101C;
constexpr unsigned char kTypeControl = 2;
constexpr unsigned char kTypeBulk = 3;
constexpr size_t kTransferHead = kRequestHeader + 12;

// The frames of a transfer and of its answers, one encoding and decoding for
// every side that speaks them (the client, the loopback peer, the relay), so
// that all of them move the same bytes.
struct TransferRequest {
    uint32_t tag = 0;
    unsigned char row = 0;
    unsigned char port = 0;
    unsigned char endpoint = 0;
    unsigned char type = 0;
    uint32_t inLength = 0;
    uint32_t outLength = 0;
};

void encodeTransferRequest(unsigned char* head, const TransferRequest& r)
{
    memset(head, 0, kTransferHead);
    putBe32(head + 4, kOpTransfer);
    putBe32(head + 8, r.tag);
    head[16] = r.row;
    head[17] = r.port;
    head[18] = r.endpoint;
    head[19] = r.type;
    putBe32(head + 20, r.inLength);
    putBe32(head + 24, r.outLength);
}

TransferRequest decodeTransferRequest(const unsigned char* head)
{
    TransferRequest r;
    r.tag = be32(head + 8);
    r.row = head[16];
    r.port = head[17];
    r.endpoint = head[18];
    r.type = head[19];
    r.inLength = be32(head + 20);
    r.outLength = be32(head + 24);
    return r;
}

struct Reply {
    uint32_t opcode = 0;
    uint32_t tag = 0;
    uint32_t length = 0;
    uint32_t status = 0;
    int32_t error = 0;
};

void encodeReply(unsigned char* header, const Reply& r)
{
    memset(header, 0, kReplyHeader);
    putBe32(header + 4, r.opcode);
    putBe32(header + 8, r.tag);
    putBe32(header + 12, r.length);
    putBe32(header + 16, r.status);
    putBe32(header + 20, static_cast<uint32_t>(r.error));
}

Reply decodeReply(const unsigned char* header)
{
    Reply r;
    r.opcode = be32(header + 4);
    r.tag = be32(header + 8);
    r.length = be32(header + 12);
    r.status = be32(header + 16);
    r.error = static_cast<int32_t>(be32(header + 20));
    return r;
}

void setNoDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int connectTcp(const char* host, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1)
        die("%s is not an IPv4 address", host);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        die("socket: %s", strerror(errno));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        if (errno != EINPROGRESS)
            die("connect %s:%d: %s", host, port, strerror(errno));
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, kWaitMs) != 1)
            die("connect %s:%d: no answer within %d ms", host, port, kWaitMs);
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error)
            die("connect %s:%d: %s", host, port, strerror(error));
    }
    // Requests are small and each waits for its answer: no Nagle delay.
    setNoDelay(fd);
    return fd;
}

// Exactly n bytes within the time-out; 0 or a message.
const char* sendAll(int fd, const iovec* parts, int count)
{
    static char message[120];
    std::vector<iovec> left(parts, parts + count);
    size_t first = 0;
    while (first < left.size()) {
        ssize_t n = writev(fd, left.data() + first, static_cast<int>(left.size() - first));
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                snprintf(message, sizeof message, "send: %s", strerror(errno));
                return message;
            }
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, kWaitMs) == 0)
                return "send: the peer took nothing within the time-out";
            continue;
        }
        size_t sent = static_cast<size_t>(n);
        while (first < left.size() && sent >= left[first].iov_len)
            sent -= left[first++].iov_len;
        if (first < left.size()) {
            left[first].iov_base = static_cast<char*>(left[first].iov_base) + sent;
            left[first].iov_len -= sent;
        }
    }
    return nullptr;
}

constexpr char kPeerClosed[] = "the peer closed the connection";

const char* receiveAll(int fd, unsigned char* data, size_t n)
{
    static char message[120];
    size_t got = 0;
    while (got < n) {
        ssize_t r = recv(fd, data + got, n - got, 0);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (r == 0)
            return kPeerClosed;
        if (errno != EAGAIN && errno != EINTR) {
            snprintf(message, sizeof message, "receive: %s", strerror(errno));
            return message;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kWaitMs) == 0) {
            snprintf(message, sizeof message, "no answer within %d ms", kWaitMs);
            return message;
        }
    }
    return nullptr;
}

// The next transfer request of a client, its OUT data into out (room
// bytes); false once the client has closed the connection. A frame that
// makes no sense ends the program.
bool receiveTransferRequest(int fd, TransferRequest* r, unsigned char* out, size_t room, const char* who)
{
    unsigned char head[kTransferHead];
    const char* e = receiveAll(fd, head, sizeof head);
    if (e == kPeerClosed)
        return false;
    if (e)
        die("%s: %s", who, e);
    if (be32(head + 4) != kOpTransfer)
        die("%s: request %u, not a transfer", who, be32(head + 4));
    *r = decodeTransferRequest(head);
    if (r->outLength > room)
        die("%s: %u bytes of OUT data where %zu fit", who, r->outLength, room);
    if (r->outLength && (e = receiveAll(fd, out, r->outLength)))
        die("%s: %s", who, e);
    return true;
}

// One URB's answer to request r, with the data that URB carried: the final
// one, or one with more to come.
const char* sendUrbAnswer(int fd, const TransferRequest& r, bool final, const unsigned char* data, uint32_t n)
{
    Reply answer;
    answer.opcode = final ? kUrbFinal : kUrbIntermediate;
    answer.tag = r.tag;
    answer.length = n;
    unsigned char header[kReplyHeader];
    encodeReply(header, answer);
    iovec parts[2] = {{header, sizeof header}, {const_cast<unsigned char*>(data), n}};
    return sendAll(fd, parts, n ? 2 : 1);
}

class ProtocolTransport : public Transport {
public:
    ~ProtocolTransport() override { close(); }

    // The device with vendor:product, or (devicePort above 0) the one on
    // that port of the server.
    void open(const char* host, int port, unsigned vendor, unsigned product, unsigned devicePort = 0)
    {
        fd_ = connectTcp(host, port);
        unsigned char data[1024];
        Reply r = request(kOpVersion, nullptr, 0, data, sizeof data);
        if (r.opcode != kReplyBase + kOpVersion || r.length < 6)
            die("version request on %s:%d: reply 0x%x with %u bytes", host, port, r.opcode, r.length);
        r = request(kOpDeviceList, nullptr, 0, data, sizeof data);
        if (r.status != 0 || r.length < 3)
            die("device list: status %u error %d, %u bytes", r.status, r.error, r.length);
        unsigned count = data[0];
        if (3 + 22 * count > r.length)
            die("device list of %u entries in %u bytes", count, r.length);
        bool found = false;
        for (unsigned i = 0; i < count && !found; ++i) {
            const unsigned char* e = data + 3 + 22 * i;
            // The descriptor's 16-bit fields come big-endian.
            const bool ids = (unsigned{e[12]} << 8 | e[13]) == vendor && (unsigned{e[14]} << 8 | e[15]) == product;
            if (devicePort ? e[1] == devicePort : ids) {
                row_ = e[0];
                port_ = e[1];
                found = true;
            }
        }
        if (!found && devicePort)
            die("the server lists no device on port %u (%u devices)", devicePort, count);
        if (!found)
            die("the server lists no device %04x:%04x (%u devices)", vendor, product, count);
        fprintf(stderr, "guest_reader: server: %04x:%04x is row %u on port %u\n", vendor, product, row_, port_);

        unsigned char connect[34] = {row_, port_};
        memcpy(connect + 2, "guest_reader", 12);
        r = request(kOpConnect, connect, sizeof connect, data, sizeof data);
        if (r.status != 0)
            die("connect row %u port %u: status %u error %d", row_, port_, r.status, r.error);
        connected_ = true;
        unsigned char configuration[4] = {row_, port_, 1, 0};
        r = request(kOpSetConfiguration, configuration, sizeof configuration, data, sizeof data);
        if (r.status != 0)
            die("set configuration 1: status %u error %d", r.status, r.error);

        // GET_DESCRIPTOR(configuration 0), answered from the server's cache.
        unsigned char setup[8] = {USB_DIR_IN, USB_REQ_GET_DESCRIPTOR, USB_DT_CONFIG, 0, 0, 0, 0, 255};
        uint32_t got = 0;
        if (const char* e = transfer(0x80, kTypeControl, setup, sizeof setup, data, 255, &got))
            die("configuration descriptor: %s", e);
        endpoints = bulkEndpoints(data, got);
        if (!endpoints.in || !endpoints.out)
            die("the configuration has no bulk IN and OUT endpoints on interface 0");
    }

    // A peer that takes transfer requests only (the loopback peer, the
    // relay): no session to open, the endpoints known.
    void attach(int fd, Endpoints e)
    {
        fd_ = fd;
        endpoints = e;
    }

    void close()
    {
        if (fd_ < 0)
            return;
        if (connected_) {
            unsigned char body[2] = {row_, port_};
            unsigned char data[64];
            Reply r = request(kOpDisconnect, body, sizeof body, data, sizeof data);
            if (r.status != 0)
                fprintf(stderr, "guest_reader: disconnect: status %u error %d\n", r.status, r.error);
        }
        ::close(fd_);
        fd_ = -1;
    }

    const char* bulkOut(unsigned char endpoint, const unsigned char* data, uint32_t n) override
    {
        uint32_t got = 0;
        return transfer(endpoint, kTypeBulk, data, n, nullptr, 0, &got);
    }

    const char* bulkIn(unsigned char endpoint, unsigned char* data, uint32_t n, uint32_t* got) override
    {
        return transfer(endpoint, kTypeBulk, nullptr, 0, data, n, got);
    }

    Endpoints endpoints;

private:
    // One request with a reply; a failure to talk ends the program.
    Reply request(uint32_t opcode, const unsigned char* body, size_t n, unsigned char* data, size_t room)
    {
        unsigned char header[kRequestHeader] = {};
        putBe32(header + 4, opcode);
        putBe32(header + 8, ++tag_);
        iovec parts[2] = {{header, sizeof header}, {const_cast<unsigned char*>(body), n}};
        if (const char* e = sendAll(fd_, parts, n ? 2 : 1))
            die("request %u: %s", opcode, e);
        Reply r;
        if (const char* e = readReply(&r, data, room))
            die("request %u: %s", opcode, e);
        if (r.opcode != kReplyBase + opcode || r.tag != tag_)
            die("request %u: reply 0x%x for tag %u", opcode, r.opcode, r.tag);
        return r;
    }

    // The header, then its data straight into data (at most room bytes).
    const char* readReply(Reply* r, unsigned char* data, size_t room)
    {
        static char message[120];
        unsigned char header[kReplyHeader] = {};
        if (const char* e = receiveAll(fd_, header, kRequestHeader))
            return e;
        *r = decodeReply(header);
        if (r->opcode < kReplyBase) {
            // A notice: the device went away or the administrator took it.
            snprintf(message, sizeof message, "notice %u from the server", r->opcode);
            return message;
        }
        if (const char* e = receiveAll(fd_, header + kRequestHeader, kReplyHeader - kRequestHeader))
            return e;
        *r = decodeReply(header);
        if (r->length > room) {
            snprintf(message, sizeof message, "reply 0x%x with %u bytes where %zu fit", r->opcode, r->length, room);
            return message;
        }
        return r->length ? receiveAll(fd_, data, r->length) : nullptr;
    }

    // One transfer request, then its answers until the final one.
    const char* transfer(unsigned char endpoint, unsigned char type, const unsigned char* out, uint32_t outLength,
                         unsigned char* in, uint32_t inLength, uint32_t* got)
    {
        static char message[160];
        TransferRequest request;
        const uint32_t id = request.tag = ++tag_;
        request.row = row_;
        request.port = port_;
        request.endpoint = endpoint;
        request.type = type;
        request.inLength = inLength;
        request.outLength = outLength;
        unsigned char head[kTransferHead];
        encodeTransferRequest(head, request);
        iovec parts[2] = {{head, sizeof head}, {const_cast<unsigned char*>(out), outLength}};
        if (const char* e = sendAll(fd_, parts, outLength ? 2 : 1))
            return e;
        ++urbs;
        *got = 0;
        for (;;) {
            Reply r;
            if (const char* e = readReply(&r, in + *got, inLength - *got))
                return e;
            if (r.tag != id || (r.opcode != kUrbFinal && r.opcode != kUrbIntermediate)) {
                snprintf(message, sizeof message, "answer 0x%x for URB %u while waiting for URB %u", r.opcode,
                         r.tag, id);
                return message;
            }
            if (r.status != 0) {
                snprintf(message, sizeof message, "URB on 0x%02x: status %u error %d", endpoint, r.status, r.error);
                return message;
            }
            *got += r.length;
            if (r.opcode == kUrbFinal)
                return nullptr;
        }
    }

    int fd_ = -1;
    uint32_t tag_ = 0;
    unsigned char row_ = 0;
    unsigned char port_ = 0;
    bool connected_ = false;
};

// ---------------------------------------------------------------- bulk-only transport

class BulkOnly {
public:
    BulkOnly(Transport& t, Endpoints e) : transport_(t), endpoints_(e) {}

    // One SCSI command with a data-in phase of n bytes; 0 or a message.
    const char* command(const unsigned char* cdb, unsigned cdbLength, unsigned char* data, uint32_t n)
    {
        static char message[160];
        unsigned char cbw[31] = {};
        uint32_t tag = ++tag_;
        putLe32(cbw, 0x43425355);
        putLe32(cbw + 4, tag);
        putLe32(cbw + 8, n);
        cbw[12] = n ? 0x80 : 0x00;
        cbw[14] = static_cast<unsigned char>(cdbLength);
        memcpy(cbw + 15, cdb, cdbLength);
        if (const char* e = transport_.bulkOut(endpoints_.out, cbw, sizeof cbw))
            return e;
        uint32_t got = 0;
        if (n) {
            if (const char* e = transport_.bulkIn(endpoints_.in, data, n, &got))
                return e;
        }
        unsigned char csw[13];
        uint32_t cswLength = 0;
        if (const char* e = transport_.bulkIn(endpoints_.in, csw, sizeof csw, &cswLength))
            return e;
        if (cswLength != sizeof csw || le32(csw) != 0x53425355 || le32(csw + 4) != tag) {
            snprintf(message, sizeof message, "CSW of %u bytes, signature %08x, tag %u for %u", cswLength,
                     cswLength >= 4 ? le32(csw) : 0, cswLength >= 8 ? le32(csw + 4) : 0, tag);
            return message;
        }
        if (csw[12] != 0 || le32(csw + 8) != 0 || got != n) {
            snprintf(message, sizeof message, "command 0x%02x: CSW status %u, residue %u, %u of %u bytes", cdb[0],
                     csw[12], le32(csw + 8), got, n);
            return message;
        }
        return nullptr;
    }

    // A command that may first report a pending unit attention once.
    void commandOrDie(const unsigned char* cdb, unsigned cdbLength, unsigned char* data, uint32_t n)
    {
        if (!command(cdb, cdbLength, data, n))
            return;
        unsigned char sense[18];
        const unsigned char requestSense[6] = {0x03, 0, 0, 0, sizeof sense, 0};
        command(requestSense, sizeof requestSense, sense, sizeof sense);
        if (const char* e = command(cdb, cdbLength, data, n))
            die("%s", e);
    }

    const char* read10(uint32_t lba, uint32_t blocks, unsigned char* data)
    {
        const unsigned char cdb[10] = {0x28,
                                       0,
                                       static_cast<unsigned char>(lba >> 24),
                                       static_cast<unsigned char>(lba >> 16),
                                       static_cast<unsigned char>(lba >> 8),
                                       static_cast<unsigned char>(lba),
                                       0,
                                       static_cast<unsigned char>(blocks >> 8),
                                       static_cast<unsigned char>(blocks),
                                       0};
        return command(cdb, sizeof cdb, data, blocks * kSector);
    }

private:
    Transport& transport_;
    Endpoints endpoints_;
    uint32_t tag_ = 0;
};

// ---------------------------------------------------------------- the measurement

bool sectorHolds(const unsigned char* sector, uint64_t lba, bool whole)
{
    unsigned char expected[16];
    memcpy(expected, kPattern, 8);
    uint64_t le = htole64(lba);
    memcpy(expected + 8, &le, 8);
    for (uint32_t at = 0; at < (whole ? kSector : 16); at += 16)
        if (memcmp(sector + at, expected, 16) != 0)
            return false;
    return true;
}

// Whole sectors, or the first 16 bytes of each: a sector that is missing,
// misplaced or another one's shows either way.
void checkData(const unsigned char* data, uint32_t lba, uint32_t blocks, bool whole)
{
    for (uint32_t i = 0; i < blocks; ++i) {
        if (!sectorHolds(data + size_t{i} * kSector, lba + i, whole))
            die("sector %u does not hold the benchmark's pattern (is the disk prepared?)", lba + i);
    }
}

// What one size cost inside the guest: context switches of the whole guest,
// and CPU time and page faults of this program and of the program's server
// process (none in direct mode). The guest has one virtual CPU, so CPU time
// against wall time shows whether a path is bound by the CPU.
struct Usage {
    unsigned long long switches = 0;
    double self = 0;
    long long selfFaults = 0;
    double server = -1;
    long long serverFaults = -1;
};

// CPU seconds and minor page faults of a process, from /proc/PID/stat.
bool processUsage(pid_t pid, double* cpu, long long* faults)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = fopen(path, "r");
    if (!f)
        return false;
    char line[1024];
    const bool read = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    // The name in parentheses may hold blanks: count fields after its end.
    const char* p = read ? strrchr(line, ')') : nullptr;
    unsigned long long minflt = 0, utime = 0, stime = 0;
    if (!p || sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %llu %*u %*u %*u %llu %llu", &minflt, &utime, &stime) != 3)
        return false;
    *cpu = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    *faults = static_cast<long long>(minflt);
    return true;
}

// The program's process: the one whose name is "wev".
pid_t serverPid()
{
    DIR* d = opendir("/proc");
    if (!d)
        return -1;
    pid_t found = -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        char path[300], name[64] = "";
        snprintf(path, sizeof path, "/proc/%s/comm", e->d_name);
        FILE* f = fopen(path, "r");
        if (!f)
            continue;
        if (fgets(name, sizeof name, f) && strcmp(name, "wev\n") == 0)
            found = static_cast<pid_t>(atoi(e->d_name));
        fclose(f);
        if (found > 0)
            break;
    }
    closedir(d);
    return found;
}

Usage sampleUsage(pid_t server)
{
    Usage u;
    if (FILE* f = fopen("/proc/stat", "r")) {
        char line[512];
        while (fgets(line, sizeof line, f))
            if (sscanf(line, "ctxt %llu", &u.switches) == 1)
                break;
        fclose(f);
    }
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    u.self = static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec)
             + static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    u.selfFaults = r.ru_minflt;
    if (server > 0 && !processUsage(server, &u.server, &u.serverFaults)) {
        u.server = -1;
        u.serverFaults = -1;
    }
    return u;
}

void printResult(const char* mode, uint32_t size, uint64_t commands, uint64_t bytes, double seconds, uint64_t urbs,
                 const Usage& before, const Usage& after)
{
    const double n = commands ? static_cast<double>(commands) : 1.0;
    printf("result mode=%s size=%u commands=%llu bytes=%llu seconds=%.6f bytes_per_second=%.0f urbs=%llu"
           " switches_per_command=%.2f reader_cpu=%.3f reader_faults_per_command=%.2f",
           mode, size, static_cast<unsigned long long>(commands), static_cast<unsigned long long>(bytes), seconds,
           static_cast<double>(bytes) / seconds, static_cast<unsigned long long>(urbs),
           static_cast<double>(after.switches - before.switches) / n, after.self - before.self,
           static_cast<double>(after.selfFaults - before.selfFaults) / n);
    if (before.server >= 0 && after.server >= 0)
        printf(" server_cpu=%.3f server_faults_per_command=%.2f", after.server - before.server,
               static_cast<double>(after.serverFaults - before.serverFaults) / n);
    printf("\n");
    fflush(stdout);
}

// What the program's process spends with nothing to do (its periodic work:
// device scans, timers), to tell apart from what the transfers cost.
void reportIdleServer(pid_t server)
{
    if (server <= 0) {
        fputs("guest_reader: no process named wev: no idle figures\n", stderr);
        return;
    }
    const Usage before = sampleUsage(server);
    const double start = now();
    timespec pause{3, 0};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    const Usage after = sampleUsage(server);
    const double elapsed = now() - start;
    if (before.server < 0 || after.server < 0)
        return;
    printf("idle seconds=%.3f server_cpu=%.3f server_cpu_share=%.3f switches_per_second=%.1f\n", elapsed,
           after.server - before.server, (after.server - before.server) / elapsed,
           static_cast<double>(after.switches - before.switches) / elapsed);
    fflush(stdout);
}

struct Options {
    unsigned vendor = 0x46f4;
    unsigned product = 0x0001;
    unsigned port = 0;          // --port: the device on this port of the server
    uint32_t size = 512;        // --size: bytes per round trip
    std::vector<uint32_t> sizes = {4096, 65536, 1 << 20};
    uint64_t total = 64ull << 20;
    double budget = 20.0;
};

uint32_t capacityInBlocks(BulkOnly& disk)
{
    unsigned char capacity[8];
    const unsigned char readCapacity[10] = {0x25};
    disk.commandOrDie(readCapacity, sizeof readCapacity, capacity, sizeof capacity);
    if (be32(capacity + 4) != kSector)
        die("block size %u, not %u", be32(capacity + 4), kSector);
    return be32(capacity) + 1;
}

void measure(const char* mode, Transport& transport, Endpoints endpoints, const Options& o, pid_t server)
{
    BulkOnly disk(transport, endpoints);
    const uint32_t blocksOnDisk = capacityInBlocks(disk);
    uint32_t largest = 0;
    for (uint32_t s : o.sizes)
        largest = s > largest ? s : largest;
    Buffer buffer(largest);

    for (uint32_t size : o.sizes) {
        const uint32_t blocks = size / kSector;
        if (blocks > blocksOnDisk)
            die("%u bytes per command, the disk has %u blocks", size, blocksOnDisk);
        // Spread over the disk, checked whole: not timed.
        for (uint32_t i = 0; i < 4; ++i) {
            uint32_t lba = static_cast<uint32_t>(uint64_t{blocksOnDisk - blocks} * i / 3);
            if (const char* e = disk.read10(lba, blocks, buffer.data))
                die("READ(10) of %u blocks at %u: %s", blocks, lba, e);
            checkData(buffer.data, lba, blocks, true);
        }

        uint64_t commands = 0, bytes = 0, urbs = transport.urbs;
        uint32_t lba = 0;
        const Usage before = sampleUsage(server);
        const double start = now();
        double elapsed = 0;
        while (bytes < o.total && (elapsed = now() - start) < o.budget) {
            if (lba + blocks > blocksOnDisk)
                lba = 0;
            if (const char* e = disk.read10(lba, blocks, buffer.data))
                die("READ(10) of %u blocks at %u: %s", blocks, lba, e);
            checkData(buffer.data, lba, blocks, false);
            lba += blocks;
            bytes += size;
            ++commands;
        }
        elapsed = now() - start;
        printResult(mode, size, commands, bytes, elapsed, transport.urbs - urbs, before, sampleUsage(server));
    }
}

// ---------------------------------------------------------------- the loopback share

// The server mode's exchanges without USB: a child answers every request the
// way the server answers a READ(10)'s three transfers (a 24-byte answer for
// the CBW, the data in frames of at most 64 KiB, a 13-byte CSW), so what the
// guest's TCP and the extra copies cost alone shows beside the figures.
[[noreturn]] void serveLoopbackConnection(int fd)
{
    setNoDelay(fd);
    static unsigned char payload[kMaxUrb];
    TransferRequest r;
    while (receiveTransferRequest(fd, &r, payload, sizeof payload, "peer")) {
        uint32_t sent = 0;
        do {
            uint32_t part = r.inLength - sent < kMaxUrb ? r.inLength - sent : kMaxUrb;
            sent += part;
            if (const char* e = sendUrbAnswer(fd, r, sent == r.inLength, payload, part))
                die("peer: %s", e);
        } while (sent < r.inLength);
    }
    _exit(0);
}

// A listening socket on address:port (port 0: any free one).
int listenTcp(uint32_t address, int port)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(static_cast<uint16_t>(port));
    int one = 1;
    if (listener >= 0)
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || listen(listener, 8) < 0)
        die("listener on port %d: %s", port, strerror(errno));
    return listener;
}

int listenerPort(int listener)
{
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) < 0)
        die("getsockname: %s", strerror(errno));
    return ntohs(a.sin_port);
}

// The one connection a child serves, with TCP_NODELAY like every side; a
// client that never comes ends the child instead of leaving it waiting.
int acceptOne(int listener, const char* who)
{
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) != 1)
        die("%s: no client within %d ms", who, kWaitMs);
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
        die("%s: accept: %s", who, strerror(errno));
    close(listener);
    setNoDelay(fd);
    return fd;
}

// Serves every connection in a child of its own, for ever: the baselines on
// the host, started and stopped by the script.
[[noreturn]] void serveForever(int listener, void (*serve)(int fd))
{
    printf("listening port=%d\n", listenerPort(listener));
    fflush(stdout);
    signal(SIGCHLD, SIG_IGN);
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        if (fork() == 0) {
            close(listener);
            serve(fd);
            _exit(0);
        }
        close(fd);
    }
}

// A plain TCP echo: every byte back as it comes.
void serveEcho(int fd)
{
    setNoDelay(fd);
    static unsigned char buffer[kMaxUrb];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            _exit(0);
        iovec part{buffer, static_cast<size_t>(n)};
        if (sendAll(fd, &part, 1))
            _exit(1);
    }
}

// The loopback mode's client: the server mode's transport and requests (a
// 31-byte bulk OUT, the data in, a 13-byte bulk IN per command) against a
// peer at fd that answers them without USB. The peer process's usage is
// sampled when its pid is known.
void measurePeer(const char* mode, int fd, const Options& o, pid_t peer)
{
    ProtocolTransport client;
    client.attach(fd, Endpoints{0x81, 0x02});
    uint32_t largest = 0;
    for (uint32_t s : o.sizes)
        largest = s > largest ? s : largest;
    Buffer buffer(largest);
    const unsigned char cbw[31] = {};
    unsigned char csw[13];
    for (uint32_t size : o.sizes) {
        uint64_t commands = 0, bytes = 0, urbs = client.urbs;
        // The peer's CPU time shows as the "server" of these figures.
        const Usage before = sampleUsage(peer);
        const double start = now();
        while (bytes < o.total && now() - start < o.budget) {
            uint32_t got = 0, cswLength = 0;
            if (const char* e = client.bulkOut(client.endpoints.out, cbw, sizeof cbw))
                die("%s: %s", mode, e);
            if (const char* e = client.bulkIn(client.endpoints.in, buffer.data, size, &got))
                die("%s: %s", mode, e);
            if (const char* e = client.bulkIn(client.endpoints.in, csw, sizeof csw, &cswLength))
                die("%s: %s", mode, e);
            if (got != size || cswLength != sizeof csw)
                die("%s: %u and %u bytes came for %u and %zu", mode, got, cswLength, size, sizeof csw);
            bytes += size;
            ++commands;
        }
        double elapsed = now() - start;
        printResult(mode, size, commands, bytes, elapsed, client.urbs - urbs, before, sampleUsage(peer));
    }
    client.close();
}

// A child of this process for the loopback peer or the relay: it listens on
// the guest's loopback, where the parent connects.
struct Child {
    pid_t pid = -1;
    int port = 0;
};

Child forkChild(void (*serve)(int listener, int ready, const Options& o), int ready, const Options& o)
{
    int listener = listenTcp(INADDR_LOOPBACK, 0);
    Child child;
    child.port = listenerPort(listener);
    // Nothing buffered may be written twice.
    fflush(stdout);
    fflush(stderr);
    child.pid = fork();
    if (child.pid < 0)
        die("fork: %s", strerror(errno));
    if (child.pid == 0) {
        serve(listener, ready, o);
        _exit(0);
    }
    close(listener);
    return child;
}

void awaitChild(const Child& child, const char* who)
{
    int status = 0;
    if (waitpid(child.pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die("the %s ended with status 0x%x", who, status);
}

void serveLoopback(int listener, int, const Options&)
{
    serveLoopbackConnection(acceptOne(listener, "peer"));
}

void measureLoopback(const Options& o)
{
    Child peer = forkChild(serveLoopback, -1, o);
    measurePeer("loopback", connectTcp("127.0.0.1", peer.port), o, peer.pid);
    awaitChild(peer, "loopback peer");
}

// ---------------------------------------------------------------- the relay

// The server's part done by the least program that can do it, to tell what
// the server adds from what the device, the copies and the guest's TCP cost:
// the requests and answers of the server mode over the guest's loopback TCP,
// each transfer as the usbfs URBs the server makes of it, on the device taken
// from its kernel driver as the direct mode takes it.

// A bulk IN transfer as the server runs it: URBs of at most 64 KiB, the next
// submitted when the one before came back full, before that one's data goes
// to the client, and every URB answered with its data in a frame of its own.
void relayIn(UsbfsTransport& usb, int fd, const TransferRequest& r)
{
    static Buffer first(kMaxUrb), second(kMaxUrb);
    unsigned char* data[2] = {first.data, second.data};
    usbdevfs_urb urbs[2];
    uint32_t left = r.inLength;
    uint32_t length = left < kMaxUrb ? left : kMaxUrb;
    if (const char* e = usb.submit(&urbs[0], r.endpoint, data[0], length))
        die("relay: %s", e);
    for (int k = 0;; k = 1 - k) {
        uint32_t actual = 0;
        if (const char* e = usb.reap(&urbs[k], &actual))
            die("relay: %s", e);
        left -= actual;
        const bool more = actual == length && left > 0;
        if (more) {
            length = left < kMaxUrb ? left : kMaxUrb;
            if (const char* e = usb.submit(&urbs[1 - k], r.endpoint, data[1 - k], length))
                die("relay: %s", e);
        }
        if (const char* e = sendUrbAnswer(fd, r, !more, data[k], actual))
            die("relay: %s", e);
        if (!more)
            return;
    }
}

// Takes the device, says so with its endpoints on ready, serves one client
// until it goes, and gives the device back to its kernel driver.
void serveRelay(int listener, int ready, const Options& o)
{
    static UsbfsTransport usb;
    releaseOnFailure = [] { usb.close(); };
    usb.open(o.vendor, o.product);
    const unsigned char endpoints[2] = {usb.endpoints.in, usb.endpoints.out};
    if (write(ready, endpoints, sizeof endpoints) != sizeof endpoints)
        die("relay: tell the endpoints: %s", strerror(errno));
    close(ready);
    const int fd = acceptOne(listener, "relay");
    static unsigned char out[kMaxUrb];
    TransferRequest r;
    while (receiveTransferRequest(fd, &r, out, sizeof out, "relay")) {
        if (r.type != kTypeBulk)
            die("relay: a transfer of type %u; only bulk transfers are relayed", r.type);
        if (r.endpoint & USB_DIR_IN) {
            relayIn(usb, fd, r);
            continue;
        }
        if (const char* e = usb.bulkOut(r.endpoint, out, r.outLength))
            die("relay: %s", e);
        if (const char* e = sendUrbAnswer(fd, r, true, nullptr, 0))
            die("relay: %s", e);
    }
    releaseOnFailure = nullptr;
    usb.close();
}

void measureRelay(const Options& o)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) < 0)
        die("pipe: %s", strerror(errno));
    Child relay = forkChild(serveRelay, ready[1], o);
    close(ready[1]);
    unsigned char endpoints[2];
    const ssize_t n = read(ready[0], endpoints, sizeof endpoints);
    close(ready[0]);
    if (n != sizeof endpoints) {
        int status = 0;
        waitpid(relay.pid, &status, 0);
        die("the relay did not take the device (it ended with status 0x%x)", status);
    }
    ProtocolTransport client;
    client.attach(connectTcp("127.0.0.1", relay.port), Endpoints{endpoints[0], endpoints[1]});
    measure("relay", client, client.endpoints, o, relay.pid);
    client.close();
    awaitChild(relay, "relay");
}

// Round trips of o.size bytes through a TCP echo for o.budget seconds.
void measureEcho(const char* host, int port, const Options& o)
{
    int fd = connectTcp(host, port);
    std::vector<unsigned char> out(o.size, 0x5a), back(o.size);
    uint64_t count = 0;
    const double start = now();
    double elapsed = 0;
    while ((elapsed = now() - start) < o.budget) {
        iovec part{out.data(), out.size()};
        if (const char* e = sendAll(fd, &part, 1))
            die("echo: %s", e);
        if (const char* e = receiveAll(fd, back.data(), back.size()))
            die("echo: %s", e);
        ++count;
    }
    printf("result mode=echo size=%u count=%llu seconds=%.6f us_per_round_trip=%.3f\n", o.size,
           static_cast<unsigned long long>(count), elapsed, elapsed / static_cast<double>(count) * 1e6);
    close(fd);
}

// Round trips of one bulk OUT URB of o.size bytes through the server to
// the loopback device on o.port, for o.budget seconds. The device keeps what
// it gets for its IN side: every OUT is read back, untimed, and compared.
void measureUrbRoundTrips(const char* host, int port, const Options& o)
{
    ProtocolTransport server;
    server.open(host, port, o.vendor, o.product, o.port);
    std::vector<unsigned char> out(o.size), back(o.size);
    uint64_t count = 0;
    double timed = 0;
    const double start = now();
    while (now() - start < o.budget) {
        for (uint32_t i = 0; i < o.size; ++i)
            out[i] = static_cast<unsigned char>(count + i);
        const double before = now();
        if (const char* e = server.bulkOut(server.endpoints.out, out.data(), o.size))
            die("bulk OUT: %s", e);
        timed += now() - before;
        uint32_t got = 0;
        if (const char* e = server.bulkIn(server.endpoints.in, back.data(), o.size, &got))
            die("bulk IN: %s", e);
        if (got != o.size || back != out)
            die("the loopback gave back %u bytes, not the %u sent", got, o.size);
        ++count;
    }
    printf("result mode=urb-rtt size=%u count=%llu seconds=%.6f us_per_round_trip=%.3f\n", o.size,
           static_cast<unsigned long long>(count), timed, timed / static_cast<double>(count) * 1e6);
    server.close();
}

// ---------------------------------------------------------------- command line

[[noreturn]] void usage()
{
    fputs("usage: guest_reader direct [options]\n"
          "       guest_reader server HOST PORT [options]\n"
          "       guest_reader loopback [options]\n"
          "       guest_reader relay [options]\n"
          "       guest_reader peer PORT | echo-server PORT\n"
          "       guest_reader peer-client HOST PORT [options]\n"
          "       guest_reader echo HOST PORT [--size N] [--budget SECONDS]\n"
          "       guest_reader urb-rtt HOST PORT --port N [--size N] [--budget SECONDS]\n"
          "options: --device VID:PID  --port N  --sizes N,N,...  --total BYTES  --budget SECONDS\n",
          stderr);
    exit(2);
}

unsigned long long number(const char* text, int base = 10)
{
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, base);
    if (errno || end == text || *end)
        die("'%s' is not a number", text);
    return v;
}

Options parseOptions(int argc, char** argv, int first)
{
    Options o;
    for (int i = first; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            usage();
        const char* v = argv[++i];
        if (a == "--device") {
            std::string s = v;
            size_t colon = s.find(':');
            if (colon == std::string::npos)
                usage();
            o.vendor = static_cast<unsigned>(number(s.substr(0, colon).c_str(), 16));
            o.product = static_cast<unsigned>(number(s.substr(colon + 1).c_str(), 16));
        } else if (a == "--sizes") {
            o.sizes.clear();
            std::string s = v;
            for (size_t at = 0; at <= s.size();) {
                size_t comma = s.find(',', at);
                if (comma == std::string::npos)
                    comma = s.size();
                unsigned long long size = number(s.substr(at, comma - at).c_str());
                if (size == 0 || size % kSector || size / kSector > 0xFFFF)
                    die("a command reads 1 to 65535 sectors of %u bytes, not %llu bytes", kSector, size);
                o.sizes.push_back(static_cast<uint32_t>(size));
                at = comma + 1;
            }
        } else if (a == "--port") {
            o.port = static_cast<unsigned>(number(v));
        } else if (a == "--size") {
            o.size = static_cast<uint32_t>(number(v));
            if (o.size == 0 || o.size > (16u << 20))
                die("a round trip moves 1 byte to 16 MiB, not %u bytes", o.size);
        } else if (a == "--total") {
            o.total = number(v);
        } else if (a == "--budget") {
            o.budget = static_cast<double>(number(v));
        } else {
            usage();
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2)
        usage();
    std::string mode = argv[1];
    if (mode == "direct") {
        Options o = parseOptions(argc, argv, 2);
        static UsbfsTransport usb;
        releaseOnFailure = [] { usb.close(); };
        usb.open(o.vendor, o.product);
        measure("direct", usb, usb.endpoints, o, -1);
        releaseOnFailure = nullptr;
        usb.close();
        return 0;
    }
    if (mode == "server") {
        if (argc < 4)
            usage();
        Options o = parseOptions(argc, argv, 4);
        ProtocolTransport server;
        server.open(argv[2], static_cast<int>(number(argv[3])), o.vendor, o.product, o.port);
        // On a host with other programs named wev the caller names the one
        // to sample, and its idle figures are measured elsewhere.
        const char* given = getenv("GUEST_READER_SERVER_PID");
        const pid_t pid = given ? static_cast<pid_t>(number(given)) : serverPid();
        if (!given)
            reportIdleServer(pid);
        measure("server", server, server.endpoints, o, pid);
        server.close();
        return 0;
    }
    if (mode == "loopback") {
        measureLoopback(parseOptions(argc, argv, 2));
        return 0;
    }
    if (mode == "relay") {
        measureRelay(parseOptions(argc, argv, 2));
        return 0;
    }
    if (mode == "peer" && argc == 3)
        serveForever(listenTcp(INADDR_ANY, static_cast<int>(number(argv[2]))), serveLoopbackConnection);
    if (mode == "echo-server" && argc == 3)
        serveForever(listenTcp(INADDR_ANY, static_cast<int>(number(argv[2]))), serveEcho);
    if ((mode == "peer-client" || mode == "echo" || mode == "urb-rtt") && argc >= 4) {
        Options o = parseOptions(argc, argv, 4);
        const int port = static_cast<int>(number(argv[3]));
        if (mode == "peer-client")
            measurePeer("peer", connectTcp(argv[2], port), o, -1);
        else if (mode == "echo")
            measureEcho(argv[2], port, o);
        else
            measureUrbRoundTrips(argv[2], port, o);
        return 0;
    }
    usage();
}
