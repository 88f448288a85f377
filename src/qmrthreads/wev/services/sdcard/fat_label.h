// The volume label of a FAT12, FAT16 or FAT32 file system on a block device
// or an image file: in the boot sector, its FAT32 backup, and the label entry
// of the root directory. The SD card watcher names every card it mounts this
// way.
//
// Nothing is written until every check and every read has succeeded: the
// changes are collected first, and reads see them. A file system whose
// geometry does not add up is refused and left as it was.
#pragma once

#include <cstdint>
#include <vector>

// Writes the label (at most 11 characters, padded with blanks). Returns 1
// when every change was written and the device closed cleanly, 0 when the
// label or the file system was refused or any write failed.
int makelabel(const char* devicePath, const char* label);

// One run of the label writer on an open device.
class FatLabelRun {
public:
    explicit FatLabelRun(int fd) : fd_(fd) {}

    // Appends a copy of size bytes to the pending changes.
    int queueChange(uint64_t offset, int size, const uint8_t* data);
    // Reads exactly size bytes at offset (else 0), then lays the pending
    // changes that overlap them over the buffer, oldest first.
    int readWithChanges(uint64_t offset, int size, uint8_t* buffer);
    // Checks the boot sector and derives the layout; 0 refuses the volume.
    int checkGeometry();
    // Byte offset of the root directory entry that takes the label, 0 when
    // there is none (a failed read sets the error flag).
    uint64_t findLabelEntry();
    // Queues the label into the boot sector(s) and the label entry.
    int queueLabel(const char (&padded)[12]);
    // Writes every pending change in order; 1 when all were written.
    int writeChanges();

    bool failed() const { return error_; }

private:
    struct Change {
        uint64_t offset;
        std::vector<uint8_t> data;
    };

    int checkFat32(const uint8_t* boot);
    int checkBackupBootSector(const uint8_t* boot);
    int checkFsInfo();
    uint64_t rootClusterOffset() const;

    int fd_;
    bool error_ = false;
    std::vector<Change> changes_;

    uint32_t sectorSize_ = 0;
    uint32_t clusterSize_ = 0;
    uint32_t fatCount_ = 0;
    uint32_t reservedSectors_ = 0;
    uint32_t rootEntries_ = 0;
    uint64_t totalSectors_ = 0;
    uint64_t fatLength_ = 0;
    uint32_t rootCluster_ = 0;
    uint32_t fsInfoSector_ = 0;
    uint32_t backupBootSector_ = 0;
    uint64_t rootStart_ = 0;
    uint64_t dataStart_ = 0;
    uint64_t clusters_ = 0;
    int fatBits_ = 0;
};
