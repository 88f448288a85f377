#include "web/pages/update_progress.h"

#include "core/i18n/translatable.h"
#include "core/storage/update_status.h"

namespace {

constexpr int kBarLimit = 96;

int atMost(int value, int limit)
{
    return value > limit ? limit : value;
}

} // namespace

UpdateProgressView describeUpdateProgress(int state, int percent)
{
    UpdateProgressView v;
    v.percent = percent;
    switch (state) {
    case kUpdatePrenatal:
        v.message = translatable("Idle (ready for update)");
        break;
    case kUpdateError:
        v.message = translatable("Update %s:");
        v.withDescription = true;
        break;
    case kUpdateAlive:
        v.message = translatable("Update is starting. Please wait...");
        v.refreshTarget = "";
        v.refreshSeconds = 1;
        break;
    case kUpdateVerifying:
    case kUpdateWorking:
    case kUpdateWaitingForRestart:
        v.message = translatable("Update in progress: %d&#37; done. Please wait...");
        v.withPercent = true;
        if (state == kUpdateWorking)
            v.percent = atMost(percent, 98);
        else if (state == kUpdateWaitingForRestart)
            v.percent = atMost(percent, 99);
        v.refreshTarget = "";
        v.refreshSeconds = 1;
        break;
    case kUpdateRestart:
        v.message = translatable("The device is restarting.");
        v.percent = 100;
        v.refreshTarget = "/start.html";
        v.refreshSeconds = 15;
        break;
    default:
        v.message = "";
        break;
    }
    if (v.percent < 0)
        v.percent = 0;
    v.donePercent = atMost(v.percent, kBarLimit);
    return v;
}
