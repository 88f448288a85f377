// Shared by the tests of the SD card copies: a box root with a product
// record, "/flash" and the card's directory "/var/slot1", the model's SD
// feature and `autoSync` switched on, a card mounted read-write, and a tick
// source the test drives.
#pragma once

#include "core/params/param_handles.h"
#include "core/product/model_features.h"
#include "core/storage/sd_card_state.h"
#include "core/storage/sd_mirror.h"
#include "core/task/tick_clock.h"
#include "support/product_record.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace sdtest {

namespace fs = std::filesystem;

inline std::atomic<uint64_t> fakeTicks{0};
inline uint64_t fakeTickSource()
{
    return fakeTicks.load();
}

inline std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::set<std::string> filesIn(const std::string& dir)
{
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

class SdCardFixture : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.ok());
        root.writeFile("/conf.d/firmware_params", "firmware_version=21\n");
        useProduct(root, "product_name=Test Box 12\ndefault_name=TB-0102\nhw_project=12\nyear=2024\nmonth=3\n"
                         "serial_no=42\nethaddr0=00:c0:eb:01:02:0a\nhw_major=2\nhw_minor=1\n");
        fs::create_directories(root.dir() + "/flash");
        fs::create_directories(root.dir() + "/var/slot1");
        savedFeatures = params::sw_features()->value();
        savedAutoSync = params::autoSync()->value();
        savedSysName = *params::sys_name()->value();
        params::sw_features()->setValue(savedFeatures | kFeatureSdCard);
        params::autoSync()->setValue(1);
        setSdCardState(kSdCardMounted);
        fakeTicks.store(100000);
        setTickSourceForTest(fakeTickSource);
        resetLogFileStampForTest();
    }
    void TearDown() override
    {
        setTickSourceForTest(nullptr);
        setSdCardState(kSdCardRemoved);
        params::sw_features()->setValue(savedFeatures);
        params::autoSync()->setValue(savedAutoSync);
        params::sys_name()->set(savedSysName.c_str(), -1);
        resetLogFileStampForTest();
    }
    std::string path(const char* boxFile) const { return root.dir() + boxFile; }
    std::string logFile() const { return path("/var/slot1/TB-0102.log"); }

    TempBoxRoot root;
    int32_t savedFeatures = 0;
    int32_t savedAutoSync = 0;
    std::string savedSysName;
};

} // namespace sdtest
