#include "web/http/http_reply.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace {

// The header names of an answer, in order.
std::string headerNames(const std::string& reply)
{
    std::string names;
    size_t pos = reply.find("\r\n") + 2;
    while (pos < reply.size()) {
        size_t end = reply.find("\r\n", pos);
        if (end == pos || end == std::string::npos)
            break;
        names += reply.substr(pos, reply.find(':', pos) - pos) + ",";
        pos = end + 2;
    }
    return names;
}

TEST(HttpReply, DateIsRfc1123)
{
    EXPECT_EQ(httpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(httpDate(1781222400), "Fri, 12 Jun 2026 00:00:00 GMT");
    EXPECT_EQ(httpDate(time(nullptr)).size(), 29u);
}

TEST(HttpReply, MimeTypeByExtension)
{
    const struct {
        const char* url;
        const char* type;
    } cases[] = {{"/a.JPeg", "image/jpeg"}, {"/a.jpe", "image/jpeg"}, {"/logo.gif", "image/gif"},
                 {"/x.css", "text/css"}, {"/p.txt", "text/plain"}, {"/b.gz", "application/zip"},
                 {"/noext", "text/html"}, {"/a.verylongextension", "text/html"}, {"/dir.d/file", "text/html"},
                 {"/logo.svg", "image/svg+xml"}};
    for (const auto& c : cases)
        EXPECT_STREQ(mimeTypeForPath(c.url), c.type) << c.url;
}

TEST(HttpReply, HeaderOrderOfFilesAndPages)
{
    ReplyForm form;
    form.keepAlive = true;
    form.budget = 15;
    std::string file = okFileHead(form, 10, 0, contentTypeLine(nullptr, "", "/a.css"));
    EXPECT_EQ(file.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(headerNames(file), "Date,Server,Connection,Keep-Alive,Accept-Charset,Content-Length,Last-Modified,Content-Type,");
    EXPECT_NE(file.find("Keep-Alive: timeout=5, max=15\r\n"), std::string::npos);
    EXPECT_EQ(file.substr(file.size() - 4), "\r\n\r\n");
    form.keepAlive = false;
    std::string page = okPageHead(form, 0, contentTypeLine(nullptr, "", "/"));
    EXPECT_EQ(headerNames(page), "Date,Server,Connection,Accept-Charset,Cache-Control,X-Frame-Options,Last-Modified,Content-Type,Pragma,");
    EXPECT_NE(page.find("Connection: close\r\n"), std::string::npos);
    form.http09 = true;
    EXPECT_EQ(okPageHead(form, 10, "x"), "");
}

TEST(HttpReply, AttachmentRidesInTheTypeLine)
{
    EXPECT_EQ(contentTypeLine("application/octet-stream", "params.txt", "/x.html"),
              "Content-Type: application/octet-stream\r\nContent-disposition: attachment; filename=params.txt; "
              "charset=UTF-8\r\n");
    EXPECT_EQ(contentTypeLine(nullptr, "ignored", "/x.png"), "Content-Type: image/png; charset=UTF-8\r\n");
}

TEST(HttpReply, ErrorsCloseAndEchoTheUrlSafely)
{
    ReplyForm form;
    form.keepAlive = true;
    form.budget = 15;
    std::string reply = errorReply(form, 404, "/a\"b<script>?q=1");
    EXPECT_EQ(reply.substr(0, 24), "HTTP/1.1 404 Not Found\r\n");
    EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos);
    EXPECT_NE(reply.find("The requested URL /a&quot;b was not found on this server."), std::string::npos);
    EXPECT_EQ(reply.find("<script>"), std::string::npos);
    form.head = true;
    std::string head = errorReply(form, 400, "/");
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
    form.head = false;
    form.http09 = true;
    EXPECT_EQ(errorReply(form, 501, "/").substr(0, 6), "<HTML>");
    EXPECT_NE(errorReply(form, 500, "/").find("500 Server Error"), std::string::npos);
}

TEST(HttpReply, RedirectCarriesTheExtraLineAndCloses)
{
    ReplyForm form;
    form.keepAlive = true;
    form.budget = 3;
    std::string r = redirectReply(form, "/start_de.html", "Set-Cookie: SessKey=x");
    EXPECT_EQ(r.substr(0, 32), "HTTP/1.1 302 Moved Temporarily\r\n");
    EXPECT_NE(r.find("Location: /start_de.html\r\nSet-Cookie: SessKey=x\r\n\r\n"), std::string::npos);
    EXPECT_NE(r.find("Connection: close"), std::string::npos);
    EXPECT_NE(r.find("<A HREF=\"/start_de.html\">here</A>"), std::string::npos);
}

TEST(HttpReply, EscapeCoversQuotesAndMarkup)
{
    EXPECT_EQ(htmlEscape("<a href='x'>&\"</a>"), "&lt;a href=&#39;x&#39;&gt;&amp;&quot;&lt;/a&gt;");
}

} // namespace
