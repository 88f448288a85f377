#include "web/pages/relay_page.h"

#include "web/http/http_connection.h"
#include "web/http/save_params_page.h"
#include "web/http/template_vars.h"

#include "core/board/relay_control.h"
#include "core/i18n/catalogue.h"
#include "core/i18n/translatable.h"
#include "core/params/param_handles.h"
#include "core/product/model_features.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

// The last year whose times the relay control records as seconds since
// start.
constexpr int kLastUnsetYear = 2015;

const RelayEventRow* rowOfCode(uint32_t code)
{
    for (int i = 0; i < kRelayEventRows; ++i) {
        if (relayEventRow(i).code == code)
            return &relayEventRow(i);
    }
    return nullptr;
}

bool isModeToken(const char* token)
{
    const P3List* mode = params::relay_ctrl();
    return mode && mode->equalsToken(token);
}

std::string relayStateText(size_t events)
{
    if (isModeToken("fix"))
        return params::relay_on()->isOn() ? translatable("Closed (fixed)") : translatable("Open (fixed)");
    return events > 0 ? translatable("Closed") : translatable("open");
}

} // namespace

std::vector<RelayEventShown> relayEventsShown(uint32_t bits, uint32_t (*timeOf)(uint32_t code))
{
    std::vector<RelayEventShown> shown;
    for (int bit = 0; bit < 32; ++bit) {
        const uint32_t code = 1u << bit;
        const RelayEventRow* row = (bits & code) ? rowOfCode(code) : nullptr;
        if (row)
            shown.push_back({code, row->text, timeOf(code)});
    }
    std::stable_sort(shown.begin(), shown.end(),
                     [](const RelayEventShown& a, const RelayEventShown& b) { return a.time < b.time; });
    return shown;
}

std::string relayTimeText(uint32_t time)
{
    const time_t t = static_cast<time_t>(time);
    struct tm local {};
    struct tm parts {};
    localtime_r(&t, &local);
    int year = 0;
    int month = 0;
    int day = 0;
    if (local.tm_year + 1900 > kLastUnsetYear) {
        parts = local;
        year = parts.tm_year + 1900;
        month = parts.tm_mon + 1;
        day = parts.tm_mday;
    } else {
        // Elapsed time: broken down without any zone.
        gmtime_r(&t, &parts);
        year = parts.tm_year + 1900 - 1970;
        month = parts.tm_mon;
        day = parts.tm_mday - 1;
    }
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d\n", year, month, day, parts.tm_hour, parts.tm_min,
             parts.tm_sec);
    return text;
}

void setRelayVars(TemplateVars& vars, const std::string& lang, const std::vector<RelayEventShown>& events)
{
    for (size_t j = 0; j < events.size(); ++j) {
        vars.setIndexed("Eves_", static_cast<int>(j), translateText(lang, events[j].text));
        vars.setIndexed("EveT_", static_cast<int>(j), relayTimeText(events[j].time));
    }
    vars.setCount("Eves", static_cast<int>(events.size()));
    vars.setText("RelayState", translateText(lang, relayStateText(events.size()).c_str()));
    vars.setText("RelayStatOrEve", translateText(lang, isModeToken("stat") ? "Status" : "Event"));
}

int relayPage(HttpConnection& connection)
{
    if (!(params::sw_features()->value() & kFeatureRelay))
        return -1;
    std::string ignored;
    if (connection.getFormVar("clear", &ignored)) {
        clearRelayEvents();
    } else {
        int result = saveParamsPage(connection);
        if (result != 1)
            return result;
    }
    const uint32_t bits = static_cast<uint32_t>(params::relay_eves()->value());
    setRelayVars(connection.vars(), connection.lang(), relayEventsShown(bits, relayEventTime));
    return 1;
}
