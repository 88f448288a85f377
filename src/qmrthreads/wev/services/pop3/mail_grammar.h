// The words of a command mail: the keywords of its subject ("cmd: get
// status"), the content types and transfer encodings of its headers, and
// the subject parser that turns the words into a command code.
#pragma once

#include <cstddef>

// Token codes of the keywords; kTokenNone for the end of the text or an
// unknown word.
enum MailToken {
    kTokenCmd = 0,
    kTokenRe = 1,
    kTokenAck = 2,
    kTokenGet = 3,
    kTokenSet = 4,
    kTokenPrint = 5,
    kTokenPrintA = 6,
    kTokenStatus = 7,
    kTokenServicePage = 8,
    kTokenAttachment = 9,
    kTokenParameters = 10,
    kTokenHidden = 11,
    kTokenMailQueue = 12,
    kTokenClean = 13,
    kTokenJobHistory = 14,
    kTokenPageCounter = 15,
    kTokenUpdate = 21,
    kTokenErase = 22,
    kTokenFileList = 23,
    kTokenZyt = 24,
    kTokenNone = 25,
};

// Content types and transfer encodings; kTokenNone when none matches.
enum MailContent {
    kContentText = 26,
    kContentApplication = 27,
    kContentMultipart = 28,
    kContentImage = 29,
    kEncoding7Bit = 31,
    kEncoding8Bit = 32,
    kEncodingBase64 = 33,
    kEncodingQuotedPrintable = 34,
};

// Command codes of a subject.
enum MailCommand {
    kCommandNone = 0,
    kCommandGetStatus = 6,
    kCommandGetServicePage = 7,
    kCommandPrint = 8,
    kCommandPrintAttachment = 9,
    kCommandGetHidden = 10,
    kCommandGetParameters = 11,
    kCommandGetFileList = 12,
    kCommandGetJobHistory = 13,
    kCommandGetPageCounter = 14,
    kCommandSetParameters = 15,
    kCommandUpdate = 16,
    kCommandReply = 17,
    kCommandErase = 18,
    kCommandCleanMailQueue = 19,
};

// After blanks and tabs at *text, the first keyword of the table that the
// text begins with (a letter may be in upper case) and that a delimiter
// (end, blank, tab, '/', CR, LF) follows; *text moves past it. kTokenNone
// (and *text unmoved) when none does.
int matchCommandKeyword(const char** text, const char* end);
int matchContentType(const char** text, const char* end);
int matchTransferEncoding(const char** text, const char* end);

// The command code of a subject.
int parseMailCommand(const char* subject, size_t length);
