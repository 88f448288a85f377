#include "web/info/box_files.h"

#include "core/cert/cert_files.h"
#include "core/params/param_store.h"
#include "platform/files/root_path.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

std::string baseName(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

std::vector<std::string> secretFiles()
{
    std::vector<std::string> files = {paramFilePath(), boxPath("/var/slot1/params.dat"),
                                      boxPath("/var/slot1/params.bup"), boxPath("/var/sessions.raw"),
                                      boxPath("/var/snmpd.conf")};
    for (int key : {CERT_PKEY, CERT_FPKEY, CERT_RPRIV}) {
        files.push_back(certFilePath(key));
        files.push_back(boxPath("/var/slot1/" + baseName(certFiles[key])));
    }
    return files;
}

} // namespace

std::string cleanBoxPath(const std::string& text)
{
    if (text.find('\0') != std::string::npos)
        return "";
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('/', at);
        if (end == std::string::npos)
            end = text.size();
        std::string part = text.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string path;
    for (const std::string& p : parts)
        path += "/" + p;
    return path.empty() ? "/" : path;
}

bool isSecretFile(const struct stat& st)
{
    for (const std::string& file : secretFiles()) {
        struct stat secret;
        if (stat(file.c_str(), &secret) == 0 && secret.st_dev == st.st_dev && secret.st_ino == st.st_ino)
            return true;
    }
    return false;
}

int openServableFile(const std::string& path, std::string* reason)
{
    // Non-blocking, so that a FIFO never holds the page; only regular files
    // are served, so a device that never ends (/dev/zero) is refused too.
    int fd = open(boxPath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *reason = strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & S_IROTH) || isSecretFile(st)) {
        close(fd);
        *reason = "Access denied";
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::string modeText(mode_t mode)
{
    char text[11];
    text[0] = S_ISLNK(mode) ? 'l' : S_ISDIR(mode) ? 'd' : S_ISCHR(mode) ? 'c' : S_ISBLK(mode) ? 'b'
            : S_ISFIFO(mode) ? 'p' : S_ISSOCK(mode) ? 's' : '-';
    const char rwx[] = "rwx";
    for (int i = 0; i < 9; ++i)
        text[1 + i] = (mode & (0400 >> i)) ? rwx[i % 3] : '-';
    auto special = [&](int at, mode_t bit, char set, char unset) {
        if (mode & bit)
            text[at] = text[at] == 'x' ? set : unset;
    };
    special(3, S_ISUID, 's', 'S');
    special(6, S_ISGID, 's', 'S');
    special(9, S_ISVTX, 't', 'T');
    text[10] = 0;
    return text;
}

std::string pathQuery(const std::string& path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (isalnum(c) || c == '/' || c == '.' || c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}
