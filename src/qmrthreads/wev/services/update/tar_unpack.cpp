#include "services/update/tar_unpack.h"

#include "platform/files/file_replace.h"
#include "platform/files/root_path.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <utime.h>
#include <vector>

namespace {

constexpr int BLOCK = 512;

// Blocks of the stream, read through the caller's buffer.
class BlockReader {
public:
    BlockReader(int fd, long long length, char* buffer, int bufferSize, int* progress)
        : fd_(fd), left_(length), length_(length), buffer_(buffer), size_(bufferSize), progress_(progress)
    {
    }

    // The next 512-byte block, or null at the end of the stream (or when a
    // read came up short: then broken() is true).
    const char* next()
    {
        if (pos_ + BLOCK > filled_ && !refill())
            return nullptr;
        const char* block = buffer_ + pos_;
        pos_ += BLOCK;
        return block;
    }
    bool broken() const { return broken_; }
    bool atEnd() const { return left_ == 0 && pos_ + BLOCK > filled_; }

private:
    bool refill()
    {
        if (left_ <= 0)
            return false;
        int want = static_cast<int>(std::min<long long>(size_, left_));
        int got = 0;
        while (got < want) {
            ssize_t n = read(fd_, buffer_ + got, static_cast<size_t>(want - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                broken_ = true;
                return false;
            }
            got += static_cast<int>(n);
        }
        left_ -= got;
        filled_ = got;
        pos_ = 0;
        if (progress_ && length_ > 0)
            *progress_ = static_cast<int>((length_ - left_) * 100 / length_);
        // A last piece shorter than a block is no block of the archive.
        return filled_ >= BLOCK;
    }

    int fd_;
    long long left_;
    long long length_;
    char* buffer_;
    int size_;
    int* progress_;
    int filled_ = 0;
    int pos_ = 0;
    bool broken_ = false;
};

// An octal field: leading blanks, digits 0-7, then blanks or NULs to the end.
bool octalField(const char* field, int size, long long* value)
{
    int i = 0;
    while (i < size && field[i] == ' ')
        ++i;
    long long v = 0;
    int digits = 0;
    for (; i < size && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) {
        if (v > (1LL << 40))
            return false;
        v = v * 8 + (field[i] - '0');
    }
    for (; i < size; ++i)
        if (field[i] != ' ' && field[i] != '\0')
            return false;
    *value = v;
    return digits > 0;
}

std::string fieldText(const char* field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

// "/flash/" followed by parts that are neither empty, "." nor ".."; only a
// directory's path ends with '/'.
bool plainFlashPath(const std::string& path)
{
    if (path.rfind("/flash/", 0) != 0)
        return false;
    size_t start = 1;
    for (;;) {
        size_t end = path.find('/', start);
        std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        bool last = end == std::string::npos || end + 1 == path.size();
        if (part == "." || part == ".." || (part.empty() && !(last && end == std::string::npos)))
            return false;
        if (last)
            return true;
        start = end + 1;
    }
}

bool allZero(const char* block)
{
    return std::all_of(block, block + BLOCK, [](char c) { return c == 0; });
}

bool makeDirectories(const std::string& path, mode_t mode)
{
    size_t pos = 1;
    for (;;) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            return true;
        std::string part = path.substr(0, slash);
        bool last = path.find('/', slash + 1) == std::string::npos;
        if (mkdir(part.c_str(), last ? mode : 0777) != 0 && errno != EEXIST) {
            perror(part.c_str());
            return false;
        }
        pos = slash + 1;
    }
}

struct Entry {
    std::string target;  // box path
    std::string real;    // under the root
    long long mode = 0, uid = 0, gid = 0, size = 0, mtime = 0;
    char type = 0;
};

class Unpacker {
public:
    explicit Unpacker(int copyFd) : copyFd_(copyFd) {}

    UntarResult run(BlockReader& in)
    {
        bool inBadRun = false;
        while (const char* block = in.next()) {
            if (block[0] == '\0') {
                if (allZero(block))
                    break;
                continue;
            }
            Entry e;
            if (!readHeader(block, e)) {
                if (!inBadRun)
                    fprintf(stderr, "Bad tar header, skipping\n");
                inBadRun = true;
                continue;
            }
            inBadRun = false;
            if (copyFd_ >= 0 && !writeWhole(copyFd_, block, BLOCK))
                ++result_.failedEntries;
            if (!unpack(in, block, e))
                ++result_.failedEntries;
        }
        result_.complete = !in.broken();
        return result_;
    }

private:
    static bool readHeader(const char* block, Entry& e)
    {
        return octalField(block + 100, 8, &e.mode) && octalField(block + 108, 8, &e.uid) &&
               octalField(block + 116, 8, &e.gid) && octalField(block + 124, 12, &e.size) &&
               (octalField(block + 136, 12, &e.mtime) || true);
    }

    // Refused: a path outside "/flash", or one under a link this package made.
    bool place(const std::string& path, Entry& e)
    {
        e.target = packageEntryTarget(path);
        if (e.target.empty())
            return false;
        for (const std::string& link : links_)
            if (e.target.rfind(link + "/", 0) == 0)
                return false;
        e.real = boxPath(e.target);
        return true;
    }

