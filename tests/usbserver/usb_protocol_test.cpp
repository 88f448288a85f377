// The wire layouts of the USB sharing protocol against bytes written out by
// hand from the protocol's description.
#include "usbserver/usb_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

template <size_t N>
Bytes bytesOf(const uint8_t (&a)[N])
{
    return Bytes(a, a + N);
}

TEST(UsbProtocol, RequestHeaderIsBigEndianWithTheTagKeptAsBytes)
{
    const uint8_t wire[16] = {0x01, 0x02, 0x03, 0x04, 0, 0, 0, 29, 0xde, 0xad, 0xbe, 0xef, 0, 0, 0x01, 0xbc};
    UsbRequestHeader h;
    decodeUsbRequestHeader(wire, &h);
    EXPECT_EQ(h.word0, 0x01020304u);
    EXPECT_EQ(h.opcode, 29u);
    EXPECT_EQ(Bytes(h.tag, h.tag + 4), (Bytes{0xde, 0xad, 0xbe, 0xef}));
    EXPECT_EQ(h.length, 444u);
    EXPECT_EQ(usbTagValue(h), 0xdeadbeefu);

    uint8_t again[16];
    encodeUsbRequestHeader(h, again);
    EXPECT_EQ(bytesOf(again), bytesOf(wire));
}

TEST(UsbProtocol, ReplyWordZeroKeepsOnlyTheLowByteForVersionsAndTransfers)
{
    struct Case {
        uint32_t opcode;
        uint32_t word0;
    };
    const Case cases[] = {
        {1, 0x000000aa}, {8, 0x000000aa}, {27, 0x000000aa},  // low byte only
        {2, 0x112233aa}, {16, 0x112233aa}, {22, 0x112233aa}, {23, 0x112233aa}, {24, 0x112233aa},
        {26, 0x112233aa}, {29, 0x112233aa},
    };
    for (const Case& c : cases) {
        UsbRequestHeader request;
        request.word0 = 0x112233aa;
        request.opcode = c.opcode;
        memcpy(request.tag, "\x01\x02\x03\x04", 4);
        UsbReplyHeader reply = usbReplyFor(request);
        reply.length = 6;
        reply.status = 3;
        reply.error = 71;
        uint8_t wire[24];
        encodeUsbReplyHeader(reply, wire);
        const uint8_t expected[24] = {
            static_cast<uint8_t>(c.word0 >> 24), static_cast<uint8_t>(c.word0 >> 16),
            static_cast<uint8_t>(c.word0 >> 8), static_cast<uint8_t>(c.word0),
            0, 0, 0x10, static_cast<uint8_t>(c.opcode),
            1, 2, 3, 4,
            0, 0, 0, 6,
            0, 0, 0, 3,
            0, 0, 0, 71};
        EXPECT_EQ(bytesOf(wire), bytesOf(expected)) << "opcode " << c.opcode;
        UsbReplyHeader back;
        decodeUsbReplyHeader(wire, &back);
        EXPECT_EQ(back.opcode, 0x1000 + c.opcode);
        EXPECT_EQ(back.error, 71u);
    }
}

TEST(UsbProtocol, NoticeIsARequestHeaderWithRowAndPort)
{
    uint8_t wire[kUsbNoticeSize];
    encodeUsbNotice(17, 5, 3, wire);
    const uint8_t expected[18] = {0, 0, 0, 1, 0, 0, 0, 17, 0, 0, 0, 0, 0, 0, 0, 2, 5, 3};
    EXPECT_EQ(bytesOf(wire), bytesOf(expected));
    encodeUsbNotice(19, 39, 20, wire);
    EXPECT_EQ(wire[7], 19);
    EXPECT_EQ(wire[16], 39);
    EXPECT_EQ(wire[17], 20);
}

TEST(UsbProtocol, VersionAnswers)
{
    uint8_t v[6];
    encodeUsbVersionData(v);
    EXPECT_EQ(bytesOf(v), (Bytes{0, 7, 0, 0, 0, 111}));
    uint8_t r[8];
    encodeUsbVersionRowsData(40, r);
    EXPECT_EQ(bytesOf(r), (Bytes{0, 7, 0, 0, 0, 111, 0, 40}));
}

Bytes cryptList(std::vector<std::pair<uint8_t, std::string>> entries)
{
    Bytes b = {'V', 'E', 'K', static_cast<uint8_t>(entries.size())};
    for (auto& [port, answer] : entries) {
        b.push_back(port);
        b.insert(b.end(), answer.begin(), answer.end());
    }
    return b;
}

