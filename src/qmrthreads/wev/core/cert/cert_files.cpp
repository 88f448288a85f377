#include "core/cert/cert_files.h"
#include "platform/files/file_replace.h"

#include "core/util/byte_buffer.h"
#include "core/util/dir_list.h"
#include "core/util/file_copy.h"
#include "core/util/file_queries.h"
#include "platform/files/root_path.h"
#include "core/storage/sd_mirror.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char* const certFiles[CERT_FILE_COUNT] = {
    "/flash/cert_pkey.pem", "/flash/cert_fpkey.pem", "/flash/cert_rpriv.pem", "/flash/cert_srv.pem",
    "/flash/cert_fsrv.pem", "/flash/cert_rcert.pem", "/flash/cert_req.pem",   "/flash/cert_mime.pem",
    "/flash/cert_root.pem", "/flash/cert.tmp",
};

namespace {

const char FLASH_DIR[] = "/flash";
const char CARD_DIR[] = "/var/slot1";

bool isKeyFile(int index)
{
    return index == CERT_PKEY || index == CERT_FPKEY || index == CERT_RPRIV;
}

std::string directoryOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// A rename is only durable once the directory entry is on the medium too.
void syncDirectory(const std::string& dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

// The letters mkostemp puts in place of "XXXXXX".
bool isTemporaryLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool isCertFileName(const std::string& name)
{
    for (const char* file : certFiles) {
        if (name == file + sizeof FLASH_DIR)
            return true;
    }
    return isCaFileName(name);
}

// "<file>.XXXXXX" (a temporary file of writeTemporary or copyReplacing) or
// "<file>.XXXXXXb" (a backup link of replaceCertFiles), for a file this
// module writes.
bool isInterruptedWrite(const std::string& name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return false;
    size_t letters = name.size() - dot - 1;
    if (letters == 7 && name.back() == 'b')
        letters = 6;
    if (letters != 6)
        return false;
    for (size_t i = dot + 1; i < dot + 1 + letters; ++i) {
        if (!isTemporaryLetter(name[i]))
            return false;
    }
    return isCertFileName(name.substr(0, dot));
}

// A new private file beside path, holding data with the given mode, flushed.
// Returns its name, or "" (nothing left behind).
std::string writeTemporary(const std::string& path, const void* data, size_t size, mode_t mode)
{
    std::string name = path + ".XXXXXX";
    std::vector<char> templ(name.begin(), name.end());
    templ.push_back('\0');
    // mkostemp creates the file 0600, so a key is never readable by others,
    // not even for a moment; the final mode is set on the descriptor.
    int fd = mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "certificate file %s: %s\n", path.c_str(), strerror(errno));
        return "";
    }
    name.assign(templ.data());
    bool ok = writeWhole(fd, static_cast<const char*>(data), size) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    int savedErrno = errno;
    if (close(fd) != 0)
        ok = false;
    if (!ok) {
        fprintf(stderr, "certificate file %s: %s\n", path.c_str(), strerror(savedErrno));
        unlink(name.c_str());
        return "";
    }
    return name;
}

std::string cardPathOf(const std::string& boxFile)
{
    size_t prefix = sizeof FLASH_DIR - 1;
    if (boxFile.compare(0, prefix, FLASH_DIR) != 0 || boxFile.size() <= prefix + 1 || boxFile[prefix] != '/')
        return "";
    return boxPath(std::string(CARD_DIR) + boxFile.substr(prefix));
}

// The box path of a real path under the root (the inverse of boxPath).
std::string toBoxPath(const std::string& real)
{
    const std::string& root = rootPrefix();
    if (!root.empty() && real.compare(0, root.size(), root) == 0 && real.size() > root.size() &&
        real[root.size()] == '/')
        return real.substr(root.size());
    return real;
}

// Files named from outside (a page's form value) must stay directly in
// "/flash": no other directory, no "..".
bool isFlashFile(const std::string& realPath)
{
    std::string box = toBoxPath(realPath);
    size_t prefix = sizeof FLASH_DIR - 1;
    if (box.compare(0, prefix, FLASH_DIR) != 0 || box.size() <= prefix + 1 || box[prefix] != '/')
        return false;
    std::string name = box.substr(prefix + 1);
    return name.find('/') == std::string::npos && name != "." && name != "..";
}

void removeMirrorOf(const std::string& realPath)
{
    if (!sdCardTakesCopies())
        return;
    std::string card = cardPathOf(toBoxPath(realPath));
    if (!card.empty())
        unlink(card.c_str());
}

bool copyReplacing(const std::string& from, const std::string& to, mode_t mode)
{
    std::string temp = to + ".XXXXXX";
    std::vector<char> templ(temp.begin(), temp.end());
    templ.push_back('\0');
    int fd = mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    temp.assign(templ.data());
    bool ok = copyFile(from.c_str(), temp.c_str(), nullptr) == 1;
    if (ok) {
        fd = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
        ok = fd >= 0 && fchmod(fd, mode) == 0 && fsync(fd) == 0;
        if (fd >= 0)
            close(fd);
    }
    if (ok)
        ok = rename(temp.c_str(), to.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    syncDirectory(directoryOf(to));
    return true;
}

} // namespace

