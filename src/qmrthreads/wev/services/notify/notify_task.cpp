#include "services/notify/notify_task.h"

#include "core/notify/notify_event.h"
#include "core/params/param_handles.h"
#include "core/task/tick_clock.h"
#include "core/util/random_text.h"

#include <ctime>
#include <new>

namespace {

constexpr int kStackSize = 20480;
constexpr int kFirstWaitSeconds = 15;
constexpr int kLoopWaitSeconds = 30;
constexpr uint64_t kStatusCheckTicks = 36000;  // 6 minutes
// The trap kinds a wake-up message may ask for.
constexpr uint32_t kTrapEventBits = 0xff20f00;
constexpr uint32_t kTrapHighBit = 0x10000;

std::atomic<EventMailSender> mailSender{nullptr};
std::atomic<MailboxPoller> mailboxPoller{nullptr};
// The boardTicks/100 second of the next mailbox poll; 0 polls at once.
std::atomic<int64_t> nextPollSecond{0};
std::atomic<int> trapsSent{0};

bool recipientWantsMail(int n)
{
    StringParam* to = params::mailto(n);
    if (!to || !to->hasValue() || to->text().empty())
        return false;
    return params::noti_dev(n)->isOn() || params::noti_act(n)->isOn() || params::noti_stat(n)->isOn()
           || params::noti_pup(n)->isOn();
}

// A mailbox with a server and credentials to poll.
bool pop3Configured()
{
    auto set = [](StringParam* p) { return p && p->hasValue() && !p->text().empty(); };
    return params::pop3()->isOn() && set(params::pop3_srv()) && set(params::pop3_usr())
           && set(params::pop3_pwd());
}

int64_t nowSecond()
{
    return static_cast<int64_t>(boardTicks() / 100);
}

bool allowsNoKind(uint32_t)
{
    return false;
}

} // namespace

NotifyRing& notifyRing()
{
    static NotifyRing ring;
    return ring;
}

void setEventMailSender(EventMailSender sender)
{
    mailSender.store(sender);
}

void setMailboxPoller(MailboxPoller poller)
{
    mailboxPoller.store(poller);
}

int notifySecondsToNextPoll()
{
    const int64_t left = nextPollSecond.load() - static_cast<int64_t>((boardTicks() + 50) / 100);
    return left > 0 ? static_cast<int>(left) : 0;
}

int notifyTrapsSent()
{
    return trapsSent.load();
}

NotifyTask::NotifyTask(bool trapsConfigured) : Task("Notify"), trapsConfigured_(trapsConfigured) {}

NotifyTask::~NotifyTask()
{
    // Producers find the ring closed from now on; the ring outlives us.
    if (notifyTaskId() == taskId() && taskId() > 0) {
        notifyRing().close();
        setNotifyEventIntake(nullptr);
        setNotifyTaskId(-1);
    }
}

int NotifyTask::postEvent(uint32_t flags, int port, const char* manufacturer, const char* product,
                          const char* serial, const char* client)
{
    return notifyRing().post(flags, port, manufacturer, product, serial, client);
}

uint32_t NotifyTask::onMessage(TaskMessage* msg)
{
    if (msg->code & MSG_NOTIFY_EVENT) {
        const uint32_t a = static_cast<uint32_t>(msg->arg1);
        if (a == kNotifyPollMailboxNow)
            nextPollSecond.store(nowSecond());
        else if (a & kTrapEventBits)
            dueTrapBits_.fetch_or(a & kTrapEventBits);
        else if (!(a & (NOTIFY_STATUS_REPORT | NOTIFY_RESTART)) && (a & kTrapHighBit))
            dueTrapBits_.fetch_or(kTrapHighBit);
    }
    if (msg->code & MSG_NETWORK_CHANGED)
        recheckConfig_.store(true);
    // The event bit stays, so that it ends the wait and the loop runs the
    // trap pass outside of it.
    return msg->code;
}

void NotifyTask::runDueTrapPasses()
{
    if (uint32_t bits = dueTrapBits_.exchange(0))
        sendTraps(bits);
}

