// Sessions with the device operations installed (connect, transfers,
// control requests, configuration, reset...) against the simulated USB
// host. The test speaks the protocol on its end of each session and reads
// every kind of frame: replies, URB answers (intermediate and final) and
// notices, which may come in any order.
#pragma once

#include "usb_session_fixture.h"

#include "platform/usbfs/sim/usb_sim.h"
#include "usbserver/usb_connect.h"
#include "usbserver/usb_control.h"
#include "usbserver/usb_transfer_request.h"
#include "usbserver/usb_urb.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <string>

struct Frame {
    bool notice = false;
    UsbReplyHeader header;  // a notice: opcode, tag and length only
    Bytes data;
};

struct UrbResult {
    std::vector<Frame> answers;  // the last one is final (0x1008)
    const Frame& final() const { return answers.back(); }
    Bytes data() const
    {
        Bytes all;
        for (const Frame& f : answers)
            all.insert(all.end(), f.data.begin(), f.data.end());
        return all;
    }
    int32_t error() const { return static_cast<int32_t>(final().header.error); }
};

inline Bytes transferBody(int row, int port, int endpoint, int type, uint32_t inLength, uint32_t outLength)
{
    UsbTransferRequest r;
    r.row = static_cast<uint8_t>(row);
    r.port = static_cast<uint8_t>(port);
    r.endpoint = static_cast<uint8_t>(endpoint);
    r.type = static_cast<uint8_t>(type);
    r.inLength = inLength;
    r.outLength = outLength;
    uint8_t raw[kUsbTransferBodySize];
    encodeUsbTransferRequest(r, raw);
    return Bytes(raw, raw + sizeof raw);
}

// The setup packet as the wire carries it: 16-bit fields big-endian.
inline Bytes setupPacket(int type, int request, int value, int index, int length)
{
    Bytes s(8);
    s[0] = static_cast<uint8_t>(type);
    s[1] = static_cast<uint8_t>(request);
    usbPutU16(&s[2], static_cast<uint32_t>(value));
    usbPutU16(&s[4], static_cast<uint32_t>(index));
    usbPutU16(&s[6], static_cast<uint32_t>(length));
    return s;
}

inline Bytes pattern(size_t n, uint32_t seed)
{
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

// One session as the client sees it.
class DeviceClient {
public:
    explicit DeviceClient(ProtocolClient& c) : c_(c) {}

    ProtocolClient& raw() { return c_; }
    uint32_t newTag() { return nextTag_++; }

    bool sendRequest(uint32_t opcode, uint32_t tag, const Bytes& body = {}, uint32_t word0 = 0)
    {
        return c_.send(requestHeader(opcode, tag, 0, word0) + body);
    }

    // How long an answer may take. A connect with the pre-reset alone sleeps
    // a second and may wait a second for a running scan; a sanitizer build on
    // a loaded machine needs far more than that, and only a failing test
    // ever waits this long.
    static constexpr int kAnswerMs = 15000;

    // The next frame off the connection; false on time-out or end.
    bool readFrame(Frame* f, int ms = kAnswerMs)
    {
        uint8_t head[kUsbReplyHeaderSize];
        if (!c_.read(head, kUsbRequestHeaderSize, ms))
            return false;
        const uint32_t opcode = usbGetU32(head + 4);
        *f = Frame{};
        if (opcode == kUsbOpNoticeVanished || opcode == kUsbOpNoticeAdminDisconnect) {
            f->notice = true;
            f->header.word0 = usbGetU32(head);
            f->header.opcode = opcode;
            memcpy(f->header.tag, head + 8, 4);
            f->header.length = usbGetU32(head + 12);
        } else {
            if (!c_.read(head + kUsbRequestHeaderSize, kUsbReplyHeaderSize - kUsbRequestHeaderSize, ms))
                return false;
            decodeUsbReplyHeader(head, &f->header);
        }
        if (f->header.length > (32u << 20))
            return false;
        f->data.assign(f->header.length, 0);
        return f->data.empty() || c_.read(f->data.data(), f->data.size(), ms);
    }

    // The next frame that matches; others are kept for later.
    template <typename Match>
    bool waitFor(Match match, Frame* out, int ms = kAnswerMs)
    {
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (match(*it)) {
                *out = *it;
                pending_.erase(it);
                return true;
            }
        }
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
            Frame f;
            if (left <= 0 || !readFrame(&f, left))
                return false;
            if (match(f)) {
                *out = f;
                return true;
            }
            pending_.push_back(f);
        }
    }

    Frame reply(uint32_t opcode, uint32_t tag, int ms = kAnswerMs)
    {
        Frame f;
        bool got = waitFor(
            [&](const Frame& x) {
                return !x.notice && x.header.opcode == kUsbReplyOpcodeBase + opcode && usbGetU32(x.header.tag) == tag;
            },
            &f, ms);
        EXPECT_TRUE(got) << "no reply to opcode " << opcode << " tag " << tag;
        return f;
    }

    Frame request(uint32_t opcode, const Bytes& body = {}, uint32_t word0 = 0)
    {
        uint32_t tag = newTag();
        EXPECT_TRUE(sendRequest(opcode, tag, body, word0));
        return reply(opcode, tag);
    }

    bool notice(uint32_t opcode, Frame* f, int ms = kAnswerMs)
    {
        return waitFor([&](const Frame& x) { return x.notice && x.header.opcode == opcode; }, f, ms);
    }

    // The next URB answer of tag (intermediate or final); false when none
    // came within ms.
    bool urbAnswer(uint32_t tag, Frame* f, int ms = kAnswerMs)
    {
        return waitFor(
            [&](const Frame& x) {
                return !x.notice && usbGetU32(x.header.tag) == tag
                       && (x.header.opcode == kUsbReplyOpcodeBase + kUsbOpTransfer
                           || x.header.opcode == kUsbReplyOpcodeBase + kUsbOpUrbIntermediate);
            },
            f, ms);
    }

    // Every answer of tag up to its final one.
    UrbResult reap(uint32_t tag, int ms = kAnswerMs)
    {
        UrbResult r;
        for (;;) {
            Frame f;
            if (!urbAnswer(tag, &f, ms)) {
                ADD_FAILURE() << "no final answer for URB " << tag;
                return r;
            }
            r.answers.push_back(f);
            if (f.header.opcode == kUsbReplyOpcodeBase + kUsbOpTransfer)
                return r;
        }
    }

    uint32_t submit(int row, int port, int endpoint, int type, uint32_t inLength, const Bytes& out = {},
                    uint32_t word0 = 0)
    {
        uint32_t tag = newTag();
        EXPECT_TRUE(sendRequest(kUsbOpTransfer, tag,
                                transferBody(row, port, endpoint, type, inLength, static_cast<uint32_t>(out.size())) + out,
                                word0));
        return tag;
    }

    UrbResult transfer(int row, int port, int endpoint, int type, uint32_t inLength, const Bytes& out = {})
    {
        return reap(submit(row, port, endpoint, type, inLength, out));
    }

    // A control transfer: the answer that comes at once.
    Frame control(int row, int port, const Bytes& setup, uint32_t inLength, const Bytes& stage = {})
    {
        uint32_t tag = submit(row, port, setup[0] & 0x80 ? 0x80 : 0x00, kUrbTypeControl, inLength, setup + stage);
        Frame f;
        EXPECT_TRUE(urbAnswer(tag, &f)) << "no control answer";
        return f;
    }

    // {row, port, client name of 32 bytes, NUL-padded when shorter}.
    static Bytes connectRequest(int row, int port, const std::string& name)
    {
        Bytes b(34, 0);
        b[0] = static_cast<uint8_t>(row);
        b[1] = static_cast<uint8_t>(port);
        memcpy(&b[2], name.data(), std::min<size_t>(name.size(), 32));
        return b;
    }

    Frame connect(int row, int port, const std::string& name = "tester")
    {
        return request(kUsbOpConnect, connectRequest(row, port, name));
    }

    Frame heartbeat(uint32_t value)
    {
        Bytes v(4);
        usbPutU32(v.data(), value);
        return request(kUsbOpHeartbeat, v);
    }

    // True when no frame at all is waiting or arrives within ms.
    bool silentFor(int ms) { return pending_.empty() && c_.quietFor(ms); }
    size_t pendingFrames() const { return pending_.size(); }

