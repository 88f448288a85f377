#include "services/pop3/mail_grammar.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

int command(const char* subject)
{
    return parseMailCommand(subject, strlen(subject));
}

TEST(ParseMailCommand, SubjectsAndTheirCodes)
{
    struct Case {
        const char* subject;
        int code;
    };
    const Case cases[] = {
        {"cmd: get status", kCommandGetStatus},
        {"CMD: GET STATUS", kCommandGetStatus},
        {"Cmd: Get Status of the lab box", kCommandGetStatus},
        {"cmd:get status", kCommandNone},  // "cmd:" needs a delimiter after it
        {"cmd:get", kCommandNone},
        {"Re: cmd: get status", kCommandReply},
        {"RE: anything", kCommandReply},
        {"cmd: ack get status", kCommandGetStatus},
        {"cmd: get ack status", kCommandGetStatus},
        {"cmd: print", kCommandPrint},
        {"cmd: print something", kCommandPrint},
        {"cmd: print status", kCommandNone},
        {"cmd: print attachment", kCommandPrintAttachment},
        {"cmd: printa x", kCommandPrintAttachment},
        {"cmd: get servicepage", kCommandGetServicePage},
        {"cmd: get parameters", kCommandGetParameters},
        {"cmd: get hidden", kCommandGetHidden},
        {"cmd: get jobhistory", kCommandGetJobHistory},
        {"cmd: get filelist", kCommandGetFileList},
        {"cmd: get pagecounter", kCommandGetPageCounter},
        {"cmd: set parameters", kCommandSetParameters},
        {"cmd:\tset\tparameters", kCommandSetParameters},
        {"cmd: set status", kCommandNone},
        {"cmd: update zyt", kCommandUpdate},
        {"cmd: update", kCommandNone},
        {"cmd: erase", kCommandErase},
        {"cmd: clean mailqueue", kCommandCleanMailQueue},
        {"cmd: cmd: get status", kCommandNone},
        {"cmd: help", kCommandNone},
        {"cmd:", kCommandNone},
        {"", kCommandNone},
        {"hello cmd: get status", kCommandNone},
        {"cmd: getstatus", kCommandNone},
    };
    for (const Case& c : cases)
        EXPECT_EQ(command(c.subject), c.code) << '"' << c.subject << '"';
}

TEST(MatchKeyword, DelimitersCaseAndTheFirstRowThatFits)
{
    const char text[] = "  TEXT/plain";
    const char* p = text;
    EXPECT_EQ(matchContentType(&p, text + strlen(text)), kContentText);
    EXPECT_STREQ(p, "/plain");

    const char enc[] = "Quoted-Printable\r\n";
    p = enc;
    EXPECT_EQ(matchTransferEncoding(&p, enc + strlen(enc)), kEncodingQuotedPrintable);

    const char other[] = "textual";
    p = other;
    EXPECT_EQ(matchContentType(&p, other + strlen(other)), kTokenNone);
    EXPECT_EQ(p, other);

    // "print" fits the first letters but not the delimiter rule.
    const char mixed[] = "printA";
    p = mixed;
    EXPECT_EQ(matchCommandKeyword(&p, mixed + strlen(mixed)), kTokenPrintA);
}

} // namespace
