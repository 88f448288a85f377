#include "core/storage/sd_mirror.h"

#include "core/util/dir_list.h"
#include "core/util/file_copy.h"
#include "core/addr/mac_address.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/model_features.h"
#include "core/product/product_info.h"
#include "platform/files/root_path.h"
#include "core/storage/sd_card_state.h"
#include "core/task/start_state.h"
#include "core/task/tick_clock.h"
#include "core/util/uptime_text.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t LOG_FILE_INTERVAL = 6000;  // ticks: once a minute
constexpr int LOG_WIDTH = 67;
const char FLASH_DIR[] = "/flash";
const char CARD_DIR[] = "/var/slot1";
// A copy to the card is written as "<name>.tmp" first, then renamed.
const char TEMP_SUFFIX[] = ".tmp";


std::atomic<bool> logWritten{false};
std::atomic<uint64_t> logWrittenTick{0};

// Box paths come in as "/flash/..."; callers that already hold the path
// under the root pass that, which is taken back to the box path.
std::string toBoxPath(const char* path)
{
    const std::string& root = rootPrefix();
    if (!root.empty() && strncmp(path, root.c_str(), root.size()) == 0 && path[root.size()] == '/')
        return path + root.size();
    return path;
}

void fence(FILE* f, bool* ok)
{
    char line[LOG_WIDTH + 1];
    memset(line, '#', LOG_WIDTH);
    line[LOG_WIDTH] = 0;
    if (fprintf(f, "%s\r\n", line) < 0)
        *ok = false;
}

// One line of the log box: the text padded or cut to 65 characters, then
// the closing "##", so every line is 67 characters wide whatever the values.
void boxLine(FILE* f, bool* ok, const char* format, ...) __attribute__((format(printf, 3, 4)));
void boxLine(FILE* f, bool* ok, const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (fprintf(f, "%-65.65s##\r\n", text) < 0)
        *ok = false;
}

void timeLine(FILE* f, bool* ok)
{
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local)) {
        boxLine(f, ok, "##   Time  :  not available ");
        return;
    }
    boxLine(f, ok, "##   Time  : %02d.%02d.%04d %02d:%02d:%02d  %-30.30s ", local.tm_mday, local.tm_mon + 1,
            local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, params::ntp_tzone()->label());
}

bool writeLogLines(FILE* f)
{
    const ProductInfo& product = productInfo();
    bool ok = true;
    fence(f, &ok);
    boxLine(f, &ok, "##");
    boxLine(f, &ok, "##   Device: %-50.50s  ", product.product_name);
    boxLine(f, &ok, "##   Name  : %-50.50s  ", product.default_name);
    if (params::sys_name()->hasValue())
        boxLine(f, &ok, "##   Host  : %-50.50s  ", params::sys_name()->value()->c_str());
    boxLine(f, &ok, "##   Serial: %03d%04d%02d%05u", static_cast<int>(product.hw_project), static_cast<int>(product.year),
            static_cast<int>(product.month), product.serial_no);
    boxLine(f, &ok, "##   IPv4  : %-50.50s  ", params::ip_addr()->text().c_str());
    char mac[kMacTextSize];
    macToText(product.ethaddr0, mac, sizeof mac);
    boxLine(f, &ok, "##   MAC   : %-50.50s  ", mac);
    char uptime[32];
    uptimeText(boardTicks(), uptime, sizeof uptime);
    boxLine(f, &ok, "##   Starts: %-3d total:%-3d alive since %-26.26s", startCounter(), params::life()->value(), uptime);
    const FirmwareInfo& firmware = firmwareInfo();
    const SoftwarePackageInfo& software = softwarePackageInfo();
    boxLine(f, &ok, "##   Vers. : HW:%2d.%-2d FW:%-3d SW: %2d.%2d.%-4d", static_cast<int>(product.hw_major),
            static_cast<int>(product.hw_minor), static_cast<int>(firmware.firmware_version), static_cast<int>(software.version),
            static_cast<int>(software.release), static_cast<int>(software.subrelease));
    timeLine(f, &ok);
    boxLine(f, &ok, "##");
    fence(f, &ok);
    return ok;
}

// The product's name becomes a file name: a '/' in it must not lead the
// file elsewhere.
std::string logFileName(const char* dir)
{
    std::string name = productInfo().default_name;
    for (char& c : name) {
        if (c == '/')
            c = '_';
    }
    return boxPath(toBoxPath(dir)) + "/" + name + ".log";
}

