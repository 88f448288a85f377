#include "services/pop3/mail_message.h"

#include "services/pop3/mail_grammar.h"

#include <gtest/gtest.h>

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

TEST(MailLines, CrLfAndBareLfEndLines)
{
    const auto lines = splitMailLines("one\r\ntwo\nthree");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "one");
    EXPECT_EQ(lines[1], "two");
    EXPECT_EQ(lines[2], "three");
    EXPECT_TRUE(splitMailLines("").empty());
}

TEST(MailAddress, TheBracketTextOnlyWhenTheClosingBracketFollows)
{
    EXPECT_EQ(mailAddressOf("Admin <admin@example.test>"), "admin@example.test");
    EXPECT_EQ(mailAddressOf("admin@example.test"), "admin@example.test");
    EXPECT_EQ(mailAddressOf("<a@x> and <b@y>"), "a@x> and <b@y");
    // A '>' before the '<': no bracket text (no negative length), the value.
    EXPECT_EQ(mailAddressOf("x> y <admin@example.test"), "x> y <admin@example.test");
    EXPECT_EQ(mailAddressOf("  spaced@example.test  "), "spaced@example.test");
    EXPECT_EQ(mailAddressOf(std::string(300, 'a')).size(), kMailMaxHeaderText);
}

TEST(MimeBoundary, QuotedPlainAndRefused)
{
    EXPECT_EQ(mimeBoundaryOf("multipart/mixed; boundary=\"abc def\""), "abc def");
    EXPECT_EQ(mimeBoundaryOf("multipart/mixed; Boundary=xyz; charset=x"), "xyz");
    EXPECT_EQ(mimeBoundaryOf("multipart/mixed; bar=1; boundary=\"==_b\""), "==_b");
    EXPECT_EQ(mimeBoundaryOf("multipart/mixed"), "");
    EXPECT_EQ(mimeBoundaryOf("multipart/mixed; boundary="), "");
    EXPECT_EQ(mimeBoundaryOf("multipart/mixed; boundary=\"\""), "");
    EXPECT_EQ(mimeBoundaryOf("multipart/mixed; boundary=" + std::string(128, 'b')), "");
    EXPECT_EQ(mimeBoundaryOf("multipart/mixed; boundary=" + std::string(127, 'b')), std::string(127, 'b'));
}

TEST(MailHeader, FieldsOfThisMailOnlyWithFoldedLines)
{
    const std::string text = crlf("Return-Path: <x@y>\n"
                                  "From: Admin\n <admin@example.test>\n"
                                  "Subject: cmd: get\n status\n"
                                  "Content-Type: multipart/mixed;\n\tboundary=\"part-1\"\n"
                                  "content-transfer-encoding: 7bit\n"
                                  "\n"
                                  "body\n");
    MailMessage m = readMailMessage(text);
    EXPECT_EQ(m.header.from, "admin@example.test");
    EXPECT_EQ(m.header.subject, "cmd: get status");
    EXPECT_EQ(m.header.contentType, kContentMultipart);
    EXPECT_EQ(m.header.boundary, "part-1");
    EXPECT_EQ(m.header.transferEncoding, kEncoding7Bit);
    // The boundary never appears in the body.
    EXPECT_STREQ(m.problem, "MIME boundary never appears");
    // The header alone (what TOP gives) has no parts to look for.
    const std::string headerText = text.substr(0, text.find("\r\n\r\n") + 4);
    EXPECT_EQ(readMailMessage(headerText, true).problem, nullptr);
    EXPECT_EQ(readMailMessage(headerText, true).header.boundary, "part-1");

    // The next mail has no Content-Type: nothing of the one before stays.
    const std::string nextText = crlf("From: b@example.test\nSubject: cmd: update zyt\n\nxyz\n");
    MailMessage next = readMailMessage(nextText);
    EXPECT_EQ(next.header.contentType, kTokenNone);
    EXPECT_EQ(next.header.boundary, "");
    EXPECT_EQ(next.problem, nullptr);
    ASSERT_EQ(next.body.size(), 1u);
    EXPECT_EQ(next.body[0], "xyz");
}

TEST(MailHeader, LongHeaderLinesAreWholeUpTo998Characters)
{
    // 255 and 256 characters, the 256th a '.': one header line each, and
    // the scan goes on to the subject after them.
    for (size_t length : {255u, 256u, 998u}) {
        std::string filler = "X-Long: " + std::string(length - 9, 'a') + ".";
        ASSERT_EQ(filler.size(), length);
        const std::string mailText = crlf(filler + "\nSubject: cmd: get status\n\n");
        MailMessage m = readMailMessage(mailText);
        EXPECT_EQ(m.problem, nullptr) << length;
        EXPECT_EQ(m.header.subject, "cmd: get status") << length;
    }
    const std::string overlong = crlf("X-Long: " + std::string(991, 'a') + "\nSubject: cmd: get status\n\n");
    MailMessage m = readMailMessage(overlong);
    EXPECT_STREQ(m.problem, "a line longer than 998 characters");
}

