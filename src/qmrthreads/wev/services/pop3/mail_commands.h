// What a command mail does: the status answers, "set parameters" from the
// body and "update" from an attachment. Everything that changes the box
// needs the current TAN (mailTan) in the mail, on every path; a mail that
// is malformed changes nothing and is answered with the reason.
//
// The handler decides and composes; the POP3 side reads the mail, sends the
// answer, commits the parameter changes and starts the update after the
// session (so a restart never comes before the mail was deleted).
#pragma once

#include "services/pop3/mail_message.h"

#include <string>
#include <string_view>
#include <vector>

// Results of readUpdateAttachment below 0, with their texts.
enum UpdateAttachmentResult {
    kAttachmentUnclosed = -4,
    kAttachmentNoTan = -3,
    kAttachmentWrongTan = -2,
    kAttachmentCorrupted = -1,
};
const char* updateAttachmentText(int result);

// What handling one mail came to.
struct MailOutcome {
    std::string answer;   // the body of the answer; empty: none
    bool refused = false; // counted in mailsRefused
    int paramFlags = 0;   // OR of the Param::set results of "set parameters"
    int updateFd = -1;    // a checked update file for "Flash Keeper"
};

// Whether the command needs the whole mail (not only its header).
bool mailCommandNeedsBody(int command);

// "set parameters": the lines up to one that begins with '-' or '.', each
// "<name> = <value>" (quoted-printable decoded when encoding says so). Only
// lines after a "tan = <TAN>" line that names the current TAN exactly set
// anything; that TAN is then renewed. tan null: authorised from the start.
// names: when not null, only parameters whose name begins with one of them.
// Returns the OR of the Param::set results; *authorized tells whether the
// TAN was found.
int setParametersFromLines(const std::vector<std::string_view>& lines, int encoding, const char* tan,
                           const std::vector<std::string>* names, bool* authorized);

// "update": the TAN from a text part, then the first application part after
// it decoded from base64 into a temporary file. A descriptor (positioned at
// the start) or an UpdateAttachmentResult.
int readUpdateAttachment(const MailMessage& mail, const char* tan);

// Handles a mail whose header (and body, when the command needs it) was
// read. The mail's size in bytes decides against `pop3_limit` first.
MailOutcome handleMailCommand(const MailMessage& mail, int command, long long size);

// Answer texts.
std::string mailHelpText();
std::string refusedMailAnswer(const char* reason);
