#include "services/notify/notify_ring.h"

#include <cstring>

namespace {

constexpr const char* kMissingText = "-?-";

template <size_t N>
void copyText(char (&field)[N], const char* text)
{
    if (!text)
        text = kMissingText;
    size_t n = strnlen(text, N - 1);
    memcpy(field, text, n);
    field[n] = '\0';
}

bool keepsFormerTexts(uint32_t flags)
{
    return flags == NOTIFY_SUPPLY_CHANGED || flags == NOTIFY_LINK_CHANGED;
}

} // namespace

NotifyRing::NotifyRing()
{
    for (NotifyEvent& e : ring_)
        fillNotifyEvent(e, 0, -1, nullptr, nullptr, nullptr, nullptr);
}

void NotifyRing::open()
{
    open_.store(true);
}

void NotifyRing::close()
{
    open_.store(false);
}

int NotifyRing::post(uint32_t flags, int port, const char* manufacturer, const char* product, const char* serial,
                     const char* client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_.load())
        return 0;
    NotifyEvent& e = ring_[index_];
    e.flags = flags;
    e.port = port;
    if (!keepsFormerTexts(flags)) {
        copyText(e.manufacturer, manufacturer);
        copyText(e.product, product);
        copyText(e.serial, serial);
        copyText(e.client, client);
    }
    mailPending_ |= 1u << index_;
    trapPending_ |= 1u << index_;
    index_ = (index_ + 1) % kSlots;
    return 1;
}

// Oldest first: the slot after the newest one comes first.
std::vector<NotifyEvent> NotifyRing::takeLocked(uint32_t& pending, bool (*allowed)(uint32_t))
{
    std::vector<NotifyEvent> out;
    for (int k = 0; k < kSlots; ++k) {
        const int i = (index_ + k) % kSlots;
        const uint32_t bit = 1u << i;
        if (!(pending & bit) || (allowed && !allowed(ring_[i].flags)))
            continue;
        out.push_back(ring_[i]);
        pending &= ~bit;
    }
    return out;
}

std::vector<NotifyEvent> NotifyRing::takeMailEvents()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return takeLocked(mailPending_, nullptr);
}

std::vector<NotifyEvent> NotifyRing::takeTrapEvents(bool (*allowed)(uint32_t flags))
{
    std::lock_guard<std::mutex> lock(mutex_);
    return takeLocked(trapPending_, allowed);
}

void NotifyRing::clearMailPending()
{
    std::lock_guard<std::mutex> lock(mutex_);
    mailPending_ = 0;
}

void NotifyRing::clearTrapPending()
{
    std::lock_guard<std::mutex> lock(mutex_);
    trapPending_ = 0;
}

uint32_t NotifyRing::mailPending() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return mailPending_;
}

uint32_t NotifyRing::trapPending() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return trapPending_;
}

NotifyEvent NotifyRing::slot(int i) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return ring_[(i % kSlots + kSlots) % kSlots];
}
