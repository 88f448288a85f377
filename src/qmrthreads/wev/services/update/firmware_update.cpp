#include "services/update/firmware_update.h"

#include "core/board/board_device.h"
#include "core/params/param_handles.h"
#include "core/product/model_features.h"
#include "core/storage/update_status.h"
#include "core/task/shutdown.h"
#include "core/task/start_state.h"
#include "core/util/file_copy.h"
#include "platform/files/file_replace.h"
#include "platform/files/root_path.h"
#include "services/update/tar_unpack.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int BLOCK_SIZE = 16384;
constexpr long long HEADER_SIZE = FirmwareImageHeader::SIZE;

bool readWhole(int fd, void* data, size_t size)
{
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int openTarget(const char* boxFile)
{
    return open(boxPath(boxFile).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_SYNC | O_CLOEXEC, 0644);
}

} // namespace

int precheckUpdateFile(int fd)
{
    if (fd <= 0)
        return -9;
    if (!resetUpdateStatus())
        return -7;
    struct stat st;
    FirmwareImageHeader header;
    if (lseek(fd, 0, SEEK_SET) != 0 || fstat(fd, &st) != 0 || !readWhole(fd, header.bytes, sizeof header.bytes))
        return -10;
    if (st.st_size < static_cast<long long>(header.word(12)) + HEADER_SIZE)
        return -11;
    if (!header.hasMagic())
        return -12;
    return 0;
}

UpdateTask::UpdateTask(int fd, bool restart) : Task("Flash Keeper"), fd_(fd), restart_(restart)
{
    header_.init(0, 0);
}

UpdateTask::~UpdateTask()
{
    delete[] block_;
    if (fd_ > 0)
        close(fd_);
    if (updateState() == kUpdateWaitingForRestart)
        setUpdateState(kUpdateRestart, updateError());
}

void UpdateTask::end(int state, int error)
{
    if (fd_ > 0)
        close(fd_);
    fd_ = -1;
    setUpdateState(state, error);
    Task::exit();
}

// The header, then the payload's CRC and whether this box takes the image.
bool UpdateTask::verify(long long fileSize)
{
    setUpdateState(kUpdateVerifying, 0);
    if (!readWhole(fd_, header_.bytes, sizeof header_.bytes) || !header_.hasMagic())
        return false;
    long long length = header_.word(12);
    if (fileSize < length + HEADER_SIZE)
        return false;
    uint32_t crc = 0;
    for (long long left = length; left > 0;) {
        size_t n = static_cast<size_t>(std::min<long long>(left, BLOCK_SIZE));
        if (!readWhole(fd_, block_, n))
            return false;
        crc = crc32Update(crc, block_, n);
        left -= static_cast<long long>(n);
    }
    return crc == header_.word(8);
}

bool UpdateTask::writeFirmware(long long fileSize)
{
    int out = openTarget("/dev/mtdblock2");
    if (out < 0 || lseek(fd_, 0, SEEK_SET) != 0) {
        if (out >= 0)
            close(out);
        return false;
    }
    long long total = header_.word(12) + HEADER_SIZE;
    bool ok = true;
    for (long long left = total; left > 0 && ok;) {
        size_t n = static_cast<size_t>(std::min<long long>(left, BLOCK_SIZE));
        ok = readWhole(fd_, block_, n) && writeWhole(out, block_, n);
        left -= static_cast<long long>(n);
        setUpdateProgress(static_cast<int>((fileSize - left) * 100 / fileSize));
    }
    return close(out) == 0 && ok;
}

bool UpdateTask::writeSoftwarePackage()
{
    std::string application = boxPath("/flash/application");
    unlink(application.c_str());
    int out = openTarget("/flash/software.bin");
    if (out < 0)
        return false;
    bool ok = writeWhole(out, header_.bytes, sizeof header_.bytes);
    int progress = 0;
    UntarResult unpacked = untarStream(fd_, header_.word(12), block_, BLOCK_SIZE, out, &progress);
    setUpdateProgress(progress);
    if (!unpacked.complete || unpacked.failedEntries > 0)
        fprintf(stderr, "update: software package %s, %d entries not installed\n",
                unpacked.complete ? "unpacked" : "cut short", unpacked.failedEntries);
    return close(out) == 0 && ok && unpacked.complete && unpacked.failedEntries == 0;
}

void UpdateTask::run()
{
    setUpdateDescription("");
    if (params::sw_features()->value() & kFeatureDisplay)
        boardDevice().setDisplayEntry('D', 'L', kDisplaySlowBlink | kDisplayLock);

    struct stat st;
    if (fstat(fd_, &st) != 0 || lseek(fd_, 0, SEEK_SET) != 0)
        end(kUpdatePrenatal, kUpdateUnreadable);
    block_ = new char[BLOCK_SIZE];
    if (!verify(st.st_size))
        end(kUpdateError, kUpdateBadImage);

    char description[128];
    int compat = header_.checkCompat(description, sizeof description);
    setUpdateDescription(description);
    if (compat != 0)
        end(kUpdateError, compat);

    setUpdateState(kUpdateWorking, 0);
    bool written = true;
    int code = exitCode();
    uint32_t type = header_.word(4);
    if (type == IMAGE_TYPE_FIRMWARE) {
        written = writeFirmware(st.st_size);
        code = 2;
    } else if (type == IMAGE_TYPE_SOFTWARE) {
        if (lseek(fd_, HEADER_SIZE, SEEK_SET) != HEADER_SIZE)
            end(kUpdateError, kUpdateUnreadable);
        written = writeSoftwarePackage();
        code = 1;
    }
    // A failed write is reported as such, and the program does not restart
    // into a half-written image.
    if (!written)
        end(kUpdateError, kUpdateWriteFailed);
    setExitCode(code);
    setUpdateState(kUpdateWaitingForRestart, 0);
    if (restart_)
        startShutdownTask(3);
    end(kUpdateWaitingForRestart, 0);
}

int startUpdate(int fd, bool restart)
{
    if (!claimUpdate()) {
        if (fd > 0)
            close(fd);
        return -7;
    }
    auto* task = new UpdateTask(fd, restart);
    int id = task->start(20480, 0);
    if (id < 0) {
        delete task;
        setUpdateState(kUpdateError, kUpdateUnreadable);
    }
    return id;
}

void holdStopsWhileUpdating()
{
    setStopBarrier(updateWriting);
}
