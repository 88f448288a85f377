#include "web/http/http_connection.h"

#include "web/http/http_reply.h"
#include "web/http/page_answers.h"
#include "web/http/page_statistics.h"
#include "web/http/page_table.h"
#include "web/http/request_values.h"
#include "web/template/template_engine.h"

#include "core/i18n/catalogue.h"
#include "core/net/connection.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/product_info.h"
#include "core/task/start_state.h"
#include "core/task/tick_clock.h"
#include "core/tls/tls_connection.h"
#include "core/util/file_queries.h"
#include "platform/files/root_path.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Results of the reading steps besides an HTTP status: the request ends
// without an answer.
constexpr int kDrop = -1;

// Model whose own templates come before the common ones.
constexpr uint32_t kModelWithOwnTemplates = 365;

// Waiting for a streamer's next output.
constexpr int kPipeWaitMs = 60000;

// Connection tasks may outlive the end of main (the program ends without
// waiting for them): the list of them is never destroyed.
std::mutex liveMutex;
std::vector<HttpConnection*>& liveConnections = *new std::vector<HttpConnection*>;

const char* modelDir()
{
    return productInfo().product_id == kModelWithOwnTemplates ? "KORA-4" : nullptr;
}

int64_t ticksLeft(uint64_t deadline)
{
    uint64_t now = boardTicks();
    return now >= deadline ? 0 : static_cast<int64_t>(deadline - now);
}

bool endsWith(const std::string& text, const char* tail)
{
    size_t n = strlen(tail);
    return text.size() > n && text.compare(text.size() - n, n, tail) == 0;
}

} // namespace

HttpConnection::HttpConnection(Connection* connection, bool tls)
    : Task("HTTP_1"), connection_(connection), tls_(tls), successor_(false), budget_(kKeepAliveMax)
{
    std::lock_guard<std::mutex> hold(liveMutex);
    liveConnections.push_back(this);
    registered_ = true;
}

HttpConnection::HttpConnection(Connection* connection, const char* pending, size_t length, int budget)
    : Task("HTTP_2"), connection_(connection), tls_(false), successor_(true), budget_(budget)
{
    filled_ = std::min(length, sizeof input_);
    memcpy(input_, pending, filled_);
    std::lock_guard<std::mutex> hold(liveMutex);
    liveConnections.push_back(this);
    registered_ = true;
}

HttpConnection::~HttpConnection()
{
    {
        std::lock_guard<std::mutex> hold(liveMutex);
        if (registered_)
            liveConnections.erase(std::find(liveConnections.begin(), liveConnections.end(), this));
        registered_ = false;
    }
    if (uploadFd_ >= 0)
        close(uploadFd_);
    if (connection_)
        connection_->closeSession();
}

int HttpConnection::liveCount()
{
    std::lock_guard<std::mutex> hold(liveMutex);
    return static_cast<int>(liveConnections.size());
}

bool HttpConnection::dropOldestWaiting()
{
    std::lock_guard<std::mutex> hold(liveMutex);
    HttpConnection* oldest = nullptr;
    for (HttpConnection* c : liveConnections) {
        uint64_t since = c->waitingSince_.load();
        if (since != 0 && (!oldest || since < oldest->waitingSince_.load()))
            oldest = c;
    }
    if (!oldest)
        return false;
    // The owner sees its socket end and finishes; it leaves this list before
    // it closes the socket, so the descriptor is still its own here.
    oldest->waitingSince_.store(0);
    shutdown(oldest->connection_->fd, SHUT_RDWR);
    return true;
}

void HttpConnection::markWaiting(bool waiting)
{
    waitingSince_.store(waiting ? std::max<uint64_t>(boardTicks(), 1) : 0);
}

uint32_t HttpConnection::onMessage(TaskMessage* msg)
{
    // A network change rebuilds listeners; a request in progress goes on.
    return msg->code & ~MSG_NETWORK_CHANGED;
}

bool HttpConnection::isTls() const
{
    return hasTlsSession(connection_);
}

std::string HttpConnection::translate(const char* text) const
{
    return translateText(lang_, text);
}