Bytes digestList(std::vector<std::pair<uint16_t, uint8_t>> entries)
{
    Bytes b = {'V', 'E', 'k', static_cast<uint8_t>(entries.size())};
    for (auto& [port, fill] : entries) {
        b.push_back(static_cast<uint8_t>(port >> 8));
        b.push_back(static_cast<uint8_t>(port));
        b.insert(b.end(), 20, fill);
    }
    return b;
}

TEST(UsbProtocol, KeyListsOfBothFormsAreTakenApart)
{
    UsbKeyList list;
    Bytes crypt = cryptList({{3, "abcdefghijk"}, {7, "ABCDEFGHIJK"}});
    ASSERT_TRUE(parseUsbKeyList(crypt.data(), crypt.size(), &list));
    EXPECT_FALSE(list.digest);
    ASSERT_EQ(list.count, 2);
    EXPECT_EQ(list.entries[1].port, 7);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(list.entries[1].answer), 11), "ABCDEFGHIJK");

    Bytes digest = digestList({{0x0102, 0xaa}, {5, 0xbb}});
    ASSERT_TRUE(parseUsbKeyList(digest.data(), digest.size(), &list));
    EXPECT_TRUE(list.digest);
    ASSERT_EQ(list.count, 2);
    EXPECT_EQ(list.entries[0].port, 0x0102) << "the digest form's port is a big-endian u16";
    EXPECT_EQ(list.entries[1].answer[19], 0xbb);
}

TEST(UsbProtocol, MalformedKeyListsAreRefused)
{
    UsbKeyList list;
    Bytes good = cryptList({{1, "abcdefghijk"}});
    struct Case {
        const char* what;
        Bytes bytes;
    };
    Bytes wrongMagic = good;
    wrongMagic[2] = 'X';
    Bytes longer = good;
    longer.push_back(0);
    Bytes shorter(good.begin(), good.end() - 1);
    Bytes countTooHigh = good;
    countTooHigh[3] = 2;
    Bytes digestAsCrypt = digestList({{1, 0}});
    digestAsCrypt[2] = 'K';
    Bytes huge = cryptList(std::vector<std::pair<uint8_t, std::string>>(37, {1, "abcdefghijk"}));
    const Case cases[] = {
        {"wrong magic", wrongMagic},
        {"one byte more than the count needs", longer},
        {"one byte less", shorter},
        {"count larger than the entries", countTooHigh},
        {"digest entries under the crypt magic", digestAsCrypt},
        {"head only, 3 bytes", Bytes{'V', 'E', 'K'}},
        {"more than 444 bytes", huge},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(parseUsbKeyList(c.bytes.data(), c.bytes.size(), &list)) << c.what;

    Bytes empty = cryptList({});
    ASSERT_TRUE(parseUsbKeyList(empty.data(), empty.size(), &list));
    EXPECT_EQ(list.count, 0);
    Bytes most = cryptList(std::vector<std::pair<uint8_t, std::string>>(36, {1, "abcdefghijk"}));
    ASSERT_EQ(most.size(), 436u);
    EXPECT_TRUE(parseUsbKeyList(most.data(), most.size(), &list));
    EXPECT_EQ(list.count, 36);
}

TEST(UsbProtocol, DeviceEntryTurnsTheSixteenBitFieldsBigEndian)
{
    // A device descriptor in USB byte order: bcdUSB 0x0200, vendor 0x1d6b,
    // product 0x0104, bcdDevice 0x0510.
    const uint8_t descriptor[18] = {18, 1, 0x00, 0x02, 0xff, 0, 0, 64, 0x6b, 0x1d,
                                    0x04, 0x01, 0x10, 0x05, 1, 2, 3, 1};
    uint8_t entry[22];
    encodeUsbDeviceEntry(4, 2, 3, descriptor, entry);
    const uint8_t expected[22] = {4, 2, 3, 0, 18, 1, 0x02, 0x00, 0xff, 0, 0, 64, 0x1d, 0x6b,
                                  0x01, 0x04, 0x05, 0x10, 1, 2, 3, 1};
    EXPECT_EQ(bytesOf(entry), bytesOf(expected));

    uint8_t head[3];
    encodeUsbDeviceListHead(2, head);
    EXPECT_EQ(bytesOf(head), (Bytes{2, 0, 44}));
}

TEST(UsbProtocol, OwnerRecord)
{
    const uint8_t address[4] = {198, 18, 0, 1};
    uint8_t record[9];
    encodeUsbOwnerRecord(address, record);
    EXPECT_EQ(bytesOf(record), (Bytes{3, 4, 0, 0, 0, 198, 18, 0, 1}));
}

} // namespace
