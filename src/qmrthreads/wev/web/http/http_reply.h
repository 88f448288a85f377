// The texts of HTTP answers: status lines and header lines in their fixed
// order, the short pages of error answers and redirects, the MIME type of a
// URL and the HTTP date. The connection sends what these build.
#pragma once

#include <ctime>
#include <string>

constexpr int kKeepAliveTimeoutSeconds = 5;
constexpr int kKeepAliveMax = 15;

// How the answer goes out: HTTP/0.9 answers carry no status line and no
// headers; HEAD answers carry no body; keep-alive is announced with the
// budget left on the socket, else the socket closes.
struct ReplyForm {
    bool http09 = false;
    bool head = false;
    bool keepAlive = false;
    int budget = 0;
};

// RFC 1123 date in GMT, always 29 characters.
std::string httpDate(time_t when);

const char* mimeTypeForPath(const std::string& url);

// Date, server, keep-alive or close, charset.
std::string commonHeaders(const ReplyForm& form, int status);

// The Content-Type line: the type given (with an attachment name, the
// disposition inside it) or the URL's own type.
std::string contentTypeLine(const char* type, const std::string& attachment, const std::string& url);

// 200 head of a file or stream; length 0 leaves the length line out.
std::string okFileHead(const ReplyForm& form, long length, time_t modified, const std::string& typeLine);
// 200 head of a generated page.
std::string okPageHead(const ReplyForm& form, long length, const std::string& typeLine);

// The whole 302 answer (head and, except for HEAD, its page).
std::string redirectReply(const ReplyForm& form, const std::string& location, const std::string& extraLine);

// The whole error answer of status 400, 404, 500 or 501; for 404 the
// request URL is echoed, cut at its first '<' or '?' and escaped.
std::string errorReply(const ReplyForm& form, int status, const std::string& url);

// Text from outside made safe for HTML text and attribute values.
std::string htmlEscape(const std::string& text);
