#include "web/http/http_request.h"
#include "core/util/text_scan.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool decodePath(const std::string& raw, std::string* out)
{
    out->clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '+') {
            out->push_back(' ');
            continue;
        }
        if (c != '%') {
            out->push_back(c);
            continue;
        }
        if (i + 2 >= raw.size())
            return false;
        int high = hexDigitValue(raw[i + 1]);
        int low = hexDigitValue(raw[i + 2]);
        if (high < 0 || low < 0 || (high == 0 && low == 0))
            return false;
        out->push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

// Segments that are empty, "." or ".." are dropped: a path never climbs
// out of the tree it is looked up in.
std::string cleanSegments(const std::string& path)
{
    std::string clean;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string segment = path.substr(start, end - start);
        bool last = end == path.size();
        if (!segment.empty() && segment != "." && segment != "..") {
            clean += '/';
            clean += segment;
        } else if (last) {
            clean += '/';
        }
        start = end + 1;
    }
    return clean.empty() ? std::string(1, '/') : clean;
}

// "/index_de.html" -> "/index.html" with language "de".
void takeLanguage(HttpRequest* request)
{
    std::string& path = request->path;
    for (size_t i = 0; i + 2 < path.size(); ++i) {
        if (path[i] != '_' || !isalpha(static_cast<unsigned char>(path[i + 1]))
            || !isalpha(static_cast<unsigned char>(path[i + 2])))
            continue;
        size_t after = i + 3;
        if (after != path.size() && path[after] != '.')
            continue;
        request->lang = path.substr(i + 1, 2);
        path.erase(i, 3);
        return;
    }
    static const char kHelp[] = "/help/help";
    const size_t helpLength = sizeof kHelp - 1;
    if (path.size() > 15 && path.compare(0, helpLength, kHelp) == 0
        && isalpha(static_cast<unsigned char>(path[helpLength]))
        && isalpha(static_cast<unsigned char>(path[helpLength + 1])))
        request->lang = path.substr(helpLength, 2);
}

} // namespace

long findHeaderEnd(const char* data, size_t length)
{
    size_t offset = 0;
    std::string line;
    while (nextHeaderLine(data, length, &offset, &line)) {
        if (line.empty() && offset > 0)
            return static_cast<long>(offset);
    }
    return -1;
}

bool nextHeaderLine(const char* data, size_t length, size_t* offset, std::string* line)
{
    if (*offset >= length)
        return false;
    const void* found = memchr(data + *offset, '\n', length - *offset);
    if (!found)
        return false;
    size_t end = static_cast<size_t>(static_cast<const char*>(found) - data);
    size_t textEnd = end;
    while (textEnd > *offset && data[textEnd - 1] == '\r')
        --textEnd;
    line->assign(data + *offset, textEnd - *offset);
    *offset = end + 1;
    return true;
}

int parseRequestLine(const std::string& line, HttpRequest* request)
{
    size_t p;
    if (line.compare(0, 4, "GET ") == 0) {
        request->method = kHttpGet;
        p = 4;
    } else if (line.compare(0, 5, "HEAD ") == 0) {
        request->method = kHttpHead;
        p = 5;
    } else if (line.compare(0, 5, "POST ") == 0) {
        request->method = kHttpPost;
        p = 5;
    } else {
        return 501;
    }
    while (p < line.size() && line[p] == ' ')
        ++p;
    size_t end = line.find(' ', p);
    if (end == std::string::npos)
        end = line.size();
    size_t version = end;
    while (version < line.size() && line[version] == ' ')
        ++version;
    // Only a line without any version is HTTP/0.9: a client that names a
    // version it gets wrong still reads its error answer's status line.
    request->http09 = version == line.size();
    if (end - p > kHttpUrlMax)
        return 400;
    request->url = line.substr(p, end - p);
    if (!request->http09) {
        unsigned major = 0, minor = 0;
        int used = 0;
        if (sscanf(line.c_str() + version, "HTTP/%1u.%1u%n", &major, &minor, &used) != 2
            || version + static_cast<size_t>(used) != line.size())
            return 400;
        if (major == 0)
            request->http09 = true;
        else if (major != 1 || minor > 1)
            return 400;
    }
    if (request->http09 && request->method == kHttpHead)
        return 400;
    return 0;
}

std::string headerNameToKey(const std::string& name)
{
    std::string key = name;
    for (char& c : key) {
        if (c == '-')
            c = '_';
        else
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return key;
}

bool storeHeaderLine(const std::string& line, HttpRequest* request)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    std::string key = headerNameToKey(line.substr(0, colon));
    size_t v = colon + 1;
    while (v < line.size() && (line[v] == ' ' || line[v] == '\t'))
        ++v;
    std::string value = line.substr(v);
    if (key == "CONTENT_LENGTH") {
        if (!request->hasContentLength) {
            request->hasContentLength = true;
            request->contentLength = value;
        }
    } else if (key.compare(0, 6, "COOKIE") == 0) {
        if (!request->hasCookie) {
            request->hasCookie = true;
            request->cookie = value;
        }
    } else if (key.compare(0, 4, "HOST") == 0) {
        if (!request->hasHost) {
            request->hasHost = true;
            request->host = value.substr(0, value.find(':'));
        }
    } else if (key == "CONNECTION") {
        if (request->keepAlive != kKeepAliveClose) {
            bool keep = headerNameToKey(value).compare(0, 10, "KEEP_ALIVE") == 0;
            if (!keep || request->keepAlive == kKeepAliveNone)
                request->keepAlive = keep ? kKeepAliveKeep : kKeepAliveClose;
        }
    } else if (key == "CONTENT_TYPE" && request->boundary.empty()) {
        size_t b = value.find("boundary=");
        if (b != std::string::npos) {
            std::string token = value.substr(b + 9);
            if (token.size() >= 2 && token.front() == '"' && token.back() == '"')
                token = token.substr(1, token.size() - 2);
            if (!token.empty() && token.size() <= 70)
                request->boundary = "--" + token;
        }
    }
    return true;
}

bool processUrl(HttpRequest* request)
{
    const std::string& url = request->url;
    size_t pathEnd = url.find_first_of("?#");
    std::string rawPath = url.substr(0, pathEnd);
    request->hasQuery = false;
    request->query.clear();
    if (pathEnd != std::string::npos) {
        size_t question = url.find('?', pathEnd);
        if (question != std::string::npos) {
            size_t fragment = url.find('#', question);
            request->query = url.substr(question + 1, fragment == std::string::npos ? std::string::npos
                                                                                   : fragment - question - 1);
            request->hasQuery = true;
        }
    }
    std::string decoded;
    if (!decodePath(rawPath, &decoded) || decoded.empty() || decoded[0] != '/')
        return false;
    request->path = cleanSegments(decoded);
    request->lang.clear();
    takeLanguage(request);
    return true;
}

long parseContentLength(const std::string& text, long max)
{
    if (text.empty() || text.size() > 18)
        return -1;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
    }
    long value = strtol(text.c_str(), nullptr, 10);
    return value <= max ? value : -1;
}
