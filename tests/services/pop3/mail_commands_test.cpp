#include "services/pop3/mail_commands.h"

#include "core/params/param_handles.h"
#include "core/util/random_text.h"
#include "services/pop3/mail_grammar.h"
#include "support/param_override.h"
#include "support/product_record.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

std::string crlf(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

class MailCommands : public testing::Test {
protected:
    void SetUp() override
    {
        useProduct(root_, "product_id=353\nproduct_name=ABC-12\nusb_ports_phy=4\n");
        params_.set("sys_name", "before");
        params_.set("sys_contact", "nobody");
        params_.set("pop3_limit", "4096");
        root_.writeFile("/tmp/.keep", "");
        newTan(nullptr);
        tan_ = mailTan;
    }
    void TearDown() override
    {
        root_.writeFile("/conf.d/product_params", "");
        reloadProductInfoForTest();
    }

    std::string sysName() { return params::sys_name()->text(); }

    // The body lines of a plain mail.
    MailOutcome setParameters(const std::string& body, const std::string& extraHeader = "")
    {
        text_ = crlf("From: admin@example.test\nSubject: cmd: set parameters\n" + extraHeader + "\n" + body);
        mail_ = readMailMessage(text_);
        return handleMailCommand(mail_, kCommandSetParameters, static_cast<long long>(text_.size()));
    }

    std::string updateMail(const std::string& tanLine, const std::string& attachment)
    {
        return crlf("From: admin@example.test\nSubject: cmd: update zyt\n"
                    "Content-Type: multipart/mixed; boundary=\"b1\"\n\n"
                    "--b1\nContent-Type: text/plain\n\n" + tanLine + "\n"
                    "--b1\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\n"
                    + attachment + "\n--b1--\n");
    }

    TempBoxRoot root_;
    ParamOverride params_;
    std::string tan_;
    std::string text_;
    MailMessage mail_;
};

TEST_F(MailCommands, TheTanLineMustComeFirstAndNameTheCurrentTan)
{
    struct Case {
        std::string body;
        bool sets;
        bool usesTan;
    };
    const std::string tan = tan_;
    const Case cases[] = {
        {"tan = " + tan + "\nsys_name = after\n", true, true},
        {"  TAN\t= " + tan + "  \n\tsys_name    =   after\n", true, true},
        {"sys_name = after\ntan = " + tan + "\n", false, true},  // before the TAN: ignored
        {"tan=" + tan + "\nsys_name = after\n", false, false},     // no blank: no value
        {"tan = wrong-tan-000000\nsys_name = after\n", false, false},
        {"tan = " + tan.substr(0, 15) + "\nsys_name = after\n", false, false},
        {"ta = " + tan + "\nsys_name = after\n", false, false},
        {"sys_name = after\n", false, false},
        {"tan = " + tan + "\n-- \nsys_name = after\n", false, true},  // a '-' line ends the body
    };
    for (const Case& c : cases) {
        params_.set("sys_name", "before");
        strcpy(mailTan, tan.c_str());
        MailOutcome out = setParameters(c.body);
        EXPECT_EQ(sysName(), c.sets ? "after" : "before") << c.body;
        EXPECT_TRUE(out.answer.empty());
        EXPECT_EQ(out.paramFlags != 0, c.sets) << c.body;
        // A TAN that authorised is used up.
        EXPECT_EQ(std::string(mailTan) != tan, c.usesTan) << c.body;
    }
}

TEST_F(MailCommands, AUsedTanDoesNotAuthoriseTheNextMail)
{
    setParameters("tan = " + tan_ + "\nsys_name = first\n");
    ASSERT_EQ(sysName(), "first");
    ASSERT_EQ(strlen(mailTan), static_cast<size_t>(MAIL_TAN_LENGTH));
    setParameters("tan = " + tan_ + "\nsys_name = second\n");
    EXPECT_EQ(sysName(), "first");
}

TEST_F(MailCommands, TheLoadTimePlaceholderAuthorisesNothing)
{
    strcpy(mailTan, "NaTAG");
    setParameters("tan = NaTAG\nsys_name = after\n");
    EXPECT_EQ(sysName(), "before");
}

TEST_F(MailCommands, QuotedPrintableEscapesAreDecoded)
{
    setParameters("tan =3D " + tan_ + "\nsys_name =3D lab=2Dbox\n", "Content-Transfer-Encoding: quoted-printable\n");
    EXPECT_EQ(sysName(), "lab-box");
}

TEST_F(MailCommands, AMultipartMailSetsFromItsFirstTextPart)
{
    MailOutcome out = setParameters("--p\nContent-Type: text/plain\n\ntan = " + tan_ + "\nsys_name = multi\n--p--\n",
                                    "Content-Type: multipart/alternative; boundary=p\n");
    EXPECT_EQ(sysName(), "multi");
    EXPECT_NE(out.paramFlags, 0);
}

TEST_F(MailCommands, AMalformedMailChangesNothingAndIsAnsweredWithWhy)
{
    const std::string good = "tan = " + tan_ + "\nsys_name = after\n";
    struct Case {
        std::string header;
        std::string body;
        const char* reason;
    };
    const Case cases[] = {
        {"", good + std::string(1200, 'x') + "\n", "a line longer than 998 characters"},
        {"Content-Type: multipart/mixed\n", "--x\n\n" + good + "--x--\n", "without a usable boundary"},
        {"Content-Type: multipart/mixed; boundary=x\n", good, "MIME boundary never appears"},
        {"Content-Type: multipart/mixed; boundary=x\n", "--x\n\n" + good, "MIME part not closed"},
    };
    for (const Case& c : cases) {
        MailOutcome out = setParameters(c.body, c.header);
        EXPECT_EQ(sysName(), "before") << c.reason;
        EXPECT_EQ(std::string(mailTan), tan_) << c.reason;
        EXPECT_TRUE(out.refused);
        EXPECT_NE(out.answer.find("Error : Mail refused!?"), std::string::npos) << c.reason;
        EXPECT_NE(out.answer.find(c.reason), std::string::npos) << c.reason;
    }
}

TEST_F(MailCommands, AMailOverTheLimitIsRefusedWithoutLookingAtIt)
{
    params_.set("pop3_limit", "4096");
    text_ = crlf("From: admin@example.test\nSubject: cmd: set parameters\n\ntan = " + tan_ + "\nsys_name = big\n");
    mail_ = readMailMessage(text_);
    MailOutcome out = handleMailCommand(mail_, kCommandSetParameters, 5000000);
    EXPECT_TRUE(out.refused);
    EXPECT_EQ(sysName(), "before");
    EXPECT_NE(out.answer.find("mail larger than the limit"), std::string::npos);
    // 4096 KB exactly is still taken.
    out = handleMailCommand(mail_, kCommandSetParameters, 4096 * 1024 + 1023);
    EXPECT_FALSE(out.refused);
    EXPECT_EQ(sysName(), "big");
}

TEST_F(MailCommands, RepliesAreRefusedQuietlyAndUnknownCommandsGetTheHelp)
{
    mail_ = readMailMessage(crlf("From: a@example.test\nSubject: Re: cmd: get status\n\n"));
    MailOutcome out = handleMailCommand(mail_, kCommandReply, 100);
    EXPECT_TRUE(out.refused);
    EXPECT_TRUE(out.answer.empty());

    mail_ = readMailMessage(crlf("From: a@example.test\nSubject: cmd: print\n\n"));
    out = handleMailCommand(mail_, kCommandPrint, 100);
    EXPECT_TRUE(out.refused);
    EXPECT_NE(out.answer.find("Received unknown command"), std::string::npos);
    EXPECT_NE(out.answer.find("\"update zyt\"        updates attached"), std::string::npos);
    EXPECT_NE(out.answer.find("since the ABC-12 server will delete"), std::string::npos);

    mail_ = readMailMessage(crlf("From: a@example.test\nSubject: cmd: help\n\n"));
    out = handleMailCommand(mail_, kCommandNone, 100);
    EXPECT_FALSE(out.refused);
    EXPECT_NE(out.answer.find("Help info"), std::string::npos);
}

TEST_F(MailCommands, StatusAnswersCarryTheTanAndParameterListsHideSecrets)
{
    StringParam* pwd = params::pop3_pwd();
    std::shared_ptr<const std::string> oldPwd = pwd->value();
    pwd->set("top-secret", -1);
    mail_ = readMailMessage(crlf("From: a@example.test\nSubject: cmd: get status\n\n"));
    MailOutcome out = handleMailCommand(mail_, kCommandGetStatus, 100);
    EXPECT_NE(out.answer.find("TAN              = " + tan_), std::string::npos);
    EXPECT_NE(out.answer.find("=== USB Devices ==="), std::string::npos);

    out = handleMailCommand(mail_, kCommandGetParameters, 100);
    EXPECT_NE(out.answer.find("Parmeter list"), std::string::npos);
    EXPECT_NE(out.answer.find("sys_contact"), std::string::npos);
    EXPECT_EQ(out.answer.find("top-secret"), std::string::npos);
    EXPECT_EQ(out.answer.find("Memory info"), std::string::npos);

    out = handleMailCommand(mail_, kCommandGetServicePage, 100);
    EXPECT_NE(out.answer.find("FullStatus"), std::string::npos);
    EXPECT_NE(out.answer.find("=== Params info ==="), std::string::npos);
    pwd->set(oldPwd ? oldPwd->c_str() : "", -1);
}

TEST_F(MailCommands, AnUpdateNeedsTheTanInATextPartBeforeTheAttachment)
{
    struct Case {
        std::string text;
        int result;
    };
    const std::string tan = tan_;
    const Case cases[] = {
        {updateMail("TAN = " + tan, "SGVsbG8="), 0},
        {updateMail("my TAN is = " + tan + " thanks", "SGVsbG8="), 0},
        {updateMail("TAN = wrong", "SGVsbG8="), kAttachmentWrongTan},
        {updateMail("TAN = " + tan + "x", "SGVsbG8="), kAttachmentWrongTan},
        {updateMail("no code here", "SGVsbG8="), kAttachmentNoTan},
        {updateMail("TAN = " + tan, "Q"), kAttachmentCorrupted},
        // Not multipart: no place for a TAN, nothing is decoded.
        {crlf("From: a@example.test\nSubject: cmd: update zyt\n\nSGVsbG8=\n"), kAttachmentNoTan},
    };
    for (const Case& c : cases) {
        MailMessage m = readMailMessage(c.text);
        const int fd = readUpdateAttachment(m, mailTan);
        if (c.result < 0) {
            EXPECT_EQ(fd, c.result) << c.text;
            continue;
        }
        ASSERT_GE(fd, 0) << c.text;
        char data[16] = {};
        EXPECT_EQ(read(fd, data, sizeof data), 5);
        EXPECT_STREQ(data, "Hello");
        close(fd);
    }
    EXPECT_EQ(std::string(mailTan), tan);  // an update does not use the TAN up
}

TEST_F(MailCommands, UpdateAnswersNameTheFailure)
{
    text_ = updateMail("TAN = wrong", "SGVsbG8=");
    mail_ = readMailMessage(text_);
    MailOutcome out = handleMailCommand(mail_, kCommandUpdate, static_cast<long long>(text_.size()));
    EXPECT_NE(out.answer.find("Error : Update failed on wrong TAN!?"), std::string::npos);
    EXPECT_LT(out.updateFd, 0);

    text_ = crlf("From: a@example.test\nSubject: cmd: update zyt\n\nSGVsbG8=\n");
    mail_ = readMailMessage(text_);
    out = handleMailCommand(mail_, kCommandUpdate, static_cast<long long>(text_.size()));
    EXPECT_NE(out.answer.find("Error : Update failed on no TAN detected!?"), std::string::npos);

    // The right TAN, but no image: the check refuses it.
    text_ = updateMail("TAN = " + tan_, "SGVsbG8=");
    mail_ = readMailMessage(text_);
    out = handleMailCommand(mail_, kCommandUpdate, static_cast<long long>(text_.size()));
    EXPECT_NE(out.answer.find("Error : Update file validation failed!?"), std::string::npos);
    EXPECT_LT(out.updateFd, 0);
}

} // namespace
