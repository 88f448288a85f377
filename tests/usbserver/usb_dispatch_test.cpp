// Reading and dispatching requests on a live session: the exact replies of
// the small opcodes, the opcodes that are ignored or end the session, a
// stream that stays in step whatever arrives, and notices from other
// threads that never break a frame.
#include "usb_session_fixture.h"

#include "usbserver/usb_notice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <thread>

namespace {

Bytes replyBytes(uint32_t word0, uint32_t opcode, uint32_t tag, uint32_t status, uint32_t error, const Bytes& data)
{
    uint8_t raw[kUsbReplyHeaderSize];
    UsbReplyHeader h;
    h.word0 = word0;
    h.opcode = opcode;
    usbPutU32(h.tag, tag);
    h.length = static_cast<uint32_t>(data.size());
    h.status = status;
    h.error = error;
    encodeUsbReplyHeader(h, raw);
    return Bytes(raw, raw + sizeof raw) + data;
}

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

class UsbDispatch : public UsbSessionTest {};

TEST_F(UsbDispatch, SmallOpcodesAnswerExactlyToTheByte)
{
    params_.set("sys_name", "box-7");
    params_.set("zyt_tag_", "Printer", 1);
    params_.set("zyt_tag_", "Scanner \xc3\x84", 3);  // UTF-8: longer in bytes than in characters
    ASSERT_EQ(usbRowCount.load(), 40);
    // Rows 3 and 35 in use: only rows 0 to 31 fit the mask.
    usbDeviceTable[3].state.store(kUsbSlotConnected);
    usbDeviceTable[35].state.store(kUsbSlotConnected);

    const uint32_t w = 0xaabbccdd;
    struct Case {
        uint32_t opcode;
        Bytes body;
        Bytes expected;
    };
    const Case cases[] = {
        {1, {}, replyBytes(0xdd, 0x1001, 0x01020304, 3, 3, {0, 7, 0, 0, 0, 111})},
        {2, {}, replyBytes(w, 0x1002, 0x01020304, 3, 3, {})},
        {16, {0x11, 0x22, 0x33, 0x44}, replyBytes(w, 0x1010, 0x01020304, 0, 0, {0x11, 0x22, 0x33, 0x44})},
        {22, {}, replyBytes(w, 0x1016, 0x01020304, 0, 0,
                            Bytes{1} + text("Printer") + Bytes{0, 3} + text("Scanner \xc3\x84") + Bytes{0, 0})},
        {23, {}, replyBytes(w, 0x1017, 0x01020304, 0, 0, {0, 0, 0, 8})},
        {24, {}, replyBytes(w, 0x1018, 0x01020304, 0, 0, text("box-7"))},
        {27, {}, replyBytes(0xdd, 0x101b, 0x01020304, 0, 0, {0, 7, 0, 0, 0, 111, 0, 40})},
    };
    ProtocolClient& client = startSession();
    for (const Case& c : cases) {
        Reply r = client.request(c.opcode, 0x01020304, c.body, w);
        EXPECT_EQ(r.raw, c.expected) << "opcode " << c.opcode;
    }

    params_.set("sys_name", "");
    Reply empty = client.request(24, 9, {}, w);
    EXPECT_EQ(empty.raw, replyBytes(w, 0x1018, 9, 0, 0, {})) << "an empty host name is length 0, error 0";
}

TEST_F(UsbDispatch, TagListFollowsTheListenersVlan)
{
    params_.set("zyt_tag_", "one", 1);
    params_.set("zyt_tag_", "three", 3);
    params_.set("zyt_2vlan_", "1", 3);
    params_.set("ip4vlan_id_", "7", 1);
    struct Case {
        int vlan;
        Bytes expected;
    };
    const Case cases[] = {
        {-1, Bytes{1} + text("one") + Bytes{0, 0}},
        {7, Bytes{1} + text("one") + Bytes{0, 3} + text("three") + Bytes{0, 0}},
        {8, Bytes{1} + text("one") + Bytes{0, 0}},
    };
    for (const Case& c : cases) {
        ProtocolClient& client = startSession(c.vlan);
        EXPECT_EQ(client.request(22, 1).data, c.expected) << "listener VLAN " << c.vlan;
    }
    params_.set("zyt_tag_", "", 1);
    params_.set("zyt_tag_", "", 3);
    EXPECT_EQ(startSession().request(22, 1).data, Bytes{0}) << "no tags: the single 0 byte";
}

TEST_F(UsbDispatch, IgnoredOpcodesAnswerNothingAndTheNextRequestIsServed)
{
    ProtocolClient& client = startSession();
    ASSERT_TRUE(client.send(requestHeader(3, 1) + requestHeader(7, 2) + requestHeader(18, 3) + requestHeader(20, 4)
                            + requestHeader(27, 5)));
    Reply r;
    ASSERT_TRUE(client.readReply(&r));
    EXPECT_EQ(r.header.opcode, 0x101bu);
    EXPECT_EQ(usbGetU32(r.header.tag), 5u);
    EXPECT_TRUE(client.quietFor(100));
}

TEST_F(UsbDispatch, UnknownAndReservedOpcodesCloseWithoutAByte)
{
    for (uint32_t opcode : {10u, 14u, 15u, 17u, 19u, 28u, 0u, 30u, 0xffffffffu}) {
        ProtocolClient& client = startSession();
        ASSERT_TRUE(client.send(requestHeader(opcode, 1)));
        size_t extra = 99;
        EXPECT_TRUE(client.closedWithin(5000, &extra)) << "opcode " << opcode;
        EXPECT_EQ(extra, 0u) << "opcode " << opcode;
    }
}

TEST_F(UsbDispatch, APayloadTheOpcodeDoesNotReadIsTheNextHeader)
{
    ProtocolClient& client = startSession();
    Bytes next = requestHeader(24, 0x77);
    // Opcode 27 announces 8 bytes it never reads: they and the 8 after them
    // make the next request.
    ASSERT_TRUE(client.send(requestHeader(27, 0x55, 8) + next));
    Reply first, second;
    ASSERT_TRUE(client.readReply(&first));
    ASSERT_TRUE(client.readReply(&second));
    EXPECT_EQ(first.header.opcode, 0x101bu);
    EXPECT_EQ(second.header.opcode, 0x1018u);
    EXPECT_EQ(usbGetU32(second.header.tag), 0x77u);
}

TEST_F(UsbDispatch, AHeaderSplitAcrossSegmentsIsReadWhole)
{
    ProtocolClient& client = startSession();
    Bytes h = requestHeader(27, 0x99);
    ASSERT_TRUE(client.send(Bytes(h.begin(), h.begin() + 8)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(client.send(Bytes(h.begin() + 8, h.end())));
    Reply r;
    ASSERT_TRUE(client.readReply(&r)) << "the session ended on half a header";
    EXPECT_EQ(r.header.opcode, 0x101bu);

    // Byte by byte, body included.
    Bytes beat = requestHeader(16, 0x42) + Bytes{1, 2, 3, 4};
    for (uint8_t b : beat) {
        ASSERT_TRUE(client.send(Bytes{b}));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(client.readReply(&r));
    EXPECT_EQ(r.header.opcode, 0x1010u);
    EXPECT_EQ(r.data, (Bytes{1, 2, 3, 4}));
}

// A client that sends many requests at once: the session reads ahead, and
// requests (and bodies) that straddle the end of one read are served whole,
// in order, without the client sending anything more.
TEST_F(UsbDispatch, ManyRequestsInOneSendAreAllServedInOrder)
{
    ProtocolClient& client = startSession();
    constexpr uint32_t kCount = 1500;
    Bytes burst;
    for (uint32_t i = 0; i < kCount; ++i) {
        Bytes value(4);
        usbPutU32(value.data(), i * 2654435761u);
        const Bytes one = requestHeader(16, i, 4) + value;
        burst.insert(burst.end(), one.begin(), one.end());
    }
    ASSERT_TRUE(client.send(burst));
    for (uint32_t i = 0; i < kCount; ++i) {
        Reply r;
        ASSERT_TRUE(client.readReply(&r)) << "reply " << i;
        ASSERT_EQ(usbGetU32(r.header.tag), i);
        ASSERT_EQ(r.data.size(), 4u);
        ASSERT_EQ(usbGetU32(r.data.data()), i * 2654435761u) << "reply " << i;
    }
    EXPECT_TRUE(client.quietFor(100));
}

TEST_F(UsbDispatch, DiscardOfAnUnknownUrbIdAnswersStatusZero)
{
    ProtocolClient& client = startSession();
    Reply r = client.request(9, 3, {0xde, 0xad, 0xbe, 0xef}, 0x12345678);
    EXPECT_EQ(r.raw, replyBytes(0x12345678, 0x1009, 3, 0, 0, {}));
}

TEST_F(UsbDispatch, ABodyTooLargeToDropEndsTheSession)
{
    setUsbRequestHandler(kUsbOpConnect, oldConnect_);
    ProtocolClient& client = startSession();
    Bytes body = {0, 1, 0x01, 3, 0, 0, 0, 0, 0x7f, 0xff, 0xff, 0xff};
    ASSERT_TRUE(client.send(requestHeader(8, 1) + body));
    EXPECT_TRUE(client.closedWithin(5000));
}

TEST_F(UsbDispatch, ANetworkChangeDuringABodyLeavesTheRequestWhole)
{
    int id = 0;
    ProtocolClient& client = startSession(-1, &id);
    ASSERT_TRUE(client.send(requestHeader(16, 5, 0) + Bytes{9, 8}));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    TaskMessage change{0, MSG_NETWORK_CHANGED, 0, 0};
    ASSERT_EQ(postToTaskId(id, &change), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(client.send(Bytes{7, 6}));
    Reply r;
    ASSERT_TRUE(client.readReply(&r));
    EXPECT_EQ(r.header.opcode, 0x1010u);
    EXPECT_EQ(r.data, (Bytes{9, 8, 7, 6}));
}

// Notices posted by other threads go out between whole frames of the
// session's own replies.
TEST_F(UsbDispatch, NoticesFromOtherThreadsNeverBreakAFrame)
{
    int id = 0;
    ProtocolClient& client = startSession(-1, &id);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 10;
    constexpr int kBeats = 100;
    std::vector<std::thread> posters;
    struct JoinAll {
        std::vector<std::thread>& threads;
        ~JoinAll()
        {
            for (std::thread& t : threads)
                t.join();
        }
    } joinAll{posters};
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([id, t] {
            for (int i = 0; i < kPerThread; ++i) {
                EXPECT_EQ(postUsbNotice(id, kUsbOpNoticeAdminDisconnect, t, i + 1), 0);
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
    }
    int notices = 0;
    int replies = 0;
    int sent = 0;
    std::vector<int> seen(kThreads * kPerThread, 0);
    while (replies < kBeats || notices < kThreads * kPerThread) {
        if (sent < kBeats && sent == replies) {
            ASSERT_TRUE(client.send(requestHeader(16, 1000 + sent) + Bytes{1, 2, 3, 4}));
            ++sent;
        }
        uint8_t head[16];
        ASSERT_TRUE(client.read(head, sizeof head)) << notices << " notices, " << replies << " replies";
        if (usbGetU32(head + 4) == kUsbOpNoticeAdminDisconnect) {
            EXPECT_EQ(usbGetU32(head), 1u);
            EXPECT_EQ(usbGetU32(head + 8), 0u);
            EXPECT_EQ(usbGetU32(head + 12), 2u);
            uint8_t rowPort[2];
            ASSERT_TRUE(client.read(rowPort, 2));
            ASSERT_LT(rowPort[0], kThreads);
            ASSERT_GE(rowPort[1], 1);
            ASSERT_LE(rowPort[1], kPerThread);
            ++seen[rowPort[0] * kPerThread + rowPort[1] - 1];
            ++notices;
            continue;
        }
        ASSERT_EQ(usbGetU32(head + 4), 0x1010u) << "a frame was broken";
        uint8_t rest[8 + 4];
        ASSERT_TRUE(client.read(rest, sizeof rest));
        EXPECT_EQ(usbGetU32(head + 8), static_cast<uint32_t>(1000 + replies));
        EXPECT_EQ(Bytes(rest + 8, rest + 12), (Bytes{1, 2, 3, 4}));
        ++replies;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kThreads * kPerThread) << "every notice exactly once";
}

// Whatever arrives, at most the one session ends; the others go on.
TEST_F(UsbDispatch, RandomInputEndsAtMostItsOwnSession)
{
    ProtocolClient& steady = startSession();
    std::mt19937 random(20240611);
    constexpr int kRounds = 300;
    for (int round = 0; round < kRounds; ++round) {
        ProtocolClient& client = startSession();
        Bytes input;
        switch (random() % 3) {
        case 0: {  // noise
            input.resize(1 + random() % 300);
            for (uint8_t& b : input)
                b = static_cast<uint8_t>(random());
            break;
        }
        case 1: {  // a plausible header, any opcode, any length, a short body
            uint32_t length = random() % 2 ? random() % 600 : static_cast<uint32_t>(random());
            input = requestHeader(random() % 32, static_cast<uint32_t>(random()), length, static_cast<uint32_t>(random()));
            input.resize(input.size() + random() % 64, static_cast<uint8_t>(random()));
            break;
        }
        default: {  // a key list that does not fit its count
            Bytes keys = {'V', 'E', static_cast<uint8_t>(random() % 2 ? 'K' : 'k'), static_cast<uint8_t>(random() % 40)};
            keys.resize(4 + random() % 440, static_cast<uint8_t>(random()));
            input = requestHeader(29, 1, static_cast<uint32_t>(keys.size())) + keys;
            break;
        }
        }
        // The session may end before it has read all of the input; a send
        // cut short must then be that end, never anything else.
        const bool sentWhole = client.send(input);
        const int sendError = errno;
        ASSERT_TRUE(sentWhole || sendError == EPIPE || sendError == ECONNRESET)
            << "round " << round << ": " << std::strerror(sendError);
        client.shutdownWrite();
        ASSERT_TRUE(client.closedWithin(10000)) << "round " << round;
        client.close();
    }
    EXPECT_EQ(steady.request(27, 1).header.opcode, 0x101bu) << "the steady session was disturbed";
}

} // namespace
