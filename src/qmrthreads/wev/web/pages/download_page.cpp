#include "web/pages/download_page.h"

#include "web/http/http_connection.h"
#include "web/http/page_answers.h"
#include "web/http/page_table.h"

#include "core/params/param_store.h"
#include "core/product/product_info.h"
#include "core/util/file_queries.h"
#include "platform/files/root_path.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const DownloadRow kDownloadTable[] = {
    {"parameters", "/etc/params.dat", DownloadBody::ParamList, "parameters.txt"},
    {"hidden", "/etc/params.dat", DownloadBody::HiddenParamList, "hidden.txt"},
    {"cert_req.pem", "/flash/cert_req.pem", DownloadBody::FileDump, "certreq.csr"},
    {"cert_self.pem", "/flash/cert_srv.pem", DownloadBody::FileDump, "certssc.crt"},
    {"cert_forg.pem", "/flash/cert_fsrv.pem", DownloadBody::FileDump, "certca.pem"},
    {"cpu.bmp", "/tmp/tmp.bmp", DownloadBody::FileDump, "cpuUsage.bmp"},
};

constexpr size_t kAttachmentNameMax = 63;

bool listed(const Param* p, bool hidden)
{
    if (p->hasFlags(kParamHidden))
        return false;
    if (hidden)
        return p->hasFlags(kParamInternal | kParamVolatile);
    return !p->hasFlags(kParamStatus | kParamInternal | kParamVolatile);
}

bool safeFileNameCharacter(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

int invalidRequest(HttpConnection& c)
{
    return showWaitPage(c, c.translate("Invalid request.").c_str());
}

// A file that others may read, as it is; anything else only says so, so a
// key file never leaves the box.
int fileDump(HttpConnection& c, const char* source)
{
    int fd = open(boxPath(source).c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IROTH))
        return (fd << 8) | kAnswerFile;
    if (fd >= 0)
        close(fd);
    int text = makeTempFile();
    std::string denied = c.translate("Access denied");
    if (text < 0 || write(text, denied.data(), denied.size()) != static_cast<ssize_t>(denied.size()) ||
        lseek(text, 0, SEEK_SET) != 0) {
        if (text >= 0)
            close(text);
        return -1;
    }
    return (text << 8) | kAnswerFile;
}

int paramList(bool hidden)
{
    int fd = makeTempFile();
    if (fd < 0)
        return -1;
    int copy = dup(fd);
    FILE* out = copy >= 0 ? fdopen(copy, "w") : nullptr;
    if (!out) {
        if (copy >= 0)
            close(copy);
        close(fd);
        return -1;
    }
    bool ok = writeParamList(out, hidden);
    ok = fclose(out) == 0 && ok;
    if (!ok || lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return -1;
    }
    return (fd << 8) | kAnswerFile;
}

} // namespace

const DownloadRow* findDownload(const std::string& file)
{
    if (file.empty())
        return nullptr;
    for (const DownloadRow& row : kDownloadTable) {
        if (file.compare(0, strlen(row.name), row.name) == 0)
            return &row;
    }
    return nullptr;
}

std::string attachmentFileName(const char* defaultName, const char* suffix)
{
    std::string name = std::string(defaultName ? defaultName : "") + "_" + (suffix ? suffix : "");
    for (char& ch : name) {
        if (!safeFileNameCharacter(static_cast<unsigned char>(ch)))
            ch = '_';
    }
    if (name.size() > kAttachmentNameMax)
        name.resize(kAttachmentNameMax);
    return name;
}

bool writeParamList(FILE* out, bool hidden)
{
    int count = 0;
    Param** table = ParamStore::items(&count);
    int width = 0;
    for (int i = 0; i < count; ++i) {
        if (listed(table[i], hidden))
            width = std::max(width, static_cast<int>(strlen(table[i]->name())));
    }
    for (int i = 0; i < count; ++i) {
        const Param* p = table[i];
        if (!listed(p, hidden))
            continue;
        // The whole value: the list is read back as a parameter file, and a
        // cut value would come back changed.
        const char* end = hidden && p->hasFlags(kParamVolatile) ? " (temporarily)\n" : "\r\n";
        if (fprintf(out, " %-*s = %s%s", width, p->name(), p->text().c_str(), end) < 0)
            return false;
    }
    return !ferror(out);
}

int downloadPage(HttpConnection& c)
{
    size_t directory = 0;
    std::string url = c.currentUrl(&directory);
    if (url.empty() || directory + 1 >= url.size())
        return invalidRequest(c);
    const DownloadRow* row = findDownload(url.substr(directory + 1));
    if (!row)
        return invalidRequest(c);
    if (url.compare(0, directory, "/bin") == 0 && directory == 4) {
        c.replyType = "application/octet-stream";
        c.attachmentName = attachmentFileName(productInfo().default_name, row->suffix);
    } else {
        c.replyType = "text/plain";
        c.attachmentName.clear();
    }
    switch (row->body) {
    case DownloadBody::ParamList: return paramList(false);
    case DownloadBody::HiddenParamList: return paramList(true);
    case DownloadBody::FileDump: return fileDump(c, row->source);
    }
    return -1;
}

void registerDownloadPages()
{
    for (const char* url : {"/txt/parameters.txt", "/txt/hidden.txt", "/bin/parameters", "/bin/cert_req.pem",
                            "/bin/cert_self.pem", "/bin/cert_forg.pem", "/bin/cpu.bmp"})
        setPageHandler(url, downloadPage);
}
