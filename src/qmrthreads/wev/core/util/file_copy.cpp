#include "core/util/file_copy.h"
#include "platform/files/file_replace.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr size_t COPY_BLOCK = 4096;

constexpr std::array<uint32_t, 256> makeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> crcTable = makeCrcTable();

ssize_t readFully(int fd, char* buf, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t got = read(fd, buf + done, n - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

bool sameFile(const struct stat& source, const char* to)
{
    struct stat target;
    if (stat(to, &target) != 0)
        return false;
    return target.st_dev == source.st_dev && target.st_ino == source.st_ino;
}

// The target's mode comes from the source: a private key copied to the SD
// card stays private. Set explicitly so neither the umask nor an existing
// target's old mode decides it.
int openTarget(const char* to, const struct stat& source)
{
    mode_t mode = (source.st_mode & S_IROTH) ? 0644 : 0600;
    int fd = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    if (fchmod(fd, mode) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

uint32_t crc32Update(uint32_t crc, const void* data, size_t n)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i)
        crc = crcTable[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
    return crc;
}

int copyFile(const char* from, const char* to, uint32_t* crc)
{
    if (crc)
        *crc = 0;
    if (!from || !to)
        return 0;
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return 0;
    struct stat source;
    // A FIFO or device would block or never end; copying a file onto
    // itself would truncate it before it is read.
    if (fstat(in, &source) != 0 || !S_ISREG(source.st_mode) || sameFile(source, to)) {
        close(in);
        return 0;
    }
    int out = openTarget(to, source);
    if (out < 0) {
        close(in);
        return 0;
    }
    int result = 1;
    char buf[COPY_BLOCK];
    for (;;) {
        ssize_t got = readFully(in, buf, sizeof buf);
        if (got < 0) {
            result = 0;
            break;
        }
        if (got == 0)
            break;
        if (!writeWhole(out, buf, static_cast<size_t>(got))) {
            result = 0;
            break;
        }
        if (crc)
            *crc = crc32Update(*crc, buf, static_cast<size_t>(got));
        if (static_cast<size_t>(got) < sizeof buf)
            break;
    }
    close(in);
    if (close(out) != 0)
        result = 0;
    return result;
}

int fsSpace(const char* path, uint32_t* totalKB, uint32_t* freeKB)
{
    if (totalKB)
        *totalKB = 0;
    if (freeKB)
        *freeKB = 0;
    struct statfs st;
    if (!path || statfs(path, &st) != 0)
        return 0;
    // Block counts are in fragment units; blocks below 1 KB must not make the
    // whole file system 0 KB, and a large one must not wrap around.
    uint64_t unit = st.f_frsize ? static_cast<uint64_t>(st.f_frsize) : static_cast<uint64_t>(st.f_bsize);
    auto toKB = [unit](uint64_t blocks) {
        uint64_t kb = blocks * unit / 1024;
        return kb > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(kb);
    };
    if (totalKB)
        *totalKB = toKB(st.f_blocks);
    if (freeKB)
        *freeKB = toKB(st.f_bfree);
    return 1;
}
