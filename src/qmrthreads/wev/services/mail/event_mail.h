// The mails of the notification task: the event mail built from the ring's
// events, the restart notice and the status report. Every body starts with
// the same framed banner; the subject names the last kind of event present,
// the box and the time. All texts use CR LF line ends and are not
// translated.
#pragma once

#include "core/notify/notify_event.h"

#include <cstdint>
#include <string>
#include <vector>

// Composes and sends the mail of these events plus extraFlags
// (NOTIFY_STATUS_REPORT, NOTIFY_RESTART) to the recipients whose switches
// want one of the kinds present. false when nobody wants it or it failed.
// The notification task registers it as its mail sender.
bool sendEventMail(const std::vector<NotifyEvent>& events, uint32_t extraFlags);

// The recipients (1, 2) that want a mail of these flags, and the subject
// title of the last kind present; empty title when no kind is present.
struct EventMailPlan {
    bool to[2] = {false, false};
    std::string title;
};
EventMailPlan planEventMail(uint32_t flags);

std::string eventMailSubject(const std::string& title);
std::string eventMailBody(const std::vector<NotifyEvent>& events, uint32_t flags);

// Parts of the bodies, each with CR LF lines.
std::string statusBanner(const std::string& title);
std::string usbDeviceList();
std::string usbEventSection(const std::vector<NotifyEvent>& events);
std::string powerSection(const std::vector<NotifyEvent>& events);
std::string linkSection(const std::vector<NotifyEvent>& events);
std::string sdCardSection(const std::vector<NotifyEvent>& events);

// The product name without its trailing run of digits and '-' ("ABC-12" is
// "ABC"), as the texts name the box.
std::string productBaseName(const char* productName);

// Event mails per recipient since the task started.
int eventMailsSent(int recipient);
int eventMailsFailed(int recipient);
void clearEventMailCounters();
