#include "services/sdcard/fat_label.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int BOOT_SECTOR_SIZE = 512;
constexpr int DIR_ENTRY_SIZE = 32;
constexpr uint8_t EXTENDED_SIGNATURE = 0x29;
constexpr uint8_t ATTR_VOLUME_LABEL = 0x08;
constexpr uint8_t ATTR_LONG_NAME = 0x0f;
constexpr uint64_t FAT12_MAX_CLUSTERS = 4084;
constexpr uint64_t FAT16_MAX_CLUSTERS = 65524;
constexpr int LABEL_LENGTH = 11;

constexpr uint32_t FSINFO_LEAD_SIGNATURE = 0x41615252;
constexpr uint32_t FSINFO_STRUCT_SIGNATURE = 0x61417272;
constexpr uint32_t SECTOR_END_SIGNATURE = 0xaa55;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void putLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Where the label fields sit in the boot sector of each FAT type.
struct LabelFields {
    int signature, serial, label, type;
    const char* typeName;
};

LabelFields labelFields(int fatBits) {
    if (fatBits == 32) return {66, 67, 71, 82, "FAT32   "};
    return {38, 39, 43, 54, fatBits == 12 ? "FAT12   " : "FAT16   "};
}

// The directory entry's time and date words; an unset clock (before 1980,
// which the date word cannot hold) counts as the first day of 1980.
void stampDirEntry(uint8_t* entry) {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    int year = local.tm_year + 1900, month = local.tm_mon + 1, day = local.tm_mday;
    if (year < 1980) {
        year = 1980;
        month = 1;
        day = 1;
    }
    putLe16(entry + 22, static_cast<uint16_t>(local.tm_sec / 2 + local.tm_min * 32 + local.tm_hour * 2048));
    putLe16(entry + 24, static_cast<uint16_t>((year - 1980) * 512 + month * 32 + day));
}

void printBootSectorDifferences(const uint8_t* boot, const uint8_t* backup) {
    printf("There are differences between boot sector and its backup.\n");
    printf("Differences: (offset:original/backup)\n  ");
    int column = 2;
    bool first = true;
    for (int i = 0; i < BOOT_SECTOR_SIZE; ++i) {
        if (boot[i] == backup[i]) continue;
        char item[32];
        int n = snprintf(item, sizeof item, "%s%u:%02x/%02x", first ? "" : ", ", static_cast<unsigned>(i),
                         boot[i], backup[i]);
        if (column + n > 78) {
            printf("\n  ");
            column = 2;
        }
        fputs(item, stdout);
        column += n;
        first = false;
    }
    printf("\n  Not automatically fixing this.\n");
}

}  // namespace

int FatLabelRun::queueChange(uint64_t offset, int size, const uint8_t* data) {
    if (size <= 0) return 0;
    changes_.push_back({offset, std::vector<uint8_t>(data, data + size)});
    return 1;
}

int FatLabelRun::readWithChanges(uint64_t offset, int size, uint8_t* buffer) {
    if (size <= 0 || offset > static_cast<uint64_t>(INT64_MAX)) return 0;
    ssize_t got = pread(fd_, buffer, static_cast<size_t>(size), static_cast<off_t>(offset));
    if (got != size) return 0;
    uint64_t end = offset + static_cast<uint64_t>(size);
    for (const Change& c : changes_) {
        uint64_t cEnd = c.offset + c.data.size();
        uint64_t from = std::max(offset, c.offset), to = std::min(end, cEnd);
        if (from < to) memcpy(buffer + (from - offset), c.data.data() + (from - c.offset), to - from);
    }
    return 1;
}

