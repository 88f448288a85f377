// The "Notify" task: collects the box's events in the ring, turns them into
// event mails and SNMP traps, sends a restart notice once after start and a
// status report at the configured day and time.
//
// Producers reach the ring through postNotifyEvent (core/notify), whose
// intake this task registers while it runs; the ring itself lives for the
// whole process, so a producer racing the task's end finds it closed, never
// freed.
//
// The trap pass never runs inside a wait: a wake-up message only records
// which trap kinds are due, and the task's own loop runs the pass between
// two waits. A burst of events (a hub full of devices) is sent in one pass.
#pragma once

#include "core/task/task.h"
#include "services/notify/notify_ring.h"
#include "services/notify/status_schedule.h"

#include <atomic>
#include <cstdint>
#include <vector>

// The ring that every "Notify" task of the process uses.
NotifyRing& notifyRing();

// Sends an event mail: the events taken from the ring, or none with the
// status report (NOTIFY_STATUS_REPORT) or restart notice (NOTIFY_RESTART)
// bit in extraFlags. true when it went to every recipient that wants it.
// The mail client registers it; without it the mail bits stay pending.
using EventMailSender = bool (*)(const std::vector<NotifyEvent>& events, uint32_t extraFlags);
void setEventMailSender(EventMailSender sender);

// Polls the mailbox for command mails once. The POP3 intake registers it;
// without it the task polls nothing.
using MailboxPoller = int (*)();
void setMailboxPoller(MailboxPoller poller);

// The message argument (with MSG_NOTIFY_EVENT) that asks for a mailbox poll
// at once.
constexpr uint32_t kNotifyPollMailboxNow = 0x8000;
// Seconds until the next mailbox poll (0: due now).
int notifySecondsToNextPoll();

// Traps sent since the task started.
int notifyTrapsSent();

class NotifyTask : public Task {
public:
    explicit NotifyTask(bool trapsConfigured);
    ~NotifyTask() override;

    void run() override;
    uint32_t onMessage(TaskMessage* msg) override;

    // The intake of postNotifyEvent while a "Notify" task runs.
    static int postEvent(uint32_t flags, int port, const char* manufacturer, const char* product,
                         const char* serial, const char* client);

    // Reads the configuration: whether events are wanted (a trap sink, or a
    // recipient with a mail switch on); opens or closes the ring by that;
    // the first time something is wanted sends the restart notice. Returns
    // whether events are wanted.
    bool checkConfig();
    // Runs the trap passes that messages asked for since the last call.
    void runDueTrapPasses();
    // The trap pass for bits: the restart trap for NOTIFY_RESTART, else one
    // trap per pending ring slot of an allowed kind.
    void sendTraps(uint32_t bits);
    // Hands the pending events to the mail sender, which counts and reports
    // its own failures. Without a sender the events stay pending.
    void sendEventMail();
    // Whether the notification wants a status report now (local time).
    bool statusReportDueNow(const struct tm& now);

    uint32_t dueTrapBits() const { return dueTrapBits_.load(); }
    bool recheckPending() const { return recheckConfig_.load(); }

    // Polls the mailbox when the poll is due (or was asked for) and sets the
    // time of the next one, `pop3_poll` minutes later.
    void pollMailboxWhenDue();

private:
    void waitSeconds(int seconds);
    bool mailboxPollDue() const;
    void sendMail(const std::vector<NotifyEvent>& events, uint32_t extraFlags);

    const bool trapsConfigured_;
    std::atomic<bool> recheckConfig_{true};
    std::atomic<uint32_t> dueTrapBits_{0};
    bool notifyWanted_ = false;
    bool pop3Ready_ = false;
    bool restartNoticeSent_ = false;
    StatusSchedule schedule_;
};

// Start-up: creates and starts "Notify" on models with e-mail and traps.
// The task id, or -1.
int startNotifyTask(bool trapsConfigured);

// The board's supply-change sink: posts the supply event with the input
// bits (bit 0 input 1 present, bit 1 input 2 present) as its port.
void postSupplyEvent(uint32_t event, uint32_t inputBits);
