#include "services/sdcard/sd_card_task.h"

#include "core/notify/notify_event.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "support/sd_card_fixture.h"
#include "support/param_override.h"
#include "support/shell_command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace sdtest;

std::vector<uint32_t> postedEvents;

int recordEvent(uint32_t flags, int port, const char*, const char*, const char*, const char*)
{
    EXPECT_EQ(port, 0);
    postedEvents.push_back(flags);
    return 1;
}

// A box root with the simulated slot: the card is a FAT image at
// "/dev/mmcblk0p1" (or the whole "/dev/mmcblk0"), present while its sysfs
// files exist; what it holds lies in the image's ".files" directory.
class SdCardWatcher : public SdCardFixture {
protected:
    void SetUp() override
    {
        SdCardFixture::SetUp();
        setSdCardState(kSdCardRemoved);
        sdCardMedium() = SdMedium();
        sdCardMedium().mountPoint = "/var/slot1";
        postedEvents.clear();
        setNotifyEventIntake(recordEvent);
        fs::create_directories(path("/dev"));
    }
    void TearDown() override
    {
        setNotifyEventIntake(nullptr);
        SdCardFixture::TearDown();
    }

    // A card in the slot: device "mmcblk0p1" (partitioned) or "mmcblk0".
    void insertCard(const char* device = "mmcblk0p1", bool fat = true)
    {
        std::string image = path("/dev/") + device;
        fs::remove(image);
        if (fat) {
            ShellResult r = runShell("mkfs.fat -F 16 -s 1 -C " + image + " 8192");
            ASSERT_EQ(r.status, 0) << r.out;
        } else {
            runShell("truncate -s 1M " + image);
        }
        bool partitioned = std::string(device) == "mmcblk0p1";
        root.writeFile("/proc/partitions", partitioned ? "major minor  #blocks  name\n 179 0 8192 mmcblk0\n 179 1 8192 mmcblk0p1\n"
                                                       : "major minor  #blocks  name\n 179 0 8192 mmcblk0\n");
        root.writeFile("/sys/block/mmcblk0/device/cid", "0353445344303847801234567800d501\n");
        root.writeFile("/sys/block/mmcblk0/device/name", "SD08G\n");
    }
    void removeCard() { fs::remove_all(path("/sys/block/mmcblk0")); }
    std::string cardFiles(const char* device = "mmcblk0p1") { return path("/dev/") + device + ".files"; }
    bool slotIsLink() { return fs::is_symlink(path("/var/slot1")); }

    SdCardTask task;
};

TEST_F(SdCardWatcher, TheScanReadsTheSlotAndUsbStorageWithoutLineEnds)
{
    insertCard();
    root.writeFile("/proc/scsi/scsi", "Attached devices:\n"
                                      "Host: scsi0 Channel: 00 Id: 00 Lun: 00 UsbId: 1-1.2: sda\n"
                                      "  Vendor: SanDisk  Model: Cruzer Blade     Rev: 1.00\n"
                                      "  Type:   Direct-Access                    ANSI  SCSI revision: 06\n");
    SdMedium found[2];
    EXPECT_EQ(scanMedia(found, 1), 1);
    EXPECT_EQ(found[0].kind, kMediumSdCard);
    EXPECT_STREQ(found[0].product, "SD SD08G");
    EXPECT_STREQ(found[0].serial, "0353445344303847801234567800d501");
    EXPECT_STREQ(found[0].partition, "p1");
    EXPECT_EQ(found[1].kind, kMediumUsbStorage);
    EXPECT_STREQ(found[1].device, "sda");
    EXPECT_STREQ(found[1].vendor, "SanDisk");
    EXPECT_STREQ(found[1].product, "Cruzer Blade");

    removeCard();
    SdMedium none[2];
    EXPECT_EQ(scanMedia(none, 1), 1);
    EXPECT_EQ(none[0].kind, kMediumUsbStorage) << "without a card the first record is USB storage";
}

