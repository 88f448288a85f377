#include "web/http/save_params_page.h"

#include "web/http/http_connection.h"
#include "web/http/page_answers.h"

#include "core/i18n/texts.h"
#include "core/params/param_store.h"
#include "core/task/shutdown.h"

#include <string>

namespace {

// Seconds before the program stops for a restart: the wait page goes out first.
constexpr int kRestartDelaySeconds = 2;

void setRefreshToCurrent(HttpConnection& connection)
{
    size_t directory = 0;
    std::string url = connection.currentUrl(&directory);
    connection.refreshTarget = url.empty() ? "/index.html" : url;
}

} // namespace

int finishParamChange(HttpConnection& connection)
{
    int flags = saveParamsIfDirty();
    if (flags & kChangedRestart) {
        setRefreshToCurrent(connection);
        startShutdownTask(kRestartDelaySeconds);
        return showWaitPage(connection, connection.translate("The device restarts now.").c_str());
    }
    if (flags & kChangedAny)
        connection.vars().setRaw("HeadInfo", connection.translate("Parameters have been changed."));
    if (flags & kChangedSaveFailed)
        connection.vars().setRaw("ErrMsg", connection.translate("The settings could not be saved.").c_str());
    if (flags & kChangedNetwork) {
        setRefreshToCurrent(connection);
        TaskMessage msg{0, MSG_NETWORK_CHANGED, 0, 0};
        broadcastMessage(&msg);
    }
    return 1;
}

bool applyPostedForm(HttpConnection& connection, FormApplied* applied)
{
    *applied = connection.applyFormToParams(nullptr);
    if (applied->refused.empty())
        return true;
    connection.vars().setText("ErrMsg",
                              connection.translate("Invalid value, nothing was changed:") + " " + applied->refused);
    return false;
}

int saveParamsPage(HttpConnection& connection)
{
    std::string action;
    if (!connection.getFormVar("action", &action) || action != "set")
        return 1;
    FormApplied applied;
    if (!applyPostedForm(connection, &applied) || applied.changed == 0)
        return 1;
    return finishParamChange(connection);
}
