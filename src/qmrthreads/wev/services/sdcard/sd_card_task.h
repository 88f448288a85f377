// "SND": the SD card watcher. Every half second it looks at the card slot,
// mounts a FAT card at "/var/slot1" (read-write, else read-only), names it
// with a volume label, and reports the card's state to the notification
// task and on the front display. On the first start after boot it takes over
// the parameters and certificates kept on the card; whenever a writable card
// appears it receives the box's parameter file and certificates. Later
// changes reach the card through the parameter store and the certificate
// code themselves while the card is mounted read-write.
//
// USB storage is recognised in "/proc/scsi/scsi", but the box mounts only
// its SD card: it has no mount point of its own for USB storage.
#pragma once

#include "core/task/task.h"

#include <string>

enum : int {
    kMediumNone = 0,
    kMediumSdCard = 2,
    kMediumUsbStorage = 3,
};

// One removable medium as the watcher sees it. Only the watcher's thread
// reads or writes it; others read the card's state through sdCardState()
// and its label through sdCardLabel().
struct SdMedium {
    const char* mountPoint = nullptr;
    int kind = kMediumNone;
    char device[16] = {};
    char partition[16] = {};
    char vendor[32] = {};
    char product[32] = {};
    char serial[33] = {};
    bool mounted = false;
    int state = 0;  // 0 removed, 1 unusable, 2 write-protected, 3 mounted read-write
    char label[12] = {};
};

// The SD slot's record (mount point "/var/slot1"), for the watcher's thread.
SdMedium& sdCardMedium();

// The volume label of the card in the slot when it was last reported
// (empty without a card), safe to read from any thread.
std::string sdCardLabel();

// Fills found[0] with the SD card in the slot and the following records with
// the USB storage devices of "/proc/scsi/scsi" (at most 1 + more records in
// all). 0 when "/proc/scsi/scsi" cannot be read, else 1.
int scanMedia(SdMedium found[2], int more);

class SdCardTask : public Task {
public:
    SdCardTask() : Task("SND") {}
    ~SdCardTask() override;
    void run() override;

    // One look at the slot and what follows from it. firstLoad: the card's
    // configuration is taken over.
    void watchOnce(bool firstLoad);

    // Records the state and reports it (notification, display); the state,
    // or 0 for one outside 0 to 3. A state that is already recorded is not
    // reported again.
    static int setState(SdMedium& medium, int state);
    // Reports the medium gone and unmounts it; 1 done, 0 when the unmount
    // failed (the record stays, the next pass tries again).
    static int unmount(SdMedium& medium);
    // Takes a found medium into an empty record and mounts it; 1 mounted.
    static int takeMedium(SdMedium& record, const SdMedium& found);
    static int mountMedium(SdMedium& record, const char* suffix);
    static int writeLabel(SdMedium& record, const char* label);
};

// Creates and starts "SND" when the model has the slot and SD
// synchronisation is on. On the first start after boot it returns once the
// watcher has finished its first look at the slot (or after limitMs), so that
// the configuration a card brings is in force before anything uses it.
void startSdCardWatcher(int limitMs);
