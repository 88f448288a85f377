#include "services/sdcard/sd_card_task.h"

#include "core/board/board_device.h"
#include "core/cert/cert_files.h"
#include "core/board/relay_control.h"
#include "core/notify/notify_event.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/model_features.h"
#include "core/product/product_info.h"
#include "core/storage/sd_card_state.h"
#include "core/storage/sd_mirror.h"
#include "core/task/start_state.h"
#include "core/util/file_copy.h"
#include "platform/files/root_path.h"
#include "platform/mounts/mounts.h"
#include "services/sdcard/fat_label.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kPassTicks = 50;

SdMedium slotMedium()
{
    SdMedium m;
    m.mountPoint = "/var/slot1";
    return m;
}

SdMedium theSdCardMedium = slotMedium();

// The slot's label as the pages read it. The watcher rewrites its record
// without a lock while it mounts and clears it, so the label is published
// together with the card's state, under its own lock.
std::mutex publishedLabelMutex;
std::string publishedLabel;

void publishSlotState(const SdMedium& card, int state)
{
    {
        std::lock_guard<std::mutex> lock(publishedLabelMutex);
        if (state == kSdCardRemoved)
            publishedLabel.clear();
        else
            publishedLabel.assign(card.label, strnlen(card.label, sizeof card.label));
    }
    setSdCardState(state);
}

// The first pass of the watcher, for start-up to wait on.
pthread_mutex_t firstPassMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t firstPassDone = PTHREAD_COND_INITIALIZER;
bool firstPassFinished = false;

void finishFirstPass()
{
    pthread_mutex_lock(&firstPassMutex);
    firstPassFinished = true;
    pthread_cond_broadcast(&firstPassDone);
    pthread_mutex_unlock(&firstPassMutex);
}

template <size_t N>
void copyText(char (&field)[N], const char* text)
{
    snprintf(field, N, "%s", text ? text : "");
}

void trimTrailingSpace(char* text)
{
    size_t n = strlen(text);
    while (n > 0 && isspace(static_cast<unsigned char>(text[n - 1])))
        text[--n] = '\0';
}

// Up to size-1 bytes of a file, trailing white space (the sysfs newline)
// removed; false when nothing could be read.
bool readSmallFile(const std::string& path, char* out, size_t size)
{
    out[0] = '\0';
    FILE* f = fopen(path.c_str(), "re");
    if (!f)
        return false;
    size_t n = fread(out, 1, size - 1, f);
    fclose(f);
    out[n] = '\0';
    trimTrailingSpace(out);
    return n > 0;
}

bool scanSdSlot(SdMedium& found)
{
    struct stat st;
    std::string dir = boxPath("/sys/block/mmcblk0/device/");
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    char cid[33], name[29];
    if (!readSmallFile(dir + "cid", cid, sizeof cid))
        return false;
    readSmallFile(dir + "name", name, sizeof name);
    found.kind = kMediumSdCard;
    copyText(found.device, "mmcblk0");
    copyText(found.partition, "p1");
    copyText(found.vendor, "mvsdio");
    snprintf(found.product, sizeof found.product, "SD %s", name);
    copyText(found.serial, cid);
    return true;
}

// "Host: ... UsbId: x:sdb" names the device; the "  Vendor:" line after it
// gives vendor and model.
bool scsiDeviceName(const char* line, char (&device)[16])
{
    const char* usbId = strstr(line, "UsbId:");
    if (strncmp(line, "Host:", 5) != 0 || !usbId)
        return false;
    const char* colon = strchr(usbId + 6, ':');
    if (!colon || strnlen(colon, 5) < 5)
        return false;
    snprintf(device, sizeof device, "%.3s", colon + 2);
    return true;
}

void scsiVendorAndModel(const char* line, SdMedium& m)
{
    const char* vendor = line + 10;
    size_t vendorLength = strcspn(vendor, " \t\n");
    snprintf(m.vendor, sizeof m.vendor, "%.*s", static_cast<int>(std::min<size_t>(vendorLength, 30)), vendor);
    const char* colon = strchr(vendor + vendorLength, ':');
    if (colon) {
        const char* model = colon + 1;
        while (*model == ' ')
            ++model;
        snprintf(m.product, sizeof m.product, "%.16s", model);
        trimTrailingSpace(m.product);
    }
}

