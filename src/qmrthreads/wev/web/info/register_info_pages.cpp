#include "web/info/info_pages.h"

#include "web/http/page_table.h"

void registerInfoPages()
{
    setPageHandler("/info/index.html", infoIndexPage);
    setPageHandler("/info/net", netInfoPage);
    setPageHandler("/info/dev", devInfoPage);
    setPageHandler("/info/dir", dirInfoPage);
    setPageHandler("/info/file", fileInfoPage);
    setPageHandler("/info/threads", threadsInfoPage);
    setPageHandler("/info/filter", filterInfoPage);
    setPageHandler("/info/usb", usbInfoPage);
    setPageHandler("/info/wlan", wlanInfoPage);
}
