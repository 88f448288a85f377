#include "usbserver/usb_status_publish.h"

#include "core/board/blinker.h"
#include "core/board/board_device.h"
#include "core/board/relay_control.h"
#include "core/notify/notify_event.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/model_features.h"
#include "core/product/product_info.h"
#include "usbserver/usb_access.h"
#include "usbserver/usb_device_view.h"
#include "usbserver/usb_port_power.h"
#include "usbserver/usb_publish.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

constexpr int kPorts = kUsbPowerTimerPorts;
constexpr uint32_t kCardReaderProduct = 337;
constexpr int kLedOff = 0;
constexpr int kLedAttached = 1;
constexpr int kLedInUse = 2;
constexpr const char* kAvailable = "Available";
constexpr const char* kNoOwnerText = "- ? -";

// The counters and the LEDs they drive change together: a publish on one
// thread never sees another's half-done update.
std::mutex countersMutex;
int portUsage[kPorts];
int sessionCount;

// Device strings and client names come from outside: a parameter refuses
// control characters and blanks at either end, so they are turned into
// '?' and cut off rather than losing the whole text.
std::string storableText(const char* text)
{
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); p && *p; ++p)
        out += (*p < 0x20 || *p == 0x7f) ? '?' : static_cast<char>(*p);
    const size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

std::string textOrQuestionMark(const char* text)
{
    std::string s = storableText(text);
    return s.empty() ? std::string("?") : s;
}

StringParam* rowText(const char* prefix, int row)
{
    Param* p = ParamStore::find(prefix, static_cast<int>(strlen(prefix)), static_cast<uint32_t>(row + 1));
    return p && p->paramClass() == ParamClass::String ? static_cast<StringParam*>(p) : nullptr;
}

void setRowText(const char* prefix, int row, const std::string& text)
{
    if (StringParam* p = rowText(prefix, row))
        p->set(text.c_str(), -1);
}

void setRowSlot(int row, int port)
{
    if (IntParam* slot = params::usb_slot(row + 1))
        slot->setChecked(port);
}

std::string ownerText(int row)
{
    StringParam* owner = rowText("usb_owner_", row);
    if (!owner)
        return kNoOwnerText;
    std::shared_ptr<const std::string> value = owner->value();
    return value ? *value : std::string(kNoOwnerText);
}

bool viewOf(int row, UsbDeviceView* view)
{
    return copyUsbDeviceView(row, view);
}

void postEvent(uint32_t flags, const UsbDeviceView& view, const char* client)
{
    if (postNotifyEvent(flags, view.port, view.manufacturer, view.product, view.serial, client))
        postNotifyMessage(flags);
}

bool isCardReaderPort(int port)
{
    uint32_t state = 0;
    return port == 1 && productInfo().product_id == kCardReaderProduct && boardDevice().readCardReader(&state);
}

void beepOnAttach()
{
    if (params::sw_features()->value() & kFeatureBeeper)
        boardDevice().beep(0);
}

void showStatusPattern()
{
    IpParam* address = params::ip_addr();
    if (address->hasValue() && !address->isLinkLocal())
        boardDevice().blinkPatternA();
    else
        boardDevice().blinkPatternB();
}

int poffDuration(int port)
{
    Param* p = ParamStore::find("zyt_poffdura_", 13, static_cast<uint32_t>(port));
    return p && p->paramClass() == ParamClass::Int ? static_cast<IntParam*>(p)->value() : 0;
}

void attachCounts(int index)
{
    std::lock_guard<std::mutex> lock(countersMutex);
    if (portUsage[index] == 0)
        boardDevice().setPortLed(index, kLedAttached, 0);
    portUsage[index] += 100;
}

void detachCounts(int index)
{
    std::lock_guard<std::mutex> lock(countersMutex);
    int r = portUsage[index] - 100;
    // A port without devices keeps no session count.
    if (r <= 99 && r % 100 > r / 100)
        r = 0;
    if (r < 0)
        r = 0;
    portUsage[index] = r;
    if (r == 0)
        boardDevice().setPortLed(index, kLedOff, 0);
}

void connectCounts(int index)
{
    std::lock_guard<std::mutex> lock(countersMutex);
    if (hasPerPortLeds()) {
        if (portUsage[index] % 100 == 0)
            boardDevice().setPortLed(index, kLedInUse, 0);
        ++portUsage[index];
        return;
    }
    boardDevice().setPortLed(0, kLedAttached, 0);
    ++sessionCount;
}

// True when the port's last session ended.
bool disconnectCounts(int index)
{
    std::lock_guard<std::mutex> lock(countersMutex);
    if (!hasPerPortLeds()) {
        if (sessionCount > 0 && --sessionCount == 0)
            showStatusPattern();
        return false;
    }
    if (portUsage[index] % 100 != 0)
        --portUsage[index];
    if (portUsage[index] % 100 != 0)
        return false;
    boardDevice().setPortLed(index, portUsage[index] ? kLedAttached : kLedOff, 0);
    return true;
}

void onAttach(int row)
{
    UsbDeviceView view;
    if (!viewOf(row, &view))
        return;
    postEvent(NOTIFY_DEVICE_ATTACHED, view, nullptr);
    if (isCardReaderPort(view.port))
        return;
    if (hasPerPortLeds()) {
        attachCounts(view.port - 1);
        beepOnAttach();
    }
    char id[8];
    setRowText("usb_manu_", row, textOrQuestionMark(view.manufacturer));
    setRowText("usb_prod_", row, textOrQuestionMark(view.product));
    setRowText("usb_sern_", row, textOrQuestionMark(view.serial));
    setRowSlot(row, view.port);
    snprintf(id, sizeof id, "%04x", view.idVendor & 0xffff);
    setRowText("usb_vendid_", row, id);
    snprintf(id, sizeof id, "%04x", view.idProduct & 0xffff);
    setRowText("usb_prodid_", row, id);
    setRowText("usb_owner_", row, kAvailable);
    handleRelayEvent(relayUsbCode(RELAY_USB1_ATTACHED, view.port));
}

