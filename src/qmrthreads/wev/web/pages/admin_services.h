// What the security and maintenance pages need of the services and the USB
// server: the firmware update, the TLS descriptions of the last sessions,
// the SD card's label and the web session counts. Start-up registers the
// real ones; until then (and in tests that register none) the pages see no
// update service, no sessions and empty descriptions.
#pragma once

#include <string>

struct AdminServiceOps {
    // The update service's look at an uploaded image (0 good, -7 an update
    // is under way, other negative values a bad file) and its start, which
    // claims the one update atomically (the task id, -7 when another one
    // won the claim; the descriptor is taken over either way).
    int (*precheckUpdate)(int fd);
    int (*startUpdate)(int fd, bool restart);
    // TLS descriptions ("<protocol> <cipher description>") of the last USB
    // server, POP3 and SMTP sessions; "" before any.
    std::string (*usbTlsInfo)();
    std::string (*pop3TlsInfo)();
    std::string (*smtpTlsInfo)();
    // Whether the SD card is mounted, and its volume label ("" when it has
    // none or there is no card).
    bool (*sdCard)(std::string* label);
    // The live web sessions of users and of administrators.
    void (*countSessions)(int* users, int* admins);
};

// Registers the operations (null: none); a null member is a service that
// is not there.
void setAdminServiceOps(const AdminServiceOps* ops);
const AdminServiceOps& adminServices();