void HttpConnection::run()
{
    connection_->owner = this;
    connection_->setNonBlocking();
    markWaiting(true);
    if (tls_ && !runServerHandshake(connection_)) {
        markWaiting(false);
        return;
    }
    serve();
    markWaiting(false);
    {
        std::lock_guard<std::mutex> hold(liveMutex);
        liveConnections.erase(std::find(liveConnections.begin(), liveConnections.end(), this));
        registered_ = false;
    }
    if (keepsSocket())
        handOver();
}

bool HttpConnection::keepsSocket() const
{
    return !dead_ && request_.keepAlive == kKeepAliveKeep && status_ == 200 && budget_ > 0;
}

// The next request on the socket is the successor's, with what was already
// received of it.
void HttpConnection::handOver()
{
    auto* next = new HttpConnection(connection_, input_ + parsed_, filled_ - parsed_, budget_ - 1);
    connection_ = nullptr;
    if (next->start(kSuccessorStack, 0) < 0)
        delete next;
}

int HttpConnection::receiveMore(int64_t ticks)
{
    if (ticks <= 0 || filled_ >= sizeof input_)
        return 0;
    int n = connection_->receiveBytes(input_ + filled_, static_cast<int>(sizeof input_ - filled_), ticks);
    if (n > 0)
        filled_ += static_cast<size_t>(n);
    return n;
}

// Reads the request line and the header lines. 0, an HTTP status to answer
// with, or kDrop.
int HttpConnection::readHead()
{
    // An idle keep-alive socket gets the short wait; a request that has
    // begun, the whole head's.
    bool idle = successor_ && filled_ == 0;
    uint64_t deadline = boardTicks() + static_cast<uint64_t>(idle ? kIdleTicks : kHeaderTicks);
    bool lineParsed = false;
    size_t offset = 0;
    for (;;) {
        std::string line;
        size_t next = offset;
        while (!lineParsed && nextHeaderLine(input_, filled_, &next, &line)) {
            offset = next;
            if (line.empty())
                continue;  // blank lines before a request are ignored
            int status = parseRequestLine(line, &request_);
            if (status)
                return status;
            lineParsed = true;
            if (request_.http09) {
                parsed_ = offset;
                return 0;
            }
        }
        if (lineParsed) {
            long end = findHeaderEnd(input_ + offset, filled_ - offset);
            if (end >= 0) {
                size_t headEnd = offset + static_cast<size_t>(end);
                while (nextHeaderLine(input_, headEnd, &offset, &line)) {
                    if (!line.empty() && !storeHeaderLine(line, &request_))
                        return kDrop;
                }
                parsed_ = headEnd;
                return 0;
            }
        }
        if (filled_ >= sizeof input_)
            return kDrop;
        if (receiveMore(ticksLeft(deadline)) <= 0)
            return kDrop;
        if (idle) {
            idle = false;
            deadline = boardTicks() + static_cast<uint64_t>(kHeaderTicks);
        }
    }
}

// The language of the URL becomes the box's language; without one the
// box's language is the request's.
bool HttpConnection::selectLanguage()
{
    P3List* language = params::language();
    const char* current = language->currentToken();
    lang_ = current;
    if (request_.lang.empty())
        return true;
    if (language->indexOfToken(request_.lang.c_str()) == P3List::kNoRow)
        return false;
    lang_ = request_.lang;
    if (strncmp(current, lang_.c_str(), 2) != 0) {
        language->set(lang_.c_str(), static_cast<int>(lang_.size()));
        saveParamsIfDirty();
    }
    return true;
}

void HttpConnection::serve()
{
    int status = readHead();
    markWaiting(false);
    if (status == kDrop) {
        dead_ = true;
        return;
    }
    if (status) {
        sendError(status);
        return;
    }
    if (!processUrl(&request_)) {
        sendError(400);
        return;
    }
    selectLanguage();
    LocatedPage page = locatePage(boxPath("/romfs"), modelDir(), request_.path);
    pageIndex_ = page.row;
    filePath_ = page.file;
    if (request_.method == kHttpPost) {
        status = readBody();
        if (status == kDrop) {
            dead_ = true;
            return;
        }
        if (status) {
            sendError(status);
            return;
        }
    } else {
        form_ = request_.query;
    }
    answer(dispatch());
}

