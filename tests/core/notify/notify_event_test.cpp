#include "core/notify/notify_event.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(NotifyEvent, FillCutsEveryTextToItsFieldAndTakesNullAsEmpty) {
    NotifyEvent ev;
    std::string longText(300, 'm');
    fillNotifyEvent(ev, NOTIFY_DEVICE_ATTACHED, 3, longText.c_str(), nullptr, longText.c_str(),
                    "client (10.0.0.1)");
    EXPECT_EQ(ev.flags, NOTIFY_DEVICE_ATTACHED);
    EXPECT_EQ(ev.port, 3);
    EXPECT_EQ(std::string(ev.manufacturer), std::string(128, 'm'));
    EXPECT_EQ(std::string(ev.product), "");
    EXPECT_EQ(std::string(ev.serial), std::string(32, 'm'));
    EXPECT_EQ(std::string(ev.client), "client (10.0.0.1)");

    // A later fill leaves nothing of the earlier texts behind.
    fillNotifyEvent(ev, NOTIFY_LINK_CHANGED, 0x10, "a", "b", nullptr, nullptr);
    EXPECT_EQ(std::string(ev.manufacturer), "a");
    EXPECT_EQ(std::string(ev.serial), "");
}

struct Seen {
    int calls = 0;
    uint32_t flags = 0;
    int port = 0;
    std::string product;
} seen;

int recordingIntake(uint32_t flags, int port, const char*, const char* product, const char*,
                    const char*) {
    ++seen.calls;
    seen.flags = flags;
    seen.port = port;
    seen.product = product ? product : "(null)";
    return 1;
}

TEST(NotifyEvent, EventsReachTheRegisteredIntakeOnlyWhileOneIsRegistered) {
    seen = {};
    EXPECT_EQ(postNotifyEvent(NOTIFY_CLIENT_CONNECTED, 1, nullptr, "stick", nullptr, nullptr), 0);
    EXPECT_EQ(seen.calls, 0);

    setNotifyEventIntake(recordingIntake);
    EXPECT_EQ(postNotifyEvent(NOTIFY_CLIENT_CONNECTED, 1, nullptr, "stick", nullptr, nullptr), 1);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.flags, NOTIFY_CLIENT_CONNECTED);
    EXPECT_EQ(seen.port, 1);
    EXPECT_EQ(seen.product, "stick");

    setNotifyEventIntake(nullptr);
    EXPECT_EQ(postNotifyEvent(NOTIFY_CLIENT_CONNECTED, 1, nullptr, "stick", nullptr, nullptr), 0);
    EXPECT_EQ(seen.calls, 1);
}

TEST(NotifyEvent, AMessageWithoutARunningTaskIsRefused) {
    setNotifyTaskId(-1);
    EXPECT_EQ(notifyTaskId(), -1);
    EXPECT_EQ(postNotifyMessage(NOTIFY_DEVICE_ATTACHED), 0);
    // An id no task holds: the post fails and is not reported as sent.
    setNotifyTaskId(4711);
    EXPECT_EQ(postNotifyMessage(NOTIFY_DEVICE_ATTACHED), 0);
    setNotifyTaskId(-1);
}

}  // namespace
