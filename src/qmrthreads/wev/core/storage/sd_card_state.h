// The state of the SD card slot as the card watcher last recorded it:
// 0 removed (also: no slot, or no watcher running), 1 unusable,
// 2 write-protected, 3 mounted read-write (the card takes copies).
#pragma once

enum : int {
    kSdCardRemoved = 0,
    kSdCardUnusable = 1,
    kSdCardWriteProtected = 2,
    kSdCardMounted = 3,
};

int sdCardState();
void setSdCardState(int state);
// The card is mounted read-write.
bool sdCardMounted();
