#include "core/cert/cert_import.h"

#include "support/cert_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <set>
#include <unistd.h>

using namespace certtest;

namespace {

class CertImportTest : public CertFixture {
protected:
    int openUpload(const std::string& content)
    {
        std::string file = path("/upload.bin");
        writeAll(file, content);
        return open(file.c_str(), O_RDONLY);
    }

    // A PKCS#12 file made by the openssl command from a key and certificate.
    std::string pkcs12(const std::string& options, const std::string& password, bool withCert = true)
    {
        std::string out = path("/bundle.p12");
        std::string cmd = "openssl pkcs12 -export " + options + " -inkey " + path("/in.key") + " -passout 'pass:" +
                          password + "' -out " + out;
        cmd += withCert ? " -in " + path("/in.crt") : " -nocerts";
        int status = -1;
        std::string log = run(cmd, &status);
        EXPECT_EQ(status, 0) << log;
        return out;
    }

    void inputPair(EVP_PKEY* key, const CertShape& shape)
    {
        writeAll(path("/in.key"), keyPem(key));
        writeAll(path("/in.crt"), makeCertPem(shape, key));
    }

    int import(const std::string& file, const char* password)
    {
        int fd = open(file.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        int result = importPkcs12(&fd, password);
        EXPECT_EQ(fd, -1) << "the descriptor belongs to the import";
        return result;
    }

    std::set<std::string> flashFiles()
    {
        std::set<std::string> names;
        for (auto& e : fs::directory_iterator(path("/flash")))
            names.insert(e.path().filename().string());
        return names;
    }
};

} // namespace

TEST_F(CertImportTest, UploadLimitIsChecked)
{
    CertStore* record = CertStore::instance();
    writeAll(flash(CERT_MIME), "old");
    int fd = openUpload(std::string(CERT_UPLOAD_LIMIT + 1, 'x'));
    EXPECT_EQ(CertRdWrite(record, CERT_MIME, fd), 0);
    close(fd);
    EXPECT_EQ(readAll(flash(CERT_MIME)), "old");
    EXPECT_EQ(CertRdWrite(nullptr, CERT_MIME, 0), 0);
    EXPECT_EQ(CertRdWrite(record, CERT_MIME, -1), 0);
}

TEST_F(CertImportTest, CaUploadLandsUnderItsHash)
{
    setMirror(true);
    Key caKey = newKey();
    Key leafKey = newKey();
    CertShape ca;
    ca.subject = {{"O", "Test CA"}, {"CN", "Test Root"}};
    ca.ca = true;
    std::string caPem = makeCertPem(ca, caKey.get());
    CertShape leaf;
    leaf.subject = {{"CN", "leaf"}};
    leaf.issuer = ca.subject;
    writeAll(path("/leaf.pem"), makeCertPem(leaf, leafKey.get(), caKey.get()));

    int status = -1;
    std::string out = run("openssl verify -CApath " + path("/flash") + " " + path("/leaf.pem"), &status);
    EXPECT_NE(status, 0) << "not trusted before the upload: " << out;

    int fd = openUpload(caPem);
    ASSERT_EQ(CertRdWrite(CertStore::instance(), CERT_TMP, fd), 1);
    close(fd);
    char name[16];
    snprintf(name, sizeof name, "%08lx.0", subjectHashOf(caPem));
    EXPECT_EQ(readAll(path("/flash/") + name), caPem);
    EXPECT_EQ(modeOf(path("/flash/") + name), 0644u);
    EXPECT_EQ(readAll(card(name)), caPem);
    EXPECT_EQ(certField(CF_CN), "Test Root");
    EXPECT_EQ(lastCertSubjectHash(), lastCertIssuerHash()) << "a root certificate";

    out = run("openssl verify -CApath " + path("/flash") + " " + path("/leaf.pem"), &status);
    EXPECT_EQ(status, 0) << out;
}

TEST_F(CertImportTest, UploadReplacesOnlyWithWhatTheFileIsFor)
{
    Key key = newKey();
    CertShape shape;
    shape.subject = {{"CN", "mail recipient"}};
    std::string pem = makeCertPem(shape, key.get());
    writeAll(flash(CERT_MIME), "old certificate");

    // Not a certificate: the old file stays whole.
    for (const std::string& bad : {std::string("garbage"), pem.substr(0, pem.size() / 2), std::string()}) {
        int fd = openUpload(bad);
        EXPECT_EQ(CertRdWrite(CertStore::instance(), CERT_MIME, fd), 0);
        close(fd);
        EXPECT_EQ(readAll(flash(CERT_MIME)), "old certificate");
    }
    // A certificate is not a request.
    int fd = openUpload(pem);
    EXPECT_EQ(CertRdWrite(CertStore::instance(), CERT_REQ, fd), 0);
    // Keys and the root link take no uploads.
    for (int index : {CERT_PKEY, CERT_FPKEY, CERT_RPRIV, CERT_ROOT})
        EXPECT_EQ(CertRdWrite(CertStore::instance(), index, fd), 0) << index;
    EXPECT_EQ(flashFiles(), (std::set<std::string>{"cert_mime.pem"}));

    ASSERT_EQ(CertRdWrite(CertStore::instance(), CERT_MIME, fd), 1);
    close(fd);
    EXPECT_EQ(readAll(flash(CERT_MIME)), pem);
    EXPECT_EQ(modeOf(flash(CERT_MIME)), 0644u);
    EXPECT_EQ(certField(CF_CN), "mail recipient");
    EXPECT_EQ(flashFiles(), (std::set<std::string>{"cert_mime.pem"}));
}

TEST_F(CertImportTest, Pkcs12NewAndLegacyFormats)
{
    UmaskZero zero;
    Key key = newKey(2048);
    CertShape shape;
    shape.subject = {{"C", "DE"}, {"CN", "imported"}};
    inputPair(key.get(), shape);
    struct Case {
        const char* what;
        const char* options;
    } cases[] = {{"current ciphers", ""}, {"legacy ciphers", "-legacy"}};
    for (const Case& c : cases) {
        fs::remove(flash(CERT_FPKEY));
        fs::remove(flash(CERT_FSRV));
        std::string file = pkcs12(c.options, "s3cret pass");
        ASSERT_EQ(import(file, "s3cret pass"), 1) << c.what;
        EXPECT_EQ(modeOf(flash(CERT_FPKEY)), 0600u) << c.what;
        EXPECT_EQ(modeOf(flash(CERT_FSRV)), 0644u) << c.what;
        EXPECT_EQ(run("openssl x509 -noout -subject -nameopt compat -in " + flash(CERT_FSRV)),
                  "subject=/C=DE/CN=imported\n")
            << c.what;
        EXPECT_EQ(run("openssl rsa -noout -modulus -in " + flash(CERT_FPKEY)),
                  run("openssl x509 -noout -modulus -in " + flash(CERT_FSRV)))
            << c.what;
        EXPECT_EQ(readAll(flash(CERT_FPKEY)).find("ENCRYPTED"), std::string::npos) << c.what;
    }
}

TEST_F(CertImportTest, Pkcs12FailuresChangeNothing)
{
    Key oldKey = newKey();
    CertShape oldShape;
    oldShape.subject = {{"CN", "old"}};
    std::string oldKeyPem = keyPem(oldKey.get());
    std::string oldCertPem = makeCertPem(oldShape, oldKey.get());
    writeAll(flash(CERT_FPKEY), oldKeyPem);
    writeAll(flash(CERT_FSRV), oldCertPem);

    Key key = newKey();
    CertShape shape;
    inputPair(key.get(), shape);
    std::string file = path("/current.p12");
    fs::rename(pkcs12("", "right"), file);
    std::string legacyFile = path("/legacy.p12");
    fs::rename(pkcs12("-legacy", "right"), legacyFile);
    EXPECT_EQ(import(file, "wrong"), 0);
    EXPECT_EQ(import(legacyFile, "wrong"), 0);
    EXPECT_EQ(import(path("/in.crt"), "right"), 0) << "not a PKCS#12 file";
    int fd = -1;
    EXPECT_EQ(importPkcs12(&fd, "right"), 0);
    EXPECT_EQ(importPkcs12(nullptr, "right"), 0);
    EXPECT_EQ(readAll(flash(CERT_FPKEY)), oldKeyPem);
    EXPECT_EQ(readAll(flash(CERT_FSRV)), oldCertPem);
    EXPECT_EQ(flashFiles(), (std::set<std::string>{"cert_fpkey.pem", "cert_fsrv.pem"}));
}

TEST_F(CertImportTest, Pkcs12WithOnlyAKey)
{
    Key oldKey = newKey();
    CertShape shape;
    writeAll(flash(CERT_FPKEY), keyPem(oldKey.get()));
    writeAll(flash(CERT_FSRV), makeCertPem(shape, oldKey.get()));
    UmaskZero zero;

    // The key is stored private; the certificate imported for the old key
    // no longer has its key and goes.
    Key key = newKey();
    inputPair(key.get(), shape);
    ASSERT_EQ(import(pkcs12("", "pw", false), "pw"), 1);
    EXPECT_EQ(modeOf(flash(CERT_FPKEY)), 0600u);
    EXPECT_EQ(readAll(flash(CERT_FPKEY)), keyPem(key.get()));
    EXPECT_FALSE(fs::exists(flash(CERT_FSRV)));

    // A certificate without its key is a CA certificate to the library:
    // nothing is imported.
    std::string certOnly = path("/cert-only.p12");
    int status = -1;
    std::string log = run("openssl pkcs12 -export -nokeys -in " + path("/in.crt") + " -passout pass:pw -out " +
                              certOnly, &status);
    ASSERT_EQ(status, 0) << log;
    std::string keyBefore = readAll(flash(CERT_FPKEY));
    EXPECT_EQ(import(certOnly, "pw"), 0);
    EXPECT_EQ(readAll(flash(CERT_FPKEY)), keyBefore);
    EXPECT_FALSE(fs::exists(flash(CERT_FSRV)));
}
