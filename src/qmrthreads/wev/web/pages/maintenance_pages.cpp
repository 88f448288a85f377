#include "web/pages/maintenance_pages.h"

#include "web/http/http_connection.h"
#include "web/http/http_reply.h"
#include "web/http/page_answers.h"
#include "web/http/page_table.h"
#include "web/http/save_params_page.h"
#include "web/pages/admin_services.h"
#include "web/pages/page_texts.h"
#include "web/pages/update_progress.h"

#include "core/i18n/translatable.h"
#include "core/params/param_store.h"
#include "core/storage/sd_card_state.h"
#include "core/storage/update_status.h"
#include "core/task/shutdown.h"
#include "core/task/start_state.h"
#include "core/util/file_copy.h"
#include "platform/files/root_path.h"

#include <cstdint>
#include <string>
#include <unistd.h>

namespace {

// The wait page goes out before the program stops.
constexpr int kRestartDelaySeconds = 4;
constexpr int kColdRestartExitCode = 2;

constexpr const char* kInvalidParamFile = translatable("Invalid parameter file. No parameters have been changed.");
constexpr const char* kParamsChanged = translatable("Parameters are changed. Please wait.");
constexpr const char* kBadUpdateFile = translatable("Unrecognizable update file: the file is wrong or corrupted.");

struct SdStateText {
    const char* status;
    const char* required;  // null: no "SDreq"
};

const SdStateText kSdStateTexts[] = {
    {translatable("SD card not found, please insert SD card."), nullptr},
    {translatable("SD card found, but formatting required."), translatable("Required (FAT32)")},
    {translatable("SD card found, but write protected."), translatable("not required")},
    {translatable("SD card found."), translatable("not required")},
};

void setRefresh(HttpConnection& c, const std::string& target, int seconds)
{
    c.refreshTarget = target;
    c.refreshSeconds = seconds;
}

} // namespace

int restartCgi(HttpConnection& c)
{
    std::string cold;
    if (c.getFormVar("cold", &cold))
        setExitCode(kColdRestartExitCode);
    if (startShutdownTask(kRestartDelaySeconds) < 0) {
        c.vars().setRaw("ErrMsg", c.translate("The device could not be restarted."));
        return showPage(c, "/maintenance/restart.html");
    }
    return showWaitPage(c, c.translate("The device is restarting.").c_str());
}

int resetCgi(HttpConnection& c)
{
    ParamStore::factoryReset();
    return restartCgi(c);
}

int setParamsCgi(HttpConnection& c)
{
    int fd = c.takeUpload();
    if (fd < 0 || lseek(fd, 0, SEEK_SET) != 0) {
        if (fd >= 0)
            close(fd);
        return showWaitPage(c, c.translate(kInvalidParamFile).c_str());
    }
    if (ParamStore::loadFd(&fd) < 0)
        return showWaitPage(c, c.translate(kInvalidParamFile).c_str());
    int flags = saveParamsIfDirty();
    if (flags & kChangedSaveFailed)
        c.vars().setRaw("ErrMsg", c.translate("The settings could not be saved."));
    if (flags & kChangedRestart)
        return restartCgi(c);
    if (flags & kChangedNetwork) {
        TaskMessage msg{0, MSG_NETWORK_CHANGED, 0, 0};
        broadcastMessage(&msg);
    }
    bool changed = (flags & (kChangedSave | kChangedNetwork | kChangedAny)) != 0;
    return showWaitPage(c, c.translate(changed ? kParamsChanged : kInvalidParamFile).c_str());
}

int showParamsPage(HttpConnection& c)
{
    c.vars().setCount("params", ParamStore::countVisible(kParamStatus | kParamInternal));
    return 1;
}

int sdCardMegabytes(unsigned long kilobytes)
{
    return static_cast<int>((kilobytes + 521) / 1024);
}

