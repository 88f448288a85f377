// The diagnostic pages under "/info/" (administrators only). Each page but
// the index is written by a streamer task (web/streamer) into the
// connection's pipe.
#pragma once

#include <cstddef>
#include <string>

class HttpConnection;

// What /info/usb shows of the USB server, registered at start-up.
struct UsbInfoSource {
    // 100 x attached devices + connected sessions of port index 0..19.
    int (*portUsage)(int portIndex);
    // A device row's text of a kind (1 manufacturer, 2 product, 3 serial, 4
    // owner address, 5 connected, 6 product id, 7 vendor id): its length,
    // -1 for a row without a device, false-ish beyond the table's rows.
    int (*slotText)(int row, int kind, char* text, size_t size);
    int rows;
};
void setUsbInfoSource(const UsbInfoSource* source);

// What /info/wlan shows: the WLAN control's status text (HTML of its own);
// none registered, or a model without WLAN, says so.
struct WlanInfoSource {
    std::string (*statusHtml)();
};
void setWlanInfoSource(const WlanInfoSource* source);

int infoIndexPage(HttpConnection& connection);
int netInfoPage(HttpConnection& connection);
int devInfoPage(HttpConnection& connection);
int dirInfoPage(HttpConnection& connection);
int fileInfoPage(HttpConnection& connection);
int threadsInfoPage(HttpConnection& connection);
int filterInfoPage(HttpConnection& connection);
int usbInfoPage(HttpConnection& connection);
int wlanInfoPage(HttpConnection& connection);

// Gives the pages their rows of the page table.
void registerInfoPages();