int FatLabelRun::checkGeometry() {
    uint8_t boot[BOOT_SECTOR_SIZE];
    if (!readWithChanges(0, BOOT_SECTOR_SIZE, boot)) return 0;

    sectorSize_ = le16(boot + 11);
    if (sectorSize_ == 0 || sectorSize_ % 512 != 0) return 0;
    clusterSize_ = sectorSize_ * boot[13];
    if (clusterSize_ == 0) return 0;
    fatCount_ = boot[16];
    if (fatCount_ != 1 && fatCount_ != 2) return 0;
    reservedSectors_ = le16(boot + 14);
    rootEntries_ = le16(boot + 17);
    totalSectors_ = le16(boot + 19) ? le16(boot + 19) : le32(boot + 32);
    uint32_t fat16Length = le16(boot + 22), fat32Length = le32(boot + 36);
    fatLength_ = fat16Length ? fat16Length : fat32Length;

    // The last sector the boot sector claims must be reachable.
    uint64_t lastEven = totalSectors_ & ~static_cast<uint64_t>(1);
    if (lastEven == 0) return 0;
    std::vector<uint8_t> probe(sectorSize_);
    if (pread(fd_, probe.data(), sectorSize_, static_cast<off_t>((lastEven - 1) * sectorSize_)) < 0) return 0;

    rootStart_ = (reservedSectors_ + fatCount_ * fatLength_) * sectorSize_;
    uint64_t rootBytes = static_cast<uint64_t>(rootEntries_) * DIR_ENTRY_SIZE;
    dataStart_ = rootStart_ + (rootBytes + sectorSize_ - 1) / sectorSize_ * sectorSize_;
    uint64_t volumeBytes = totalSectors_ * sectorSize_;
    if (volumeBytes < dataStart_) return 0;
    clusters_ = (volumeBytes - dataStart_) / clusterSize_;

    if (fat16Length != 0 || fat32Length == 0) {
        if (clusters_ > FAT16_MAX_CLUSTERS) return 0;
        fatBits_ = clusters_ <= FAT12_MAX_CLUSTERS ? 12 : 16;
    } else {
        fatBits_ = 32;
        if (!checkFat32(boot)) return 0;
    }

    if (clusters_ > fatLength_ * sectorSize_ * 8 / fatBits_ - 2) return 0;
    if (rootEntries_ == 0 && rootCluster_ == 0) return 0;
    if (rootEntries_ % 16 != 0) return 0;
    return 1;
}

int FatLabelRun::checkFat32(const uint8_t* boot) {
    rootCluster_ = le32(boot + 44);
    fsInfoSector_ = le16(boot + 48);
    backupBootSector_ = le16(boot + 50);

    if (rootCluster_ == 0) {
        if (rootEntries_ == 0) return 0;
        printf("Warning: FAT32 root dir not in cluster chain! Compatibility mode...\n");
    } else {
        // A root cluster outside the data area would put the label entry
        // anywhere, the FAT included.
        if (rootCluster_ < 2 || rootCluster_ >= clusters_ + 2) return 0;
        if (rootEntries_ != 0)
            printf("Warning: FAT32 root dir is in a cluster chain, but a separate root dir\n"
                   "  area is defined. Cannot fix this easily.\n");
    }
    if (clusters_ <= FAT16_MAX_CLUSTERS)
        printf("Warning: Filesystem is FAT32 according to fat_length and fat32_length fields,\n"
               "  but has only %" PRIu64 " clusters, less than the required minimum of %d.\n"
               "  This may lead to problems on some systems.\n",
               clusters_, 65525);
    if (!checkBackupBootSector(boot)) return 0;
    return checkFsInfo();
}

int FatLabelRun::checkBackupBootSector(const uint8_t* boot) {
    if (backupBootSector_ == 0) {
        printf("There is no backup boot sector.\n");
        printf(reservedSectors_ < 3 ? "And there is no space for creating one!\n"
                                    : "  Auto-creating backup boot block.\n");
        return 1;
    }
    uint8_t backup[BOOT_SECTOR_SIZE];
    if (!readWithChanges(static_cast<uint64_t>(backupBootSector_) * sectorSize_, BOOT_SECTOR_SIZE, backup))
        return 0;
    if (memcmp(boot, backup, BOOT_SECTOR_SIZE) != 0) printBootSectorDifferences(boot, backup);
    return 1;
}

int FatLabelRun::checkFsInfo() {
    if (fsInfoSector_ == 0) {
        printf("No FSINFO sector\n  Not automatically creating it.\n");
        return 1;
    }
    uint64_t offset = static_cast<uint64_t>(fsInfoSector_) * sectorSize_;
    uint8_t info[BOOT_SECTOR_SIZE];
    if (!readWithChanges(offset, BOOT_SECTOR_SIZE, info)) return 0;
    bool leadOk = le32(info) == FSINFO_LEAD_SIGNATURE;
    bool structOk = le32(info + 484) == FSINFO_STRUCT_SIGNATURE;
    bool endOk = le16(info + 510) == SECTOR_END_SIGNATURE;
    if (leadOk && structOk && endOk) return 1;

    printf("FSINFO sector has bad magic number(s):\n");
    if (!leadOk) printf("  Offset %lu: 0x%08x != expected 0x%08x\n", 0ul, le32(info), FSINFO_LEAD_SIGNATURE);
    if (!structOk)
        printf("  Offset %lu: 0x%08x != expected 0x%08x\n", 484ul, le32(info + 484), FSINFO_STRUCT_SIGNATURE);
    if (!endOk) printf("  Offset %lu: 0x%04x != expected 0x%04x\n", 510ul, le16(info + 510), SECTOR_END_SIGNATURE);
    printf("  Auto-correcting it.\n");
    putLe32(info, FSINFO_LEAD_SIGNATURE);
    putLe32(info + 484, FSINFO_STRUCT_SIGNATURE);
    putLe16(info + 510, SECTOR_END_SIGNATURE);
    putLe32(info + 488, 0xffffffff);
    putLe32(info + 492, 2);
    return queueChange(offset, BOOT_SECTOR_SIZE, info);
}

