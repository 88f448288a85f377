#include "services/mail/mail_text.h"
#include "services/mail/smtp_reply.h"

#include "core/util/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(SmtpReply, CodesOfCompleteReplies)
{
    struct Case {
        const char* data;
        int code;
        size_t used;
    };
    const Case cases[] = {
        {"220 ready\r\n", 220, 11},
        {"220-first\r\n220 second\r\n", 220, 23},      // continuation line, then the last one
        {"250-a\r\n250-b\r\n250 c\r\n354 x\r\n", 250, 21},  // only the first reply
        {"220-first\r\n", 0, 0},                        // a continuation never ends it
        {"220 no line end", 0, 0},
        {"hello\r\n334 VXNlcm5hbWU6\r\n", 334, 25},   // a line without digits is skipped
        {"22x\r\n235 ok\r\n", 235, 13},
        {"", 0, 0},
    };
    for (const Case& c : cases) {
        size_t used = 0;
        EXPECT_EQ(smtpReplyCode(c.data, strlen(c.data), &used), c.code) << c.data;
        EXPECT_EQ(used, c.used) << c.data;
    }
}

TEST(MailText, HeaderValuesLoseControlCharacters)
{
    EXPECT_EQ(mailHeaderText("box\r\nRCPT TO:<evil@example.test>"), "boxRCPT TO:<evil@example.test>");
    EXPECT_EQ(mailHeaderText("tab\there\x7f"), "tabhere");
    EXPECT_EQ(mailHeaderText("Ümlaut ok"), "Ümlaut ok");
}

TEST(MailText, BodyIsDotStuffedWithCrLfLines)
{
    struct Case {
        std::string body;
        std::string sent;
    };
    const Case cases[] = {
        {".", ".."},
        {"a\r\n.\r\nb", "a\r\n..\r\nb"},            // a lone dot would end DATA
        {"a\n.hidden\rc", "a\r\n..hidden\r\nc"},     // bare LF and CR
        {"x.y\r\n..", "x.y\r\n..."},
        {"\r\n\r\n", "\r\n\r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(dotStuffedBody(c.body.data(), c.body.size()), c.sent) << c.body;
}

// AUTH LOGIN values go on one line whatever their length: the encoder of
// the body breaks lines, which would split a long password in two.
TEST(MailText, Base64OfALongValueStaysOnOneLine)
{
    const std::string password(60, 'p');
    const std::string line = base64Line(password);
    EXPECT_EQ(line.find('\r'), std::string::npos);
    EXPECT_EQ(line.size(), 80u);
    std::vector<uint8_t> back(password.size() + 4);
    ASSERT_EQ(base64Decode(line.c_str(), back.data(), static_cast<uint32_t>(back.size())), 60);
    EXPECT_EQ(std::string(back.begin(), back.begin() + 60), password);
    EXPECT_EQ(base64Line("user"), "dXNlcg==");
}

} // namespace
