// /info/index.html, /info/net, /info/filter, /info/usb and /info/wlan.
#include "web/info/info_html.h"
#include "web/info/info_pages.h"

#include "web/http/http_connection.h"
#include "web/http/http_reply.h"
#include "web/http/page_table.h"
#include "web/streamer/html_streamer.h"

#include "core/addr/ip_mask.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/model_features.h"
#include "core/product/product_info.h"
#include "core/task/start_state.h"
#include "core/task/tick_clock.h"
#include "core/util/uptime_text.h"
#include "platform/files/root_path.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const UsbInfoSource* usbSource = nullptr;
const WlanInfoSource* wlanSource = nullptr;

int streamPage(HttpConnection& connection, const char* name, HtmlStreamer::Body body)
{
    connection.replyType = "text/html";
    return startStreamer(new HtmlStreamer(name, body));
}

// One interface line of /proc/net/dev: eight rows of receive and transmit
// counters.
void writeInterfaceRows(HtmlStreamer& out, const char* line)
{
    static const char* const counters[] = {"bytes", "packets", "errors", "drop", "fifo", "frames", "compressed",
                                           "multicast"};
    const char* colon = strchr(line, ':');
    if (!colon)
        return;
    char name[32];
    size_t length = static_cast<size_t>(colon - line);
    while (length > 0 && *line == ' ') {
        ++line;
        --length;
    }
    if (length == 0 || length >= sizeof name)
        return;
    memcpy(name, line, length);
    name[length] = 0;
    unsigned long long v[16] = {};
    if (sscanf(colon + 1, "%llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0],
               &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11], &v[12], &v[13],
               &v[14], &v[15]) != 16)
        return;
    const std::string shown = htmlEscape(name);
    for (int i = 0; i < 8; ++i)
        out.printf("<tr><th>%s</th><td>%s</td><td class=\"num\">%llu</td><td class=\"num\">%llu</td></tr>\n",
                   i == 0 ? shown.c_str() : "", counters[i], v[i], v[8 + i]);
}

void netInfoBody(HtmlStreamer& out)
{
    writeInfoHead(out, "Net interface statistics");
    out.printf("<h1>Net interface statistics</h1>\n<table class=\"info\"><thead><tr><th>Net interface</th>"
               "<th>Counter</th><th>Receive</th><th>Transmit</th></tr></thead><tbody>\n");
    FILE* f = fopen(boxPath("/proc/net/dev").c_str(), "re");
    char line[512];
    while (f && fgets(line, sizeof line, f)) {
        if (strstr(line, "eth") || strstr(line, "wlan"))
            writeInterfaceRows(out, line);
    }
    if (f)
        fclose(f);
    out.printf("</tbody></table>\n");
    writeInfoFoot(out);
}

void filterInfoBody(HtmlStreamer& out)
{
    writeInfoHead(out, "IP Filter");
    out.printf("<h1>IP Filter</h1>\n<table class=\"info\"><thead><tr><th>No</th><th>On</th><th>String</th>"
               "<th>Filter</th></tr></thead><tbody>\n");
    const int rules = ParamStore::maxIndex("ip_filter_", 10);
    for (int n = 1; n <= rules; ++n) {
        Param* on = ParamStore::find("ip_filter_on_", 13, static_cast<uint32_t>(n));
        Param* rule = ParamStore::find("ip_filter_", 10, static_cast<uint32_t>(n));
        if (!on || !rule)
            continue;
        std::string text = rule->text().substr(0, 63);
        uint32_t address, mask;
        char description[128] = "";
        bool parsed = parseIpMask(text.c_str(), &address, &mask, description, sizeof description);
        out.printf("<tr><td class=\"num\">%d</td><td>%s</td><td>%s</td><td>%s</td></tr>\n", n,
                   on->isOn() ? "&radic;" : "&nbsp;", text.empty() ? "&nbsp;" : htmlEscape(text).c_str(),
                   parsed ? htmlEscape(description).c_str() : "mismatch");
    }
    out.printf("</tbody></table>\n<p>HTTP Port:%d is %s blocked.</p>\n", 80,
               params::http_allowed()->isOn() ? "not" : "");
    out.printf("<p>Protection level is \"%s\"</p>\n", htmlEscape(params::protection_level()->currentToken()).c_str());
    writeInfoFoot(out);
}

