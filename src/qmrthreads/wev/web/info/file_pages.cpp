// /info/dir and /info/file: a directory listing and a file's content.
#include "web/info/box_files.h"
#include "web/info/info_html.h"
#include "web/info/info_pages.h"

#include "web/http/form_data.h"
#include "web/http/http_connection.h"
#include "web/http/http_reply.h"
#include "web/streamer/html_streamer.h"

#include "platform/files/root_path.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

std::string parentOf(const std::string& path)
{
    return cleanBoxPath(path + "/..");
}

std::vector<std::string> sortedNames(int dirFd)
{
    std::vector<std::string> names;
    int copy = dup(dirFd);
    DIR* dir = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0)
            close(copy);
        return names;
    }
    while (dirent* e = readdir(dir)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// The name cell: readable entries that are files, directories or links
// link to their page; devices, FIFOs, sockets and private entries do not.
void writeNameCell(HtmlStreamer& out, int dirFd, const std::string& dir, const std::string& name,
                   const struct stat& st)
{
    const std::string shown = htmlEscape(name);
    bool linkable = (st.st_mode & S_IROTH) && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode));
    if (!linkable) {
        out.printf("<td class=\"plain\">%s</td></tr>\n", shown.c_str());
        return;
    }
    std::string target = (dir == "/" ? "" : dir) + "/" + name;
    std::string label = shown;
    bool isDir = S_ISDIR(st.st_mode);
    if (S_ISLNK(st.st_mode)) {
        char link[4096];
        ssize_t n = readlinkat(dirFd, name.c_str(), link, sizeof link - 1);
        struct stat to;
        if (n > 0 && fstatat(dirFd, name.c_str(), &to, 0) == 0) {
            link[n] = 0;
            target = cleanBoxPath(link[0] == '/' ? std::string(link) : dir + "/" + link);
            label = shown + " &rarr; " + htmlEscape(link);
            isDir = S_ISDIR(to.st_mode);
        }
    }
    out.printf("<td><a class=\"%s\" href=\"%s?%s\">%s</a></td></tr>\n", isDir ? "dir" : "file",
               isDir ? "dir" : "file", htmlEscape(pathQuery(target)).c_str(), label.c_str());
}

void writeEntry(HtmlStreamer& out, int dirFd, const std::string& dir, const std::string& name)
{
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        out.printf("<tr><td colspan=\"6\"><pre>stat(\"%s\"): %s</pre></td></tr>\n", htmlEscape(name).c_str(),
                   strerror(errno));
        return;
    }
    char when[40] = "";
    struct tm t;
    if (localtime_r(&st.st_mtime, &t))
        strftime(when, sizeof when, "%Y-%m-%d %T%z", &t);
    out.printf("<tr><td class=\"mono\">%s</td><td class=\"num\">%u</td><td class=\"num\">%u</td>"
               "<td class=\"num\">%lld</td><td class=\"mono\">%s</td>",
               modeText(st.st_mode).c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid),
               static_cast<long long>(st.st_size), when);
    writeNameCell(out, dirFd, dir, name, st);
}

// Every look-up goes through the directory's own descriptor: the process's
// working directory is never changed, so listings on several connections
// at once cannot see each other's directory.
void dirListBody(HtmlStreamer& out)
{
    const std::string dir = cleanBoxPath(out.argument());
    const std::string shown = htmlEscape(dir);
    writeInfoHead(out, "File System Info");
    out.printf("<h1>File System Info</h1>\n<h3>%s</h3>\n", shown.c_str());
    int fd = open(boxPath(dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        out.printf("<pre>scandir(\"%s\"): %s</pre>\n", shown.c_str(), strerror(errno));
        writeInfoFoot(out);
        return;
    }
    if (dir != "/")
        out.printf("<p><a class=\"dir\" href=\"dir?%s\">&lt;parent directory&gt;</a></p>\n",
                   htmlEscape(pathQuery(parentOf(dir))).c_str());
    out.printf("<table class=\"listing\"><thead><tr><th>Mode</th><th>Owner</th><th>Group</th><th>Size</th>"
               "<th>Modified</th><th>Name</th></tr></thead><tbody>\n");
    for (const std::string& name : sortedNames(fd))
        writeEntry(out, fd, dir, name);
    out.printf("</tbody></table>\n");
    close(fd);
    writeInfoFoot(out);
}

void fileDumpBody(HtmlStreamer& out)
{
    std::string reason;
    int fd = openServableFile(cleanBoxPath(out.argument()), &reason);
    if (fd < 0) {
        out.printf("%s\n", reason.c_str());
        return;
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || out.write(buffer, static_cast<size_t>(n)) != 0)
            break;
    }
    close(fd);
}

void textBody(HtmlStreamer& out)
{
    out.write(out.argument());
}

// The query is the path; "+" stays a plus sign in a path.
std::string queryPath(const HttpConnection& connection)
{
    std::string query;
    for (char c : connection.request().query)
        query += c == '+' ? std::string("%2B") : std::string(1, c);
    return formDecode(query);
}

} // namespace

int dirInfoPage(HttpConnection& connection)
{
    connection.replyType = "text/html";
    return startStreamer(new HtmlStreamer("DirStream", dirListBody, queryPath(connection)));
}

int fileInfoPage(HttpConnection& connection)
{
    connection.replyType = "text/plain";
    std::string path = cleanBoxPath(queryPath(connection));
    std::string reason;
    int fd = openServableFile(path, &reason);
    if (fd < 0)
        return startStreamer(new HtmlStreamer("FileStream", textBody,
                                              (reason == "Access denied" ? connection.translate("Access denied")
                                                                         : reason) + "\n"));
    close(fd);
    return startStreamer(new HtmlStreamer("FileStream", fileDumpBody, path));
}
