#include "core/storage/sd_card_state.h"

#include <atomic>

namespace {
// Written by the card watcher's thread, read by whoever saves or copies.
std::atomic<int> cardState{kSdCardRemoved};
}

int sdCardState()
{
    return cardState.load(std::memory_order_acquire);
}

void setSdCardState(int state)
{
    cardState.store(state, std::memory_order_release);
}

bool sdCardMounted()
{
    return sdCardState() == kSdCardMounted;
}