int certPairKeyIndex(int kind)
{
    switch (kind) {
    case 0: return CERT_PKEY;
    case 1: return CERT_FPKEY;
    case 2: return CERT_RPRIV;
    default: return -1;
    }
}

int certPairCertIndex(int kind)
{
    switch (kind) {
    case 0: return CERT_SRV;
    case 1: return CERT_FSRV;
    case 2: return CERT_RCERT;
    default: return -1;
    }
}

std::string certFilePath(int index)
{
    if (index < 0 || index >= CERT_FILE_COUNT)
        return "";
    return boxPath(certFiles[index]);
}

std::string caFilePath(unsigned long subjectHash)
{
    char name[32];
    snprintf(name, sizeof name, "%s/%08lx.0", FLASH_DIR, subjectHash);
    return boxPath(name);
}

std::string certRealPath(const char* path)
{
    if (!path)
        return "";
    const std::string& root = rootPrefix();
    if (!root.empty() && strncmp(path, root.c_str(), root.size()) == 0 && path[root.size()] == '/')
        return path;
    return boxPath(path);
}

bool certFileMirrored(int index)
{
    switch (index) {
    case CERT_FPKEY:
    case CERT_RPRIV:
    case CERT_FSRV:
    case CERT_RCERT:
    case CERT_REQ:
    case CERT_MIME:
    case CERT_ROOT:
        return true;
    default:
        return false;
    }
}

int deleteCertFile(int index, const char* path)
{
    if (index < 0 || index > CERT_TMP)
        return 0;
    std::string target = (index == CERT_TMP && path && *path) ? certRealPath(path) : certFilePath(index);
    if (!isFlashFile(target)) {
        fprintf(stderr, "deleteCertFile: %s is not a certificate file\n", target.c_str());
        return 0;
    }
    bool gone = unlink(target.c_str()) == 0 || errno == ENOENT;
    if (!gone)
        fprintf(stderr, "deleteCertFile %s: %s\n", target.c_str(), strerror(errno));
    removeMirrorOf(target);
    return gone ? 1 : 0;
}

int removeInterruptedCertWrites()
{
    const std::string dir = boxPath(FLASH_DIR);
    DirList list;
    const int count = list.read(dir.c_str(), nullptr);
    int removed = 0;
    for (int i = 0; i < count; ++i) {
        const std::string name = list.entryName(i);
        if (!isInterruptedWrite(name))
            continue;
        const std::string path = dir + "/" + name;
        if (unlink(path.c_str()) != 0) {
            fprintf(stderr, "start-up: could not remove %s: %s\n", path.c_str(), strerror(errno));
            continue;
        }
        fprintf(stderr, "start-up: removed %s, left by a certificate write that did not finish\n", path.c_str());
        ++removed;
    }
    if (removed > 0)
        syncDirectory(dir);
    return removed;
}

int setRootCertificate(const char* target)
{
    if (!target || !*target)
        return 0;
    std::string real = certRealPath(target);
    if (!isFlashFile(real)) {
        fprintf(stderr, "setRootCertificate: %s is not a certificate file\n", target);
        return 0;
    }
    std::string link = certFilePath(CERT_ROOT);
    if (real == link)
        return 0;
    std::string dir = directoryOf(link);
    // The CA file lies beside the link and is named by itself, so the link
    // keeps working wherever the box's root is mounted.
    std::string content = real.substr(real.rfind('/') + 1);

    std::string temp = link + ".XXXXXX";
    std::vector<char> templ(temp.begin(), temp.end());
    templ.push_back('\0');
    int fd = mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0)
        return 0;
    close(fd);
    temp.assign(templ.data());
    unlink(temp.c_str());
    if (symlink(content.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), link.c_str()) != 0) {
        fprintf(stderr, "setRootCertificate %s: %s\n", content.c_str(), strerror(errno));
        unlink(temp.c_str());
        return 0;
    }
    syncDirectory(dir);
    mirrorToSdCard(certFiles[CERT_ROOT]);
    return 1;
}

