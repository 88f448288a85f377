#include "services/mail/status_text.h"

#include "core/params/param.h"
#include "core/params/param_store.h"
#include "platform/files/root_path.h"
#include "services/mail/event_mail.h"
#include "services/mail/mail_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Status values, internal, volatile and hidden parameters are not listed.
constexpr uint32_t kUnlisted = 0x1000023;
constexpr size_t kMemoryPiece = 127;

std::string memorySection()
{
    std::string s = "\r\n=== Memory info ===================================================\r\n\r\n";
    FILE* f = fopen(boxPath("/proc/meminfo").c_str(), "r");
    if (!f)
        return s;
    char piece[kMemoryPiece + 1];
    while (fgets(piece, sizeof piece, f)) {
        size_t n = strcspn(piece, "\r\n");
        s += "\t";
        s += mailHeaderText(std::string(piece, n));
        s += "\r\n";
    }
    fclose(f);
    return s;
}

std::string parameterSection()
{
    std::string s = "\r\n=== Params info ===================================================\r\n\r\n";
    int count = 0;
    Param** items = ParamStore::items(&count);
    size_t width = 0;
    for (int i = 0; i < count; ++i) {
        if (!items[i]->hasFlags(kUnlisted))
            width = std::max(width, strlen(items[i]->name()));
    }
    for (int i = 0; i < count; ++i) {
        const Param* p = items[i];
        if (p->hasFlags(kUnlisted))
            continue;
        std::string name = p->name();
        name.resize(width, ' ');
        s += "\t";
        s += name;
        s += " = ";
        s += mailHeaderText(p->text());
        s += p->hasFlags(kParamStatus) ? " (read-only)\r\n" : " \r\n";
    }
    return s;
}

} // namespace

std::string shortStatusText(const std::string& title)
{
    return statusBanner(title) + usbDeviceList();
}

std::string fullStatusText(bool parametersOnly)
{
    std::string s = statusBanner(parametersOnly ? "Parmeter list" : "FullStatus");
    if (!parametersOnly)
        s += memorySection();
    return s + parameterSection();
}