int HttpConnection::readBody()
{
    if (!request_.hasContentLength)
        return 400;
    long length = parseContentLength(request_.contentLength, 0x7fffffffL);
    if (length < 0)
        return 400;
    return request_.boundary.empty() ? readFormBody(length) : readMultipart(length);
}

int HttpConnection::readFormBody(long length)
{
    if (parsed_ + static_cast<size_t>(length) > sizeof input_)
        return 400;
    size_t end = parsed_ + static_cast<size_t>(length);
    while (filled_ < end) {
        if (receiveMore(kBodyTicks) <= 0)
            return kDrop;
    }
    form_.assign(input_ + parsed_, static_cast<size_t>(length));
    parsed_ = end;
    return 0;
}

// One part, a file, as browsers send it: the boundary line, the part's
// header lines, a blank line, the file, CR LF and the closing delimiter.
// The file goes into an unlinked temporary file when it is small enough;
// a body that does not end in the closing delimiter gives no upload.
int HttpConnection::readMultipart(long length)
{
    const size_t bodyStart = parsed_;
    size_t offset = parsed_;
    bool inPart = false;
    for (;;) {
        std::string line;
        size_t next = offset;
        if (!nextHeaderLine(input_, filled_, &next, &line)) {
            if (filled_ >= sizeof input_)
                return 400;
            if (receiveMore(kBodyTicks) <= 0)
                return kDrop;
            continue;
        }
        offset = next;
        if (static_cast<long>(offset - bodyStart) > length)
            return 400;
        if (!inPart) {
            inPart = line == request_.boundary;
            continue;
        }
        if (line.empty())
            break;
        size_t name = line.find("filename=");
        if (name != std::string::npos && uploadName_.empty())
            uploadName_ = line.substr(name + 9);
    }
    const std::string trailer = "\r\n" + request_.boundary + "--\r\n";
    long data = length - static_cast<long>(offset - bodyStart) - static_cast<long>(trailer.size());
    if (data < 0)
        return 400;
    if (data <= kUploadMax)
        uploadFd_ = makeTempFile();
    long left = data;
    std::string tail;
    long bodyLeft = data + static_cast<long>(trailer.size());
    size_t at = offset;
    for (;;) {
        size_t have = std::min(filled_ - at, static_cast<size_t>(bodyLeft));
        size_t toFile = std::min(have, static_cast<size_t>(left));
        if (toFile > 0 && uploadFd_ >= 0 && write(uploadFd_, input_ + at, toFile) != static_cast<ssize_t>(toFile)) {
            perror("write body");
            close(uploadFd_);
            uploadFd_ = -1;
        }
        tail.append(input_ + at + toFile, have - toFile);
        left -= static_cast<long>(toFile);
        bodyLeft -= static_cast<long>(have);
        at += have;
        if (bodyLeft == 0)
            break;
        // Everything buffered was body: the buffer starts over.
        filled_ = at = 0;
        if (receiveMore(kBodyTicks) <= 0)
            return kDrop;
    }
    // What follows the body is the next request's.
    memmove(input_, input_ + at, filled_ - at);
    filled_ -= at;
    parsed_ = 0;
    if (tail != trailer) {
        if (uploadFd_ >= 0)
            close(uploadFd_);
        uploadFd_ = -1;
        return 400;
    }
    if (uploadFd_ >= 0)
        lseek(uploadFd_, 0, SEEK_SET);
    return 0;
}

void HttpConnection::setCurrentTime()
{
    time_t now = time(nullptr);
    struct tm t;
    if (!localtime_r(&now, &t))
        return;
    char text[40];
    snprintf(text, sizeof text, "%2.2d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d\n", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec);
    vars_.setRaw("current_time", text);
}

std::string HttpConnection::currentUrl(size_t* directoryLength) const
{
    const PageEntry* entry = pageIndex_ > kCatchAllRow ? pageRow(pageIndex_) : nullptr;
    std::string url = entry ? entry->url : "";
    size_t slash = url.rfind('/');
    if (directoryLength)
        *directoryLength = slash == std::string::npos ? 0 : slash;
    return url;
}