void NotifyTask::sendTraps(uint32_t bits)
{
    const TrapOps* ops = trapOps();
    if (!trapsConfigured_ || !ops) {
        notifyRing().clearTrapPending();
        return;
    }
    if (bits & NOTIFY_RESTART) {
        if (params::trappup()->isOn() && ops->sendRestartTrap) {
            ops->sendRestartTrap();
            trapsSent.fetch_add(1);
        }
        return;
    }
    std::vector<NotifyEvent> events = notifyRing().takeTrapEvents(ops->allows ? ops->allows : allowsNoKind);
    for (const NotifyEvent& e : events) {
        ops->sendEventTrap(e);
        trapsSent.fetch_add(1);
    }
}

void NotifyTask::sendMail(const std::vector<NotifyEvent>& events, uint32_t extraFlags)
{
    if (EventMailSender sender = mailSender.load())
        sender(events, extraFlags);
}

void NotifyTask::sendEventMail()
{
    if (!mailSender.load() || notifyRing().mailPending() == 0)
        return;
    std::vector<NotifyEvent> events = notifyRing().takeMailEvents();
    if (!events.empty())
        sendMail(events, 0);
}

bool NotifyTask::checkConfig()
{
    pop3Ready_ = pop3Configured();
    notifyWanted_ = trapsConfigured_ || recipientWantsMail(1) || recipientWantsMail(2);
    if (notifyWanted_ || pop3Ready_)
        notifyRing().open();
    else
        notifyRing().close();
    if (!restartNoticeSent_ && (notifyWanted_ || pop3Ready_)) {
        restartNoticeSent_ = true;
        sendTraps(NOTIFY_RESTART);
        sendMail({}, NOTIFY_RESTART);
    }
    return notifyWanted_ || pop3Ready_;
}

bool NotifyTask::mailboxPollDue() const
{
    const int64_t due = nextPollSecond.load();
    return due == 0 || nowSecond() >= due;
}

void NotifyTask::pollMailboxWhenDue()
{
    MailboxPoller poller = mailboxPoller.load();
    if (!poller || !mailboxPollDue())
        return;
    // The next poll is counted from the end of this one; a request that
    // came during it is kept.
    int64_t asked = nextPollSecond.load();
    poller();
    const int64_t next = static_cast<int64_t>((boardTicks() + 50) / 100) + 60LL * params::pop3_poll()->value();
    nextPollSecond.compare_exchange_strong(asked, next);
}

bool NotifyTask::statusReportDueNow(const struct tm& now)
{
    return checkStatusSchedule(schedule_, now);
}

// Returns early when the configuration is to be read again; the trap
// passes asked for meanwhile run between the waits.
void NotifyTask::waitSeconds(int seconds)
{
    const uint64_t deadline = boardTicks() + 100u * static_cast<uint64_t>(seconds);
    for (uint64_t now = boardTicks(); now < deadline; now = boardTicks()) {
        waitFor(static_cast<int64_t>(deadline - now), -1);
        runDueTrapPasses();
        if (recheckConfig_.load())
            return;
        if (nextPollSecond.load() != 0 && mailboxPollDue() && pop3Ready_)
            return;
    }
}

void NotifyTask::run()
{
    if (notifyTaskId() != -1)
        exit();
    setNotifyTaskId(taskId());
    setNotifyEventIntake(postEvent);
    newTan(nullptr);
    waitSeconds(kFirstWaitSeconds);
    notifyRing().clearMailPending();
    notifyRing().clearTrapPending();
    recheckConfig_.store(false);
    checkConfig();
    uint64_t statusDue = 0;
    for (;;) {
        if (pop3Ready_)
            pollMailboxWhenDue();
        waitSeconds(kLoopWaitSeconds);
        if (recheckConfig_.exchange(false) && checkConfig())
            statusDue = boardTicks();
        if (!notifyWanted_)
            continue;
        sendEventMail();
        if (boardTicks() >= statusDue) {
            time_t t = time(nullptr);
            struct tm now {};
            if (localtime_r(&t, &now) && statusReportDueNow(now))
                sendMail({}, NOTIFY_STATUS_REPORT);
            statusDue = boardTicks() + kStatusCheckTicks;
        }
    }
}

int startNotifyTask(bool trapsConfigured)
{
    auto* task = new (std::nothrow) NotifyTask(trapsConfigured);
    if (!task)
        return -1;
    int id = task->start(kStackSize, 0);
    if (id < 0)
        delete task;
    return id;
}

void postSupplyEvent(uint32_t event, uint32_t inputBits)
{
    if (postNotifyEvent(event, static_cast<int>(inputBits & 0x3), nullptr, nullptr, nullptr, nullptr))
        postNotifyMessage(event);
}
