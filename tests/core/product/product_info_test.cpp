#include "core/product/firmware_image_header.h"
#include "core/product/identity_vars.h"
#include "core/product/product_info.h"
#include "core/util/uptime_text.h"

#include "support/product_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class ProductRecordTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(root.ok()); }
    void TearDown() override
    {
        // Leave the process-wide records as an empty root gives them.
        reloadProductInfoForTest();
    }

    ProductInfo readProduct(const std::string& text)
    {
        root.writeFile("/conf.d/product_params", text);
        ProductInfo info;
        memset(&info, 0x5a, sizeof info);
        readProductParams(&info);
        return info;
    }

    std::string productVar(const char* key)
    {
        char buf[64];
        printProductVar(key, buf, sizeof buf);
        return buf;
    }

    TempBoxRoot root;
};

TEST_F(ProductRecordTest, KeysMatchAsPrefixesInTableOrderAndLaterLinesWin)
{
    struct Case {
        const char* text;
        uint32_t productId;
        uint32_t compatId;
        uint32_t hwProject;
        uint32_t gpioHwProject;
    };
    const Case cases[] = {
        // A key followed by further letters still matches.
        {"product_idX=5\n", 5, 0, 0, 0},
        // Hexadecimal and decimal keys.
        {"product_id=353\ncompat_id=4405a02\n", 353, 0x4405a02, 0, 0},
        {"compat_id=0x80\n", 0, 0x80, 0, 0},
        // A later line overwrites an earlier one.
        {"product_id=1\nproduct_id=2\n", 2, 0, 0, 0},
        // Keys that end alike do not take each other's lines.
        {"hw_project=3\ngpio_hw_project=267\n", 0, 0, 3, 267},
        // No '=': skipped. Unknown key: ignored. Value that does not convert: 0.
        {"product_id 7\nunknown=9\nhw_project=abc\n", 0, 0, 0, 0},
        // Without a final newline the last line still counts.
        {"product_id=326", 326, 0, 0, 0},
        // Out of the 32-bit range: saturates like the box's strtoul.
        {"product_id=99999999999\n", 0xffffffffu, 0, 0, 0},
    };
    for (const Case& c : cases) {
        ProductInfo info = readProduct(c.text);
        EXPECT_EQ(info.product_id, c.productId) << c.text;
        EXPECT_EQ(info.compat_id, c.compatId) << c.text;
        EXPECT_EQ(info.hw_project, c.hwProject) << c.text;
        EXPECT_EQ(info.gpio_hw_project, c.gpioHwProject) << c.text;
    }
}

TEST_F(ProductRecordTest, DeviceTypesSetThePortCountsWhateverPrinterPortsSaid)
{
    ProductInfo info = readProduct("printer_ports=2\ndevice_types=UUUUCS\nusb_ports_phy=4\n");
    EXPECT_EQ(info.printer_ports, 6u);
    EXPECT_EQ(info.count_u, 4);
    EXPECT_EQ(info.count_c, 1);
    EXPECT_EQ(info.count_s, 1);
    EXPECT_EQ(info.count_e, 0);
    EXPECT_STREQ(info.device_types, "UUUUCS");
    EXPECT_EQ(info.usb_ports_phy, 4u);

    // A printer_ports line after device_types sets the number again.
    info = readProduct("device_types=UUX\nprinter_ports=9\n");
    EXPECT_EQ(info.printer_ports, 9u);
    EXPECT_EQ(info.count_u, 2);
}