TEST(MailParts, LeafPartsInOrderWithTheirTypes)
{
    const std::string text = crlf("From: a@example.test\n"
                                  "Content-Type: multipart/mixed; boundary=\"outer\"\n\n"
                                  "preamble\n"
                                  "--outer\n"
                                  "Content-Type: text/plain\n"
                                  "Content-Transfer-Encoding: quoted-printable\n\n"
                                  "TAN =3D abc\n"
                                  "--outer\n"
                                  "Content-Type: multipart/alternative; boundary=inner\n\n"
                                  "--inner\n\n"
                                  "no header: text\n"
                                  "--inner--\n"
                                  "--outer\n"
                                  "Content-Type: application/octet-stream\n"
                                  "Content-Transfer-Encoding: base64\n\n"
                                  "QUJD\n"
                                  "--outer--\n"
                                  "epilogue\n");
    MailMessage m = readMailMessage(text);
    ASSERT_EQ(m.problem, nullptr);
    ASSERT_EQ(m.parts.size(), 3u);
    EXPECT_EQ(m.parts[0].contentType, kContentText);
    EXPECT_EQ(m.parts[0].transferEncoding, kEncodingQuotedPrintable);
    ASSERT_EQ(m.parts[0].lines.size(), 1u);
    EXPECT_EQ(m.parts[0].lines[0], "TAN =3D abc");
    EXPECT_EQ(m.parts[1].contentType, kContentText);
    EXPECT_EQ(m.parts[1].lines[0], "no header: text");
    EXPECT_EQ(m.parts[2].contentType, kContentApplication);
    EXPECT_EQ(m.parts[2].transferEncoding, kEncodingBase64);
    EXPECT_EQ(m.parts[2].lines[0], "QUJD");
}

TEST(MailParts, BrokenMimeIsMarkedWithWhy)
{
    struct Case {
        const char* contentType;
        const char* body;
        const char* problem;
    };
    const Case cases[] = {
        {"multipart/mixed", "--x\n\ntext\n--x--\n", "multipart mail without a usable boundary"},
        {"multipart/mixed; boundary=x", "no boundary here\n", "MIME boundary never appears"},
        {"multipart/mixed; boundary=x", "--x\n\ntext\n", "MIME part not closed"},
        {"multipart/mixed; boundary=x", "--x\nContent-Type: multipart/mixed\n\n--x--\n",
         "multipart mail without a usable boundary"},
        {"multipart/mixed; boundary=a",
         "--a\nContent-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: multipart/mixed; boundary=c\n\n"
         "--c\nContent-Type: multipart/mixed; boundary=d\n\n--d\n\nx\n--d--\n--c--\n--b--\n--a--\n",
         "multipart nested too deeply"},
    };
    for (const Case& c : cases) {
        const std::string mailText = crlf(std::string("From: a@b\nContent-Type: ") + c.contentType + "\n\n" + c.body);
        MailMessage m = readMailMessage(mailText);
        ASSERT_NE(m.problem, nullptr) << c.contentType << " / " << c.body;
        EXPECT_STREQ(m.problem, c.problem) << c.contentType << " / " << c.body;
    }
}

TEST(QuotedPrintable, EscapesOfEitherCaseAndWhatIsNoEscape)
{
    std::string s = "sys_name =3D lab=2dbox =3d =ZZ =4";
    s.resize(decodeQuotedPrintable(s.data(), s.size()));
    EXPECT_EQ(s, "sys_name = lab-box = =ZZ =4");
}

TEST(Base64Decoder, AcrossPiecesSkippingOtherCharactersUpToThePadding)
{
    std::string out;
    Base64Decoder d;
    d.feed("SGVs", &out);
    d.feed("bG8g\r\n", &out);
    d.feed("d2 9y bGQ=", &out);  // "world", blanks skipped, '=' ends
    d.feed("QUJD", &out);         // after the end: ignored
    EXPECT_TRUE(d.finish(&out));
    EXPECT_EQ(out, "Hello world");
    EXPECT_TRUE(d.ended());

    std::string cut;
    Base64Decoder e;
    e.feed("QUJDR", &cut);
    EXPECT_FALSE(e.finish(&cut));  // one character left: the data was cut
    EXPECT_EQ(cut, "ABC");
}

} // namespace