void onDetach(int row)
{
    UsbDeviceView view;
    if (!viewOf(row, &view))
        return;
    postEvent(NOTIFY_DEVICE_DETACHED, view, nullptr);
    if (hasPerPortLeds())
        detachCounts(view.port - 1);
    for (const char* prefix : {"usb_manu_", "usb_prod_", "usb_sern_", "usb_owner_"})
        setRowText(prefix, row, "-");
    setRowSlot(row, 0);
    setRowText("usb_vendid_", row, "");
    setRowText("usb_prodid_", row, "");
    handleRelayEvent(relayUsbCode(RELAY_USB1_DETACHED, view.port));
}

void onConnect(int row, const char* clientName)
{
    UsbDeviceView view;
    if (!viewOf(row, &view))
        return;
    connectCounts(view.port - 1);
    char connected[4];
    char address[20];
    if (getUsbSlotText(row, kUsbTextConnected, connected, sizeof connected) == 1) {
        getUsbSlotText(row, kUsbTextOwnerAddress, address, sizeof address);
        std::string name = storableText(clientName);
        setRowText("usb_owner_", row, name.empty() ? std::string(address) : name + " (" + address + ")");
    }
    postEvent(NOTIFY_CLIENT_CONNECTED, view, ownerText(row).c_str());
    handleRelayEvent(relayUsbCode(RELAY_USB1_ACTIVATED, view.port));
}

void onDisconnect(int row)
{
    UsbDeviceView view;
    if (!viewOf(row, &view))
        return;
    if (disconnectCounts(view.port - 1)) {
        if (int tenths = poffDuration(view.port))
            usbPortPowerOff(view.port - 1, tenths * 10);
    }
    postEvent(NOTIFY_CLIENT_DISCONNECTED, view, ownerText(row).c_str());
    setRowText("usb_owner_", row, kAvailable);
    handleRelayEvent(relayUsbCode(RELAY_USB1_DEACTIVATED, view.port));
}

bool anyClientConnected()
{
    std::lock_guard<std::mutex> lock(countersMutex);
    if (sessionCount > 0)
        return true;
    for (int usage : portUsage) {
        if (usage % 100 != 0)
            return true;
    }
    return false;
}

const UsbPublishOps statusPublisher{onAttach, onDetach, onConnect, onDisconnect};

int copyText(const char* text, char* out, size_t size, bool emptyWhenCut)
{
    const size_t length = strlen(text);
    if (length >= size) {
        if (emptyWhenCut || size == 0) {
            if (size)
                out[0] = '\0';
            return 0;
        }
    }
    int n = snprintf(out, size, "%s", text);
    return n < 0 ? 0 : (static_cast<size_t>(n) >= size ? static_cast<int>(size - 1) : n);
}

} // namespace

void registerUsbStatusPublisher()
{
    setUsbPublishOps(&statusPublisher);
    setClientConnectedProbe(anyClientConnected);
}

void clearPortUsageCounters()
{
    std::lock_guard<std::mutex> lock(countersMutex);
    for (int& usage : portUsage)
        usage = 0;
    sessionCount = 0;
}

int portUsageCounter(int portIndex)
{
    if (portIndex < 0 || portIndex >= kPorts)
        return -1;
    std::lock_guard<std::mutex> lock(countersMutex);
    return portUsage[portIndex];
}

int usbSessionCount()
{
    std::lock_guard<std::mutex> lock(countersMutex);
    return sessionCount;
}

bool hasPerPortLeds()
{
    static const uint32_t kModels[] = {332, 337, 339, 345, 347, 353, 356, 365, 366, 367};
    const uint32_t product = productInfo().product_id;
    for (uint32_t model : kModels) {
        if (model == product)
            return true;
    }
    return false;
}

int getUsbSlotText(int row, int kind, char* text, size_t size)
{
    UsbDeviceView view;
    if (!text || size == 0 || !copyUsbDeviceView(row, &view))
        return -1;
    if (view.state != UsbViewState::Present && view.state != UsbViewState::Connected)
        return -1;
    const bool connected = view.state == UsbViewState::Connected;
    char buffer[24];
    switch (kind) {
    case kUsbTextManufacturer: return copyText(view.manufacturer, text, size, true);
    case kUsbTextProduct: return copyText(view.product, text, size, true);
    case kUsbTextSerial: return copyText(view.serial, text, size, true);
    case kUsbTextOwnerAddress: {
        uint8_t record[16];
        if (connected && getOwnerAddress(row, record, sizeof record) == 9)
            snprintf(buffer, sizeof buffer, "%03d.%03d.%03d.%03d", record[5], record[6], record[7], record[8]);
        else
            snprintf(buffer, sizeof buffer, "----");
        return copyText(buffer, text, size, false);
    }
    case kUsbTextConnected: return copyText(connected ? "1" : "", text, size, false);
    case kUsbTextProductId:
        snprintf(buffer, sizeof buffer, "0x%04X", view.idProduct & 0xffff);
        return copyText(buffer, text, size, false);
    case kUsbTextVendorId:
        snprintf(buffer, sizeof buffer, "0x%04X", view.idVendor & 0xffff);
        return copyText(buffer, text, size, false);
    default: return copyText("id err !!", text, size, false);
    }
}
