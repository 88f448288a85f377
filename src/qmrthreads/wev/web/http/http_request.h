// The request head of one HTTP request: its request line, the header lines
// the server uses, and the URL turned into a clean path, a raw query and a
// language. Every function works on text already bounded by the input
// buffer; none allocates without bound.
#pragma once

#include <cstddef>
#include <string>

constexpr size_t kHttpInputSize = 8192;
constexpr size_t kHttpUrlMax = 2048;

enum HttpMethod : int { kHttpGet = 1, kHttpHead = 2, kHttpPost = 4 };

// keepAlive: not asked, close after this answer, keep the socket.
enum HttpKeepAlive : int { kKeepAliveNone = 0, kKeepAliveClose = 1, kKeepAliveKeep = 2 };

struct HttpRequest {
    int method = kHttpGet;
    bool http09 = false;
    std::string url;          // as sent, at most kHttpUrlMax characters
    std::string path;         // decoded and cleaned
    std::string query;        // raw: decoded per value by the form reader
    bool hasQuery = false;
    std::string lang;         // two letters from the URL, or ""
    bool hasContentLength = false;
    std::string contentLength;
    bool hasCookie = false;
    std::string cookie;
    bool hasHost = false;
    std::string host;         // cut at its first ':'
    int keepAlive = kKeepAliveNone;
    std::string boundary;     // "--" + token of a multipart body, or ""
};

// Offset just past the blank line that ends a header block in data, or -1
// while the block is incomplete. A line ends at LF; CRs before it belong
// to the line end.
long findHeaderEnd(const char* data, size_t length);

// The next line of a block starting at offset: its text without the line
// end, and the offset after it. false when no complete line is left.
bool nextHeaderLine(const char* data, size_t length, size_t* offset, std::string* line);

// 0, 400 (bad URL length, version or form) or 501 (unknown method).
int parseRequestLine(const std::string& line, HttpRequest* request);

// Stores a header line the server uses (the first of each kind wins; a
// "boundary=" line gives the multipart boundary). false for a line
// without ':'.
bool storeHeaderLine(const std::string& line, HttpRequest* request);

// Letters to upper case and '-' to '_' ("Content-Length" -> "CONTENT_LENGTH").
std::string headerNameToKey(const std::string& name);

// Decodes the URL's path, splits off the raw query, removes empty, "." and
// ".." segments and takes the language suffix. false for a path that does
// not begin with '/', a bad '%' escape or an encoded NUL.
bool processUrl(HttpRequest* request);

// The declared body length: decimal digits only, at most max. -1 otherwise.
long parseContentLength(const std::string& text, long max);
