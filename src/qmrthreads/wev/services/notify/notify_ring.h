// The notification task's ring of the 16 newest events. Producers on any
// thread store events; the task takes what its mails and traps report.
//
// Every bit of work on the ring, the write index and the two pending masks
// happens under the ring's own mutex, held only while records are copied.
// Whoever reports slots takes them out under that lock in the same step, so
// an event that arrives while a mail is being sent keeps its pending bits
// and is reported by the next pass.
#pragma once

#include "core/notify/notify_event.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

class NotifyRing {
public:
    static constexpr int kSlots = 16;

    NotifyRing();

    // The ring takes events only while it is open (the task has something to
    // do with them); closing it keeps what was stored.
    void open();
    void close();
    bool isOpen() const { return open_.load(); }

    // Stores one event in the next slot, overwriting the oldest after 16.
    // Texts are cut to their fields; a null text is stored as "-?-". Supply
    // and link events keep the texts of the slot's former event. 1 stored,
    // 0 refused (ring closed).
    int post(uint32_t flags, int port, const char* manufacturer, const char* product, const char* serial,
             const char* client);

    // The events waiting for a mail, oldest first; their mail bits are
    // cleared in the same locked step.
    std::vector<NotifyEvent> takeMailEvents();

    // The events waiting for a trap that allowed() lets through, oldest
    // first; their trap bits are cleared. Bits of other kinds stay set.
    std::vector<NotifyEvent> takeTrapEvents(bool (*allowed)(uint32_t flags));
    // Clears every pending bit (the task's start, traps not configured).
    void clearMailPending();
    void clearTrapPending();

    uint32_t mailPending() const;
    uint32_t trapPending() const;
    // A copy of slot i (0..15).
    NotifyEvent slot(int i) const;

private:
    std::vector<NotifyEvent> takeLocked(uint32_t& pending, bool (*allowed)(uint32_t));

    mutable std::mutex mutex_;
    std::atomic<bool> open_{false};
    NotifyEvent ring_[kSlots];
    int index_ = 0;
    uint32_t mailPending_ = 0;
    uint32_t trapPending_ = 0;
};
