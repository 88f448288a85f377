#include "services/mail/smtp_client.h"

#include "support/param_override.h"

#include <gtest/gtest.h>

namespace {

TEST(MailSender, TheFirstSetTextAndItsDomain)
{
    struct Case {
        const char* smtpSender;
        const char* pop3User;
        const char* smtpUser;
        const char* sysName;
        const char* smtpServer;
        const char* pop3Server;
        const char* local;
        const char* domain;
    };
    const Case cases[] = {
        {"box@example.test", "p", "s", "n", "smtp.example.test", "pop.example.test", "box", "example.test"},
        {"", "pop-user", "s", "n", "smtp.example.test", "", "pop-user", "smtp.example.test"},
        // No SMTP server: the mail goes to the POP3 server, whose name is the domain.
        {"", "", "smtp-user", "n", "", "pop.example.test", "smtp-user", "pop.example.test"},
        {"", "", "", "lab-box", "", "", "lab-box", "198.18.3.2"},
        {"", "", "", "", "", "", "anonymous", "198.18.3.2"},
        {"a@b@c", "", "", "", "", "", "a", "b@c"},
    };
    for (const Case& c : cases) {
        ParamOverride p;
        p.set("ip_addr", "198.18.3.2");
        p.set("smtp_sender", c.smtpSender);
        p.set("pop3_usr", c.pop3User);
        p.set("smtp_usr", c.smtpUser);
        p.set("sys_name", c.sysName);
        p.set("smtp_srv", c.smtpServer);
        p.set("pop3_srv", c.pop3Server);
        MailSender m = mailSender();
        EXPECT_EQ(m.local, c.local) << c.smtpSender << "/" << c.pop3User << "/" << c.smtpUser;
        EXPECT_EQ(m.domain, c.domain) << c.smtpSender << "/" << c.pop3User << "/" << c.smtpUser;
    }
}

TEST(MailStatusText, KnownAndUnknownCodes)
{
    EXPECT_STREQ(mailStatusText(kMailAuthFailed), "SMTP Authentication failed");
    EXPECT_STREQ(mailStatusText(27), "USER command failed");
    EXPECT_STREQ(mailStatusText(28), "unknown");
    EXPECT_STREQ(mailStatusText(-1), "unknown");
}

} // namespace