int sdCardPage(HttpConnection& c)
{
    int saved = saveParamsPage(c);
    if (saved != 1)
        return saved;
    TemplateVars& vars = c.vars();
    int state = sdCardState();
    if (state >= 0 && state < static_cast<int>(sizeof kSdStateTexts / sizeof kSdStateTexts[0])) {
        vars.setRaw("SDstat", c.translate(kSdStateTexts[state].status));
        if (kSdStateTexts[state].required)
            vars.setRaw("SDreq", c.translate(kSdStateTexts[state].required));
    }
    std::string label;
    bool mounted = adminServices().sdCard && adminServices().sdCard(&label);
    if (!label.empty())
        vars.setText("SDNam", label);
    uint32_t totalKB = 0;
    uint32_t freeKB = 0;
    if (mounted)
        fsSpace(boxPath("/var/slot1").c_str(), &totalKB, &freeKB);
    if (freeKB != 0) {
        std::string text = fillIn(c.translate("yes (%d/%d MB free)"), "%d", std::to_string(sdCardMegabytes(freeKB)));
        vars.setRaw("SDMou", fillIn(text, "%d", std::to_string(sdCardMegabytes(totalKB))));
    } else {
        vars.setRaw("SDMou", c.translate("no"));
    }
    return 1;
}

int updateCheckPage(HttpConnection& c)
{
    const AdminServiceOps& s = adminServices();
    if (c.uploadFd() > 0 && s.precheckUpdate && s.startUpdate && s.precheckUpdate(c.uploadFd()) == 0) {
        // The claim inside startUpdate decides between two uploads that both
        // passed the check: the second one is refused here.
        if (s.startUpdate(c.takeUpload(), true) >= 0) {
            c.vars().setRaw("DisplayMsg", c.translate("Update file is verified. Please wait..."));
            updateProgressPage(c);
            setRefresh(c, "/maintenance/updater.html", 2);
            return showPage(c, "/maintenance/updater.html");
        }
    }
    setRefresh(c, "/maintenance/update.html", 2);
    return showWaitPage(c, c.translate(kBadUpdateFile).c_str());
}

int updateProgressPage(HttpConnection& c)
{
    c.replyType = "text/html";
    c.attachmentName.clear();
    UpdateProgressView view = describeUpdateProgress(updateState(), updateProgress());
    char description[128];
    copyUpdateDescription(description, sizeof description);
    std::string shownDescription = htmlEscape(description);
    std::string message = c.translate(view.message);
    if (view.withPercent)
        message = fillIn(message, "%d", std::to_string(view.percent));
    if (view.withDescription) {
        char stateText[65];
        message = fillIn(message, "%s", shownDescription) + " " + updateStateText(stateText, sizeof stateText);
    }
    if (view.refreshTarget)
        setRefresh(c, *view.refreshTarget ? std::string(view.refreshTarget) : c.request().path, view.refreshSeconds);
    TemplateVars& vars = c.vars();
    if (!shownDescription.empty())
        vars.setRaw("FlasherInfo", shownDescription);
    vars.setRaw("DisplayMsg", message);
    vars.setRaw("DonePerCent", std::to_string(view.donePercent));
    return view.percent;
}

int updatePage(HttpConnection& c)
{
    if (updateProgressPage(c) <= 0)
        return 1;
    return showPage(c, "/maintenance/updater.html");
}

void registerMaintenancePages()
{
    setPageHandler("/maintenance/restart.cgi", restartCgi);
    setPageHandler("/maintenance/reset.cgi", resetCgi);
    setPageHandler("/maintenance/setparams.cgi", setParamsCgi);
    setPageHandler("/maintenance/showparams.html", showParamsPage);
    setPageHandler("/maintenance/sdcard.html", sdCardPage);
    setPageHandler("/maintenance/updatecheck.html", updateCheckPage);
    setPageHandler("/maintenance/update.html", updatePage);
    setPageHandler("/maintenance/updater.html", updatePage);
}
