// The parameter file: one " name = value" line per saved parameter, names
// right-aligned to the longest one. Written through a temporary file and a
// rename so that a crash or power loss leaves the old file or the new one.
#include "platform/files/file_replace.h"
#include "core/params/param_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/files/root_path.h"

namespace {

// A line of the file holds at most this many characters; nothing the box
// writes comes near it.
constexpr size_t kMaxLine = 319;

// Collectors in different tasks save at the same moment; their writes must
// not interleave.
std::mutex saveMutex;

bool isSaved(const Param* p)
{
    return !p->hasFlags(kParamHidden | kParamVolatile);
}

std::atomic<const ParamFileCopy*> fileCopy{nullptr};

// The whole file in memory, so that the main file and its copy get the
// same content and a failure shows before anything is replaced.
bool renderFile(std::string* out)
{
    char* data = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&data, &size);
    if (!f)
        return false;
    const bool ok = ParamStore::write(f) == 0;
    const bool closed = std::fclose(f) == 0;
    if (ok && closed)
        out->assign(data, size);
    std::free(data);
    return ok && closed;
}

void reportSaveFailure(const char* what, const std::string& path, int err)
{
    std::fprintf(stderr, "ParamStore::save: %s %s: %s\n", what, path.c_str(), std::strerror(err));
}

// The file holds passwords and keys in clear: 0600 whatever the umask.
int saveFileContent(const std::string& path, const std::string& content)
{
    FileReplaceResult r = replaceFile(path, content, 0600, true);
    if (r.ok())
        return 0;
    const char* what = r.step[0] == 'c' ? "cannot create" : r.step[0] == 'w' ? "cannot write" : "cannot rename to";
    reportSaveFailure(what, r.step[0] == 'r' ? path : path + ".tmp", r.error);
    return -1;
}

}  // namespace

std::string paramFilePath()
{
    return boxPath("/etc/params.dat");
}

void setParamFileCopy(const ParamFileCopy* copy)
{
    fileCopy.store(copy);
}

int ParamStore::write(FILE* out)
{
    int n = 0;
    Param** t = items(&n);
    int width = 0;
    for (int i = 0; i < n; ++i) {
        if (isSaved(t[i]))
            width = std::max(width, int(std::strlen(t[i]->name())));
    }
    for (int i = 0; i < n; ++i) {
        if (!isSaved(t[i]))
            continue;
        std::fprintf(out, " %*s = ", width, t[i]->name());
        t[i]->print(out);
        std::fputc('\n', out);
    }
    return std::ferror(out) ? -1 : 0;
}

int ParamStore::save(const char* path)
{
    if (!path)
        return -1;
    std::lock_guard<std::mutex> lock(saveMutex);
    std::string content;
    if (!renderFile(&content)) {
        std::fprintf(stderr, "ParamStore::save: cannot render %s\n", path);
        return -1;
    }
    if (saveFileContent(path, content) != 0)
        return -1;
    const ParamFileCopy* copy = fileCopy.load();
    const std::string copyPath = copy ? copy->path() : std::string();
    if (copyPath.empty())
        return 0;
    const int rc = saveFileContent(copyPath, content);
    if (rc == 0)
        copy->written();
    ::sync();
    return rc;
}

