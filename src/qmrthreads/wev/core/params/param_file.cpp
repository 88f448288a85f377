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

// One line of the file taken apart: the parameter it names and the value
// between the blanks after '='.
struct ParsedLine {
    enum Kind { Blank, Bad, Elsewhere, Good } kind = Blank;
    const char* reason = nullptr;  // Bad and Elsewhere: why it is not taken
    const char* name = nullptr;
    size_t nameLength = 0;
    Param* param = nullptr;
    const char* value = nullptr;
    size_t valueLength = 0;
};

ParsedLine parseLine(const char* line, size_t length)
{
    ParsedLine r;
    if (length < 4) {
        size_t i = 0;
        while (i < length && isParamFileBlank(line[i]))
            ++i;
        if (i < length) {
            r.kind = ParsedLine::Bad;
            r.reason = "too short";
            r.name = line;
            r.nameLength = length;
        }
        return r;
    }
    const char* name = line;
    while (isParamFileBlank(*name))
        ++name;
    const char* nameEnd = name;
    while (*nameEnd && *nameEnd != '=' && !isParamFileBlank(*nameEnd))
        ++nameEnd;
    r.name = name;
    r.nameLength = size_t(nameEnd - name);
    if (r.nameLength == 0) {
        r.kind = *name ? ParsedLine::Bad : ParsedLine::Blank;
        r.reason = "no name";
        return r;
    }
    r.param = ParamStore::find(name, int(r.nameLength), kParamExactName);
    if (!r.param) {
        const std::string key(name, r.nameLength);
        const Param* hidden =
            r.nameLength <= size_t(kParamMaxNameLength) ? ParamStore::findAny(key.c_str()) : nullptr;
        r.kind = hidden ? ParsedLine::Elsewhere : ParsedLine::Bad;
        r.reason = hidden ? "not on this model" : "unknown name";
        return r;
    }
    const char* value = std::strchr(nameEnd, '=');
    if (!value) {
        r.kind = ParsedLine::Bad;
        r.reason = "no '='";
        return r;
    }
    ++value;
    while (isParamFileBlank(*value))
        ++value;
    const char* valueEnd = value + std::strlen(value);
    while (valueEnd > value && isParamFileBlank(valueEnd[-1]))
        --valueEnd;
    r.kind = ParsedLine::Good;
    r.value = value;
    r.valueLength = size_t(valueEnd - value);
    return r;
}

// Takes one line of the file; reports and drops a bad one. Returns Param::set's
// result for a line that was taken.
int loadLine(int lineNo, const char* line, size_t length, bool fromUpload)
{
    const ParsedLine l = parseLine(line, length);
    if (l.kind != ParsedLine::Good) {
        if (l.kind != ParsedLine::Blank)
            reportDropped(lineNo, l.name, l.nameLength, l.reason);
        return 0;
    }
    Param* p = l.param;
    // A stored hash is taken as it stands; an uploaded file's password is
    // hashed like any new one.
    const bool rawHash = p->hasFlags(kParamHashed) && !fromUpload;
    if (rawHash)
        p->removeFlags(kParamHashed);
    bool refused = false;
    const int rc = p->setReporting(l.value, int(l.valueLength), &refused);
    if (rawHash)
        p->addFlags(kParamHashed);
    if (refused)
        reportDropped(lineNo, l.name, l.nameLength, "value refused");
    return rc;
}

// What loadLine would refuse, without changing anything: an unknown name, a
// line without '=', a value its parameter does not take. A parameter that
// this model hides is passed over, as loading would.
bool lineAcceptable(int lineNo, const char* line, size_t length)
{
    const ParsedLine l = parseLine(line, length);
    if (l.kind == ParsedLine::Blank || l.kind == ParsedLine::Elsewhere)
        return true;
    bool ok = l.kind == ParsedLine::Good && l.valueLength <= size_t(kParamMaxTextLength);
    if (ok) {
        // A line that restates what the parameter shows now changes nothing,
        // whatever its check says: a downloaded list holds "****" for a set
        // password, and a default the range does not cover.
        const std::string value(l.value, l.valueLength);
        ok = l.param->isValid(value.c_str()) || value == l.param->text();
    }
    if (!ok)
        reportDropped(lineNo, l.name, l.nameLength, l.reason ? l.reason : "value refused");
    return ok;
}

// Every line of the rest of the file is one loadLine would take.
bool fileAcceptable(FILE* in)
{
    char line[kMaxLine + 1];
    int lineNo = 0;
    bool ok = true;
    for (;;) {
        size_t length = 0;
        bool hasNul = false;
        const LineRead r = readLine(in, line, &length, &hasNul);
        if (r == LineRead::End)
            return ok;
        ++lineNo;
        if (r == LineRead::TooLong || hasNul) {
            const char* name = line + std::strspn(line, " \t");
            reportDropped(lineNo, name, std::strcspn(name, "= \t"), hasNul ? "binary data" : "line too long");
            ok = false;
            continue;
        }
        ok = lineAcceptable(lineNo, line, length) && ok;
    }
}

}  // namespace

int ParamStore::load(FILE* in, bool fromUpload)
{
    if (!in)
        return 0;
    if (fromUpload) {
        // An upload replaces the settings as a whole or not at all: one bad
        // line refuses the file before any parameter is touched.
        const long start = std::ftell(in);
        if (start < 0)
            return -1;
        if (!fileAcceptable(in))
            return -2;
        if (std::fseek(in, start, SEEK_SET) != 0)
            return -1;
    }
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
