#include "web/pages/device_pages.h"

#include "web/http/http_connection.h"
#include "web/http/page_table.h"
#include "web/http/save_params_page.h"
#include "web/http/template_vars.h"
#include "web/pages/device_status_source.h"
#include "web/pages/relay_page.h"
#include "web/pages/start_page.h"
#include "web/pages/usb_port_table.h"

#include "core/params/param_handles.h"
#include "core/product/model_features.h"

#include <string>

namespace {

const DeviceStatusSource* statusSource = nullptr;

int counter(int (*read)(int), int which)
{
    return read ? read(which) : 0;
}

} // namespace

void setDeviceStatusSource(const DeviceStatusSource* source)
{
    statusSource = source;
}

const DeviceStatusSource* deviceStatusSource()
{
    return statusSource;
}

int usbPage(HttpConnection& connection)
{
    int result = saveParamsPage(connection);
    if (result != 1)
        return result;
    return setUsbPortTable(connection);
}

void setNotifyCounters(TemplateVars& vars)
{
    const DeviceStatusSource none{};
    const DeviceStatusSource& source = statusSource ? *statusSource : none;
    for (int i = 1; i <= 2; ++i) {
        vars.setIndexed("NotieSOk_", i, std::to_string(counter(source.mailsSent, i)), true);
        vars.setIndexed("NotieSKo_", i, std::to_string(counter(source.mailsFailed, i)), true);
        const int traps = source.trapsSent ? source.trapsSent(i) : -1;
        vars.setIndexed("TrapsOut_", i, traps < 0 ? std::string("---") : std::to_string(traps), true);
    }
}

int notifyPage(HttpConnection& connection)
{
    if (!(params::sw_features()->value() & kFeatureEmail))
        return -1;
    int result = saveParamsPage(connection);
    if (result != 1)
        return result;
    setNotifyCounters(connection.vars());
    return 1;
}

int timePage(HttpConnection& connection)
{
    int result = saveParamsPage(connection);
    if (result == 1)
        connection.setCurrentTime();
    return result;
}

int descriptionPage(HttpConnection& connection)
{
    return saveParamsPage(connection);
}

void registerDevicePages()
{
    setPageHandler("/start.html", startPage);
    setPageHandler("/device/usb.html", usbPage);
    setPageHandler("/security/encrypt.html", usbPage);
    setPageHandler("/device/notify.html", notifyPage);
    setPageHandler("/device/relay.html", relayPage);
    setPageHandler("/device/time.html", timePage);
    setPageHandler("/device/description.html", descriptionPage);
}
