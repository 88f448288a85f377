// The state of a firmware or software update, for the update page and the
// mail commands that start updates and show their progress. One update runs
// at a time: whoever starts one claims it first.
#pragma once

#include <cstddef>

enum : int {
    kUpdatePrenatal = 0,    // nothing under way
    kUpdateError = 1,       // the last update failed (updateError says why)
    kUpdateAlive = 2,       // claimed, starting
    kUpdateVerifying = 3,
    kUpdateWorking = 4,     // writing
    kUpdateWaitingForRestart = 5,
    kUpdateRestart = 6,
};

// updateError values.
enum : int {
    kUpdateBadImage = 7,        // bad header or CRC
    kUpdateUnreadable = 101,    // the file cannot be examined
    kUpdateWriteFailed = 102,   // the image or package could not be written whole
    kUpdateIncompatible = 255,  // refused by the compatibility check
};

int updateState();
int updateError();
int updateProgress();
void setUpdateProgress(int percent);

// Takes the update for the caller when none is under way (state below
// Alive): state Alive, error, progress and description cleared; true when
// taken.
bool claimUpdate();
// Back to Prenatal for a new attempt, unless an update is under way; false
// then.
bool resetUpdateStatus();
// Records the end (or a step) of the running update.
void setUpdateState(int state, int error);
void setUpdateDescription(const char* text);
// A copy of the description (the accepted image, or why it was refused).
void copyUpdateDescription(char* out, size_t size);

// The state as text: "Prenatal", "Error:%d Done:%d" (only into buffers of
// more than 32 bytes), "Alive", "Verifying", "Working", "Waiting for
// Restart", "Restart", "Unexpected!?"; empty when it does not fit.
char* updateStateText(char* buffer, int size);

// The image is being verified or written: a stop must wait for it.
bool updateWriting();