int scanUsbStorage(SdMedium* records, int count)
{
    FILE* f = fopen(boxPath("/proc/scsi/scsi").c_str(), "re");
    if (!f)
        return 0;
    char line[128];
    int filled = 0;
    SdMedium* pending = nullptr;
    while (filled < count && fgets(line, sizeof line, f)) {
        SdMedium& next = records[filled];
        if (scsiDeviceName(line, next.device)) {
            copyText(next.partition, "1");
            pending = &next;
        } else if (pending && strncmp(line, "  Vendor:", 9) == 0 && strlen(line) > 10) {
            scsiVendorAndModel(line, *pending);
            pending->kind = kMediumUsbStorage;
            pending = nullptr;
            ++filled;
        }
    }
    fclose(f);
    return 1;
}

bool sameMedium(const SdMedium& a, const SdMedium& b)
{
    return a.kind == b.kind && strcmp(a.device, b.device) == 0 && strcmp(a.vendor, b.vendor) == 0 &&
           strcmp(a.product, b.product) == 0;
}

void clearMedium(SdMedium& m)
{
    const char* mountPoint = m.mountPoint;
    m = SdMedium();
    m.mountPoint = mountPoint;
}

struct StateReport {
    uint32_t event;
    char shown;  // display entry shown blinking ('2', '3', '4'), 0 none
    uint32_t relayCode;
};

StateReport reportOf(int previous, int state)
{
    switch (state) {
    case 0: return {previous != 0 ? NOTIFY_CARD_REMOVED : NOTIFY_CARD_MISSING, '4', RELAY_SD_DISCONNECTED};
    case 1: return {NOTIFY_CARD_UNUSABLE, '2', RELAY_SD_UNUSABLE};
    case 2: return {NOTIFY_CARD_WRITE_PROTECTED, '3', RELAY_SD_UNUSABLE};
    default: return {NOTIFY_CARD_MOUNTED, 0, RELAY_SD_CONNECTED};
    }
}

void showOnDisplay(char shown)
{
    if (!(params::sw_features()->value() & kFeatureDisplay) || !params::disp_sdc()->isOn())
        return;
    for (char entry : {'2', '3', '4'})
        boardDevice().setDisplayEntry('E', entry, entry == shown ? kDisplayAdd | kDisplaySlowBlink : kDisplayRemove);
}

// Partitions of the device in "/proc/partitions": 0, 1 (the whole device
// alone) or 2 (more than one line).
int partitionLines(const char* device)
{
    FILE* f = fopen(boxPath("/proc/partitions").c_str(), "re");
    if (!f)
        return 0;
    char line[256];
    int count = 0;
    while (count <= 2 && fgets(line, sizeof line, f))
        if (strstr(line, device))
            ++count;
    fclose(f);
    return count > 2 ? 2 : count;
}

// The card's configuration replaces the box's: parameters (saved at once,
// before the card gets the box's file back) and certificates.
void takeOverCardConfiguration()
{
    ParamStore::loadFile(paramFileSdPath().c_str());
    if (saveParamsIfDirty() & kChangedSaveFailed)
        fprintf(stderr, "SND: could not save the parameters taken from the SD card\n");
    restoreCertsFromMirror(boxPath("/var/slot1").c_str());
}

void giveCardTheConfiguration()
{
    copyFile(paramFilePath().c_str(), paramFileSdPath().c_str(), nullptr);
    mirrorCertsToSdCard();
}

} // namespace

SdMedium& sdCardMedium()
{
    return theSdCardMedium;
}

std::string sdCardLabel()
{
    std::lock_guard<std::mutex> lock(publishedLabelMutex);
    return publishedLabel;
}

int scanMedia(SdMedium found[2], int more)
{
    int next = scanSdSlot(found[0]) ? 1 : 0;
    if (next == 0)
        found[0] = SdMedium();
    int room = std::min(1 + more, 2) - next;
    return room > 0 ? scanUsbStorage(found + next, room) : 1;
}

int SdCardTask::setState(SdMedium& medium, int state)
{
    if (state < 0 || state > 3)
        return 0;
    // A card that stays unusable, or stays gone while its unmount is
    // retried, is reported once.
    if (state == medium.state && (state == 1 || state == 0))
        return state;
    StateReport report = reportOf(medium.state, state);
    if (postNotifyEvent(report.event, 0, medium.vendor, medium.product, medium.label, nullptr) == 1)
        postNotifyMessage(report.event);
    showOnDisplay(report.shown);
    handleRelayEvent(report.relayCode);
    medium.state = state;
    if (&medium == &theSdCardMedium)
        publishSlotState(medium, state);
    return state;
}

