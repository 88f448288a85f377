#include "services/mail/event_mail.h"

#include "core/addr/mac_address.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "core/task/start_state.h"
#include "core/task/tick_clock.h"
#include "core/util/random_text.h"
#include "services/mail/mail_text.h"
#include "services/mail/smtp_client.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>

namespace {

constexpr uint32_t kTwoConnectorProduct = 353;

std::atomic<int> mailsSent[2];
std::atomic<int> mailsFailed[2];

struct Kind {
    uint32_t bits;
    BoolParam* (*switchOf)(int recipient);
    const char* title;
};

const char* kindTitle(const Kind& k, uint32_t flags)
{
    if (k.bits == 0xc00000)
        return (flags & NOTIFY_CARD_REMOVED) ? "SDCard is plugged out" : "SDCard is plugged in";
    if (k.bits == 0x7000000)
        return (flags & NOTIFY_CARD_MISSING) ? "SDCard is missing" : "SDCard is unusable";
    return k.title;
}

const Kind kKinds[] = {
    {0xc00, params::noti_dev, "USB devices changed"},
    {0x300, params::noti_act, "USB devices status changed"},
    {NOTIFY_SUPPLY_CHANGED, params::noti_pwr, "Power supply"},
    {NOTIFY_LINK_CHANGED, params::noti_lnk, "Network link"},
    {0xc00000, params::noti_sdinout, nullptr},
    {0x7000000, params::noti_sdunusable, nullptr},
    {NOTIFY_STATUS_REPORT, params::noti_stat, "status information"},
    {NOTIFY_RESTART, params::noti_pup, "Restart"},
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        vsnprintf(out.data(), out.size() + 1, fmt, again);
    va_end(again);
    return out;
}

std::string text(StringParam* p)
{
    if (!p)
        return std::string();
    std::shared_ptr<const std::string> v = p->value();
    return v ? mailHeaderText(*v) : std::string();
}

std::string recipientAddress(int n)
{
    return text(params::mailto(n));
}

// The third column of the current time-zone row, or empty.
std::string zoneText()
{
    char buffer[64] = "";
    P3List* zone = params::ntp_tzone();
    if (!zone || !zone->hasValue())
        return std::string();
    int n = zone->toTextSel(0x80000000u | 0x20000u, buffer, sizeof buffer - 1);
    buffer[n > 0 && n < static_cast<int>(sizeof buffer) ? n : 0] = '\0';
    return buffer;
}

bool localNow(struct tm* out)
{
    time_t t = time(nullptr);
    return localtime_r(&t, out) != nullptr;
}

std::string portHeading(int port)
{
    std::string heading = format("\r\n Port %2d", port);
    std::string tag = port >= 1 && port <= 20 ? text(params::zyt_tag(port)) : std::string();
    if (!tag.empty())
        heading += " \"" + tag + "\"";
    return heading + ":\r\n ---------\r\n";
}

std::string usbSectionHead()
{
    return "\r\n=== USB Devices ===================================================\r\n";
}

} // namespace

std::string productBaseName(const char* productName)
{
    std::string name = productName ? productName : "";
    size_t end = name.size();
    while (end > 0 && ((name[end - 1] >= '0' && name[end - 1] <= '9') || name[end - 1] == '-'))
        --end;
    return name.substr(0, end);
}

EventMailPlan planEventMail(uint32_t flags)
{
    EventMailPlan plan;
    for (const Kind& k : kKinds) {
        if (!(flags & k.bits))
            continue;
        for (int i = 0; i < 2; ++i)
            plan.to[i] = plan.to[i] || k.switchOf(i + 1)->isOn();
        plan.title = kindTitle(k, flags);
    }
    for (int i = 0; i < 2; ++i)
        plan.to[i] = plan.to[i] && !recipientAddress(i + 1).empty();
    return plan;
}

std::string eventMailSubject(const std::string& title)
{
    const ProductInfo& product = productInfo();
    std::string subject = title + " " + mailHeaderText(product.product_name) + ": ";
    std::string name = text(params::sys_name());
    if (name.empty())
        name = productBaseName(product.product_name) + " Server";
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on a
    // text put in front of a string temporary.
    subject += "\"";
    subject += mailHeaderText(name);
    subject += "\" (";
    subject += params::ip_addr()->text();
    subject += ")";
    struct tm now {};
    if (localNow(&now))
        subject += format(" at %02d.%02d.%04d %02d:%02d:%02d %-24s", now.tm_mday, now.tm_mon + 1,
                          now.tm_year + 1900, now.tm_hour, now.tm_min, now.tm_sec, zoneText().c_str());
    return subject;
}

