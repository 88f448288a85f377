#include "services/notify/notify_task.h"

#include "core/notify/notify_event.h"
#include "core/params/param_handles.h"
#include "support/param_override.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint32_t> trapped;  // flags of the traps sent; NOTIFY_RESTART for the restart trap
int restartMails = 0;
std::vector<NotifyEvent> mailed;

bool allowsAllButLink(uint32_t flags)
{
    return flags != NOTIFY_LINK_CHANGED;
}
void sendEventTrap(const NotifyEvent& e)
{
    trapped.push_back(e.flags);
}
void sendRestartTrap()
{
    trapped.push_back(NOTIFY_RESTART);
}
const TrapOps fakeTraps{allowsAllButLink, sendEventTrap, sendRestartTrap};

bool recordMail(const std::vector<NotifyEvent>& events, uint32_t extra)
{
    if (extra & NOTIFY_RESTART)
        ++restartMails;
    mailed.insert(mailed.end(), events.begin(), events.end());
    return true;
}

TaskMessage wake(uint32_t flags)
{
    return TaskMessage{0, MSG_NOTIFY_EVENT, static_cast<int32_t>(flags), 0};
}

// The task's steps on the test's thread, without starting it.
class NotifyTaskSteps : public testing::Test {
protected:
    void SetUp() override
    {
        notifyRing().close();
        notifyRing().clearMailPending();
        notifyRing().clearTrapPending();
        setNotifyEventIntake(NotifyTask::postEvent);
        setTrapOps(&fakeTraps);
        setEventMailSender(recordMail);
        trapped.clear();
        mailed.clear();
        restartMails = 0;
        for (int n = 1; n <= 2; ++n) {
            params_.set("mailto_", "", n);
            for (const char* sw : {"noti_dev_", "noti_act_", "noti_stat_", "noti_pup_", "noti_lnk_"})
                params_.set(sw, "off", n);
        }
        params_.set("trappup", "on");
    }
    void TearDown() override
    {
        setNotifyEventIntake(nullptr);
        setTrapOps(nullptr);
        setEventMailSender(nullptr);
        notifyRing().close();
    }
    static int post(uint32_t flags)
    {
        return postNotifyEvent(flags, 1, "m", "p", "s", nullptr);
    }
    ParamOverride params_;
};

TEST_F(NotifyTaskSteps, WhatMakesTheTaskWantEvents)
{
    struct Case {
        const char* mailto;
        const char* switchName;
        bool traps;
        bool wanted;
    };
    const Case cases[] = {
        {"", nullptr, false, false},
        {"admin@example.test", nullptr, false, false},        // no switch on
        {"admin@example.test", "noti_lnk_", false, false},    // link switch alone does not count
        {"admin@example.test", "noti_dev_", false, true},
        {"", "noti_dev_", false, false},                      // no recipient
        {"", nullptr, true, true},                            // a trap sink
    };
    for (const Case& c : cases) {
        ParamOverride p;
        p.set("mailto_", c.mailto, 2);
        if (c.switchName)
            p.set(c.switchName, "on", 2);
        NotifyTask task(c.traps);
        EXPECT_EQ(task.checkConfig(), c.wanted) << c.mailto << " " << (c.switchName ? c.switchName : "-");
        EXPECT_EQ(post(NOTIFY_LINK_CHANGED), c.wanted ? 1 : 0) << "events are refused while nothing is wanted";
        notifyRing().close();
    }
}

TEST_F(NotifyTaskSteps, RestartNoticeOnceAtTheFirstWantedCheck)
{
    NotifyTask task(true);
    params_.set("trappup", "on");
    ASSERT_TRUE(task.checkConfig());
    ASSERT_TRUE(task.checkConfig());
    EXPECT_EQ(restartMails, 1);
    EXPECT_EQ(trapped, std::vector<uint32_t>{NOTIFY_RESTART});
}

TEST_F(NotifyTaskSteps, AWakeUpOnlyRecordsTheTrapPassAndABurstIsOnePass)
{
    NotifyTask task(true);
    ASSERT_TRUE(task.checkConfig());
    trapped.clear();
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(post(NOTIFY_DEVICE_ATTACHED), 1);
    ASSERT_EQ(post(NOTIFY_LINK_CHANGED), 1);
    for (int i = 0; i < 12; ++i) {
        TaskMessage m = wake(NOTIFY_DEVICE_ATTACHED);
        // The event bit stays in the answer, so that it ends the wait.
        EXPECT_EQ(task.onMessage(&m), MSG_NOTIFY_EVENT);
    }
    EXPECT_TRUE(trapped.empty()) << "no trap is sent inside the message handler";
    EXPECT_EQ(task.dueTrapBits(), NOTIFY_DEVICE_ATTACHED);
    task.runDueTrapPasses();
    EXPECT_EQ(trapped.size(), 12u);
    const uint32_t left = notifyRing().trapPending();
    ASSERT_EQ(__builtin_popcount(left), 1) << "the link trap is not allowed and stays";
    EXPECT_EQ(notifyRing().slot(__builtin_ctz(left)).flags, NOTIFY_LINK_CHANGED);
    task.runDueTrapPasses();
    EXPECT_EQ(trapped.size(), 12u) << "nothing due any more";
}