int SdCardTask::unmount(SdMedium& medium)
{
    setState(medium, 0);
    if (medium.mounted && mountOps().unmount(medium.mountPoint, MNT_FORCE) != 0 &&
        mountOps().unmount(medium.mountPoint, MNT_DETACH) != 0)
        return 0;
    clearMedium(medium);
    return 1;
}

int SdCardTask::writeLabel(SdMedium& record, const char* label)
{
    int lines = partitionLines(record.device);
    if (lines == 0) {
        record.label[0] = '\0';
        return 0;
    }
    char target[48];
    snprintf(target, sizeof target, "/dev/%s%s", record.device, lines == 1 ? "" : record.partition);
    if (!makelabel(boxPath(target).c_str(), label)) {
        record.label[0] = '\0';
        return 0;
    }
    snprintf(record.label, sizeof record.label, "%.11s", label);
    trimTrailingSpace(record.label);
    sync();
    return 1;
}

int SdCardTask::mountMedium(SdMedium& record, const char* suffix)
{
    char source[48];
    snprintf(source, sizeof source, "/dev/%s%s", record.device, suffix);
    int state = 1;
    if (mountOps().mount(source, record.mountPoint, "vfat", 0, "utf8=1") == 0)
        state = 3;
    else if (mountOps().mount(source, record.mountPoint, "vfat", MS_RDONLY, "utf8=1") == 0)
        state = 2;
    record.mounted = state != 1;
    if (record.mounted) {
        char label[160];
        snprintf(label, sizeof label, "%s_SD", productInfo().default_name);
        writeLabel(record, label);
    }
    setState(record, state);
    return record.mounted;
}

int SdCardTask::takeMedium(SdMedium& record, const SdMedium& found)
{
    if (record.kind != kMediumNone)
        return 0;
    record.kind = found.kind;
    copyText(record.device, found.device);
    copyText(record.partition, found.partition);
    copyText(record.vendor, found.vendor);
    copyText(record.product, found.product);
    if (!mountMedium(record, found.partition) && !mountMedium(record, ""))
        return 0;
    copyText(record.serial, found.serial);
    return 1;
}

void SdCardTask::watchOnce(bool firstLoad)
{
    SdMedium found[2];
    scanMedia(found, 1);
    SdMedium& card = theSdCardMedium;
    if (card.kind != kMediumNone) {
        if (found[0].kind == kMediumNone || !sameMedium(found[0], card))
            unmount(card);
        else
            found[0].kind = kMediumNone;  // the card already held
    }
    if (found[0].kind != kMediumSdCard || !takeMedium(card, found[0]))
        return;
    if (card.state == 3)
        removeInterruptedCardCopies();
    if (firstLoad && (card.state == 2 || card.state == 3))
        takeOverCardConfiguration();
    if (card.state == 3)
        giveCardTheConfiguration();
}

// A task thread ends at the stop message without unwinding its stack: the
// loop below holds nothing that owns memory.
static void makeMountPoint()
{
    std::string point = boxPath(theSdCardMedium.mountPoint);
    if (mkdir(point.c_str(), 0755) == 0)
        chmod(point.c_str(), 0755);
}

SdCardTask::~SdCardTask()
{
    unmount(theSdCardMedium);
}

void SdCardTask::run()
{
    makeMountPoint();
    bool firstLoad = startCounter() == 0 && sdSyncOn();
    for (;;) {
        watchOnce(firstLoad);
        if (firstLoad)
            finishFirstPass();
        firstLoad = false;
        waitFor(kPassTicks, -1);
    }
}

void startSdCardWatcher(int limitMs)
{
    if (!sdSyncOn())
        return;
    auto* task = new SdCardTask();
    if (task->start(65536, 0) < 0) {
        delete task;
        return;
    }
    if (startCounter() != 0)
        return;
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += limitMs / 1000;
    deadline.tv_nsec += (limitMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&firstPassMutex);
    while (!firstPassFinished)
        if (pthread_cond_timedwait(&firstPassDone, &firstPassMutex, &deadline) != 0)
            break;
    pthread_mutex_unlock(&firstPassMutex);
}
