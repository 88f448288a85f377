#include "core/cert/cert_smime.h"

#include "core/util/byte_buffer.h"
#include "support/cert_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace certtest;

namespace {

class CertSmimeTest : public CertFixture {
protected:
    void SetUp() override
    {
        CertFixture::SetUp();
        savedEncrypt = params::smtp_encrypt()->value();
        savedAttach = params::smtp_attpkey()->value();
        params::smtp_encrypt()->setValue(0);
        params::smtp_attpkey()->setValue(1);
    }
    void TearDown() override
    {
        params::smtp_encrypt()->setValue(savedEncrypt);
        params::smtp_attpkey()->setValue(savedAttach);
        CertFixture::TearDown();
    }

    void ownPair()
    {
        CertShape shape;
        shape.subject = {{"CN", "TB-0102"}};
        writeAll(flash(CERT_PKEY), keyPem(ownKey.get()));
        writeAll(flash(CERT_SRV), makeCertPem(shape, ownKey.get()));
    }

    static void fill(ByteBuffer* buffer, const std::string& text)
    {
        ASSERT_EQ(buffer->reserve(static_cast<int>(text.size()) + 1), 1);
        buffer->appendf("%s", text.c_str());
        ASSERT_EQ(buffer->length, static_cast<int>(text.size()));
    }

    std::string saveOutput(const ByteBuffer& out)
    {
        std::string file = path("/mail.smime");
        writeAll(file, std::string(out.cursor, static_cast<size_t>(out.length)));
        return file;
    }

    int certificatesIn(const std::string& smimeFile)
    {
        std::string certs = run("openssl smime -pk7out -in " + smimeFile + " | openssl pkcs7 -print_certs");
        int n = 0;
        for (size_t at = certs.find("subject="); at != std::string::npos; at = certs.find("subject=", at + 1))
            ++n;
        return n;
    }

    Key ownKey = newKey();
    int32_t savedEncrypt = 0;
    int32_t savedAttach = 0;
};

const char kBody[] = "Port 3: device attached.\r\nSecond line.\r\n";

} // namespace

TEST_F(CertSmimeTest, EncryptionNeedsTheRecipientCertificate)
{
    ownPair();
    params::smtp_encrypt()->setValue(1);
    ByteBuffer in;
    fill(&in, kBody);
    ByteBuffer out;
    EXPECT_EQ(smimeProcess(&in, &out), 0) << "no /flash/cert_mime.pem";
    EXPECT_EQ(out.length, 0);

    Key recipientKey = newKey();
    CertShape recipient;
    recipient.subject = {{"CN", "admin"}};
    writeAll(flash(CERT_MIME), makeCertPem(recipient, recipientKey.get()));
    writeAll(path("/recipient.key"), keyPem(recipientKey.get()));
    ASSERT_EQ(smimeProcess(&in, &out), 1);
    std::string file = saveOutput(out);
    EXPECT_NE(readAll(file).find("pkcs7-mime"), std::string::npos);

    int status = -1;
    std::string plain = run("openssl smime -decrypt -in " + file + " -recip " + flash(CERT_MIME) + " -inkey " +
                                path("/recipient.key"),
                            &status);
    ASSERT_EQ(status, 0) << plain;
    EXPECT_NE(plain.find(kBody), std::string::npos) << plain;
    std::string structure = run("openssl cms -cmsout -print -inform SMIME -in " + file);
    EXPECT_NE(structure.find("des-ede3-cbc"), std::string::npos) << structure;
}

TEST_F(CertSmimeTest, SignatureCarriesTheCertificateOnlyWhenAsked)
{
    ownPair();
    ByteBuffer in;
    fill(&in, kBody);
    struct Case {
        int attach;
        int certificates;
        const char* verifyOptions;
    } cases[] = {
        {1, 1, ""},
        {0, 0, " -certfile "},
    };
    for (const Case& c : cases) {
        params::smtp_attpkey()->setValue(c.attach);
        ByteBuffer out;
        ASSERT_EQ(smimeProcess(&in, &out), 1) << c.attach;
        std::string file = saveOutput(out);
        EXPECT_NE(readAll(file).find("multipart/signed"), std::string::npos);
        EXPECT_EQ(certificatesIn(file), c.certificates) << c.attach;
        std::string options = c.verifyOptions;
        if (!options.empty())
            options += flash(CERT_SRV);
        int status = -1;
        std::string verified = run("openssl smime -verify -noverify -in " + file + options, &status);
        EXPECT_EQ(status, 0) << verified;
        EXPECT_NE(verified.find(kBody), std::string::npos) << verified;
    }
}

TEST_F(CertSmimeTest, SigningNeedsAKeyPair)
{
    ByteBuffer in;
    fill(&in, kBody);
    ByteBuffer out;
    EXPECT_EQ(smimeProcess(&in, &out), 0);
    EXPECT_EQ(smimeProcess(nullptr, &out), 0);
    EXPECT_EQ(smimeProcess(&in, nullptr), 0);
}

TEST_F(CertSmimeTest, TheWholeResultOrNothing)
{
    ownPair();
    // A body well beyond the output buffer's room: the buffer grows.
    std::string body;
    for (int i = 0; body.size() < 60000; ++i)
        body += "line " + std::to_string(i) + " of a long status mail\r\n";
    ByteBuffer in;
    fill(&in, body);
    ByteBuffer out;
    ASSERT_EQ(out.reserve(64), 1);
    ASSERT_EQ(smimeProcess(&in, &out), 1);
    EXPECT_GT(out.length, static_cast<int>(body.size()));
    EXPECT_EQ(out.cursor[out.length], '\0');
    int status = -1;
    std::string verified = run("openssl smime -verify -noverify -in " + saveOutput(out), &status);
    EXPECT_EQ(status, 0) << verified.substr(0, 200);
    EXPECT_NE(verified.find("line 1000 of a long status mail"), std::string::npos);

    // A result of 1 MB or more is refused rather than cut.
    std::string huge(SMIME_RESULT_LIMIT, 'x');
    ByteBuffer bigIn;
    fill(&bigIn, huge);
    ByteBuffer bigOut;
    EXPECT_EQ(smimeProcess(&bigIn, &bigOut), 0);
    EXPECT_EQ(bigOut.length, 0);
}

TEST_F(CertSmimeTest, FileToFile)
{
    ownPair();
    std::string in = path("/body.txt");
    std::string out = path("/body.smime");
    writeAll(in, kBody);
    ASSERT_EQ(smimeProcess(in.c_str(), out.c_str()), 1);
    int status = -1;
    std::string verified = run("openssl smime -verify -noverify -in " + out, &status);
    EXPECT_EQ(status, 0) << verified;
    EXPECT_NE(verified.find(kBody), std::string::npos);
    EXPECT_EQ(smimeProcess(path("/missing.txt").c_str(), out.c_str()), 0);
}
