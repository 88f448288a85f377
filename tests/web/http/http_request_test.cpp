#include "web/http/http_request.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(HttpRequestLine, VersionsAndMethods)
{
    const struct {
        const char* line;
        int status;
        int method;
        bool http09;
    } cases[] = {
        {"GET /index.html HTTP/1.1", 0, kHttpGet, false},
        {"GET /index.html HTTP/1.0", 0, kHttpGet, false},
        {"HEAD /x HTTP/1.1", 0, kHttpHead, false},
        {"POST /x HTTP/1.0", 0, kHttpPost, false},
        {"GET /index.html", 0, kHttpGet, true},
        {"GET /index.html HTTP/0.8", 0, kHttpGet, true},
        {"HEAD /index.html", 400, kHttpHead, true},
        {"GET /index.html HTTP/1.2", 400, kHttpGet, false},
        {"GET /index.html HTTP/1", 400, kHttpGet, false},
        {"GET /index.html HTTP/2.0", 400, kHttpGet, false},
        {"GET /index.html HTTP/1.1 trailing", 400, kHttpGet, false},
        {"GET /index.html FTP/1.0", 400, kHttpGet, false},
        {"PUT /index.html HTTP/1.1", 501, 0, false},
        {"get /index.html HTTP/1.1", 501, 0, false},
        {"", 501, 0, false},
    };
    for (const auto& c : cases) {
        HttpRequest r;
        EXPECT_EQ(parseRequestLine(c.line, &r), c.status) << c.line;
        if (c.status != 501) {
            EXPECT_EQ(r.method, c.method) << c.line;
        }
        EXPECT_EQ(r.http09, c.http09) << c.line;
    }
}

TEST(HttpRequestLine, UrlOf2048IsTakenAnd2049Refused)
{
    HttpRequest r;
    std::string url = "/" + std::string(2047, 'a');
    EXPECT_EQ(parseRequestLine("GET " + url + " HTTP/1.1", &r), 0);
    EXPECT_EQ(r.url, url);
    EXPECT_EQ(parseRequestLine("GET " + url + "a HTTP/1.1", &r), 400);
}

TEST(HttpUrl, PathsLanguagesAndQueries)
{
    const struct {
        const char* url;
        bool ok;
        const char* path;
        const char* lang;
        const char* query;
    } cases[] = {
        {"/index_de.html", true, "/index.html", "de", ""},
        {"/network/snmp_fr.html?x=1", true, "/network/snmp.html", "fr", "x=1"},
        {"/help/helpfr.html", true, "/help/helpfr.html", "fr", ""},
        {"/index_d1.html", true, "/index_d1.html", "", ""},
        {"/file_12.html", true, "/file_12.html", "", ""},
        {"//a/./b/../c.html", true, "/a/b/c.html", "", ""},
        {"/..", true, "/", "", ""},
        {"/a/..", true, "/a/", "", ""},
        {"/a/.", true, "/a/", "", ""},
        {"/%2e%2e/%2E%2E/etc/passwd", true, "/etc/passwd", "", ""},
        {"/a/%2e%2e", true, "/a/", "", ""},
        {"/a%2f..%2f..%2fb", true, "/a/b", "", ""},
        {"/x?a=%26&b=%2B", true, "/x", "", "a=%26&b=%2B"},
        {"/x#frag?q=1", true, "/x", "", "q=1"},
        {"/x?q=1#frag", true, "/x", "", "q=1"},
        {"/a+b.html", true, "/a b.html", "", ""},
        {"/a%4", false, "", "", ""},
        {"/a%zz", false, "", "", ""},
        {"/a%00b", false, "", "", ""},
        {"index.html", false, "", "", ""},
        {"", false, "", "", ""},
    };
    for (const auto& c : cases) {
        HttpRequest r;
        r.url = c.url;
        ASSERT_EQ(processUrl(&r), c.ok) << c.url;
        if (!c.ok)
            continue;
        EXPECT_EQ(r.path, c.path) << c.url;
        EXPECT_EQ(r.lang, c.lang) << c.url;
        EXPECT_EQ(r.query, c.query) << c.url;
        EXPECT_EQ(r.path.find(".."), std::string::npos) << c.url;
    }
}

TEST(HttpHeaders, FirstValueWinsAndKnownNamesAreKept)
{
    HttpRequest r;
    for (const char* line : {"Host: box:8080", "Cookie: SessKey=A", "Cookie: SessKey=B", "content-length: 12",
                             "Content-Length: 99", "X-Other: y", "Connection: keep-alive",
                             "Content-Type: multipart/form-data; boundary=\"abc\""})
        ASSERT_TRUE(storeHeaderLine(line, &r)) << line;
    EXPECT_EQ(r.host, "box");
    EXPECT_EQ(r.cookie, "SessKey=A");
    EXPECT_EQ(r.contentLength, "12");
    EXPECT_EQ(r.keepAlive, kKeepAliveKeep);
    EXPECT_EQ(r.boundary, "--abc");
    EXPECT_FALSE(storeHeaderLine("no colon here", &r));
}

TEST(HttpHeaders, ConnectionMayTurnToCloseButNeverBack)
{
    const struct {
        std::vector<const char*> values;
        int keepAlive;
    } cases[] = {
        {{"Keep-Alive"}, kKeepAliveKeep},
        {{"close"}, kKeepAliveClose},
        {{"keep-alive", "close"}, kKeepAliveClose},
        {{"close", "keep-alive"}, kKeepAliveClose},
    };
    for (const auto& c : cases) {
        HttpRequest r;
        for (const char* v : c.values)
            storeHeaderLine(std::string("Connection: ") + v, &r);
        EXPECT_EQ(r.keepAlive, c.keepAlive) << c.values.front();
    }
}

TEST(HttpHeaders, BlockEndAndLines)
{
    const struct {
        const char* block;
        long end;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\n\r\nrest", 27},
        {"GET / HTTP/1.1\nHost: a\n\nrest", 24},
        {"GET / HTTP/1.1\r\nHost: a\r\n", -1},
        {"GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", 29},
    };
    for (const auto& c : cases)
        EXPECT_EQ(findHeaderEnd(c.block, strlen(c.block)), c.end) << c.block;
    const char* block = "A\r\r\nB\n";
    size_t offset = 0;
    std::string line;
    ASSERT_TRUE(nextHeaderLine(block, strlen(block), &offset, &line));
    EXPECT_EQ(line, "A");
    ASSERT_TRUE(nextHeaderLine(block, strlen(block), &offset, &line));
    EXPECT_EQ(line, "B");
    EXPECT_FALSE(nextHeaderLine(block, strlen(block), &offset, &line));
}

TEST(HttpHeaders, ContentLengthIsDigitsInRange)
{
    const struct {
        const char* text;
        long value;
    } cases[] = {{"0", 0}, {"8192", 8192}, {"-1", -1}, {"abc", -1}, {"12abc", -1},
                 {"99999999999", -1}, {"", -1}, {"+5", -1}, {" 5", -1}};
    for (const auto& c : cases)
        EXPECT_EQ(parseContentLength(c.text, 0x7fffffffL), c.value) << c.text;
}

} // namespace