namespace {

enum class LineRead { Line, TooLong, End };

// One line without its end, at most kMaxLine characters; a longer line is
// consumed whole and reported, so its tail is never read as a line of its own.
LineRead readLine(FILE* in, char* line, size_t* length, bool* hasNul)
{
    size_t n = 0;
    bool tooLong = false;
    *hasNul = false;
    int c;
    bool any = false;
    while ((c = std::getc(in)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (c == '\0')
            *hasNul = true;
        if (n < kMaxLine)
            line[n++] = char(c);
        else
            tooLong = true;
    }
    if (!any)
        return LineRead::End;
    while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n'))
        --n;
    line[n] = '\0';
    *length = n;
    return tooLong ? LineRead::TooLong : LineRead::Line;
}

// Names in messages come from the file: only printable characters, bounded.
void reportDropped(int lineNo, const char* name, size_t nameLength, const char* reason)
{
    char shown[kParamMaxNameLength + 4];
    size_t n = 0;
    for (size_t i = 0; i < nameLength && n < kParamMaxNameLength; ++i) {
        const unsigned char c = name[i];
        shown[n++] = (c >= 0x20 && c < 0x7f) ? char(c) : '?';
    }
    if (nameLength > kParamMaxNameLength) {
        std::memcpy(shown + n, "...", 3);
        n += 3;
    }
    shown[n] = '\0';
    std::fprintf(stderr, "ParamStore::load: line %d dropped (%s): \"%s\"\n", lineNo, reason, shown);
}

// Takes one line of the file; reports and drops a bad one. Returns Param::set's
// result for a line that was taken.
int loadLine(int lineNo, char* line, size_t length, bool fromUpload)
{
    if (length < 4) {
        size_t i = 0;
        while (i < length && isParamFileBlank(line[i]))
            ++i;
        if (i < length)
            reportDropped(lineNo, line, length, "too short");
        return 0;
    }
    char* name = line;
    while (isParamFileBlank(*name))
        ++name;
    char* nameEnd = name;
    while (*nameEnd && *nameEnd != '=' && !isParamFileBlank(*nameEnd))
        ++nameEnd;
    const size_t nameLength = size_t(nameEnd - name);
    if (nameLength == 0)
        return 0;
    Param* p = ParamStore::find(name, int(nameLength), kParamExactName);
    if (!p) {
        const std::string key(name, nameLength);
        const Param* hidden = nameLength <= size_t(kParamMaxNameLength) ? ParamStore::findAny(key.c_str()) : nullptr;
        reportDropped(lineNo, name, nameLength, hidden ? "not on this model" : "unknown name");
        return 0;
    }
    char* value = std::strchr(nameEnd, '=');
    if (!value) {
        reportDropped(lineNo, name, nameLength, "no '='");
        return 0;
    }
    ++value;
    while (isParamFileBlank(*value))
        ++value;
    char* valueEnd = value + std::strlen(value);
    while (valueEnd > value && isParamFileBlank(valueEnd[-1]))
        --valueEnd;
    // A stored hash is taken as it stands; an uploaded file's password is
    // hashed like any new one.
    const bool rawHash = p->hasFlags(kParamHashed) && !fromUpload;
    if (rawHash)
        p->removeFlags(kParamHashed);
    bool refused = false;
    const int rc = p->setReporting(value, int(valueEnd - value), &refused);
    if (rawHash)
        p->addFlags(kParamHashed);
    if (refused)
        reportDropped(lineNo, name, nameLength, "value refused");
    return rc;
}

}  // namespace

int ParamStore::load(FILE* in, bool fromUpload)
{
    if (!in)
        return 0;
    char line[kMaxLine + 1];
    int accepted = 0;
    int lineNo = 0;
    for (;;) {
        size_t length = 0;
        bool hasNul = false;
        const LineRead r = readLine(in, line, &length, &hasNul);
        if (r == LineRead::End)
            break;
        ++lineNo;
        if (r == LineRead::TooLong || hasNul) {
            const char* name = line + std::strspn(line, " \t");
            reportDropped(lineNo, name, std::strcspn(name, "= \t"), hasNul ? "binary data" : "line too long");
            continue;
        }
        accepted |= loadLine(lineNo, line, length, fromUpload);
    }
    return accepted != 0 ? 1 : 0;
}

namespace {

// A box whose file names "switchon" as any_name switches session keys on
// (and the name back to its default).
void applySwitchOn()
{
    Param* sessKeys = ParamStore::findAny("sessKeys");
    Param* anyName = ParamStore::findAny("any_name");
    if (!sessKeys || !anyName || sessKeys->paramClass() != ParamClass::Bool ||
        anyName->paramClass() != ParamClass::String)
        return;
    if (!sessKeys->isOff() || paramText(static_cast<const StringParam*>(anyName)) != "switchon")
        return;
    static_cast<IntParam*>(sessKeys)->setChecked(1);
    anyName->set("User", -1);
}

}  // namespace

int ParamStore::loadFile(const char* path)
{
    int rc = 0;
    FILE* f = path ? std::fopen(path, "re") : nullptr;
    if (f) {
        rc = load(f, false);
        std::fclose(f);
    }
    applySwitchOn();
    return rc;
}

int ParamStore::loadFd(int* fd)
{
    if (!fd || *fd < 0)
        return -1;
    FILE* f = fdopen(*fd, "r");
    if (!f) {
        ::close(*fd);
        *fd = -1;
        return -1;
    }
    *fd = -1;
    const int rc = load(f, true);
    std::fclose(f);
    return rc;
}

int ParamStore::factoryReset()
{
    const bool removed = ::unlink(paramFilePath().c_str()) == 0;
    if (const ParamFileCopy* copy = fileCopy.load())
        copy->reset();
    return removed ? 1 : 0;
}

bool isParamFileBlank(char c)
{
    return c == ' ' || c == '\t';
}
