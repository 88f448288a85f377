#include "platform/files/file_replace.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void syncDirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

std::string temporaryOf(const std::string& path)
{
    return path + ".tmp";
}

} // namespace

bool writeWhole(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool removeReplaceLeftover(const std::string& path)
{
    return ::unlink(temporaryOf(path).c_str()) == 0;
}

FileReplaceResult replaceFile(const std::string& path, std::string_view content, mode_t mode, bool durable)
{
    FileReplaceResult result;
    const std::string tmp = temporaryOf(path);
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return {errno, "create"};
    // An old temporary file keeps its old mode through O_CREAT: set it.
    if (::fchmod(fd, mode) != 0 || !writeWhole(fd, content.data(), content.size()) ||
        (durable && ::fsync(fd) != 0))
        result = {errno ? errno : EIO, "write"};
    if (::close(fd) != 0 && result.ok())
        result = {errno, "write"};
    if (result.ok() && ::rename(tmp.c_str(), path.c_str()) != 0)
        result = {errno, "rename"};
    if (!result.ok()) {
        ::unlink(tmp.c_str());
        return result;
    }
    if (durable)
        syncDirectoryOf(path);
    return result;
}
