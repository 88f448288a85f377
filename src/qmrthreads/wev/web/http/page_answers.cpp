#include "web/http/page_answers.h"

#include "web/http/http_connection.h"
#include "web/http/page_table.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int showPage(HttpConnection& connection, const char* file)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        fprintf(stderr, "show_page %s:%d pipe failed: %s\n", "http", __LINE__, strerror(errno));
        return -1;
    }
    connection.replyType = "text/html";
    connection.attachmentName.clear();
    std::string include = std::string("{.") + file + "}\n";
    // The include line is far below the pipe's capacity: the write never waits.
    ssize_t n = write(fds[1], include.data(), include.size());
    close(fds[1]);
    if (n != static_cast<ssize_t>(include.size())) {
        close(fds[0]);
        return -1;
    }
    return (fds[0] << 8) | kAnswerTemplate;
}

int showRedirector(HttpConnection& connection, bool https)
{
    connection.refreshTarget = "/start.html";
    connection.refreshSeconds = https ? -3 : 1;
    return showPage(connection, "/redirector.html");
}

int showWaitPage(HttpConnection& connection, const char* message)
{
    if (connection.refreshTarget.empty())
        connection.refreshTarget = "/start.html";
    if (message && *message)
        connection.vars().setRaw("DisplayMsg", message);
    return showPage(connection, "/wait4.html");
}
