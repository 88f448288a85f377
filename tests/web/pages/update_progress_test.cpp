#include "web/pages/update_progress.h"

#include "core/storage/update_status.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ProgressCase {
    int state;
    int percent;
    int shown;
    int bar;
    const char* refresh;  // null: no reload
    int seconds;
    const char* message;
};

// The page never claims more than the update has done: 98 while writing,
// 99 while waiting for the restart, 100 only at the restart; the bar stops
// at 96.
TEST(UpdateProgress, MessagePercentAndReloadByState)
{
    const ProgressCase cases[] = {
        {kUpdatePrenatal, 0, 0, 0, nullptr, 0, "Idle (ready for update)"},
        {kUpdateError, 40, 40, 40, nullptr, 0, "Update %s:"},
        {kUpdateAlive, 0, 0, 0, "", 1, "Update is starting. Please wait..."},
        {kUpdateVerifying, 50, 50, 50, "", 1, "Update in progress: %d&#37; done. Please wait..."},
        {kUpdateVerifying, 100, 100, 96, "", 1, "Update in progress: %d&#37; done. Please wait..."},
        {kUpdateWorking, 99, 98, 96, "", 1, "Update in progress: %d&#37; done. Please wait..."},
        {kUpdateWorking, 97, 97, 96, "", 1, "Update in progress: %d&#37; done. Please wait..."},
        {kUpdateWaitingForRestart, 100, 99, 96, "", 1, "Update in progress: %d&#37; done. Please wait..."},
        {kUpdateRestart, 30, 100, 96, "/start.html", 15, "The device is restarting."},
        {9, 10, 10, 10, nullptr, 0, ""},
    };
    for (const ProgressCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << c.state << " at " << c.percent);
        UpdateProgressView v = describeUpdateProgress(c.state, c.percent);
        EXPECT_EQ(v.percent, c.shown);
        EXPECT_EQ(v.donePercent, c.bar);
        EXPECT_STREQ(v.message, c.message);
        if (c.refresh) {
            ASSERT_NE(v.refreshTarget, nullptr);
            EXPECT_STREQ(v.refreshTarget, c.refresh);
            EXPECT_EQ(v.refreshSeconds, c.seconds);
        } else {
            EXPECT_EQ(v.refreshTarget, nullptr);
        }
    }
}

} // namespace
