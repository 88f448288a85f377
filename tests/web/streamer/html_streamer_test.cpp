#include "web/streamer/html_streamer.h"

#include "web/http/page_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {

// Everything the pipe gives until its writer closes it.
std::string readAll(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            return text + "<time-out>";
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

int openedBy(int result)
{
    EXPECT_EQ(result & 0xff, kAnswerPipe);
    return result >> 8;
}

void linesBody(HtmlStreamer& out)
{
    out.printf("<p>%s</p>\n", out.argument().c_str());
    for (int i = 0; i < 3; ++i)
        out.printf("%d;", i);
}

TEST(HtmlStreamer, HeadThenBodyThenEnd)
{
    auto* s = new HtmlStreamer("Test Stream", linesBody, "/some/path");
    const char head[] = "<table>head</table>\n";
    ASSERT_EQ(s->write(head, sizeof head - 1), 0);
    int fd = openedBy(startStreamer(s));
    EXPECT_EQ(readAll(fd), "<table>head</table>\n<p>/some/path</p>\n0;1;2;");
    close(fd);
}

TEST(HtmlStreamer, EmptyBodyEndsAtOnce)
{
    int fd = openedBy(startStreamer(new HtmlStreamer("Empty", [](HtmlStreamer&) {})));
    EXPECT_EQ(readAll(fd), "");
    close(fd);
}

TEST(HtmlStreamer, LongLineIsCutAt4095)
{
    auto body = [](HtmlStreamer& out) { out.printf("%s|", std::string(5000, 'x').c_str()); };
    int fd = openedBy(startStreamer(new HtmlStreamer("Long", body)));
    EXPECT_EQ(readAll(fd), std::string(4095, 'x'));
    close(fd);
}

std::atomic<int> writeResult{1};
std::atomic<bool> bodyDone{false};

// Writes far more than a pipe holds; the reader goes away early.
void floodBody(HtmlStreamer& out)
{
    std::string piece(1000, 'y');
    int rc = 0;
    for (int i = 0; i < 10000 && rc == 0; ++i)
        rc = out.write(piece);
    writeResult = rc;
    bodyDone = true;
}

TEST(HtmlStreamer, ReaderGoneFailsTheWrites)
{
    signal(SIGPIPE, SIG_IGN);
    writeResult = 1;
    bodyDone = false;
    int fd = openedBy(startStreamer(new HtmlStreamer("Flood", floodBody)));
    char some[100];
    ASSERT_GT(read(fd, some, sizeof some), 0);
    close(fd);
    for (int i = 0; i < 1000 && !bodyDone; ++i)
        usleep(10000);
    EXPECT_TRUE(bodyDone.load());
    EXPECT_EQ(writeResult.load(), -1);
}

TEST(HtmlStreamer, NothingToStartIsAnError)
{
    EXPECT_EQ(startStreamer(nullptr), -1);
}

} // namespace