private:
    ProtocolClient& c_;
    std::deque<Frame> pending_;
    uint32_t nextTag_ = 100;
};

class UsbDeviceOpsTest : public UsbSessionTest {
public:
    void SetUp() override
    {
        UsbSessionTest::SetUp();
        for (uint32_t op = 1; op <= kUsbOpHighest; ++op)
            saved_[op] = usbRequestHandler(op);
        installUsbDeviceHandlers();
        populationBefore_ = usbUrbPopulation.load();
    }

    void TearDown() override
    {
        for (ProtocolClient& c : clients_)
            c.close();
        EXPECT_TRUE(sessionsEnded());
        EXPECT_TRUE(eventually([&] { return usbUrbPopulation.load() == populationBefore_; }))
            << "transfer sets left: " << usbUrbPopulation.load() - populationBefore_;
        for (uint32_t op = 1; op <= kUsbOpHighest; ++op)
            setUsbRequestHandler(op, saved_[op]);
        UsbSessionTest::TearDown();
    }

    DeviceClient& client()
    {
        int id = 0;
        ProtocolClient& c = startSession(-1, &id);
        taskIds_.push_back(id);
        devices_.emplace_back(c);
        return devices_.back();
    }
    int taskIdOf(size_t index) const { return taskIds_[index]; }

    int plugDevice(const std::string& model, int port, std::string* name = nullptr)
    {
        std::string n = plug(model + " port=" + std::to_string(port));
        if (name)
            *name = n;
        rescanUsbDevices();
        return rowOnPort(port);
    }

    static std::vector<std::string> log(const std::string& name) { return usbsim::requestLog(name); }

    // Log lines of the device that start with prefix, from index from on.
    static int countLog(const std::string& name, const std::string& prefix, size_t from = 0)
    {
        std::vector<std::string> lines = log(name);
        int n = 0;
        for (size_t i = from; i < lines.size(); ++i)
            n += lines[i].compare(0, prefix.size(), prefix) == 0;
        return n;
    }

    static std::string inject(const std::string& name, const std::string& what)
    {
        return usbsim::command("inject " + name + " " + what);
    }

    static int population() { return usbUrbPopulation.load(); }

protected:
    std::deque<DeviceClient> devices_;
    std::vector<int> taskIds_;
    UsbRequestHandler saved_[kUsbOpHighest + 1] = {};
    int populationBefore_ = 0;
};