int restoreCertsFromMirror(const char* dir)
{
    if (!dir)
        return 1;
    std::string from = certRealPath(dir);
    for (int index = 0; index < CERT_FILE_COUNT; ++index) {
        if (!certFileMirrored(index))
            continue;
        std::string name = certFiles[index] + sizeof FLASH_DIR;  // without "/flash/"
        std::string source = from + "/" + name;
        struct stat st;
        if (stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        copyReplacing(source, certFilePath(index), isKeyFile(index) ? 0600 : 0644);
    }
    std::string pattern = from + "/????????.0";
    glob_t found{};
    if (glob(pattern.c_str(), 0, globErr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            std::string source = found.gl_pathv[i];
            std::string name = source.substr(source.rfind('/') + 1);
            copyReplacing(source, boxPath(std::string(FLASH_DIR) + "/" + name), 0644);
        }
    }
    globfree(&found);
    return 1;
}

int readCertFile(int index, ByteBuffer* buffer)
{
    if (!buffer || !buffer->memory)
        return 0;
    std::string path = certFilePath(index);
    if (path.empty())
        return 0;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char* base = buffer->cursor ? buffer->cursor : static_cast<char*>(buffer->memory);
    int used = static_cast<int>(base - static_cast<char*>(buffer->memory));
    int room = buffer->capacity - used - buffer->length;
    bool ok = true;
    while (room > 0) {
        ssize_t got = read(fd, base + buffer->length, static_cast<size_t>(room));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            ok = false;
        if (got <= 0)
            break;
        buffer->length += static_cast<int>(got);
        room -= static_cast<int>(got);
    }
    close(fd);
    return ok ? 1 : 0;
}

int writeCertFileAtomic(const std::string& path, const void* data, size_t size, mode_t mode)
{
    CertFileContent one{path, std::string(static_cast<const char*>(data), size), mode};
    return replaceCertFiles(&one, 1);
}

int replaceCertFiles(const CertFileContent* files, int count)
{
    std::vector<std::string> temps;
    for (int i = 0; i < count; ++i) {
        std::string temp = writeTemporary(files[i].path, files[i].data.data(), files[i].data.size(), files[i].mode);
        if (temp.empty()) {
            for (const std::string& t : temps)
                unlink(t.c_str());
            return 0;
        }
        temps.push_back(temp);
    }

    // The previous content stays reachable under a second name until the
    // whole set is in place, so a failure half-way can put it back.
    std::vector<std::string> backups(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::string backup = temps[static_cast<size_t>(i)] + "b";
        if (link(files[i].path.c_str(), backup.c_str()) == 0)
            backups[static_cast<size_t>(i)] = backup;
    }

    int done = 0;
    for (; done < count; ++done) {
        if (rename(temps[static_cast<size_t>(done)].c_str(), files[done].path.c_str()) != 0) {
            fprintf(stderr, "certificate file %s: %s\n", files[done].path.c_str(), strerror(errno));
            break;
        }
    }
    bool ok = done == count;
    if (!ok) {
        for (int i = 0; i < done; ++i) {
            const std::string& backup = backups[static_cast<size_t>(i)];
            if (backup.empty())
                unlink(files[i].path.c_str());
            else if (rename(backup.c_str(), files[i].path.c_str()) == 0)
                backups[static_cast<size_t>(i)].clear();
        }
        for (int i = done; i < count; ++i)
            unlink(temps[static_cast<size_t>(i)].c_str());
    }
    for (const std::string& backup : backups) {
        if (!backup.empty())
            unlink(backup.c_str());
    }
    for (int i = 0; i < count; ++i)
        syncDirectory(directoryOf(files[i].path));
    return ok ? 1 : 0;
}

int mirrorCertsToSdCard()
{
    if (!sdSyncOn())
        return 1;
    // The self-signed pair is made anew on every box and so is not mirrored.
    for (int index = 0; index < CERT_FILE_COUNT; ++index) {
        if (!certFileMirrored(index))
            continue;
        const char* name = certFiles[index];
        if (fileSize(boxPath(name).c_str(), nullptr, 0, nullptr) < 0)
            continue;
        if (!mirrorToSdCard(name))
            return 0;
    }
    std::string pattern = boxPath(FLASH_DIR) + "/????????.0";
    glob_t found{};
    if (glob(pattern.c_str(), 0, globErr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            if (!mirrorToSdCard(found.gl_pathv[i])) {
                globfree(&found);
                return 0;
            }
        }
    }
    globfree(&found);
    sync();
    return 1;
}

bool isCaFileName(const std::string& name)
{
    if (name.size() != 10 || name.compare(8, 2, ".0") != 0)
        return false;
    for (size_t i = 0; i < 8; ++i) {
        if (!isxdigit(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

std::vector<std::string> listCaFileNames()
{
    std::vector<std::string> names;
    std::string pattern = boxPath(FLASH_DIR) + "/????????.0";
    glob_t found{};
    if (glob(pattern.c_str(), 0, globErr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            std::string path = found.gl_pathv[i];
            std::string name = path.substr(path.rfind('/') + 1);
            if (isCaFileName(name))
                names.push_back(name);
        }
    }
    globfree(&found);
    std::sort(names.begin(), names.end());
    return names;
}

std::string rootCertificateName()
{
    char target[256];
    ssize_t n = readlink(certFilePath(CERT_ROOT).c_str(), target, sizeof target - 1);
    if (n <= 0)
        return "";
    target[n] = '\0';
    const char* slash = strrchr(target, '/');
    std::string name = slash ? slash + 1 : target;
    return isCaFileName(name) ? name : "";
}

int deleteCaFile(const std::string& name)
{
    if (!isCaFileName(name))
        return 0;
    if (rootCertificateName() == name)
        deleteCertFile(CERT_ROOT);
    std::string path = std::string(FLASH_DIR) + "/" + name;
    return deleteCertFile(CERT_TMP, path.c_str());
}