TEST_F(SdCardWatcher, AWritableCardIsMountedLabelledGivenTheConfigurationAndReportedOnRemoval)
{
    root.writeFile("/etc/params.dat", " sys_name = box-room\n");
    insertCard();
    task.watchOnce(false);
    EXPECT_EQ(sdCardMedium().state, kSdCardMounted);
    EXPECT_EQ(sdCardState(), kSdCardMounted);
    EXPECT_TRUE(slotIsLink());
    EXPECT_STREQ(sdCardMedium().label, "TB-0102_SD");
    EXPECT_EQ(sdCardLabel(), "TB-0102_SD") << "the pages' copy of the label";
    EXPECT_EQ(runShell("fatlabel " + path("/dev/mmcblk0p1")).out, "TB-0102_SD\n");
    EXPECT_EQ(readAll(cardFiles() + "/params.dat"), " sys_name = box-room\n");
    EXPECT_EQ(postedEvents, std::vector<uint32_t>{NOTIFY_CARD_MOUNTED});

    task.watchOnce(false);
    EXPECT_EQ(postedEvents.size(), 1u) << "a card already held is not taken again";

    removeCard();
    task.watchOnce(false);
    EXPECT_EQ(sdCardState(), kSdCardRemoved);
    EXPECT_EQ(sdCardLabel(), "") << "no label once the card is gone";
    EXPECT_FALSE(slotIsLink());
    EXPECT_TRUE(fs::is_directory(path("/var/slot1")));
    EXPECT_EQ(sdCardMedium().kind, kMediumNone);
    EXPECT_EQ(postedEvents, (std::vector<uint32_t>{NOTIFY_CARD_MOUNTED, NOTIFY_CARD_REMOVED}));
}

// A kill in the middle of a copy leaves "<name>.tmp" on the card; the box
// removes it when it next takes the card read-write, and only then.
TEST_F(SdCardWatcher, InterruptedCopiesAreRemovedFromAWritableCardOnly)
{
    root.writeFile("/flash/cert_rpriv.pem", "KEY");
    for (bool readOnly : {true, false}) {
        insertCard();
        if (readOnly)
            root.writeFile("/dev/mmcblk0p1.readonly", "");
        fs::create_directories(cardFiles());
        for (const char* name : {"params.dat.tmp", "cert_rpriv.pem.tmp", "holiday.tmp"})
            std::ofstream(cardFiles() + "/" + name) << "part";
        task.watchOnce(false);
        ASSERT_EQ(sdCardMedium().state, readOnly ? kSdCardWriteProtected : kSdCardMounted);
        EXPECT_EQ(fs::exists(cardFiles() + "/params.dat.tmp"), readOnly);
        EXPECT_EQ(fs::exists(cardFiles() + "/cert_rpriv.pem.tmp"), readOnly);
        EXPECT_TRUE(fs::exists(cardFiles() + "/holiday.tmp"));
        removeCard();
        task.watchOnce(false);
        fs::remove(path("/dev/mmcblk0p1.readonly"));
    }
}

TEST_F(SdCardWatcher, TheCardStatePassesItsRelayCode)
{
    ParamOverride params;
    params.set(params::sw_features(), std::to_string(params::sw_features()->value() | 0x400000));
    params.set("relay_ctrl", "eve");
    const struct { const char* selector; int eves; } cases[] = {{"sdin", 0x100}, {"sdout", 0x200}};
    for (const auto& c : cases) {
        ParamOverride one;
        one.set("relay_eve_sd", c.selector);
        params::relay_eves()->setChecked(0);
        insertCard();
        task.watchOnce(false);
        removeCard();
        task.watchOnce(false);
        EXPECT_EQ(params::relay_eves()->value(), c.eves) << c.selector;
    }
    params::relay_eves()->setChecked(0);
}

