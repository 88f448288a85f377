// Client sessions of the USB sharing protocol, each a real "UsbSrvdPrcs"
// task serving one end of a socket pair, on a model with 20 ports and a
// simulated USB host. The test holds the other end and speaks the protocol
// on it; the tick clock only moves when the test moves it.
//
// Connecting a device is the device operations' request, installed by them;
// for these tests a small stand-in connect (opcode 25) claims the row, opens
// its device and watches its completions on the session's own thread, as
// the real one does.
#pragma once

#include "usb_table_fixture.h"

#include "core/net/connection.h"
#include "core/task/tick_clock.h"
#include "support/fn_task.h"
#include "support/param_override.h"
#include "platform/usbfs/usbfs.h"
#include "usbserver/usb_dispatch.h"
#include "usbserver/usb_protocol.h"
#include "usbserver/usb_session.h"
#include "usbserver/usb_session_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <deque>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes requestHeader(uint32_t opcode, uint32_t tag, uint32_t length = 0, uint32_t word0 = 0)
{
    UsbRequestHeader h;
    h.word0 = word0;
    h.opcode = opcode;
    usbPutU32(h.tag, tag);
    h.length = length;
    uint8_t raw[kUsbRequestHeaderSize];
    encodeUsbRequestHeader(h, raw);
    return Bytes(raw, raw + sizeof raw);
}

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Reply {
    UsbReplyHeader header;
    Bytes data;
    Bytes raw;  // header and data as they came
};

// The test's end of a session.
class ProtocolClient {
public:
    explicit ProtocolClient(int fd = -1) : fd_(fd) {}
    ~ProtocolClient() { close(); }
    ProtocolClient(ProtocolClient&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    ProtocolClient& operator=(const ProtocolClient&) = delete;

    int fd() const { return fd_; }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

    bool send(const Bytes& bytes)
    {
        size_t at = 0;
        while (at < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }

    // Exactly n bytes within ms; false on a time-out or the end.
    bool read(uint8_t* out, size_t n, int ms = 5000)
    {
        size_t at = 0;
        while (at < n) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, ms) != 1)
                return false;
            ssize_t r = ::recv(fd_, out + at, n - at, 0);
            if (r <= 0)
                return false;
            at += static_cast<size_t>(r);
        }
        return true;
    }

    bool readReply(Reply* reply, int ms = 5000)
    {
        uint8_t head[kUsbReplyHeaderSize];
        if (!read(head, sizeof head, ms))
            return false;
        decodeUsbReplyHeader(head, &reply->header);
        if (reply->header.length > (1u << 20))
            return false;
        reply->data.assign(reply->header.length, 0);
        if (!reply->data.empty() && !read(reply->data.data(), reply->data.size(), ms))
            return false;
        reply->raw = Bytes(head, head + sizeof head) + reply->data;
        return true;
    }

    Reply request(uint32_t opcode, uint32_t tag, const Bytes& body = {}, uint32_t word0 = 0,
                  int payloadLength = -1)
    {
        Reply reply{};
        uint32_t length = payloadLength < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(payloadLength);
        EXPECT_TRUE(send(requestHeader(opcode, tag, length, word0) + body));
        EXPECT_TRUE(readReply(&reply)) << "no reply to opcode " << opcode;
        return reply;
    }

    // The peer ended the connection within ms; *extra counts bytes that came
    // before the end.
    bool closedWithin(int ms, size_t* extra = nullptr)
    {
        size_t got = 0;
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, ms) != 1)
                return false;
            uint8_t buf[4096];
            ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
            if (r < 0)
                return errno == ECONNRESET;
            if (r == 0) {
                if (extra)
                    *extra = got;
                return true;
            }
            got += static_cast<size_t>(r);
        }
    }

    // Nothing arrives within ms.
    bool quietFor(int ms)
    {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }

private:
    int fd_;
};

// A session's count of reaped completions, for the stand-in connect.
inline std::atomic<int> testReapedUrbs{0};

inline int testReapOne(UsbPollRecord* record)
{
    void* urb = nullptr;
    int fd = usbDeviceTable[record->row].fd.load();
    if (fd >= 0 && usbfs().ioctl(fd, USBDEVFS_REAPURBNDELAY, &urb) == 0)
        testReapedUrbs.fetch_add(1);
    return 0;
}

