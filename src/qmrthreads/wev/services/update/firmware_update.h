// Firmware and software updates. An image file (a 128-byte header and its
// payload) arrives through the update page or a mail and waits in a
// temporary file. precheckUpdateFile looks at it before anything starts;
// "Flash Keeper" then checks the CRC and that the image fits this box, writes
// it (a firmware image over the system's flash partition, a software package
// unpacked into the flash file system), and restarts the program into it:
// exit code 2 after firmware, 1 after a software package.
//
// The state the update page shows is in core/storage/update_status.h. One
// update runs at a time, and a stop of the box waits while an image is being
// written.
#pragma once

#include "core/product/firmware_image_header.h"
#include "core/task/task.h"

// 0 good, -9 bad descriptor, -7 an update is under way, -10 the header
// cannot be read, -11 the file is shorter than header and payload, -12 the
// magic is wrong. Returns the update state to Prenatal for a new attempt.
int precheckUpdateFile(int fd);

class UpdateTask : public Task {
public:
    // Takes over fd (closed when the task ends). restart: stop the program
    // after a successful update.
    UpdateTask(int fd, bool restart);
    ~UpdateTask() override;
    void run() override;

private:
    bool verify(long long fileSize);
    bool writeFirmware(long long fileSize);
    bool writeSoftwarePackage();
    [[noreturn]] void end(int state, int error);

    char* block_ = nullptr;
    FirmwareImageHeader header_;
    int fd_;
    bool restart_;
};

// Claims the update and starts "Flash Keeper" on fd (which it takes over):
// the task id, -7 when another update is under way (fd is closed then), -1
// when the task could not start.
int startUpdate(int fd, bool restart);

// The stop sequence's barrier: an image is being verified or written.
void holdStopsWhileUpdating();