const char* const kSlotTitles[] = {"Manufacturer", "Product", "Serial number", "Owner", "Connected",
                                   "Product ID", "Vendor ID"};

void writeUsbRow(HtmlStreamer& out, int row)
{
    char text[128];
    if (usbSource->slotText(row, 1, text, sizeof text) < 0)
        return;
    out.printf("<tr><th colspan=\"2\">USB[%2d]</th></tr>\n", row + 1);
    for (int kind = 1; kind <= 7; ++kind) {
        if (usbSource->slotText(row, kind, text, sizeof text) < 0)
            return;
        out.printf("<tr><td>%s</td><td>%s</td></tr>\n", kSlotTitles[kind - 1], htmlEscape(text).c_str());
    }
}

void usbInfoBody(HtmlStreamer& out)
{
    out.printf("<h2>Devices</h2>\n<table class=\"info\"><tbody>\n");
    for (int row = 0; usbSource && row < usbSource->rows; ++row)
        writeUsbRow(out, row);
    out.printf("</tbody></table>\n");
    writeInfoFoot(out);
}

void wlanInfoBody(HtmlStreamer& out)
{
    writeInfoHead(out, "Wifi Info Page");
    out.printf("<h1>WLAN</h1>\n");
    if (!(params::sw_features()->value() & kFeatureWlan))
        out.printf("<p>This model has no WLAN interface.</p>\n");
    else if (!wlanSource || !wlanSource->statusHtml)
        out.printf("<p>The WLAN status is not available.</p>\n");
    else
        out.write(wlanSource->statusHtml());
    writeInfoFoot(out);
}

} // namespace

void setUsbInfoSource(const UsbInfoSource* source)
{
    usbSource = source;
}

void setWlanInfoSource(const WlanInfoSource* source)
{
    wlanSource = source;
}

int infoIndexPage(HttpConnection& connection)
{
    char uptime[64];
    uptimeText(boardTicks(), uptime, sizeof uptime);
    TemplateVars& vars = connection.vars();
    vars.setText("Alivetime", uptime);
    vars.setRaw("Kickoffs", std::to_string(startCounter()));
    struct stat st;
    vars.setRaw("UsbDeviceInfoPath", stat(boxPath("/proc/bus/usb/devices").c_str(), &st) == 0
                                         ? "/info/file?/proc/bus/usb/devices"
                                         : "/info/dir?/sys/bus/usb/devices");
    return 1;
}

int netInfoPage(HttpConnection& connection)
{
    return streamPage(connection, "NetInfo", netInfoBody);
}

int filterInfoPage(HttpConnection& connection)
{
    return streamPage(connection, "Filter Info", filterInfoBody);
}

int wlanInfoPage(HttpConnection& connection)
{
    return streamPage(connection, "Wifi Info", wlanInfoBody);
}

// The port table is written into the pipe before the task starts; it is a
// few hundred bytes, far below what the pipe holds.
int usbInfoPage(HttpConnection& connection)
{
    connection.replyType = "text/html";
    auto* s = new HtmlStreamer("Usb Info", usbInfoBody);
    writeInfoHead(*s, "USB");
    const int ports = static_cast<int>(productInfo().usb_ports_phy);
    std::string table = "<h1>USB</h1>\n<table class=\"info\"><thead><tr><th>Devs/Slot</th>";
    for (int p = 1; p <= ports; ++p)
        table += "<th>" + std::to_string(p) + "</th>";
    table += "</tr></thead><tbody>\n";
    for (int line = 0; line < 2; ++line) {
        table += line == 0 ? "<tr><th>attached</th>" : "<tr><th>connected</th>";
        for (int p = 0; p < ports; ++p) {
            int usage = usbSource && usbSource->portUsage ? usbSource->portUsage(p) : 0;
            table += "<td class=\"num\">" + std::to_string(line == 0 ? usage / 100 : usage % 100) + "</td>";
        }
        table += "</tr>\n";
    }
    table += "</tbody></table>\n";
    s->write(table);
    return startStreamer(s);
}
