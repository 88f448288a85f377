// /info/dev: the CPU and memory load with its picture (drawn into
// "/tmp/tmp.bmp", which the download page serves as /bin/cpu.bmp), page
// statistics and the partitions.
#include "web/info/info_html.h"
#include "web/info/info_pages.h"

#include "web/http/http_connection.h"
#include "web/http/http_reply.h"
#include "web/http/page_statistics.h"
#include "web/http/page_table.h"
#include "web/streamer/html_streamer.h"

#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/stats/cpu_load.h"
#include "core/stats/load_graph.h"
#include "core/storage/mtd_partitions.h"
#include "core/util/file_copy.h"
#include "platform/files/root_path.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

constexpr int kGraphWidth = LOAD_RING_SIZE;
constexpr int kGraphHeight = 128;

void drawLoadGraph()
{
    LoadHistory history;
    copyLoadHistory(&history);
    BmpImage image;
    if (image.init(kGraphWidth, kGraphHeight))
        image.write(history.cpu, history.memory, history.memoryAndCache, LOAD_RING_SIZE, history.index);
}

std::string localTime(time_t when)
{
    char text[40] = "";
    struct tm t;
    if (localtime_r(&when, &t))
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &t);
    return text;
}

void writeLoadSection(HtmlStreamer& out)
{
    drawLoadGraph();
    const int poll = params::cpuLoadPoll()->value();
    const time_t now = time(nullptr);
    out.printf("<h1>CPU/Memory load</h1>\n"
               "<form name=\"two\" method=\"post\" action=\"/info/dev\" class=\"inline\">"
               "<label>Sampling interval (s) <input name=\"pollI\" value=\"%d\" size=\"5\"></label> "
               "<small>[off=0...3600=1h]</small> <button type=\"submit\">Set</button></form>\n",
               poll);
    out.printf("<figure class=\"graph\"><div class=\"span\"><span>past: %s</span><span>now: %s</span></div>\n"
               "<div class=\"plot\"><div class=\"scale\"><span>0%% busy</span><span>idle 100%%</span></div>"
               "<img src=\"/bin/cpu.bmp\" width=\"%d\" height=\"%d\" alt=\"CPU and memory load\"></div>\n"
               "<figcaption>peaks: CPU load/idle &middot; line: memory available, free &middot; "
               "dotted lines: 25%%, 50%%, 75%%</figcaption></figure>\n",
               localTime(now - static_cast<time_t>(poll) * LOAD_RING_SIZE).c_str(), localTime(now).c_str(),
               kGraphWidth, kGraphHeight);
}

std::string pageUrl(int row)
{
    const PageEntry* entry = row > 0 ? pageRow(row) : nullptr;
    return entry ? entry->url : "illegal index?!";
}

void writeStatisticsSection(HtmlStreamer& out)
{
    PageStatistics s = pageStatistics();
    out.printf("<h2>Device statistics</h2>\n<table class=\"info\"><thead><tr><th>Web pages</th><th>Size</th>"
               "<th>Limit</th><th>Left</th><th>URL</th></tr></thead><tbody>\n");
    out.printf("<tr><th>Max PageSize</th><td class=\"num\">%zu</td><td class=\"num\">%zu</td>"
               "<td class=\"num\">%zu</td><td>%s</td></tr>\n",
               s.largestLength, s.largestBuffer, s.largestLeftOver, pageUrl(s.largestPage).c_str());
    out.printf("<tr><th>Min PageLeft</th><td class=\"num\">%zu</td><td class=\"num\">%zu</td>"
               "<td class=\"num\">%zu</td><td>%s</td></tr>\n",
               s.smallestLeftOverLength, s.smallestLeftOverBuffer,
               s.smallestLeftOverPage < 0 ? 0 : s.smallestLeftOver, pageUrl(s.smallestLeftOverPage).c_str());
    out.printf("</tbody></table>\n");
}

void writePartitionRow(HtmlStreamer& out, const char* name, uint32_t sizeKB, const char* mount)
{
    out.printf("<tr><td>%s</td><td class=\"num\">%u</td>", htmlEscape(name).c_str(), sizeKB);
    if (!mount) {
        out.printf("<td></td><td></td><td></td><td></td></tr>\n");
        return;
    }
    uint32_t total = 0, free = 0;
    if (!fsSpace(boxPath(mount).c_str(), &total, &free)) {
        out.printf("<td>%s</td><td colspan=\"3\">%s</td></tr>\n", mount, strerror(errno));
        return;
    }
    out.printf("<td>%s</td><td class=\"num\">%u</td><td class=\"num\">%u</td><td class=\"num\">%u</td></tr>\n",
               mount, total, total - free, free);
}

void writePartitionSection(HtmlStreamer& out)
{
    static const char* const mounts[] = {"/flash", "/etc", nullptr, nullptr};
    out.printf("<h2>Partitions</h2>\n<table class=\"info\"><thead><tr><th>Name</th><th>Size Kb</th>"
               "<th>Mount point</th><th>Total Kb</th><th>Used Kb</th><th>Free Kb</th></tr></thead><tbody>\n");
    for (int n = 0; n < 4; ++n) {
        char name[MTD_NAME_MAX + 1] = "";
        uint32_t sizeKB = 0;
        readMtdPartitions(n, &sizeKB, name);
        writePartitionRow(out, name, sizeKB, mounts[n]);
    }
    writePartitionRow(out, "RamFS", 0, "/romfs");
    out.printf("</tbody></table>\n");
}

void devInfoBody(HtmlStreamer& out)
{
    writeInfoHead(out, "CPU/Memory load");
    writeLoadSection(out);
    writeStatisticsSection(out);
    writePartitionSection(out);
    writeInfoFoot(out);
}

// A new sampling interval: stored (within the parameter's range) and saved;
// the rings start empty, since their samples no longer share one interval.
// A value that is no number or outside the range changes nothing.
void applyPollInterval(const HttpConnection& connection)
{
    std::string text;
    if (!connection.getFormVar("pollI", &text) || text.empty())
        return;
    char* end = nullptr;
    long value = strtol(text.c_str(), &end, 10);
    if (*end != 0 || value < 0 || value > 0x7fffffff || value == params::cpuLoadPoll()->value())
        return;
    if (!params::cpuLoadPoll()->setChecked(static_cast<int32_t>(value)))
        return;
    saveParamsIfDirty();
    clearLoadHistory();
}

} // namespace

int devInfoPage(HttpConnection& connection)
{
    applyPollInterval(connection);
    connection.replyType = "text/html";
    return startStreamer(new HtmlStreamer("DevInfo", devInfoBody));
}