std::string statusBanner(const std::string& title)
{
    struct tm now {};
    if (!localNow(&now))
        return std::string();
    const ProductInfo& product = productInfo();
    const std::string server = productBaseName(product.product_name) + " Server";
    std::string b = format("#######################   %-17s########################\r\n", server.c_str());
    b += "##                                                               ##\r\n";
    b += format("##   Device        : %-42s  ##\r\n", mailHeaderText(product.product_name).c_str());
    b += format("##   Default name  : %-42s  ##\r\n", mailHeaderText(product.default_name).c_str());
    const struct { const char* label; StringParam* param; } optional[] = {
        {"Host name     ", params::sys_name()}, {"Description   ", params::sys_descr()},
        {"Contact person", params::sys_contact()}};
    for (const auto& o : optional) {
        std::string value = text(o.param);
        if (!value.empty())
            b += format("##   %s: %-42s  ##\r\n", o.label, value.c_str());
    }
    b += format("##   Serial number : %03d%04d%02d%05u                              ##\r\n",
                static_cast<int>(product.hw_project), static_cast<int>(product.year),
                static_cast<int>(product.month), product.serial_no);
    char mac[kMacTextSize];
    macToText(product.ethaddr0, mac, sizeof mac);
    b += format("##   MAC address   : %-42s  ##\r\n", mac);
    b += format("##   IPv4 address  : %-42s  ##\r\n", params::ip_addr()->text().c_str());
    b += format("##   Date/Time     : %04d-%02d-%02d %02d:%02d:%02d  %-22s ##\r\n", now.tm_year + 1900,
                now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, zoneText().c_str());
    b += "##                                                               ##\r\n";
    b += format("##   %-58s  ##\r\n", title.c_str());
    b += "##                                                               ##\r\n";
    b += "###################################################################\r\n";
    const SoftwarePackageInfo& sw = softwarePackageInfo();
    b += format("\r\n\tSoftware version : %d.%d.%d %s\r\n", static_cast<int>(sw.version),
                static_cast<int>(sw.release), static_cast<int>(sw.subrelease), "");
    b += format("\tFirmware version : %d.%d\r\n", static_cast<int>(product.product_id),
                static_cast<int>(firmwareInfo().firmware_version));
    const uint64_t seconds = boardTicks() / 100;
    b += format("\r\n\tUptime           : P%dDT%02d:%02d:%02d (PnDaysTimeHH:MM:SS)\r\n",
                static_cast<int>(seconds / 86400), static_cast<int>(seconds / 3600 % 24),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    b += format("\tRestarts         : %d\r\n", params::life()->value());
    b += format("\tWarm starts      : %d\r\n", startCounter());
    b += format("\r\n\tTAN              = %s\r\n\r\n", mailTan);
    return b;
}

std::string usbDeviceList()
{
    std::string s = usbSectionHead();
    for (int n = 1; n <= 40; ++n) {
        IntParam* slot = params::usb_slot(n);
        if (!slot || slot->value() < 1)
            continue;
        const int port = slot->value();
        s += portHeading(port);
        const struct { const char* label; StringParam* param; } rows[] = {
            {" Manufacturer :", params::usb_manu(n)}, {" Product      :", params::usb_prod(n)},
            {" Serial       :", params::usb_sern(n)}};
        for (const auto& r : rows) {
            s += r.label;
            s += r.param ? " " : " -";
            if (r.param)
                s += text(r.param);
            s += "\r\n";
        }
        s += " Device status: ";
        if (StringParam* owner = params::usb_owner(n)) {
            std::string o = text(owner);
            s += (o != "Available" && o != "-") ? "Occupied by " + o : o;
        }
        s += "\r\n";
        const char* label = " Port status  :";
        auto setting = [&](const char* line) {
            s += std::string(label) + line;
            label = "              :";
        };
        P3List* access = params::zyt_accctrl(port);
        if (access && (access->equalsToken("key") || access->equalsToken("keyids")))
            setting(" port key control set\r\n");
        if (access && (access->equalsToken("ids") || access->equalsToken("keyids")))
            setting(" device allocation set\r\n");
        if (BoolParam* sec = params::zyt_sec(port); sec && sec->isOn())
            setting(" data encryption set\r\n");
    }
    return s;
}

std::string usbEventSection(const std::vector<NotifyEvent>& events)
{
    std::string s = usbSectionHead();
    for (const NotifyEvent& e : events) {
        if (!(e.flags & 0xf00))
            continue;
        s += portHeading(e.port);
        s += format(" Manufacturer : %s\r\n Product      : %s\r\n Serial       : %s\r\n",
                    mailHeaderText(e.manufacturer).c_str(), mailHeaderText(e.product).c_str(),
                    mailHeaderText(e.serial).c_str());
        if (e.flags & 0x300)
            s += format(" Device status: recently %s %s\r\n",
                        (e.flags & NOTIFY_CLIENT_CONNECTED) ? "connected by" : "disconnected from",
                        mailHeaderText(e.client).c_str());
        if (e.flags & NOTIFY_DEVICE_ATTACHED)
            s += " Device status: recently attached\r\n";
        if (e.flags & NOTIFY_DEVICE_DETACHED)
            s += " Device status: recently detached\r\n";
    }
    return s;
}

std::string powerSection(const std::vector<NotifyEvent>& events)
{
    std::string s = "\r\n=== Power supplies ===================================================\r\n";
    for (const NotifyEvent& e : events) {
        if (!(e.flags & NOTIFY_SUPPLY_CHANGED))
            continue;
        s += format("\r\n Left  power supply is switched %s", (e.port & 0x2) ? "on" : "off");
        s += format("\r\n Right power supply is switched %s\r\n ", (e.port & 0x1) ? "on" : "off");
    }
    return s;
}

std::string linkSection(const std::vector<NotifyEvent>& events)
{
    auto state = [](bool up) { return up ? "link established" : "no link"; };
    std::string s = "\r\n=== Network links ===================================================\r\n";
    for (const NotifyEvent& e : events) {
        if (!(e.flags & NOTIFY_LINK_CHANGED))
            continue;
        if (productInfo().product_id == kTwoConnectorProduct) {
            s += format("\r\n Left  RJ-45 network connector: %s", state(e.port & 0x10));
            s += format("\r\n Right RJ-45 network connector: %s\r\n ", state(e.port & 0x1));
        } else {
            s += format("\r\n RJ-45 network connector: %s\r\n ", state(e.port & 0x10));
        }
    }
    return s;
}

std::string sdCardSection(const std::vector<NotifyEvent>& events)
{
    const std::string base = productBaseName(productInfo().product_name);
    std::string s;
    for (const NotifyEvent& e : events) {
        if (!(e.flags & 0x7c00000))
            continue;
        if (e.flags & NOTIFY_CARD_MOUNTED)
            s += format("\r\n\tAn SD card has been connected to the %s server.\r\n\tThe SD card will be used to back "
                        "up parameters.\r\n", base.c_str());
        if (e.flags & NOTIFY_CARD_WRITE_PROTECTED)
            s += "\r\n\tThe SD card cannot be used because it is write protected.\r\n\tDeclare the SD card "
                 "read/write by moving the write-protection notch.\r\n";
        if (e.flags & NOTIFY_CARD_REMOVED)
            s += format("\r\n\tAn SD card has been removed.\r\n\tThe SD card has been removed from the %s server. "
                        "Reconnect the SD card.\r\n", base.c_str());
        if (e.flags & NOTIFY_CARD_UNUSABLE)
            s += "\r\n\tThe SD card cannot be used because it has the wrong file format and/or is write "
                 "protected.\r\n\tFormat to FAT32 and/or declare the SD card read/write by moving the "
                 "write-protection notch.\r\n";
        s += format("\r\n ---------\r\n Manufacturer : %s\r\n Product      : %s\r\n Device label : %s\r\n",
                    mailHeaderText(e.manufacturer).c_str(), mailHeaderText(e.product).c_str(),
                    mailHeaderText(e.serial).c_str());
    }
    return s;
}

std::string eventMailBody(const std::vector<NotifyEvent>& events, uint32_t flags)
{
    const std::string title = planEventMail(flags).title;
    std::string body = statusBanner(title);
    if (flags & 0xf00)
        body += usbEventSection(events);
    if (flags & NOTIFY_SUPPLY_CHANGED)
        body += powerSection(events);
    if (flags & NOTIFY_LINK_CHANGED)
        body += linkSection(events);
    if (flags & 0x7c00000)
        body += sdCardSection(events);
    if (flags & (NOTIFY_STATUS_REPORT | NOTIFY_RESTART))
        body += usbDeviceList();
    return body;
}

bool sendEventMail(const std::vector<NotifyEvent>& events, uint32_t extraFlags)
{
    uint32_t flags = extraFlags;
    for (const NotifyEvent& e : events)
        flags |= e.flags;
    const EventMailPlan plan = planEventMail(flags);
    std::vector<std::string> to;
    for (int i = 0; i < 2; ++i) {
        if (plan.to[i])
            to.push_back(recipientAddress(i + 1));
    }
    if (plan.title.empty() || to.empty())
        return false;
    const std::string body = eventMailBody(events, flags);
    const bool sent = sendSmtpMail(to, eventMailSubject(plan.title), body.data(), body.size());
    if (!sent)
        fprintf(stderr, "mail \"%s\" to %s not sent: %s\n", plan.title.c_str(), to.front().c_str(),
                mailStatusText(smtpStatus().error));
    for (int i = 0; i < 2; ++i) {
        if (plan.to[i])
            (sent ? mailsSent[i] : mailsFailed[i]).fetch_add(1);
    }
    return sent;
}

int eventMailsSent(int recipient)
{
    return recipient >= 1 && recipient <= 2 ? mailsSent[recipient - 1].load() : 0;
}

int eventMailsFailed(int recipient)
{
    return recipient >= 1 && recipient <= 2 ? mailsFailed[recipient - 1].load() : 0;
}

void clearEventMailCounters()
{
    for (int i = 0; i < 2; ++i) {
        mailsSent[i].store(0);
        mailsFailed[i].store(0);
    }
}
