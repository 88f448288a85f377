// HttpConnection: one request on an accepted HTTP or HTTPS socket, served
// by its own task ("HTTP_1" for the first request of a socket, "HTTP_2" for
// each keep-alive successor). It reads and checks the request head, reads a
// form body or stores an uploaded file, finds the page, checks access, runs
// the page's handler and answers with a file, a streamer's output or a page
// expanded from its template.
//
// Every wait is bounded: the header block must arrive within
// kHeaderTicks, a keep-alive successor's first byte within kIdleTicks, each
// piece of a body within kBodyTicks; a client that stops reading is given up
// by the connection's send. The server caps the live connections and, when
// full, drops the oldest one that is still waiting for its header.
//
// It is also the record every page handler receives: the form, the
// template variables, the language and the answer settings.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

#include "core/task/task.h"
#include "web/http/form_data.h"
#include "web/http/http_request.h"
#include "web/http/template_vars.h"

class Connection;

constexpr int64_t kHeaderTicks = 2000;
constexpr int64_t kIdleTicks = 500;
constexpr int64_t kBodyTicks = 6000;
constexpr long kUploadMax = 8192000;
constexpr int kConnectionStack = 65536;
constexpr int kSuccessorStack = 49152;

class HttpConnection : public Task {
public:
    // A freshly accepted connection; tls: run the server handshake first.
    HttpConnection(Connection* connection, bool tls);
    // The keep-alive successor: takes over the socket, the bytes received
    // after the previous request, and the budget left.
    HttpConnection(Connection* connection, const char* pending, size_t length, int budget);
    ~HttpConnection() override;

    void run() override;
    uint32_t onMessage(TaskMessage* msg) override;

    // The request.
    const HttpRequest& request() const { return request_; }
    bool isRequestPath(const char* text) const { return request_.path == text; }
    bool isTls() const;
    // The socket the request came in on (for its TLS facts).
    const Connection* socket() const { return connection_; }
    int method() const { return request_.method; }
    const std::string& lang() const { return lang_; }
    // A text of the program in the request's language.
    std::string translate(const char* text) const;
    int pageIndex() const { return pageIndex_; }
    // The form: the query of a GET or HEAD, the body of a form POST; empty
    // for a multipart POST.
    const std::string& form() const { return form_; }
    bool getFormVar(const char* name, std::string* value) const { return ::getFormVar(form_, name, value); }
    FormApplied applyFormToParams(const char* prefix) { return ::applyFormToParams(form_, prefix); }
    // The uploaded file of a multipart POST (unlinked, positioned at its
    // start) or -1; its name as the part header gave it.
    int uploadFd() const { return uploadFd_; }
    // Hands the upload over to the caller, who closes it; the connection
    // forgets it. -1 when there is none.
    int takeUpload()
    {
        int fd = uploadFd_;
        uploadFd_ = -1;
        return fd;
    }
    const std::string& uploadName() const { return uploadName_; }

    TemplateVars& vars() { return vars_; }
    const TemplateVars& vars() const { return vars_; }

    // The URL of the request's page and the length of its directory part.
    std::string currentUrl(size_t* directoryLength) const;
    // Answers 302 to page made relative and given the request's language
    // ("/start.html" -> "/start_de.html"); extraLine (a Set-Cookie line)
    // goes into the head.
    void redirect(const char* page, const char* extraLine = nullptr);
    // "current_time": the local time as "YYYY-MM-DD hh:mm:ss".
    void setCurrentTime();
    // "MetaAutoRefresh": the refresh meta element to refreshTarget.
    std::string metaAutoRefresh() const;

    // Answer settings a handler may change.
    const char* replyType = nullptr;
    std::string attachmentName;
    long replyLength = 0;
    std::string refreshTarget;
    int refreshSeconds = 6;
    int sessionType = -1;

    // Live connections, and the cap beyond which the server makes room.
    static int liveCount();
    static constexpr int kMaxLive = 32;
    // Drops the connection that has waited longest for its header block;
    // true when one was found.
    static bool dropOldestWaiting();

private:
    void serve();
    int readHead();
    int receiveMore(int64_t ticks);
    bool selectLanguage();
    int readBody();
    int readFormBody(long length);
    int readMultipart(long length);
    int dispatch();
    void answer(int result);
    void answerFile(int fd);
    void answerPipe(int fd);
    void answerTemplate(int fd, bool script);
    void sendError(int status);
    bool sendText(const std::string& text);
    bool keepsSocket() const;
    void handOver();
    void markWaiting(bool waiting);

    Connection* connection_;
    bool tls_;
    bool successor_;
    HttpRequest request_;
    char input_[kHttpInputSize];
    size_t filled_ = 0;
    size_t parsed_ = 0;
    int budget_;
    int status_ = 500;
    bool dead_ = false;
    std::string lang_;
    int pageIndex_ = -1;
    std::string filePath_;
    std::string form_;
    int uploadFd_ = -1;
    std::string uploadName_;
    TemplateVars vars_;
    std::atomic<uint64_t> waitingSince_{0};
    bool registered_ = false;
};