TEST_F(SdCardWatcher, AWriteProtectedCardIsMountedReadOnlyAndGetsNoCopies)
{
    root.writeFile("/etc/params.dat", " sys_name = box-room\n");
    insertCard();
    root.writeFile("/dev/mmcblk0p1.readonly", "");
    task.watchOnce(false);
    EXPECT_EQ(sdCardMedium().state, kSdCardWriteProtected);
    EXPECT_TRUE(slotIsLink());
    EXPECT_FALSE(fs::exists(cardFiles() + "/params.dat"));
    EXPECT_EQ(postedEvents, std::vector<uint32_t>{NOTIFY_CARD_WRITE_PROTECTED});
}

TEST_F(SdCardWatcher, ACardWithoutPartitionTableIsMountedWholeAfterOneUnusableReport)
{
    insertCard("mmcblk0");
    task.watchOnce(false);
    EXPECT_EQ(sdCardMedium().state, kSdCardMounted);
    EXPECT_EQ(postedEvents, (std::vector<uint32_t>{NOTIFY_CARD_UNUSABLE, NOTIFY_CARD_MOUNTED}));
    EXPECT_EQ(runShell("fatlabel " + path("/dev/mmcblk0")).out, "TB-0102_SD\n");
}

TEST_F(SdCardWatcher, AnUnusableCardIsReportedOnce)
{
    insertCard("mmcblk0p1", false);
    for (int pass = 0; pass < 3; ++pass)
        task.watchOnce(false);
    EXPECT_EQ(sdCardMedium().state, kSdCardUnusable);
    EXPECT_FALSE(slotIsLink());
    EXPECT_EQ(postedEvents, std::vector<uint32_t>{NOTIFY_CARD_UNUSABLE});
}

TEST_F(SdCardWatcher, ACardThatCannotBeUnmountedIsReportedGoneOnceAndUnmountedLater)
{
    insertCard();
    task.watchOnce(false);
    root.writeFile("/dev/mounts.sim/stuck", "");
    removeCard();
    for (int pass = 0; pass < 4; ++pass)
        task.watchOnce(false);
    EXPECT_TRUE(slotIsLink());
    EXPECT_EQ(postedEvents, (std::vector<uint32_t>{NOTIFY_CARD_MOUNTED, NOTIFY_CARD_REMOVED}));

    fs::remove(path("/dev/mounts.sim/stuck"));
    root.writeFile("/dev/mounts.sim/busy", "");  // a forced unmount fails, a detach does not
    task.watchOnce(false);
    EXPECT_FALSE(slotIsLink());
    EXPECT_EQ(sdCardMedium().kind, kMediumNone);
    EXPECT_EQ(postedEvents.size(), 2u);
}

TEST_F(SdCardWatcher, OnTheFirstStartTheCardsConfigurationIsTakenOverAndSaved)
{
    root.writeFile("/etc/params.dat", " sys_name = old-box\n");
    insertCard();
    fs::create_directories(cardFiles());
    root.writeFile("/dev/mmcblk0p1.files/params.dat", " sys_name = from-card\n");

    task.watchOnce(true);
    EXPECT_EQ(*params::sys_name()->value(), "from-card");
    std::string saved = readAll(path("/etc/params.dat"));
    EXPECT_NE(saved.find("from-card"), std::string::npos) << saved;
    EXPECT_EQ(readAll(cardFiles() + "/params.dat"), saved) << "box and card end up equal";
}

TEST_F(SdCardWatcher, ALaterStartTakesNothingFromTheCard)
{
    params::sys_name()->set("old-box", -1);
    root.writeFile("/etc/params.dat", " sys_name = old-box\n");
    insertCard();
    fs::create_directories(cardFiles());
    root.writeFile("/dev/mmcblk0p1.files/params.dat", " sys_name = from-card\n");

    task.watchOnce(false);
    EXPECT_EQ(*params::sys_name()->value(), "old-box");
    EXPECT_EQ(readAll(cardFiles() + "/params.dat"), " sys_name = old-box\n");
}

} // namespace
