#include "services/notify/notify_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(NotifyRing, AClosedRingRefusesEvents)
{
    NotifyRing ring;
    EXPECT_EQ(ring.post(NOTIFY_DEVICE_ATTACHED, 1, "m", "p", "s", nullptr), 0);
    EXPECT_EQ(ring.mailPending(), 0u);
    ring.open();
    EXPECT_EQ(ring.post(NOTIFY_DEVICE_ATTACHED, 1, "m", "p", "s", nullptr), 1);
    ring.close();
    EXPECT_EQ(ring.post(NOTIFY_DEVICE_ATTACHED, 1, "m", "p", "s", nullptr), 0);
    EXPECT_EQ(ring.mailPending(), 1u) << "closing keeps what was stored";
}

TEST(NotifyRing, SeventeenEventsOverwriteTheOldest)
{
    NotifyRing ring;
    ring.open();
    for (int i = 1; i <= 17; ++i)
        ASSERT_EQ(ring.post(NOTIFY_DEVICE_DETACHED, i, "m", "p", "s", "c"), 1);
    EXPECT_EQ(ring.mailPending(), 0xffffu);
    std::vector<NotifyEvent> events = ring.takeMailEvents();
    ASSERT_EQ(events.size(), 16u);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(events[i].port, i + 2) << "oldest first, the first event is gone";
    EXPECT_EQ(ring.mailPending(), 0u);
    EXPECT_EQ(ring.trapPending(), 0xffffu) << "the traps have not been sent";
}

TEST(NotifyRing, TextsOfTheSlot)
{
    NotifyRing ring;
    ring.open();
    const std::string longText(300, 'x');
    ring.post(NOTIFY_CLIENT_CONNECTED, 2, longText.c_str(), nullptr, longText.c_str(), "pc (198.018.000.009)");
    NotifyEvent e = ring.slot(0);
    EXPECT_EQ(std::string(e.manufacturer), std::string(128, 'x'));
    EXPECT_STREQ(e.product, "-?-");
    EXPECT_EQ(std::string(e.serial), std::string(32, 'x'));
    EXPECT_STREQ(e.client, "pc (198.018.000.009)");

    // Supply and link events leave the texts of the slot they take.
    for (int i = 1; i < NotifyRing::kSlots; ++i)
        ring.post(NOTIFY_CARD_MOUNTED, 0, "card", "sd", "label", nullptr);
    ring.post(NOTIFY_LINK_CHANGED, 0x10, "new", "new", "new", "new");
    e = ring.slot(0);
    EXPECT_EQ(e.flags, NOTIFY_LINK_CHANGED);
    EXPECT_EQ(e.port, 0x10);
    EXPECT_STREQ(e.product, "-?-");
    ring.post(NOTIFY_SUPPLY_CHANGED, 2, "new", "new", "new", "new");
    EXPECT_STREQ(ring.slot(1).manufacturer, "card");
}

TEST(NotifyRing, TrapsOfKindsNotAllowedStayPending)
{
    NotifyRing ring;
    ring.open();
    ring.post(NOTIFY_DEVICE_ATTACHED, 1, "a", "b", "c", nullptr);
    ring.post(NOTIFY_LINK_CHANGED, 0, nullptr, nullptr, nullptr, nullptr);
    ring.post(NOTIFY_DEVICE_DETACHED, 1, "a", "b", "c", nullptr);
    std::vector<NotifyEvent> sent =
        ring.takeTrapEvents([](uint32_t flags) { return flags != NOTIFY_LINK_CHANGED; });
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].flags, NOTIFY_DEVICE_ATTACHED);
    EXPECT_EQ(sent[1].flags, NOTIFY_DEVICE_DETACHED);
    EXPECT_EQ(ring.trapPending(), 0x2u);
    EXPECT_EQ(ring.mailPending(), 0x7u);
}

TEST(NotifyRing, AnEventPostedWhileAMailIsComposedIsKept)
{
    NotifyRing ring;
    ring.open();
    ring.post(NOTIFY_DEVICE_ATTACHED, 1, "a", "b", "c", nullptr);
    std::vector<NotifyEvent> first = ring.takeMailEvents();
    // Arrives while the first mail is being sent.
    ring.post(NOTIFY_DEVICE_DETACHED, 1, "a", "b", "c", nullptr);
    ASSERT_EQ(first.size(), 1u);
    std::vector<NotifyEvent> second = ring.takeMailEvents();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].flags, NOTIFY_DEVICE_DETACHED);
}

// Producers on several threads and a reader taking mails at the same time:
// every event is taken exactly once.
TEST(NotifyRing, ConcurrentProducersLoseNothing)
{
    NotifyRing ring;
    ring.open();
    constexpr int kProducers = 4;
    constexpr int kEach = NotifyRing::kSlots / kProducers;  // no overwrite
    std::atomic<int> done{0};
    std::vector<NotifyEvent> taken;
    std::thread reader([&] {
        while (done.load() < kProducers || ring.mailPending() != 0) {
            for (const NotifyEvent& e : ring.takeMailEvents())
                taken.push_back(e);
        }
    });
    std::vector<std::thread> producers;
    for (int t = 0; t < kProducers; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                EXPECT_EQ(ring.post(NOTIFY_CLIENT_CONNECTED, t * 100 + i, "m", "p", "s", "c"), 1);
            done.fetch_add(1);
        });
    }
    for (auto& p : producers)
        p.join();
    reader.join();
    std::set<int> ports;
    for (const NotifyEvent& e : taken)
        ports.insert(e.port);
    EXPECT_EQ(taken.size(), static_cast<size_t>(kProducers * kEach));
    EXPECT_EQ(ports.size(), static_cast<size_t>(kProducers * kEach));
}

} // namespace

namespace {

// The configuration turning events off and on while producers post: the
// ring never stays locked, and posts succeed again once it is open.
TEST(NotifyRing, ClosingAndOpeningWhileProducersPostNeverLocksTheRing)
{
    NotifyRing ring;
    std::atomic<bool> stop{false};
    std::vector<std::thread> producers;
    for (int t = 0; t < 3; ++t) {
        producers.emplace_back([&] {
            while (!stop.load())
                ring.post(NOTIFY_DEVICE_ATTACHED, 1, "m", "p", "s", nullptr);
        });
    }
    for (int i = 0; i < 2000; ++i) {
        if (i % 2)
            ring.open();
        else
            ring.close();
    }
    stop.store(true);
    for (auto& p : producers)
        p.join();
    ring.open();
    EXPECT_EQ(ring.post(NOTIFY_DEVICE_DETACHED, 9, "m", "p", "s", nullptr), 1);
    EXPECT_FALSE(ring.takeMailEvents().empty());
}

} // namespace
