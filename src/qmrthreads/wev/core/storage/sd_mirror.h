// Copies of the configuration files on the SD card ("/var/slot1"), made
// when the model has the slot, SD synchronisation (`autoSync`) is on and the
// card is mounted read-write, with a device log file beside them that says
// which box wrote them.
#pragma once

#include <string>

// SD synchronisation is switched on: the model has the slot and `autoSync` is on.
bool sdSyncOn();
// The card takes copies now: synchronisation is on and a card is mounted
// read-write.
bool sdCardTakesCopies();

// Copies a file under "/flash" (the box path, or the same path under the
// root) to the same name under "/var/slot1", private (0600) and replacing
// the old copy only once complete. 1 when copied (and the log file
// written), else 0.
int mirrorToSdCard(const char* flashPath);

// Removes from the card the temporary files that a kill or a power loss left
// in the middle of a copy: "<name>.tmp" beside the card's "params.dat" or
// beside the copy of a file the box keeps under "/flash" (keys among them),
// each with a line on stderr. Other files on the card stay. For a card
// mounted read-write; the number removed.
int removeInterruptedCardCopies();


// Writes "<dir>/<default_name>.log" (dir a box path or the same path under
// the root), at most once per minute; 1 when written or not yet due, 0 when
// it cannot be written.
int writeLogFile(const char* dir);

// Tests only: the next writeLogFile writes again.
void resetLogFileStampForTest();

// "/var/slot1/params.dat" under the root: the card's copy of the parameter file.
std::string paramFileSdPath();
// From now on every save of the parameter file also writes the card's copy
// while the card takes copies (and then the log file beside it), and a
// factory reset moves the copy aside to "params.bup" while `autoSync` is on.
void keepParamFileOnSdCard();
