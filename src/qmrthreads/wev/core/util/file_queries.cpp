#include "core/util/file_queries.h"

#include "platform/files/root_path.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

void readArchiveBit(const char* path, int* archive)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        perror("fileSize");
        return;
    }
    __u32 attributes = 0;
    if (ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &attributes) != 0)
        perror("fileSize");
    else
        *archive = (attributes & ATTR_ARCH) ? 1 : 0;
    close(fd);
}

void formatModificationTime(const struct stat& st, char* timeText, int timeTextSize)
{
    if (timeTextSize <= 0)
        return;
    timeText[0] = 0;
    struct tm local;
    if (!localtime_r(&st.st_mtime, &local))
        return;
    if (strftime(timeText, static_cast<size_t>(timeTextSize), "%Y-%m-%d %H:%M", &local) == 0)
        timeText[0] = 0;
}

ssize_t readFully(int fd, char* buf, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t got = read(fd, buf + done, n - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

} // namespace

int fileSize(const char* path, char* timeText, int timeTextSize, int* archive)
{
    struct stat st;
    if (!path || stat(path, &st) != 0)
        return -1;
    if (timeText)
        formatModificationTime(st, timeText, timeTextSize);
    if (archive)
        readArchiveBit(path, archive);
    if (S_ISDIR(st.st_mode))
        return 1;
    return st.st_size > INT_MAX ? INT_MAX : static_cast<int>(st.st_size);
}

int isLinkTo(const char* path, const char* target)
{
    struct stat linkSelf, linked, targetSt;
    if (!path || !target)
        return 0;
    if (lstat(path, &linkSelf) != 0 || !S_ISLNK(linkSelf.st_mode))
        return 0;
    if (stat(path, &linked) != 0 || stat(target, &targetSt) != 0)
        return 0;
    return linked.st_dev == targetSt.st_dev && linked.st_ino == targetSt.st_ino ? 1 : 0;
}

int makeTempFile()
{
    std::string name = boxPath("/tmp/temp.XXXXXX");
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        perror("mkstemp");
        return -1;
    }
    if (unlink(name.c_str()) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int readFileTail(int fd, char* buf, int size)
{
    if (fd < 0 || size < 2)
        return 0;
    if (lseek(fd, -static_cast<off_t>(size), SEEK_END) < 0)
        return 0;
    if (readFully(fd, buf, static_cast<size_t>(size)) != size)
        return 0;
    int newline = -1;
    for (int i = size - 2; i >= 0; --i) {
        if (buf[i] == '\n') {
            newline = i;
            break;
        }
    }
    if (newline < 0)
        return 0;
    int lineLength = size - newline - 1;
    memmove(buf, buf + newline + 1, static_cast<size_t>(lineLength));
    buf[lineLength] = 0;
    return 1;
}
