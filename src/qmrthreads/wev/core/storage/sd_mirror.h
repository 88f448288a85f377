// Copies of the configuration files on the SD card ("/var/slot1"), made
// when the model has the slot, SD synchronisation (`autoSync`) is on and the
// card is mounted read-write, with a device log file beside them that says
// which box wrote them.
#pragma once

// Copies a file under "/flash" (the box path, or the same path under the
// root) to the same name under "/var/slot1", private (0600) and replacing
// the old copy only once complete. 1 when copied (and the log file
// written), else 0.
int mirrorToSdCard(const char* flashPath);

// Mirrors every existing certificate and key file except the self-signed
// pair, then the CA files "/flash/????????.0". 1 when all were copied or
// synchronisation is off; 0 at the first failed copy.
int mirrorCertsToSdCard();

// Writes "<dir>/<default_name>.log" (dir a box path or the same path under
// the root), at most once per minute; 1 when written or not yet due, 0 when
// it cannot be written.
int writeLogFile(const char* dir);

// Tests only: the next writeLogFile writes again.
void resetLogFileStampForTest();