namespace {

void setStandardVars(HttpConnection& c)
{
    size_t directory = 0;
    std::string url = c.currentUrl(&directory);
    if (url.empty()) {
        url = c.request().path;
        directory = url.rfind('/');
    }
    TemplateVars& vars = c.vars();
    vars.setText("SubDir", directory >= 3 ? url.substr(1, directory - 1) : "");
    std::string file = url.substr(url.rfind('/') + 1);
    size_t dot = file.rfind('.');
    vars.setText("FileName", file);
    // The pages' language links name the same page with another language.
    vars.setText("FileStem", file.substr(0, dot));
    vars.setText("FileExt", dot == std::string::npos ? "" : file.substr(dot));
    if (c.request().hasHost)
        vars.setText("Host", c.request().host);
    vars.setRaw("HttpPort", std::to_string(httpPort()));
    vars.setRaw("HttpsPort", std::to_string(httpsPort()));
    if (params::protection_test()->equalsToken("test"))
        vars.setRaw("HeadInfo", c.translate("Port access control: test mode active until device restart."));
}

bool httpsOnly(const HttpConnection& c)
{
    if (params::http_allowed()->isOn() || c.isTls())
        return false;
    return fileSize(boxPath("/flash/cert_pkey.pem").c_str(), nullptr, 0, nullptr) >= 0
           || fileSize(boxPath("/flash/cert_fsrv.pem").c_str(), nullptr, 0, nullptr) >= 0;
}

} // namespace

int HttpConnection::dispatch()
{
    const PageEntry* entry = pageIndex_ >= 0 ? pageRow(pageIndex_) : nullptr;
    if (!entry)
        return -404;
    if (httpsOnly(*this))
        return showRedirector(*this, true);
    if (entry->kind != kKindRaw)
        setStandardVars(*this);
    if (!checkAccess(pageIndex_, request_.cookie, lang_, vars_, &sessionType)) {
        redirect("/index.html");
        return 1;
    }
    return entry->handler ? entry->handler(*this) : 1;
}

void HttpConnection::answer(int result)
{
    if (status_ != 500 || dead_)
        return;  // the handler answered (a redirect)
    if (result == -404) {
        sendError(404);
        return;
    }
    if (result <= 0) {
        sendError(500);
        return;
    }
    const PageEntry* entry = pageRow(pageIndex_);
    bool raw = entry && entry->kind == kKindRaw;
    bool script = entry && entry->kind == kKindScript;
    if (result == 1) {
        int fd = filePath_.empty() ? -1 : open(filePath_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            sendError(404);
            return;
        }
        struct stat st;
        bool empty = fstat(fd, &st) != 0 || st.st_size == 0;
        if (raw || request_.method == kHttpHead || empty)
            answerFile(fd);
        else
            answerTemplate(fd, script);
        return;
    }
    int fd = result >> 8;
    switch (result & 0xff) {
    case kAnswerFile:
        answerFile(fd);
        return;
    case kAnswerPipe:
        answerPipe(fd);
        return;
    case kAnswerTemplate:
        answerTemplate(fd, script);
        return;
    default:
        close(fd);
        sendError(500);
    }
}

namespace {

ReplyForm replyForm(const HttpRequest& r, int budget, bool lengthKnown)
{
    ReplyForm form;
    form.http09 = r.http09;
    form.head = r.method == kHttpHead;
    form.keepAlive = r.keepAlive == kKeepAliveKeep && lengthKnown;
    form.budget = budget;
    return form;
}

} // namespace

void HttpConnection::answerFile(int fd)
{
    struct stat st;
    long length = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<long>(st.st_size) : 0;
    if (length == 0)
        length = replyLength;
    ReplyForm form = replyForm(request_, budget_, length > 0);
    if (length == 0)
        request_.keepAlive = kKeepAliveClose;
    status_ = 200;
    std::string head = okFileHead(form, length, st.st_mtime, contentTypeLine(replyType, attachmentName, request_.path));
    bool ok = sendText(head);
    if (ok && request_.method != kHttpHead)
        ok = connection_->sendFile(fd) == 1;
    close(fd);
    dead_ = dead_ || !ok;
}

