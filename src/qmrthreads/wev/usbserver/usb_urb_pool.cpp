#include "usbserver/usb_urb_pool.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "usbserver/usb_urb.h"

namespace {

// Kept per session: enough buffers for a 512 KiB window in flight (every IN
// transfer, and OUT transfers up to that size, then run from the pool alone)
// and sets for a few transfers at once. A session keeps at most about 0.5 MiB
// this way, and only after it moved that much at once.
constexpr int kKeptBuffers = 8;
constexpr int kKeptSets = 8;

struct UrbPool {
    void* buffers[kKeptBuffers] = {};
    int bufferCount = 0;
    UrbSet* sets[kKeptSets] = {};
    int setCount = 0;

    UrbPool() = default;
    UrbPool(const UrbPool&) = delete;
    UrbPool& operator=(const UrbPool&) = delete;
    ~UrbPool()
    {
        for (int i = 0; i < bufferCount; ++i)
            free(buffers[i]);
        for (int i = 0; i < setCount; ++i)
            delete sets[i];
    }
};

UrbPool& pool()
{
    static thread_local UrbPool threadPool;
    return threadPool;
}

bool growSlots(UrbSet& set, int slots)
{
    if (set.slotCapacity >= slots)
        return true;
    auto* urbs = static_cast<usbdevfs_urb*>(calloc(static_cast<size_t>(slots), sizeof(usbdevfs_urb)));
    auto* inKernel = static_cast<uint8_t*>(calloc(static_cast<size_t>(slots), 1));
    if (!urbs || !inKernel) {
        free(urbs);
        free(inKernel);
        return false;
    }
    free(set.urbs);
    free(set.inKernel);
    set.urbs = urbs;
    set.inKernel = inKernel;
    set.slotCapacity = slots;
    return true;
}

} // namespace

void* takeUrbBuffer(uint32_t length)
{
    if (length > kUrbMaxLength)
        return malloc(length);
    UrbPool& p = pool();
    if (p.bufferCount > 0)
        return p.buffers[--p.bufferCount];
    return malloc(kUrbMaxLength);
}

void giveUrbBuffer(void* buffer, uint32_t length)
{
    if (!buffer)
        return;
    UrbPool& p = pool();
    if (length > kUrbMaxLength || p.bufferCount == kKeptBuffers) {
        free(buffer);
        return;
    }
    p.buffers[p.bufferCount++] = buffer;
}

UrbSet* takeUrbSet(int slots)
{
    if (slots < 1)
        slots = 1;
    UrbPool& p = pool();
    UrbSet* set = p.setCount > 0 ? p.sets[--p.setCount] : new (std::nothrow) UrbSet;
    if (!set)
        return nullptr;
    if (!growSlots(*set, slots)) {
        giveUrbSet(set);
        return nullptr;
    }
    set->clear(slots);
    return set;
}

void giveUrbSet(UrbSet* set)
{
    if (!set)
        return;
    UrbPool& p = pool();
    if (p.setCount == kKeptSets) {
        delete set;
        return;
    }
    p.sets[p.setCount++] = set;
}

UrbPoolHolding urbPoolHolding()
{
    const UrbPool& p = pool();
    return UrbPoolHolding{p.bufferCount, p.setCount};
}
