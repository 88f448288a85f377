// /info/threads: the box's processes and the program's own threads, each
// thread joined with the task that runs on it.
#include "web/info/info_html.h"
#include "web/info/info_pages.h"

#include "web/http/http_connection.h"
#include "web/http/http_reply.h"
#include "web/streamer/html_streamer.h"

#include "core/stats/process_list.h"
#include "core/task/task.h"
#include "platform/files/root_path.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

struct ThreadRow {
    int id = 0;
    std::string name;
    std::string state;
};

// Name and state of one thread of the program (/proc/self/task/<id>/status).
ThreadRow readThread(int id)
{
    ThreadRow row;
    row.id = id;
    std::string path = boxPath("/proc/self/task/") + std::to_string(id) + "/status";
    FILE* f = fopen(path.c_str(), "re");
    char line[256];
    while (f && fgets(line, sizeof line, f)) {
        line[strcspn(line, "\n")] = 0;
        if (strncmp(line, "Name:", 5) == 0)
            row.name = line + 5 + strspn(line + 5, " \t");
        else if (strncmp(line, "State:", 6) == 0)
            row.state = line + 6 + strspn(line + 6, " \t");
    }
    if (f)
        fclose(f);
    return row;
}

std::vector<ThreadRow> ownThreads()
{
    std::vector<ThreadRow> rows;
    DIR* dir = opendir(boxPath("/proc/self/task").c_str());
    while (dirent* e = dir ? readdir(dir) : nullptr) {
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9')
            rows.push_back(readThread(atoi(e->d_name)));
    }
    if (dir)
        closedir(dir);
    std::sort(rows.begin(), rows.end(), [](const ThreadRow& a, const ThreadRow& b) { return a.id < b.id; });
    return rows;
}

void writeProcesses(HtmlStreamer& out)
{
    ProcessRecord** list = nullptr;
    int n = readProcessList(&list);
    std::vector<ProcessRecord*> records(list, list + n);
    std::sort(records.begin(), records.end(), [](const ProcessRecord* a, const ProcessRecord* b) {
        return a->ppid != b->ppid ? a->ppid < b->ppid : a->pid < b->pid;
    });
    out.printf("<h2>Processes</h2>\n<table class=\"info\"><thead><tr><th>Name</th><th>Pid</th><th>PPid</th>"
               "<th>Sleep</th><th>Threads</th><th>CmdLine</th></tr></thead><tbody>\n");
    for (const ProcessRecord* r : records) {
        out.printf("<tr><td><a href=\"/info/dir?/proc/%d\" target=\"_blank\">%s</a></td><td class=\"num\">%d</td>"
                   "<td class=\"num\">%d</td><td class=\"num\">%d%%</td><td class=\"num\">%d</td><td>%s</td></tr>\n",
                   r->pid, htmlEscape(r->name ? r->name : "").c_str(), r->pid, r->ppid, r->sleepAvg, r->threads,
                   htmlEscape(r->cmdline ? r->cmdline : "").c_str());
    }
    out.printf("</tbody></table>\n");
    if (records.empty())
        out.printf("<p>/proc lists no processes here.</p>\n");
    freeProcessList(list);
}

void writeThreads(HtmlStreamer& out)
{
    TaskSnapshot tasks[TASK_REGISTRY_SLOTS];
    const int count = snapshotTasks(tasks, TASK_REGISTRY_SLOTS);
    const std::vector<ThreadRow> threads = ownThreads();
    out.printf("<h2>Threads of the program</h2>\n<p>%zu threads, %d tasks registered.</p>\n"
               "<table class=\"info\"><thead><tr><th colspan=\"3\">Thread</th><th colspan=\"2\">Task</th>"
               "<th colspan=\"2\">Stack</th></tr><tr><th>Id</th><th>Name</th><th>State</th><th>Id</th><th>Name</th>"
               "<th>Size</th><th>Free</th></tr></thead><tbody>\n",
               threads.size(), count);
    for (const ThreadRow& t : threads) {
        const TaskSnapshot* task = nullptr;
        for (int i = 0; i < count && !task; ++i)
            task = tasks[i].threadId == t.id ? &tasks[i] : nullptr;
        out.printf("<tr><td class=\"num\">%d</td><td>%s</td><td>%s</td>", t.id, htmlEscape(t.name).c_str(),
                   htmlEscape(t.state).c_str());
        if (task && task->taskId >= 0)
            out.printf("<td class=\"num\">%d</td><td>%s</td><td class=\"num\">%d</td><td>--</td></tr>\n",
                       task->taskId, htmlEscape(task->name).c_str(), task->stackSize);
        else
            out.printf("<td></td><td></td><td></td><td></td></tr>\n");
    }
    out.printf("</tbody></table>\n");
}

void threadsInfoBody(HtmlStreamer& out)
{
    writeInfoHead(out, "System Information Page");
    out.printf("<h1>Thread Information Table</h1>\n");
    writeThreads(out);
    writeProcesses(out);
    writeInfoFoot(out);
}

} // namespace

int threadsInfoPage(HttpConnection& connection)
{
    connection.replyType = "text/html";
    return startStreamer(new HtmlStreamer("Threads Info", threadsInfoBody));
}