    bool unpack(BlockReader& in, const char* block, Entry& e)
    {
        std::string path = fieldText(block, 100);
        e.type = block[156];
        bool placed = place(path, e);
        if (!placed)
            fprintf(stderr, "package entry %s refused\n", path.c_str());
        bool ok = placed;
        if (e.type == '1' || e.type == 1)
            ok = placed && hardLink(fieldText(block + 157, 100), e);
        else if (e.type == '2' || e.type == 2)
            ok = placed && symbolicLink(fieldText(block + 157, 100), e);
        else if (!path.empty() && path.back() == '/')
            ok = placed && makeDirectories(e.real + "/", static_cast<mode_t>(e.mode & 07777)) && finish(e);
        else if (e.type == '3' || e.type == '4' || e.type == 3 || e.type == 4)
            ok = placed && finish(e);  // devices are not made
        else if (e.type == '5' || e.type == 5)
            ok = placed && makeDirectories(e.real + "/", static_cast<mode_t>(e.mode & 07777)) && finish(e);
        else if (e.type == '6' || e.type == 6)
            ok = placed && makeParents(e) && (mkfifo(e.real.c_str(), 0600) == 0 || reportError("mkfifo", e)) && finish(e);
        else
            return writeFile(in, e, placed) && ok;
        return ok;
    }

    static bool reportError(const char* what, const Entry& e)
    {
        fprintf(stderr, "%s(%s): %s\n", what, e.target.c_str(), strerror(errno));
        return false;
    }

    static bool makeParents(const Entry& e)
    {
        size_t slash = e.real.rfind('/');
        return slash == std::string::npos || makeDirectories(e.real.substr(0, slash + 1), 0777);
    }

    bool hardLink(const std::string& linkName, Entry& e)
    {
        Entry from;
        if (!place(linkName, from))
            return false;
        unlink(e.real.c_str());
        if (!makeParents(e) || link(from.real.c_str(), e.real.c_str()) != 0) {
            fprintf(stderr, "link(%s,%s): %s\n", from.target.c_str(), e.target.c_str(), strerror(errno));
            return false;
        }
        return finish(e);
    }

    bool symbolicLink(const std::string& linkName, Entry& e)
    {
        unlink(e.real.c_str());
        if (!makeParents(e) || symlink(linkName.c_str(), e.real.c_str()) != 0) {
            fprintf(stderr, "symlink(%s,%s): %s\n", linkName.c_str(), e.target.c_str(), strerror(errno));
            return false;
        }
        links_.push_back(e.target);
        return lchown(e.real.c_str(), static_cast<uid_t>(e.uid), static_cast<gid_t>(e.gid)) == 0;
    }

    // Data follows in whole blocks; it is read even when the file cannot be
    // written, so that the next header is found.
    bool writeFile(BlockReader& in, Entry& e, bool placed)
    {
        int fd = -1;
        if (placed && makeParents(e)) {
            unlink(e.real.c_str());
            fd = open(e.real.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0)
                reportError("open", e);
        }
        bool ok = fd >= 0;
        for (long long left = e.size; left > 0; left -= BLOCK) {
            const char* data = in.next();
            if (!data) {
                ok = false;
                break;
            }
            if (ok && !writeWhole(fd, data, static_cast<size_t>(std::min<long long>(left, BLOCK)))) {
                fprintf(stderr, "fullWrite(%d): %s\n", fd, strerror(errno));
                ok = false;
            }
        }
        if (fd >= 0 && close(fd) != 0) {
            fprintf(stderr, "close(%d): %s\n", fd, strerror(errno));
            ok = false;
        }
        return ok && finish(e);
    }

    static bool finish(const Entry& e)
    {
        utimbuf times{static_cast<time_t>(e.mtime), static_cast<time_t>(e.mtime)};
        bool ok = utime(e.real.c_str(), &times) == 0;
        ok = chown(e.real.c_str(), static_cast<uid_t>(e.uid), static_cast<gid_t>(e.gid)) == 0 && ok;
        ok = chmod(e.real.c_str(), static_cast<mode_t>(e.mode & 07777)) == 0 && ok;
        return ok || reportError("chmod", e);
    }

    int copyFd_;
    UntarResult result_;
    std::vector<std::string> links_;
};

} // namespace

std::string packageEntryTarget(const std::string& path)
{
    if (!plainFlashPath(path))
        return "";
    if (path == "/flash/wev.cramfs")
        return "/tmp/tmp.cramfs";
    if (path.rfind("/flash/lib/", 0) == 0)
        return "/tmp/lib/" + path.substr(11);
    return path;
}

UntarResult untarStream(int fd, long long length, char* buffer, int bufferSize, int copyFd, int* progress)
{
    if (progress)
        *progress = 0;
    BlockReader in(fd, length, buffer, bufferSize - bufferSize % BLOCK, progress);
    return Unpacker(copyFd).run(in);
}
