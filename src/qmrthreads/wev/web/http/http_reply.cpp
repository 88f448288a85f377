#include "web/http/http_reply.h"

#include "web/http/http_request.h"

#include <cstdio>
#include <cstring>

namespace {

const char* statusText(int status)
{
    switch (status) {
    case 400: return "400 Bad Request";
    case 404: return "404 Not Found";
    case 501: return "501 Not Implemented";
    default: return "500 Server Error";
    }
}

std::string errorBody(int status, const std::string& url)
{
    std::string title = statusText(status);
    std::string text;
    switch (status) {
    case 400: text = "Your client has issued a malformed or illegal request."; break;
    case 404: text = "The requested URL " + url + " was not found on this server."; break;
    case 501: text = "POST to non-script is not supported."; break;
    default: text = "The server encountered an internal error and could not complete your request."; break;
    }
    return "<HTML><HEAD><TITLE>" + title + "</TITLE></HEAD>\n<BODY><H1>" + title + "</H1>\n" + text
           + "\n</BODY></HTML>\n";
}

std::string cutEchoedUrl(const std::string& url)
{
    return htmlEscape(url.substr(0, url.find_first_of("<?")));
}

} // namespace

std::string httpDate(time_t when)
{
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm t;
    gmtime_r(&when, &t);
    char text[40];
    snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[t.tm_wday % 7], t.tm_mday,
             kMonths[t.tm_mon % 12], (t.tm_year + 1900) % 10000, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

const char* mimeTypeForPath(const std::string& url)
{
    size_t dot = url.rfind('.');
    if (dot == std::string::npos)
        return "text/html";
    std::string ext = headerNameToKey(url.substr(dot + 1, 11));
    static const struct {
        const char* ext;
        const char* type;
    } kTypes[] = {
        {"JPG", "image/jpeg"}, {"JPEG", "image/jpeg"}, {"JPE", "image/jpeg"}, {"GIF", "image/gif"},
        {"PNG", "image/png"}, {"SVG", "image/svg+xml"}, {"ICO", "image/x-icon"}, {"CSS", "text/css"},
        {"TXT", "text/plain"}, {"TEXT", "text/plain"}, {"BIN", "application/octet-stream"},
        {"ZIP", "application/zip"}, {"GZ", "application/zip"}, {"PHP", "application/x-httpd-php"},
        {"CGI", "application/x-httpd-cgi"}, {"JS", "application/x-javascript"},
    };
    for (const auto& t : kTypes) {
        if (ext == t.ext)
            return t.type;
    }
    return "text/html";
}

std::string commonHeaders(const ReplyForm& form, int status)
{
    std::string h = "Date: " + httpDate(time(nullptr)) + "\r\nServer: Vek HTTP Server\r\n";
    if (form.keepAlive && form.budget > 0 && status < 300)
        h += "Connection: Keep-Alive\r\nKeep-Alive: timeout=" + std::to_string(kKeepAliveTimeoutSeconds)
             + ", max=" + std::to_string(form.budget) + "\r\n";
    else
        h += "Connection: close\r\n";
    return h + "Accept-Charset: UTF-8\r\n";
}

std::string contentTypeLine(const char* type, const std::string& attachment, const std::string& url)
{
    std::string line = "Content-Type: ";
    if (type) {
        line += type;
        if (!attachment.empty())
            line += "\r\nContent-disposition: attachment; filename=" + attachment;
    } else {
        line += mimeTypeForPath(url);
    }
    return line + "; charset=UTF-8\r\n";
}

std::string okFileHead(const ReplyForm& form, long length, time_t modified, const std::string& typeLine)
{
    if (form.http09)
        return "";
    std::string h = "HTTP/1.1 200 OK\r\n" + commonHeaders(form, 200);
    if (length > 0)
        h += "Content-Length: " + std::to_string(length) + "\r\n";
    return h + "Last-Modified: " + httpDate(modified) + "\r\n" + typeLine + "\r\n";
}

std::string okPageHead(const ReplyForm& form, long length, const std::string& typeLine)
{
    if (form.http09)
        return "";
    std::string h = "HTTP/1.1 200 OK\r\n" + commonHeaders(form, 200)
                    + "Cache-Control: no-cache\r\nX-Frame-Options: deny\r\n";
    if (length > 0)
        h += "Content-Length: " + std::to_string(length) + "\r\n";
    return h + "Last-Modified: " + httpDate(time(nullptr)) + "\r\n" + typeLine + "Pragma: No-cache\r\n\r\n";
}

std::string redirectReply(const ReplyForm& form, const std::string& location, const std::string& extraLine)
{
    std::string reply;
    if (!form.http09) {
        ReplyForm closing = form;
        closing.keepAlive = false;
        reply = "HTTP/1.1 302 Moved Temporarily\r\n" + commonHeaders(closing, 302)
                + "Content-Type: text/html; charset=UTF-8\r\nLocation: " + location;
        if (!extraLine.empty())
            reply += "\r\n" + extraLine;
        reply += "\r\n\r\n";
    }
    if (!form.head)
        reply += "<HTML><HEAD><TITLE>302 Moved Temporarily</TITLE></HEAD>\n<BODY>\n<H1>302 Moved</H1>"
                 "The document has moved\n<A HREF=\""
                 + htmlEscape(location) + "\">here</A>.\n</BODY></HTML>\n";
    return reply;
}

std::string errorReply(const ReplyForm& form, int status, const std::string& url)
{
    std::string reply;
    if (!form.http09) {
        ReplyForm closing = form;
        closing.keepAlive = false;
        reply = std::string("HTTP/1.1 ") + (status == 500 ? "500 Server Error" : statusText(status)) + "\r\n"
                + commonHeaders(closing, status) + "Content-Type: text/html; charset=UTF-8\r\n\r\n";
    }
    if (!form.head)
        reply += errorBody(status, cutEchoedUrl(url));
    return reply;
}

std::string htmlEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}
