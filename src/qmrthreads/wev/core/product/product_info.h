// What this box is: the product record written at manufacture
// ("/conf.d/product_params"), the firmware's compatibility identity
// ("/conf.d/firmware_params") and the header of the installed software
// package ("/flash/software.bin"). One firmware serves many models, so most
// model-specific behaviour keys off these records.
//
// The records are read once, on first use, in the order product, software
// package, firmware. A missing or unreadable file leaves its record zeroed:
// product 0, no WLAN or IPv6 bits, no ports; the program still starts.
#pragma once

#include <cstddef>
#include <cstdint>

struct ProductInfo {
    uint32_t product_id;       // model number
    uint32_t compat_id;        // hardware compatibility bits (hex in the file)
    uint32_t oem_id;           // hex in the file, shown only
    char product_name[128];
    char default_name[128];    // certificate common name, syslog greeting
    uint8_t ethaddr0[8];       // MAC address; the first 6 bytes are used
    uint32_t network_type;
    uint32_t phy0_addr;        // PHY address of the wired port
    uint32_t software_id;      // id a software package must carry
    uint32_t printer_ports;    // number of ports; replaced by strlen(device_types)
    // Ports of each kind, counted from device_types. count_u is the number of
    // shared USB ports (zytPortNumber).
    int32_t count_u;
    int32_t count_c;
    int32_t count_s;
    int32_t count_e;
    uint32_t usb_ports_phy;    // physical USB ports; bounds the per-port families
    char device_types[128];    // one letter per port
    uint32_t hw_major;
    uint32_t hw_minor;
    uint32_t hw_project;
    uint32_t year;
    uint32_t month;
    uint32_t serial_no;
    uint32_t fpga_compat_id;
    uint32_t fpga_compat_level;
    uint32_t creation_time;
    uint32_t gpio_hw_project;      // board type of the board driver
    uint32_t usbtable_product_id;  // model number for the USB device table size
};

struct FirmwareInfo {
    uint32_t compat_id;        // hex in the file
    uint32_t compat_level;     // an image needs at least this level
    uint32_t firmware_version;
    uint32_t creation_time;
};

// Seven big-endian words of the installed software package's 128-byte
// header; all zero when "/flash/software.bin" is missing or shorter.
struct SoftwarePackageInfo {
    uint32_t compat_id;        // header offset 16
    uint32_t compat_level;     // 20
    uint32_t software_id;      // 24
    uint32_t version;          // 32
    uint32_t release;          // 36
    uint32_t subrelease;       // 40
    uint32_t creation_time;    // 28
};

// compat_id bits that mean the model has WLAN hardware, and IPv6 support.
constexpr uint32_t COMPAT_WLAN_BITS = 0x4405a02;
constexpr uint32_t COMPAT_IPV6_BIT = 0x80;

// Readers of the three files (through boxPath). Each zeroes its record first;
// the product and firmware readers take "key=value" lines, the key matched as
// a prefix of the line, later lines overwriting earlier ones.
void readProductParams(ProductInfo* info);
void readFirmwareParams(FirmwareInfo* info);
void readSoftwareHeader(SoftwarePackageInfo* info);

// The process-wide records, read on first use (thread-safe).
const ProductInfo& productInfo();
const FirmwareInfo& firmwareInfo();
const SoftwarePackageInfo& softwarePackageInfo();

// The model feature set corrects the physical port count of a few models at
// start-up, before any task runs; nothing else changes the record.
void setUsbPortsPhy(uint32_t count);

// Tests only: read all three records again (after writing new files under a
// temporary WEV_ROOT and calling reloadRootPrefixForTest()). Not safe while
// other threads read the records.
void reloadProductInfoForTest();