void HttpConnection::answerPipe(int fd)
{
    request_.keepAlive = kKeepAliveClose;
    status_ = 200;
    ReplyForm form = replyForm(request_, budget_, false);
    bool ok = sendText(okFileHead(form, replyLength, time(nullptr),
                                  contentTypeLine(replyType, attachmentName, request_.path)));
    char buffer[kHttpInputSize];
    while (ok) {
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, kPipeWaitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            ok = false;
            break;
        }
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            if (n < 0)
                perror("pipe read");
            ok = n == 0;
            break;
        }
        if (request_.method != kHttpHead)
            ok = connection_->send(buffer, static_cast<int>(n), 0, false) == n;
    }
    close(fd);
    dead_ = dead_ || !ok;
}

void HttpConnection::answerTemplate(int fd, bool script)
{
    struct stat st;
    long size = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<long>(st.st_size) : 0;
    FILE* file = fdopen(fd, "r");
    if (!file) {
        close(fd);
        sendError(500);
        return;
    }
    RequestValues values(*this);
    TemplatePage page;
    size_t limit = templatePageLimit(size, static_cast<int>(productInfo().usb_ports_phy));
    expandTemplate(file, values, script, limit, &page);
    fclose(file);
    recordPageSize(pageIndex_, page.text.size(), limit);
    status_ = 200;
    ReplyForm form = replyForm(request_, budget_, !page.text.empty());
    if (page.text.empty())
        request_.keepAlive = kKeepAliveClose;
    std::string reply = okPageHead(form, static_cast<long>(page.text.size()),
                                   contentTypeLine(replyType, attachmentName, request_.path));
    if (request_.method != kHttpHead)
        reply += page.text;
    dead_ = dead_ || !sendText(reply);
}

void HttpConnection::sendError(int status)
{
    status_ = status;
    request_.keepAlive = kKeepAliveClose;
    sendText(errorReply(replyForm(request_, budget_, true), status, request_.url));
}

void HttpConnection::redirect(const char* page, const char* extraLine)
{
    std::string target = page && *page == '/' ? page + 1 : (page ? page : "");
    size_t dot = target.rfind('.');
    std::string stem = dot == std::string::npos ? target : target.substr(0, dot);
    std::string extension = dot == std::string::npos ? "" : target.substr(dot);
    std::string location = ("/" + stem + (lang_.empty() ? "" : "_" + lang_) + extension).substr(0, 125);
    status_ = 302;
    request_.keepAlive = kKeepAliveClose;
    sendText(redirectReply(replyForm(request_, budget_, true), location, extraLine ? extraLine : ""));
}

std::string HttpConnection::metaAutoRefresh() const
{
    if (refreshTarget.empty())
        return "";
    std::string target = refreshTarget[0] == '/' ? refreshTarget.substr(1) : refreshTarget;
    int seconds = refreshSeconds;
    bool https = isTls();
    int port = connection_ ? connection_->port : 0;
    if (seconds < 0) {
        seconds = -seconds;
        https = true;
        port = 443;
    }
    std::string stem = target, extension;
    for (const char* ext : {".html", ".cgi"}) {
        if (endsWith(target, ext)) {
            stem = target.substr(0, target.size() - strlen(ext));
            extension = ext;
            break;
        }
    }
    std::string host;
    if (request_.hasHost && !request_.host.empty())
        host = request_.host;
    else if (connection_)
        host = connection_->local.isIpv6() ? "[" + connection_->local.str() + "]" : connection_->local.str();
    bool defaultPort = (https && port == 443) || (!https && port == 80);
    std::string url = std::string(https ? "https" : "http") + "://" + host
                      + (defaultPort ? "" : ":" + std::to_string(port)) + "/" + stem
                      + (lang_.empty() ? "" : "_" + lang_) + extension;
    return "<meta http-equiv=\"refresh\" content=\"" + std::to_string(seconds) + "; url=" + htmlEscape(url)
           + "\"/>\n";
}

bool HttpConnection::sendText(const std::string& text)
{
    if (dead_ || !connection_)
        return false;
    if (text.empty())
        return true;
    int n = connection_->send(text.data(), static_cast<int>(text.size()), 0, false);
    if (n != static_cast<int>(text.size())) {
        dead_ = true;
        return false;
    }
    return true;
}
