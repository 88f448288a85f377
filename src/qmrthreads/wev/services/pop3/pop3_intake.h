// Reading the box's POP3 mailbox: one session per poll (USER/PASS or APOP,
// plain or TLS at once), the mails in the order of the LIST answer, each
// read, handled as a command mail, answered and deleted whatever the
// outcome. Runs on the "Notify" thread, which calls pollPop3 through the
// poller it is given at start-up.
//
// Parameter changes of a "set parameters" mail are saved after that mail;
// the network change broadcast, a restart and an update start only after
// QUIT, so the mail that asked for them is deleted first and a restart
// never handles it twice.
#pragma once

#include <string>

struct Pop3Status {
    int progress;         // highest progress code reached (1 to 7)
    int error;            // last failure code, never cleared
    int received;         // mails handled from the mailbox
    int refused;          // too large, malformed, replies, unknown commands
    std::string tlsInfo;  // TLS description of the last session that got through STAT
};
Pop3Status pop3Status();

// One poll of the mailbox when `pop3` is on. 1 when every mail was handled
// without a failure of the session.
int pollPop3();

// The digest line of an APOP login: the time stamp of the greeting (from
// the last '<' before its last '>', at least 8 characters) and the
// password; the 32 lower-case hex digits into hex (33 bytes). false when the
// greeting has no usable time stamp.
bool apopDigest(const char* greeting, size_t length, const char* password, char* hex);