// The stand-in connect: {row, port, client name of 32 bytes}. The owner's
// address is given as 198.18.0.9 (a socket pair has none).
inline int testConnect(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t body[34];
    if (!readUsbBody(session, body, sizeof body))
        return -1;
    const int row = body[0];
    const int port = body[1];
    if (!isSlotPresent(row, port))
        return sendUsbStatus(session, request, kUsbStatusFailed, ENODEV);
    UsbDeviceSlot& slot = usbDeviceTable[row];
    int opened = slot.openDevice(O_RDWR, nullptr);
    if (opened != 1)
        return sendUsbStatus(session, request, kUsbStatusFailed, opened < 0 ? -opened : EBUSY);
    unsigned interface = 0;
    usbfs().ioctl(slot.fd.load(), USBDEVFS_CLAIMINTERFACE, &interface);
    UsbPollRecord* record = UsbPollRecord::create(usbfs().pollFd(slot.fd.load()), row);
    if (!record || UsbPollRecord::attach(session, record) != 0 || record->watchOutput() != 0)
        return sendUsbStatus(session, request, kUsbStatusFailed, ENOMEM);
    record->setHandler(testReapOne);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(40000);
    inet_pton(AF_INET, "198.18.0.9", &peer.sin_addr);
    {
        UsbRowLock lock(row);
        slot.pollRecord = record;
    }
    if (!claimSlotOwnership(row, session, session->ownerTask->taskId(), reinterpret_cast<sockaddr*>(&peer),
                            sizeof peer))
        return sendUsbStatus(session, request, kUsbStatusRefused, EBUSY);
    // As the real connect does: every release publishes its disconnect only
    // for a connect that was published.
    int answered = sendUsbStatus(session, request, kUsbStatusDone, 0);
    publishConnect(row, nullptr);
    return answered;
}

inline Bytes connectBody(int row, int port, const char* name = "tester")
{
    Bytes b(34, 0);
    b[0] = static_cast<uint8_t>(row);
    b[1] = static_cast<uint8_t>(port);
    strncpy(reinterpret_cast<char*>(&b[2]), name, 32);
    return b;
}

class UsbSessionTest : public UsbTableTest {
public:
    void SetUp() override
    {
        UsbTableTest::SetUp();
        setUsbSessionSliceMsForTest(20);
        liveBefore_ = usbLiveClients.load();
        testReapedUrbs.store(0);
        oldConnect_ = setUsbRequestHandler(kUsbOpConnect, testConnect);
    }

    void TearDown() override
    {
        for (ProtocolClient& c : clients_)
            c.close();
        EXPECT_TRUE(eventually([&] { return usbLiveClients.load() == liveBefore_; }))
            << "a session did not end";
        setUsbRequestHandler(kUsbOpConnect, oldConnect_);
        setUsbSessionSliceMsForTest(0);
        UsbTableTest::TearDown();
    }

    // A session on one end of a socket pair, as if accepted on the listener
    // of VLAN vlanId (negative: the untagged one). The test's end.
    ProtocolClient& startSession(int vlanId = -1, int* taskId = nullptr)
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        auto* c = new Connection(nullptr, nullptr, vlanId);
        c->fd = sv[0];
        c->family = AF_UNIX;
        c->type = SOCK_STREAM;
        c->state = kConnConnected;
        auto* task = new UsbSrvdPrcs(usb_srv_thread, c, false);
        int id = task->start(20480, 0);
        EXPECT_GT(id, 0);
        if (taskId)
            *taskId = id;
        clients_.emplace_back(sv[1]);
        return clients_.back();
    }

    // Waits until the sessions started so far have all ended.
    bool sessionsEnded() const
    {
        return eventually([&] { return usbLiveClients.load() == liveBefore_; });
    }

    static int rowOnPort(int port)
    {
        for (int row = 0; row < usbRowCount.load(); ++row) {
            if (usbDeviceTable[row].state.load() >= kUsbSlotPresent && usbDeviceTable[row].port == port)
                return row;
        }
        return -1;
    }

    // Plugs a loopback device into a port and scans; its row.
    int plugLoopback(int port, std::string* name = nullptr)
    {
        std::string n = plug("loopback port=" + std::to_string(port));
        if (name)
            *name = n;
        rescanUsbDevices();
        return rowOnPort(port);
    }

    static bool ownedBy(int row, int taskId)
    {
        return usbDeviceTable[row].ownerTaskId.load() == taskId
               && usbDeviceTable[row].state.load() == kUsbSlotConnected;
    }

    static usbsim::DeviceCounters counters(const std::string& name)
    {
        usbsim::DeviceCounters c;
        EXPECT_TRUE(usbsim::deviceCounters(name, &c)) << name;
        return c;
    }

    static int resetsLogged(const std::string& name)
    {
        return static_cast<int>(usbsim::requestCount(name, "reset"));
    }

protected:
    std::deque<ProtocolClient> clients_;
    ParamOverride params_;
    int liveBefore_ = 0;
    UsbRequestHandler oldConnect_ = nullptr;
};
