#include "web/pages/usb_port_table.h"
#include "web/pages/page_texts.h"

#include "web/http/http_connection.h"
#include "web/http/http_reply.h"
#include "web/http/page_table.h"
#include "web/http/template_vars.h"

#include "core/i18n/catalogue.h"
#include "core/params/param_handles.h"
#include "core/product/model_features.h"
#include "core/product/product_info.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const kDash = "&ndash;";

bool isOn(const BoolParam* p)
{
    return p && p->isOn();
}

std::string valueOf(const StringParam* p)
{
    return p ? paramText(p) : std::string();
}

bool filtersByIds(int port)
{
    const P3List* mode = params::zyt_accctrl(port);
    return mode && (mode->equalsToken("ids") || mode->equalsToken("keyids"));
}

bool needsKey(int port)
{
    const P3List* mode = params::zyt_accctrl(port);
    return params::zyt_keyval(port) && mode && (mode->equalsToken("key") || mode->equalsToken("keyids"));
}

// "Occupied by %s" in the viewer's language, with the owner put in as text:
// the owner never becomes part of a format.
std::string occupiedBy(const std::string& lang, const std::string& owner)
{
    return fillIn(htmlEscape(translateText(lang, "Occupied by %s")), "%s", htmlEscape(owner));
}

// The binding of the port to a VLAN: any ("&lowast;"), none ("&mdash;"),
// or "V:id".
std::string vlanBinding(int binding, int ports)
{
    if (binding < 1)
        return "&lowast;";
    if (binding > ports)
        return "&mdash;";
    const IntParam* id = params::ip4vlan_id(binding);
    return std::to_string(binding) + ":" + std::to_string(id ? id->value() : -1);
}

std::string hex4(int value)
{
    char text[8];
    snprintf(text, sizeof text, "%04x", value & 0xffff);
    return text;
}

class PortTableBuilder {
public:
    PortTableBuilder(TemplateVars& vars, const PortTableView& view) : vars_(vars), view_(view) {}

    int rows() const { return counter_; }
    // One row; device null for an empty port. true when the row's device is
    // in a client's hands.
    bool addRow(const PortDevice* device, int port, bool first, bool more);

private:
    std::string tr(const char* text) const { return translateText(view_.lang, text); }
    void set(const char* name, int index, const std::string& html) { vars_.setIndexed(name, index, html, true); }
    bool isSet(const char* name, int index) const
    {
        return vars_.find(name + std::to_string(index), -1) != nullptr;
    }
    void setTexts(int n, const PortDevice* device);
    std::string stateText(const PortDevice& device) const;
    void setPortColumns(int n, int port, const PortDevice* device, bool off);

    TemplateVars& vars_;
    const PortTableView& view_;
    int counter_ = 0;
    int ports_ = static_cast<int>(productInfo().usb_ports_phy);
};

std::string orUnknown(const std::string& text)
{
    return text.empty() ? std::string("???") : htmlEscape(text);
}

void PortTableBuilder::setTexts(int n, const PortDevice* device)
{
    if (device) {
        set("UTAB_manu_", n, orUnknown(device->manufacturer));
        set("UTAB_prod_", n, orUnknown(device->product));
        set("UTAB_sern_", n, orUnknown(device->serial));
        return;
    }
    set("UTAB_manu_", n, kDash);
    set("UTAB_prod_", n, view_.devAccess ? htmlEscape(tr("No device connected")) : std::string(kDash));
    set("UTAB_sern_", n, kDash);
}

// From the published owner text: "Available", the client that has it, or
// whatever the server published (nothing when the row has no parameter).
std::string PortTableBuilder::stateText(const PortDevice& device) const
{
    const StringParam* owner = params::usb_owner(device.row + 1);
    if (!owner)
        return std::string();
    std::string text = valueOf(owner);
    if (text == "Available")
        return htmlEscape(tr("Available"));
    if (device.connected)
        return occupiedBy(view_.lang, text);
    return htmlEscape(text);
}

// The columns that belong to the port, on its first row.
void PortTableBuilder::setPortColumns(int n, int port, const PortDevice* device, bool off)
{
    set("UTAB_slot_", n, std::to_string(port));
    if (off) {
        set("UTAB_poff_", n, "1");
        set("SLOTHDR_", port, htmlEscape(tr("Port deactivated")));
    }
    if (isOn(params::zyt_sec(port)))
        set("UTAB_sec_", n, "1");
    if ((params::sw_features()->value() & kFeatureCompression) && isOn(params::zyt_comp(port)))
        set("UTAB_comp_", n, "1");
    std::string tag = valueOf(params::zyt_tag(port));
    if (!tag.empty()) {
        set("UTAB_tag_", n, htmlEscape(tag));
        if (!isSet("SLOTHDR_", port))
            set("SLOTHDR_", port, htmlEscape(tag));
    }
    if (const IntParam* binding = params::zyt_2vlan(port))
        set("UTAB_VLan_", n, vlanBinding(binding->value(), ports_));
    if (needsKey(port))
        set("UTAB_key_", n, "1");
    if (!isSet("SLOTHDR_", port)) {
        bool named = device && !device->product.empty();
        set("SLOTHDR_", port, htmlEscape(named ? device->product : tr("No device connected")));
    }
}