TEST_F(ProductRecordTest, MacAddressStopsAtTheEndOfItsValue)
{
    // A long line first leaves old bytes in the line buffer; a short value
    // must not pick them up.
    std::string text = "product_name=" + std::string(60, '7') + "\n" + "ethaddr0=00:1a:2B:33:44:55\n";
    ProductInfo info = readProduct(text);
    const uint8_t expected[8] = {0x00, 0x1a, 0x2b, 0x33, 0x44, 0x55, 0, 0};
    EXPECT_EQ(memcmp(info.ethaddr0, expected, 8), 0);

    info = readProduct("ethaddr0=0a:0b\n");
    const uint8_t shortExpected[8] = {0x0a, 0x0b, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(info.ethaddr0, shortExpected, 8), 0);

    // The key matches anywhere in the line; a byte that does not convert stays 0.
    info = readProduct("my_ethaddr0=01:zz:03:04:05:06:07:08\n");
    const uint8_t anywhere[8] = {1, 0, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(memcmp(info.ethaddr0, anywhere, 8), 0);
}

TEST_F(ProductRecordTest, NamesAreCutAndOverlongLinesDoNotBecomeLines)
{
    ProductInfo info = readProduct("product_name=" + std::string(200, 'n') + "\n");
    EXPECT_EQ(strlen(info.product_name), 127u);

    // The part of a line beyond 1023 characters is dropped, not read as a
    // line of its own.
    std::string longLine = "default_name=" + std::string(1023 - 13, 'd') + "product_id=77\n";
    info = readProduct("product_id=5\n" + longLine);
    EXPECT_EQ(info.product_id, 5u);
    EXPECT_EQ(strlen(info.default_name), 127u);
}

TEST_F(ProductRecordTest, MissingFilesGiveZeroRecords)
{
    reloadProductInfoForTest();
    const ProductInfo& p = productInfo();
    EXPECT_EQ(p.product_id, 0u);
    EXPECT_EQ(p.usb_ports_phy, 0u);
    EXPECT_EQ(p.product_name[0], '\0');
    EXPECT_EQ(firmwareInfo().compat_level, 0u);
    EXPECT_EQ(softwarePackageInfo().version, 0u);
}

TEST_F(ProductRecordTest, FirmwareRecordReadsItsFourKeys)
{
    root.writeFile("/conf.d/firmware_params",
                   "compat_id=ff\ncompat_level=3\nfirmware_version=412\ncreation_time=1700000000\n");
    FirmwareInfo info;
    readFirmwareParams(&info);
    EXPECT_EQ(info.compat_id, 0xffu);
    EXPECT_EQ(info.compat_level, 3u);
    EXPECT_EQ(info.firmware_version, 412u);
    EXPECT_EQ(info.creation_time, 1700000000u);
}

TEST_F(ProductRecordTest, SoftwareHeaderNeedsAllOf128Bytes)
{
    FirmwareImageHeader header;
    header.init(0x514d5257, 0x73770000);
    header.setWord(16, 0x80);
    header.setWord(20, 2);
    header.setWord(24, 11);
    header.setWord(28, 1600000000);
    header.setWord(32, 4);
    header.setWord(36, 5);
    header.setWord(40, 6);
    std::string bytes(reinterpret_cast<const char*>(header.bytes), sizeof header.bytes);

    SoftwarePackageInfo info;
    root.writeFile("/flash/software.bin", bytes + "payload");
    readSoftwareHeader(&info);
    EXPECT_EQ(info.compat_id, 0x80u);
    EXPECT_EQ(info.compat_level, 2u);
    EXPECT_EQ(info.software_id, 11u);
    EXPECT_EQ(info.creation_time, 1600000000u);
    EXPECT_EQ(info.version, 4u);
    EXPECT_EQ(info.release, 5u);
    EXPECT_EQ(info.subrelease, 6u);

    root.writeFile("/flash/software.bin", bytes.substr(0, 127));
    readSoftwareHeader(&info);
    EXPECT_EQ(info.version, 0u);
    EXPECT_EQ(info.compat_id, 0u);
}

TEST(FirmwareImageHeader, InitLaysOutMagicTypeAndVendorText)
{
    FirmwareImageHeader h;
    memset(h.bytes, 0xee, sizeof h.bytes);
    h.init(0x514d5257, 0x66770000);
    EXPECT_EQ(memcmp(h.bytes, "QMRWfw\0\0", 8), 0);
    EXPECT_EQ(h.bytes[80 + 32], 0);
    EXPECT_EQ(strlen(reinterpret_cast<const char*>(h.bytes + 80)), 32u);
    for (size_t i = 8; i < 80; ++i)
        ASSERT_EQ(h.bytes[i], 0) << i;

    h.init(0, 0);
    EXPECT_EQ(h.word(0), 0u);
    EXPECT_EQ(h.word(4), 0u);
    EXPECT_EQ(h.word(126), 0u);  // out of the header: 0, never past it
}

TEST_F(ProductRecordTest, TemplateVariablesPrintTheRecords)
{
    root.writeFile("/conf.d/firmware_params", "firmware_version=21\n");
    useProduct(root, "product_id=353\ncompat_id=4405a02\nproduct_name=Box 4\n"
                     "ethaddr0=00:c0:eb:01:02:0a\nusb_ports_phy=4\nhw_major=2\n");
    struct Case {
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        {"product_id", "353"},
        {"compat_id", "71326210"},  // the hex bit set, printed with "%d"
        {"product_name", "Box 4"},
        {"product_icon", "Box 4"},
        {"hw_address", "00:c0:eb:01:02:0a"},
        {"usb_ports_phy", "4"},
        {"hw_major", "2"},
        {"default_name", ""},
        {"nonsense", " -- 2Do --"},
        {"", " -- 2Do --"},
        {nullptr, " -- 2Do --"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(productVar(c.key), c.expected) << (c.key ? c.key : "(null)");

    char buf[16];
    printFirmwareVar("firmware_version", buf, sizeof buf);
    EXPECT_STREQ(buf, "21");
    printSoftwareVar("version", buf, sizeof buf);
    EXPECT_STREQ(buf, "0");
    printSoftwareVar("firmware_version", buf, sizeof buf);
    EXPECT_STREQ(buf, " -- 2Do --");

    // Cut to the buffer; the result is snprintf's.
    char small[4];
    EXPECT_EQ(printProductVar("product_name", small, sizeof small), 5);
    EXPECT_STREQ(small, "Box");
}

TEST(UptimeText, DaysHoursMinutes)
{
    struct Case {
        uint64_t ticks;
        const char* expected;
    };
    const Case cases[] = {
        {0, "  0/00/00"},
        {9000000, "  1/01/00"},          // 90000 s
        {5999, "  0/00/00"},             // 59.99 s
        {6000, "  0/00/01"},
        {100ull * 86400 * 1234 + 100ull * 3600 * 23 + 100ull * 60 * 59, "1234/23/59"},
    };
    char buf[32];
    for (const Case& c : cases)
        EXPECT_STREQ(uptimeText(c.ticks, buf, sizeof buf), c.expected) << c.ticks;

    char small[5];
    EXPECT_STREQ(uptimeText(9000000, small, sizeof small), "  1/");
}

} // namespace