// The card's copies restore a box whose flash was lost, so a copy is
// either whole or the previous one: written aside, flushed, renamed. Keys
// are among them, so every copy is private.
bool copyToCard(const std::string& source, const std::string& target)
{
    std::string temp = target + TEMP_SUFFIX;
    bool ok = copyFile(source.c_str(), temp.c_str(), nullptr) == 1;
    if (ok) {
        int fd = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
        ok = fd >= 0 && fchmod(fd, 0600) == 0 && fsync(fd) == 0;
        if (fd >= 0)
            close(fd);
    }
    if (ok)
        ok = rename(temp.c_str(), target.c_str()) == 0;
    if (!ok)
        unlink(temp.c_str());
    return ok;
}

} // namespace

int writeLogFile(const char* dir)
{
    uint64_t now = boardTicks();
    if (logWritten.load() && now - logWrittenTick.load() < LOG_FILE_INTERVAL)
        return 1;
    std::string path = logFileName(dir);
    FILE* f = fopen(path.c_str(), "w");
    if (!f)
        return 0;
    logWrittenTick.store(now);
    logWritten.store(true);
    bool ok = writeLogLines(f);
    if (fclose(f) != 0)
        ok = false;
    return ok ? 1 : 0;
}

void resetLogFileStampForTest()
{
    logWritten.store(false);
    logWrittenTick.store(0);
}

bool sdSyncOn()
{
    return (params::sw_features()->value() & kFeatureSdCard) && params::autoSync()->isOn();
}

bool sdCardTakesCopies()
{
    return sdSyncOn() && sdCardState() == kSdCardMounted;
}

int mirrorToSdCard(const char* flashPath)
{
    if (!flashPath || !sdCardTakesCopies())
        return 0;
    std::string source = toBoxPath(flashPath);
    size_t prefix = sizeof FLASH_DIR - 1;
    if (source.compare(0, prefix, FLASH_DIR) != 0 || source.size() <= prefix + 1 || source[prefix] != '/')
        return 0;
    std::string target = boxPath(std::string(CARD_DIR) + source.substr(prefix));
    if (!copyToCard(boxPath(source), target))
        return 0;
    writeLogFile(CARD_DIR);
    return 1;
}

namespace {

// "<name>.tmp" where the card holds, or was getting, a copy of name: the
// parameter file or a file under "/flash".
bool isInterruptedCardCopy(const std::string& entry)
{
    const size_t suffix = sizeof TEMP_SUFFIX - 1;
    if (entry.size() <= suffix || entry.compare(entry.size() - suffix, suffix, TEMP_SUFFIX) != 0)
        return false;
    const std::string name = entry.substr(0, entry.size() - suffix);
    struct stat st;
    return name == "params.dat" || lstat(boxPath(std::string(FLASH_DIR) + "/" + name).c_str(), &st) == 0;
}

} // namespace

int removeInterruptedCardCopies()
{
    const std::string dir = boxPath(CARD_DIR);
    DirList list;
    const int count = list.read(dir.c_str(), nullptr);
    int removed = 0;
    for (int i = 0; i < count; ++i) {
        const std::string name = list.entryName(i);
        if (!isInterruptedCardCopy(name))
            continue;
        const std::string path = dir + "/" + name;
        if (unlink(path.c_str()) != 0) {
            fprintf(stderr, "SND: could not remove %s: %s\n", path.c_str(), strerror(errno));
            continue;
        }
        fprintf(stderr, "SND: removed %s, left by a copy to the SD card that did not finish\n", path.c_str());
        ++removed;
    }
    if (removed > 0)
        sync();
    return removed;
}

std::string paramFileSdPath()
{
    return boxPath(std::string(CARD_DIR) + "/params.dat");
}

namespace {

std::string paramFileCopyPath()
{
    return sdCardTakesCopies() ? paramFileSdPath() : std::string();
}

void paramFileCopyWritten()
{
    writeLogFile(CARD_DIR);
}

// A box reset to its defaults must not take the old settings back from the
// card at the next start; the copy is kept aside, not lost.
void paramFileReset()
{
    if (!params::autoSync()->isOn())
        return;
    rename(paramFileSdPath().c_str(), boxPath(std::string(CARD_DIR) + "/params.bup").c_str());
    sync();
}

const ParamFileCopy sdParamFileCopy = {paramFileCopyPath, paramFileCopyWritten, paramFileReset};

} // namespace

void keepParamFileOnSdCard()
{
    setParamFileCopy(&sdParamFileCopy);
}