bool PortTableBuilder::addRow(const PortDevice* device, int port, bool first, bool more)
{
    const bool off = isOn(params::zyt_poff(port));
    const int n = ++counter_;
    if (port & 1)
        set("UTAB_odd_", n, "1");
    setTexts(n, device);
    set("UTAB_slotnr_", n, std::to_string(port));

    bool inUse = false;
    std::string state;
    if (off) {
        state = htmlEscape(tr("Port deactivated"));
    } else if (device) {
        set("UTAB_prodID_", n, hex4(device->idProduct));
        set("UTAB_vendID_", n, hex4(device->idVendor));
        inUse = device->connected;
        state = stateText(*device);
    } else {
        state = htmlEscape(tr("No device connected"));
    }
    if (!state.empty())
        set("UTAB_devs_", n, state);

    if (filtersByIds(port))
        set(device && device->idsListed ? "UTAB_chain_" : "UTAB_chainred_", n, "1");

    if (first)
        setPortColumns(n, port, device, off);

    const bool tagRow = first && device && view_.tagRows && !valueOf(params::zyt_tag(port)).empty();
    if (first && (more || tagRow))
        set("UTAB_succs_", n, "1");
    int last = n;
    if (tagRow) {
        last = ++counter_;
        set("UTAB_prod_", last, orUnknown(device->product));
        if (!state.empty())
            set("UTAB_devs_", last, state);
    }
    if (!more && !(first && !tagRow))
        set("UTAB_succs_", last, "0");
    return inUse;
}

} // namespace

int setUsbPortTable(TemplateVars& vars, const PortTableView& view, const std::vector<PortDevice>& devices,
                    int rowCount)
{
    PortTableBuilder table(vars, view);
    const int ports = static_cast<int>(productInfo().usb_ports_phy);
    int plugged = 0;
    for (int port = 1; port <= ports; ++port) {
        std::vector<const PortDevice*> onPort;
        for (const PortDevice& d : devices) {
            if (d.port == port)
                onPort.push_back(&d);
        }
        const int firstRow = table.rows() + 1;
        bool inUse = false;
        if (onPort.empty())
            table.addRow(nullptr, port, true, false);
        for (size_t k = 0; k < onPort.size(); ++k) {
            inUse |= table.addRow(onPort[k], port, k == 0, k + 1 < onPort.size());
            ++plugged;
        }
        if (inUse && view.admin)
            vars.setIndexed("UTAB_hot_", firstRow, "1", true);
    }
    vars.setCount("UTAB", table.rows());
    vars.setRaw("USB_MAXDEVS", std::to_string(rowCount));
    vars.setRaw("USB_PLUGGED", std::to_string(plugged));
    vars.setCount("SLOTHDR", ports);
    return table.rows();
}

namespace {

const UsbPortSource* portSource = nullptr;

// The page table's row of the request is url's.
bool isPage(const HttpConnection& connection, const char* url)
{
    const PageEntry* entry = pageRow(connection.pageIndex());
    return entry && strcmp(entry->url, url) == 0;
}

} // namespace

void setUsbPortSource(const UsbPortSource* source)
{
    portSource = source;
}

const UsbPortSource* usbPortSource()
{
    return portSource;
}

bool isAdminViewer(const HttpConnection& connection)
{
    return params::sessKeys()->isOff() || connection.sessionType == 3;
}

UsbPortSnapshot takeUsbPortSnapshot()
{
    UsbPortSnapshot snapshot;
    if (const UsbPortSource* source = usbPortSource()) {
        if (source->listDevices)
            source->listDevices(&snapshot.devices);
        if (source->rowCount)
            snapshot.rowCount = source->rowCount();
    }
    return snapshot;
}

int setUsbPortTable(HttpConnection& connection)
{
    return setUsbPortTable(connection, takeUsbPortSnapshot());
}

int setUsbPortTable(HttpConnection& connection, const UsbPortSnapshot& snapshot)
{
    PortTableView view;
    view.lang = connection.lang();
    view.admin = isAdminViewer(connection);
    view.tagRows = isPage(connection, "/start.html") || isPage(connection, "/security/encrypt.html");
    view.devAccess = isPage(connection, "/security/devacc.html");
    setUsbPortTable(connection.vars(), view, snapshot.devices, snapshot.rowCount);
    return 1;
}
