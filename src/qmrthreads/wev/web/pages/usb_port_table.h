// The USB port table that the start page, the USB page, the encryption page
// and the device access page show: one table row per attached device and
// one per empty port, as numbered template variables (n the running row
// from 1, P the physical port):
//   UTAB_odd_n        "1" for an odd port
//   UTAB_manu_n, UTAB_prod_n, UTAB_sern_n   the device's texts ("???" when
//                     empty), "&ndash;" on an empty port
//   UTAB_slotnr_n     P
//   UTAB_prodID_n, UTAB_vendID_n   "%04x" (device rows of a port that is on)
//   UTAB_devs_n       the device's state in words
//   UTAB_chain_n / UTAB_chainred_n   the port filters by ids: the device is
//                     listed / not (or there is none)
//   on the first row of a port: UTAB_slot_n, UTAB_poff_n, UTAB_sec_n,
//   UTAB_comp_n, UTAB_tag_n, UTAB_VLan_n, UTAB_key_n, UTAB_hot_n
//   UTAB_succs_n      "1" on the first row of a port with more rows, "0" on
//                     its last
//   SLOTHDR_P         the port's heading
//   UTAB#, USB_MAXDEVS, USB_PLUGGED   rows, device table rows, devices
// Device texts, tags and owner names are HTML-escaped.
#pragma once

#include <string>
#include <vector>

#include "web/pages/usb_port_source.h"

class HttpConnection;
class TemplateVars;

struct PortTableView {
    std::string lang;          // the language of the translated texts
    bool admin = false;        // sees which ports a client uses
    bool tagRows = false;      // a tagged port with a device gets a row of its own
    bool devAccess = false;    // the device access page's empty-port texts
};

// Builds the table from devices (rows in table order, as the source lists
// them) and the port parameters; the number of table rows.
int setUsbPortTable(TemplateVars& vars, const PortTableView& view, const std::vector<PortDevice>& devices,
                    int rowCount);

// The device rows of the registered source, copied once: a page that shows
// them twice shows the same devices both times.
struct UsbPortSnapshot {
    std::vector<PortDevice> devices;
    int rowCount = 0;
};
UsbPortSnapshot takeUsbPortSnapshot();

// The table for a request: the devices from the registered source (or the
// snapshot given), the viewer's rights from its session, the tag rows on
// the start and the encryption page. 1.
int setUsbPortTable(HttpConnection& connection);
int setUsbPortTable(HttpConnection& connection, const UsbPortSnapshot& snapshot);

// The visitor may act as administrator: no logins, or an administrator's
// session.
bool isAdminViewer(const HttpConnection& connection);