TEST_F(NotifyTaskSteps, MessagesThatAskForNoTrapPass)
{
    NotifyTask task(true);
    const struct { uint32_t arg; uint32_t due; } cases[] = {
        {0x8000, 0}, {NOTIFY_STATUS_REPORT, 0}, {NOTIFY_RESTART | 0x10000, 0},
        {0x10000, 0x10000}, {NOTIFY_LINK_CHANGED, NOTIFY_LINK_CHANGED},
    };
    for (const auto& c : cases) {
        NotifyTask fresh(true);
        TaskMessage m = wake(c.arg);
        fresh.onMessage(&m);
        EXPECT_EQ(fresh.dueTrapBits(), c.due) << std::hex << c.arg;
    }
    TaskMessage changed{0, MSG_NETWORK_CHANGED, 0, 0};
    task.checkConfig();
    EXPECT_EQ(task.onMessage(&changed), MSG_NETWORK_CHANGED);
    EXPECT_TRUE(task.recheckPending());
}

TEST_F(NotifyTaskSteps, WithoutTrapSinksTheTrapBitsAreDropped)
{
    params_.set("mailto_", "admin@example.test", 1);
    params_.set("noti_dev_", "on", 1);
    NotifyTask task(false);
    ASSERT_TRUE(task.checkConfig());
    post(NOTIFY_DEVICE_DETACHED);
    task.sendTraps(NOTIFY_DEVICE_DETACHED);
    EXPECT_TRUE(trapped.empty());
    EXPECT_EQ(notifyRing().trapPending(), 0u);
    EXPECT_NE(notifyRing().mailPending(), 0u) << "the mail is still to be sent";
    task.sendEventMail();
    ASSERT_EQ(mailed.size(), 1u);
    EXPECT_EQ(mailed[0].flags, NOTIFY_DEVICE_DETACHED);
    EXPECT_EQ(notifyRing().mailPending(), 0u);
}

TEST_F(NotifyTaskSteps, SupplyEventsCarryTheInputBits)
{
    NotifyTask task(true);
    ASSERT_TRUE(task.checkConfig());
    postSupplyEvent(NOTIFY_SUPPLY_CHANGED, 0x2);
    task.sendTraps(NOTIFY_SUPPLY_CHANGED);
    ASSERT_FALSE(trapped.empty());
    EXPECT_EQ(trapped.back(), NOTIFY_SUPPLY_CHANGED);
}

} // namespace

namespace {

int mailboxPolls = 0;
int countPoll()
{
    ++mailboxPolls;
    return 1;
}

TEST_F(NotifyTaskSteps, AMailboxIsPolledWhenDueAndAtOnceWhenAsked)
{
    params_.set("pop3", "on");
    params_.set("pop3_srv", "pop.example.test");
    params_.set("pop3_usr", "box");
    StringParam* pwd = params::pop3_pwd();
    std::shared_ptr<const std::string> oldPwd = pwd->value();
    NotifyTask task(false);
    EXPECT_FALSE(task.checkConfig()) << "no password: nothing to poll";
    pwd->set("secret", -1);
    setMailboxPoller(countPoll);
    mailboxPolls = 0;

    // A mailbox alone makes the task active, with its restart notice.
    EXPECT_TRUE(task.checkConfig());
    EXPECT_EQ(restartMails, 1);
    task.pollMailboxWhenDue();
    EXPECT_EQ(mailboxPolls, 1);
    task.pollMailboxWhenDue();
    EXPECT_EQ(mailboxPolls, 1) << "the next poll is pop3_poll minutes away";
    EXPECT_GT(notifySecondsToNextPoll(), 50);

    TaskMessage now = wake(kNotifyPollMailboxNow);
    task.onMessage(&now);
    EXPECT_EQ(notifySecondsToNextPoll(), 0);
    task.pollMailboxWhenDue();
    EXPECT_EQ(mailboxPolls, 2);
    EXPECT_TRUE(trapped.empty()) << "the poll request is no trap event";

    setMailboxPoller(nullptr);
    pwd->set(oldPwd ? oldPwd->c_str() : "", -1);
}

} // namespace
