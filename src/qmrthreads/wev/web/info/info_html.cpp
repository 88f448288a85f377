#include "web/info/info_html.h"

#include "web/streamer/html_streamer.h"

int writeInfoHead(HtmlStreamer& out, const char* title)
{
    return out.printf("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                      "<title>%s</title>\n<link rel=\"stylesheet\" href=\"/style.css\">\n</head>\n"
                      "<body class=\"info\">\n<nav class=\"menu\">"
                      "<a href=\"/info/index.html\">Information</a><a href=\"/info/net\">Network</a>"
                      "<a href=\"/info/dev\">Load</a><a href=\"/info/threads\">Threads</a>"
                      "<a href=\"/info/filter\">IP filter</a><a href=\"/info/usb\">USB</a>"
                      "<a href=\"/info/wlan\">WLAN</a><a href=\"/info/dir?/\">Files</a></nav>\n<main>\n",
                      title);
}

int writeInfoFoot(HtmlStreamer& out)
{
    return out.printf("</main>\n</body>\n</html>\n");
}
