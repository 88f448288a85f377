#include "web/http/http_connection.h"
#include "web/http/http_reply.h"
#include "web/http/page_table.h"

#include "core/net/connection.h"
#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// What the upload handler saw of its request.
std::mutex seenMutex;
std::string seenUpload;
bool seenUploadFd = false;
std::string seenForm;

int uploadHandler(HttpConnection& c)
{
    std::lock_guard<std::mutex> hold(seenMutex);
    seenForm = c.form();
    seenUploadFd = c.uploadFd() >= 0;
    seenUpload.clear();
    if (c.uploadFd() >= 0) {
        char buffer[65536];
        ssize_t n;
        while ((n = read(c.uploadFd(), buffer, sizeof buffer)) > 0)
            seenUpload.append(buffer, static_cast<size_t>(n));
    }
    return 1;
}

class HttpConnectionTask : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_.writeFile("/romfs/templates/device/usb.html", "upload {FileName}\n");
        root_.writeFile("/romfs/templates/style.css", "body{}\n");
        std::filesystem::create_directories(root_.dir() + "/tmp");
        ASSERT_TRUE(setPageHandler("/device/usb.html", uploadHandler));
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        auto* conn = new Connection(nullptr, nullptr, -1);
        conn->fd = fds[0];
        conn->family = AF_UNIX;
        conn->type = SOCK_STREAM;
        conn->state = kConnConnected;
        client_ = fds[1];
        auto* task = new HttpConnection(conn, false);
        ASSERT_GT(task->start(kConnectionStack, 0), 0);
    }
    void TearDown() override
    {
        close(client_);
        setPageHandler("/device/usb.html", nullptr);
    }

    void send(const std::string& data)
    {
        size_t sent = 0;
        while (sent < data.size()) {
            ssize_t n = write(client_, data.data() + sent, data.size() - sent);
            ASSERT_GT(n, 0);
            sent += static_cast<size_t>(n);
        }
    }
    // Everything the server sends until it closes the socket; *closed
    // tells a close by the server from a client that gave up waiting.
    std::string readAll(bool* closed = nullptr)
    {
        std::string all;
        char buffer[65536];
        for (;;) {
            pollfd p{client_, POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0)
                break;
            ssize_t n = read(client_, buffer, sizeof buffer);
            if (n <= 0) {
                if (closed)
                    *closed = true;
                break;
            }
            all.append(buffer, static_cast<size_t>(n));
        }
        return all;
    }

    TempBoxRoot root_;
    int client_ = -1;
};

std::string multipartRequest(const std::string& content, const char* extraHeaders = "")
{
    std::string body = "preamble\r\n--B0undary\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n"
                       "Content-Type: application/octet-stream\r\n\r\n"
                       + content + "\r\n--B0undary--\r\n";
    return "POST /device/usb.html HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=B0undary\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
}

// The status lines of the answers, in order.
std::vector<std::string> statusLines(const std::string& replies)
{
    std::vector<std::string> lines;
    for (size_t at = replies.find("HTTP/1.1 "); at != std::string::npos; at = replies.find("HTTP/1.1 ", at + 1))
        lines.push_back(replies.substr(at, replies.find('\r', at) - at));
    return lines;
}

// The budgets the answers announced, in order.
std::vector<std::string> announcedBudgets(const std::string& replies)
{
    const std::string key = "Keep-Alive: timeout=5, max=";
    std::vector<std::string> budgets;
    for (size_t at = replies.find(key); at != std::string::npos; at = replies.find(key, at + 1))
        budgets.push_back(replies.substr(at + key.size(), replies.find('\r', at) - at - key.size()));
    return budgets;
}

TEST_F(HttpConnectionTask, UploadStoresExactlyItsBytesAndTheNextRequestFollows)
{
    std::string content;
    for (int i = 0; i < 70000; ++i)
        content.push_back(static_cast<char>((i * 7) & 0xff));
    content += "\r\n--B0undar\r\n";  // almost a delimiter, inside the file
    send(multipartRequest(content, "Connection: keep-alive\r\n") + "GET /style.css HTTP/1.1\r\n\r\n");
    std::string replies = readAll();
    EXPECT_EQ(statusLines(replies), (std::vector<std::string>{"HTTP/1.1 200 OK", "HTTP/1.1 200 OK"}));
    EXPECT_NE(replies.find("body{}"), std::string::npos);
    std::lock_guard<std::mutex> hold(seenMutex);
    EXPECT_TRUE(seenUploadFd);
    EXPECT_EQ(seenUpload.size(), content.size());
    EXPECT_TRUE(seenUpload == content);
    EXPECT_EQ(seenForm, "");
}

TEST_F(HttpConnectionTask, UploadOverTheLimitIsDroppedAndTheRequestAnswered)
{
    send(multipartRequest(std::string(static_cast<size_t>(kUploadMax) + 1, 'u')));
    EXPECT_EQ(statusLines(readAll()), std::vector<std::string>{"HTTP/1.1 200 OK"});
    std::lock_guard<std::mutex> hold(seenMutex);
    EXPECT_FALSE(seenUploadFd);
}

// The head and the form together may fill the input buffer to its last byte.
TEST_F(HttpConnectionTask, FormThatFillsTheInputBufferExactly)
{
    std::string head = "POST /device/usb.html HTTP/1.1\r\nContent-Length: 0000\r\n\r\n";
    std::string form = "a=" + std::string(kHttpInputSize - head.size() - 2, 'x');
    head.replace(head.find("0000"), 4, std::to_string(form.size()));
    ASSERT_EQ(head.size() + form.size(), kHttpInputSize);
    send(head + form);
    EXPECT_EQ(statusLines(readAll()), std::vector<std::string>{"HTTP/1.1 200 OK"});
    std::lock_guard<std::mutex> hold(seenMutex);
    EXPECT_EQ(seenForm, form);
}

TEST_F(HttpConnectionTask, FormOneByteOverTheInputBufferIsRefused)
{
    std::string head = "POST /device/usb.html HTTP/1.1\r\nContent-Length: 0000\r\n\r\n";
    std::string form = "a=" + std::string(kHttpInputSize - head.size() - 1, 'x');
    head.replace(head.find("0000"), 4, std::to_string(form.size()));
    send(head + form);
    EXPECT_EQ(statusLines(readAll()), std::vector<std::string>{"HTTP/1.1 400 Bad Request"});
}

TEST_F(HttpConnectionTask, KeepAliveBudgetCountsDownThenCloses)
{
    std::string requests;
    for (int i = 0; i < 18; ++i)
        requests += "GET /style.css HTTP/1.1\r\nConnection: keep-alive\r\n\r\n";
    send(requests);
    std::string replies = readAll();
    std::vector<std::string> budgets = announcedBudgets(replies);
    std::vector<std::string> expected;
    for (int b = kKeepAliveMax; b > 0; --b)
        expected.push_back(std::to_string(b));
    EXPECT_EQ(budgets, expected);
    // The last of the budget is answered with close, and nothing more.
    EXPECT_EQ(statusLines(replies).size(), static_cast<size_t>(kKeepAliveMax) + 1);
}

TEST_F(HttpConnectionTask, IdleKeepAliveSocketIsClosedByTheServer)
{
    send("GET /style.css HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    // The successor waits a bounded time for a next request, then closes.
    bool closed = false;
    EXPECT_EQ(statusLines(readAll(&closed)).size(), 1u);
    EXPECT_TRUE(closed);
}

} // namespace
