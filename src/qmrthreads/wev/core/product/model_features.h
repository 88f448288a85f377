// The model feature set: one firmware serves models that differ in port count
// and optional hardware. At start-up, right after the parameter file is
// read, setRuntimeEnv derives the model's feature mask from the product
// record, stores it in `sw_features`, publishes the shared port count in
// `zytPortNumber` and hides every parameter the model lacks. Code everywhere
// tests `sw_features` bits before it uses optional hardware.
#pragma once

#include <cstdint>

// Feature bits of `sw_features`; the same bits in a parameter's flags name
// the features it needs.
enum : uint32_t {
    kFeatureEmail = 0x1000,         // e-mail notification, mail commands, traps
    kFeatureAccessControl = 0x2000, // USB port access control and port binding
    kFeatureWlan = 0x4000,
    kFeaturePortPower = 0x8000,     // switchable USB port power
    kFeatureCompression = 0x10000,
    kFeatureIp4Vlan = 0x20000,
    kFeatureDisplay = 0x40000,      // front display
    kFeatureSupplyEvents = 0x80000, // supply-input and link events
    kFeatureBeeper = 0x100000,
    kFeatureSdCard = 0x200000,
    kFeatureRelay = 0x400000,
};

// What a model adds to the base set, and the port-count fix some models need.
struct ModelFeatures {
    uint32_t mask;          // besides the WLAN base
    int minPortsPhy;        // usb_ports_phy is raised to this (0: no rule)
    int maxPortsPhy;        // usb_ports_phy is lowered to this (0: no rule)
    const char* bugFixTag;  // named in the message about the fix
    bool hidesWifi;         // the `wifi` switch is hidden
};

// The row for a product id; ids the table does not know get an all-zero row.
ModelFeatures modelFeatures(uint32_t productId);

// The mask for a product record: the model's row plus the WLAN base when the
// hardware compatibility bits show WLAN.
uint32_t featureMaskFor(uint32_t productId, uint32_t compatId);

// Called once by the start-up code after the parameter file was loaded and
// before any task starts. Fixes the port count in the product record, sets
// `sw_features` and `zytPortNumber`, and hides what the model lacks; the
// hidden bit is never taken back during the run.
void setRuntimeEnv();

// Template variables "QMR_CFG_<name>": is the named software feature present.
// The name matches a feature whose name it begins (ignoring case), so "" and
// "E" match too; a feature whose test fails lets later rows answer.
bool isSoftwareFeature(const char* name);

bool hasFeatureEmail();
bool hasFeatureAccessControl();
bool hasFeatureWlan();
bool hasFeaturePortSwitch();
bool hasFeatureCompression();
bool hasFeatureIp4Vlan();
// The syslog client is configured only by the parameter file read at
// start-up, never through the pages.
bool hasFeatureSyslog();