uint64_t FatLabelRun::rootClusterOffset() const {
    return dataStart_ + static_cast<uint64_t>(rootCluster_ - 2) * clusterSize_;
}

uint64_t FatLabelRun::findLabelEntry() {
    // A FAT32 root directory lives in a cluster chain; only its first cluster
    // is searched. Without a root cluster it is the fixed area, as on FAT12/16.
    bool inCluster = fatBits_ == 32 && rootCluster_ != 0;
    uint64_t start = inCluster ? rootClusterOffset() : rootStart_;
    uint64_t count = inCluster ? clusterSize_ / DIR_ENTRY_SIZE : rootEntries_;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t offset = start + i * DIR_ENTRY_SIZE;
        uint8_t entry[DIR_ENTRY_SIZE];
        if (!readWithChanges(offset, DIR_ENTRY_SIZE, entry)) {
            error_ = true;
            return 0;
        }
        uint8_t first = entry[0], attr = entry[11];
        if (attr == ATTR_LONG_NAME) continue;
        bool printable = first >= 0x20 && first < 0x7f;
        if (printable && (attr & ATTR_VOLUME_LABEL)) return offset;
        if (first == 0 && (attr == 0 || (attr & ATTR_VOLUME_LABEL))) return offset;
    }
    return 0;
}

int FatLabelRun::queueLabel(const char (&padded)[12]) {
    uint8_t boot[BOOT_SECTOR_SIZE];
    if (!readWithChanges(0, BOOT_SECTOR_SIZE, boot)) return 0;
    LabelFields f = labelFields(fatBits_);
    if (boot[f.signature] != EXTENDED_SIGNATURE) {
        boot[f.signature] = EXTENDED_SIGNATURE;
        memset(boot + f.serial, 0, 4);
        memcpy(boot + f.type, f.typeName, 8);
    }
    memcpy(boot + f.label, padded, LABEL_LENGTH);
    if (!queueChange(0, BOOT_SECTOR_SIZE, boot)) return 0;
    if (fatBits_ == 32 && backupBootSector_ != 0 &&
        !queueChange(static_cast<uint64_t>(backupBootSector_) * sectorSize_, BOOT_SECTOR_SIZE, boot))
        return 0;

    uint64_t entryOffset = findLabelEntry();
    if (error_) return 0;
    if (entryOffset == 0) return 1;  // only the boot sector carries the label
    uint8_t entry[DIR_ENTRY_SIZE];
    if (!readWithChanges(entryOffset, DIR_ENTRY_SIZE, entry)) return 0;
    memcpy(entry, padded, LABEL_LENGTH);
    entry[11] = ATTR_VOLUME_LABEL;
    stampDirEntry(entry);
    return queueChange(entryOffset, DIR_ENTRY_SIZE, entry);
}

int FatLabelRun::writeChanges() {
    int ok = 1;
    for (const Change& c : changes_) {
        int size = static_cast<int>(c.data.size());
        ssize_t n = pwrite(fd_, c.data.data(), c.data.size(), static_cast<off_t>(c.offset));
        if (n < 0) {
            fprintf(stderr, "Writing %d bytes at %" PRIu64 " failed: %s\n", size, c.offset, strerror(errno));
            ok = 0;
        } else if (n != size) {
            fprintf(stderr, "Wrote %d bytes instead of %d bytes at %" PRIu64 ".\n", static_cast<int>(n), size,
                    c.offset);
            ok = 0;
        }
    }
    changes_.clear();
    return ok;
}

int makelabel(const char* devicePath, const char* label) {
    if (strlen(label) > LABEL_LENGTH) {
        fprintf(stderr, "makelabel: labels can be no longer than 11 characters\n");
        return 0;
    }
    int fd = open(devicePath, O_RDWR | O_CLOEXEC);
    if (fd < 0) return 0;

    char padded[12];
    memset(padded, ' ', LABEL_LENGTH);
    memcpy(padded, label, strlen(label));
    padded[LABEL_LENGTH] = '\0';

    FatLabelRun run(fd);
    int ok = run.checkGeometry() && run.queueLabel(padded) && !run.failed() && run.writeChanges();
    fflush(stdout);
    if (close(fd) != 0) ok = 0;
    return ok;
}
