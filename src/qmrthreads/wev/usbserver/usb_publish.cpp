#include "usbserver/usb_publish.h"

#include "core/product/product_info.h"
#include "usbserver/usb_device_table.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>

namespace {

std::atomic<const UsbPublishOps*> publisher{nullptr};
std::mutex recordMutex;
std::deque<UsbPublishRecord> records;
// A row's connect was published and its disconnect not yet: an admin
// disconnect and the session's own release both end the same connect, and
// only the first of them is published.
std::atomic<bool> connectOpen[kUsbTableRows];

// The port of a row that may be published, or 0.
int publishablePort(int row)
{
    if (!isValidSlot(row))
        return 0;
    int port = usbDeviceTable[row].port;
    if (port < 1 || port > static_cast<int>(productInfo().usb_ports_phy))
        return 0;
    return port;
}

void record(UsbPublishKind kind, int row, int port, const char* clientName)
{
    UsbPublishRecord entry{kind, row, port, {}};
    if (clientName)
        snprintf(entry.clientName, sizeof entry.clientName, "%s", clientName);
    std::lock_guard<std::mutex> lock(recordMutex);
    if (records.size() == kUsbPublishRecordLimit)
        records.pop_front();
    records.push_back(entry);
}

} // namespace

void setUsbPublishOps(const UsbPublishOps* ops)
{
    publisher.store(ops);
}

void publishAttach(int row)
{
    int port = publishablePort(row);
    if (!port)
        return;
    connectOpen[row].store(false);
    record(UsbPublishKind::Attach, row, port, nullptr);
    if (const UsbPublishOps* ops = publisher.load(); ops && ops->attach)
        ops->attach(row);
}

void publishDetach(int row)
{
    int port = publishablePort(row);
    if (!port)
        return;
    record(UsbPublishKind::Detach, row, port, nullptr);
    if (const UsbPublishOps* ops = publisher.load(); ops && ops->detach)
        ops->detach(row);
}

void publishConnect(int row, const char* clientName)
{
    int port = publishablePort(row);
    if (!port)
        return;
    connectOpen[row].store(true);
    record(UsbPublishKind::Connect, row, port, clientName);
    if (const UsbPublishOps* ops = publisher.load(); ops && ops->connect)
        ops->connect(row, clientName);
}

void publishDisconnect(int row)
{
    int port = publishablePort(row);
    if (!port || !connectOpen[row].exchange(false))
        return;
    record(UsbPublishKind::Disconnect, row, port, nullptr);
    if (const UsbPublishOps* ops = publisher.load(); ops && ops->disconnect)
        ops->disconnect(row);
}

std::vector<UsbPublishRecord> usbPublishRecords()
{
    std::lock_guard<std::mutex> lock(recordMutex);
    return std::vector<UsbPublishRecord>(records.begin(), records.end());
}

void clearUsbPublishRecords()
{
    std::lock_guard<std::mutex> lock(recordMutex);
    records.clear();
}
