#include "core/cert/cert_store.h"

#include "support/cert_test_support.h"
#include "support/fn_task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

using namespace certtest;

namespace {

class CertStoreTest : public CertFixture {
protected:
    // Parses pem as file kind 4 (written to its place) into the record.
    int parsePem(const std::string& pem, int kind = CERT_FSRV)
    {
        writeAll(flash(kind), pem);
        return parseCertificate(kind, nullptr, -1);
    }
    std::string field(int index) { return certField(index); }
};

} // namespace

TEST_F(CertStoreTest, FieldsShareOnePool)
{
    CertStore* store = CertStore::instance();
    ASSERT_EQ(store->setField(CF_CN, "box", -1, 0, nullptr, false), 0);
    EXPECT_EQ(field(CF_CN), "box");
    EXPECT_EQ(field(CF_OU), "") << "an empty field reads empty";

    // Length cuts the text; a prefix goes in front.
    ASSERT_EQ(store->setField(CF_SAN, "a.example.org", 9, 0, "DNS:", false), 0);
    ASSERT_EQ(store->setField(CF_SAN, "10.0.0.1", -1, 0, " IP:", true), 0);
    EXPECT_EQ(field(CF_SAN), "DNS:a.example, IP:10.0.0.1");

    // Domain components join with '/', also for the issuer's.
    ASSERT_EQ(store->setField(CF_DC, "a", -1, CERT_ISSUER_BASE, nullptr, false), 0);
    ASSERT_EQ(store->setField(CF_DC, "b", -1, CERT_ISSUER_BASE, nullptr, true), 0);
    EXPECT_EQ(field(CF_I_DC), "a/b");

    // Appending to a field that was not the last one stored starts it anew
    // instead of running into another field's text.
    ASSERT_EQ(store->setField(CF_CN, "new", -1, 0, nullptr, true), 0);
    EXPECT_EQ(field(CF_CN), "new");
    EXPECT_EQ(field(CF_I_DC), "a/b");

    EXPECT_EQ(field(CF_END_MARK), "-----END CERTIFICATE-----");
}

TEST_F(CertStoreTest, FieldIndexAndBaseAreChecked)
{
    CertStore* store = CertStore::instance();
    struct Case {
        int index, base, result;
    } cases[] = {
        {0, 0, 0}, {27, 0, 0}, {28, 0, 0}, {29, 0, 1}, {-1, 0, 1},
        {7, 20, 0}, {8, 20, 0}, {9, 20, 1}, {28, 20, 1}, {0, -1, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(store->setField(c.index, "v", -1, c.base, nullptr, false), c.result) << c.index << "+" << c.base;
    for (int i = 29; i < CERT_FIELD_SLOTS; ++i)
        EXPECT_NE(field(i), "v") << "slot " << i << " written past the fields";
}

TEST_F(CertStoreTest, PoolOverflowRefusesWithoutWriting)
{
    CertStore* store = CertStore::instance();
    std::string big(CertStore::POOL_SIZE - 10, 'x');
    ASSERT_EQ(store->setField(CF_CT, big.c_str(), -1, 0, nullptr, false), 0);
    ASSERT_EQ(store->setField(CF_CN, "box", -1, 0, nullptr, false), 0);
    EXPECT_EQ(store->setField(CF_ON, "organisation", -1, 0, nullptr, false), 1);
    EXPECT_EQ(field(CF_ON), "");
    EXPECT_EQ(store->setField(CF_CN, "-more-text", -1, 0, nullptr, true), 1);
    EXPECT_EQ(field(CF_CN), "box");
    EXPECT_EQ(field(CF_CT), big);
}

TEST_F(CertStoreTest, FindsNameComponents)
{
    const char* name = "/C=DE/O=X/CN=box/DC=a/DC=b/CN =last/emailAddress=m@x.example";
    struct Case {
        const char* key;
        const char* value;
    } cases[] = {
        {"C", "DE"}, {"CN", "box"}, {"O", "X"}, {"DC", "a"}, {"emailAddress", "m@x.example"},
        {"OU", nullptr}, {"L", nullptr}, {"E", nullptr},
    };
    for (const Case& c : cases) {
        int length = -1;
        const char* v = findDnComponent(c.key, name, &length);
        if (!c.value) {
            EXPECT_EQ(v, nullptr) << c.key;
            continue;
        }
        ASSERT_NE(v, nullptr) << c.key;
        EXPECT_EQ(std::string(v, static_cast<size_t>(length)), c.value) << c.key;
    }
    int length = 0;
    const char* blank = findDnComponent("CN", strstr(name, "/DC=b"), &length);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(std::string(blank, static_cast<size_t>(length)), "last") << "blanks before '=' are allowed";
}

TEST_F(CertStoreTest, CertificateFillsTheRecord)
{
    Key key = newKey();
    Key caKey = newKey();
    CertShape shape;
    shape.subject = {{"C", "DE"}, {"O", "X"}, {"CN", "box"}};
    shape.issuer = {{"C", "US"}, {"ST", "Ohio"}, {"L", "Dayton"}, {"O", "CA Inc"}, {"OU", "Roots"},
                   {"CN", "CA One"}, {"DC", "a"}, {"DC", "b"}, {"emailAddress", "ca@ca.example"}};
    shape.notBefore = "290501000000Z";
    shape.notAfter = "20550101000000Z";
    shape.san = "DNS:a.example, IP:10.0.0.1, DNS:b.example, IP:fe80::1";
    std::string pem = makeCertPem(shape, key.get(), caKey.get());
    ASSERT_EQ(parsePem(pem), 1);
    EXPECT_EQ(certMode(), CERT_FSRV);

    struct Expect {
        int index;
        const char* text;
    } expected[] = {
        {CF_CTRY, "DE"}, {CF_ON, "X"}, {CF_CN, "box"}, {CF_OU, ""}, {CF_LN, ""}, {CF_SN, ""}, {CF_DC, ""},
        {CF_MAIL, ""},
        {CF_SAN, "DNS:a.example, IP:10.0.0.1, DNS:b.example, IP:fe80::1"},
        {CF_SYEAR, "2029"}, {CF_SMON, "05"}, {CF_SDAY, "01"},
        {CF_EYEAR, "2055"}, {CF_EMON, "01"}, {CF_EDAY, "01"},
        {CF_I_CTRY, "US"}, {CF_I_SN, "Ohio"}, {CF_I_LN, "Dayton"}, {CF_I_ON, "CA Inc"}, {CF_I_OU, "Roots"},
        {CF_I_CN, "CA One"}, {CF_I_DC, "a/b"}, {CF_I_MAIL, "ca@ca.example"},
    };
    for (const Expect& e : expected)
        EXPECT_EQ(field(e.index), e.text) << certFieldNames[e.index];
    EXPECT_EQ(CertStore::instance()->keyBits(), 1024);

    // Fingerprints as the openssl command prints them.
    std::string sha1 = field(CF_SHA1);
    std::string sha2 = field(CF_SHA2);
    EXPECT_EQ(sha1.size(), 59u);
    EXPECT_EQ(sha2.size(), 95u);
    std::string out = run("openssl x509 -noout -fingerprint -sha1 -in " + flash(CERT_FSRV));
    EXPECT_NE(out.find("=" + sha1), std::string::npos) << out << sha1;
    out = run("openssl x509 -noout -fingerprint -sha256 -in " + flash(CERT_FSRV));
    EXPECT_NE(out.find("=" + sha2), std::string::npos) << out << sha2;

    // Hashes as openssl names CA files.
    char hash[16];
    snprintf(hash, sizeof hash, "%08lx", lastCertSubjectHash());
    EXPECT_EQ(run("openssl x509 -noout -subject_hash -in " + flash(CERT_FSRV)), std::string(hash) + "\n");
    snprintf(hash, sizeof hash, "%08lx", lastCertIssuerHash());
    EXPECT_EQ(run("openssl x509 -noout -issuer_hash -in " + flash(CERT_FSRV)), std::string(hash) + "\n");
}

TEST_F(CertStoreTest, ValidityYearsOfBothEncodings)
{
    Key key = newKey();
    struct Case {
        const char* notAfter;
        const char* year;
        const char* month;
        const char* day;
    } cases[] = {
        {"20550101000000Z", "2055", "01", "01"},
        {"290501000000Z", "2029", "05", "01"},
        {"491231235959Z", "2049", "12", "31"},
        {"991231000000Z", "1999", "12", "31"},
        {"99991231235959Z", "9999", "12", "31"},
    };
    for (const Case& c : cases) {
        CertShape shape;
        shape.notBefore = "19900101000000Z";
        shape.notAfter = c.notAfter;
        ASSERT_EQ(parsePem(makeCertPem(shape, key.get())), 1) << c.notAfter;
        EXPECT_EQ(field(CF_EYEAR), c.year) << c.notAfter;
        EXPECT_EQ(field(CF_EMON), c.month) << c.notAfter;
        EXPECT_EQ(field(CF_EDAY), c.day) << c.notAfter;
        EXPECT_EQ(field(CF_SYEAR), "1990");
    }
}

TEST_F(CertStoreTest, ShortValidityTimeIsNotReadPastItsEnd)
{
    Key key = newKey();
    X509* cert = makeCert(CertShape{}, key.get());
    // A time of two characters, as a crafted upload may carry.
    ASSERT_EQ(ASN1_STRING_set(X509_getm_notAfter(cert), "29", 2), 1);
    ASSERT_EQ(ASN1_STRING_set(X509_getm_notBefore(cert), "2401", 4), 1);
    X509_sign(cert, key.get(), EVP_sha256());
    std::string pem = certPem(cert);
    X509_free(cert);
    ASSERT_EQ(parsePem(pem), 1);
    EXPECT_EQ(field(CF_EYEAR), "");
    EXPECT_EQ(field(CF_EMON), "");
    EXPECT_EQ(field(CF_SYEAR), "");
    EXPECT_EQ(field(CF_CN), "box");
}

TEST_F(CertStoreTest, RequestFillsSubjectAndAlternativeNames)
{
    Key key = newKey(2048);
    std::string keyFile = path("/req.key");
    writeAll(keyFile, keyPem(key.get()));
    int status = -1;
    std::string out = run("openssl req -new -key " + keyFile + " -subj '/C=DE/L=Town/O=X/CN=box/DC=a/DC=b' " +
                              "-addext 'subjectAltName=DNS:box.local,IP:192.168.0.10' -out " + flash(CERT_REQ),
                          &status);
    ASSERT_EQ(status, 0) << out;
    ASSERT_EQ(parseCertificate(CERT_REQ, nullptr, -1), 1);
    EXPECT_EQ(certMode(), CERT_MODE_REQUEST);
    EXPECT_EQ(field(CF_CN), "box");
    EXPECT_EQ(field(CF_LN), "Town");
    EXPECT_EQ(field(CF_DC), "a/b");
    EXPECT_EQ(field(CF_SAN), "DNS:box.local, IP:192.168.0.10");
    EXPECT_EQ(field(CF_I_CN), "") << "a request has no issuer";
    EXPECT_EQ(field(CF_EYEAR), "");
    EXPECT_EQ(CertStore::instance()->keyBits(), 2048);
}

TEST_F(CertStoreTest, UnparsableFileLeavesTheRecord)
{
    Key key = newKey();
    ASSERT_EQ(parsePem(makeCertPem(CertShape{}, key.get())), 1);
    writeAll(flash(CERT_MIME), "-----BEGIN CERTIFICATE-----\ngarbage\n-----END CERTIFICATE-----\n");
    EXPECT_EQ(parseCertificate(CERT_MIME, nullptr, -1), 0);
    EXPECT_EQ(certMode(), CERT_MIME);
    EXPECT_EQ(field(CF_CN), "box");
    EXPECT_EQ(parseCertificate(CERT_RCERT, nullptr, -1), 0) << "missing file";
    EXPECT_EQ(parseCertificate(CERT_FSRV, "/flash/nothing.pem", -1), 0);

    // A descriptor is read from its start and stays open.
    int fd = open(flash(CERT_FSRV).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 100, SEEK_SET), 100);
    EXPECT_EQ(parseCertificate(CERT_TMP, nullptr, fd), 1);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 100);
    EXPECT_EQ(close(fd), 0);
}

TEST_F(CertStoreTest, PageVariables)
{
    Key key = newKey();
    CertShape shape;
    shape.notBefore = "190501000000Z";
    ASSERT_EQ(parsePem(makeCertPem(shape, key.get()), CERT_SRV), 1);
    char buf[64];
    struct Case {
        int kind;
        const char* name;
        const char* text;
    } cases[] = {
        {CERT_SRV, "cn", "box"},
        {CERT_SRV, "start", "2019/05/01"},
        {CERT_SRV, "end", "2029/05/01"},
        {CERT_SRV, "bits", "1024"},
        {CERT_SRV, "ou", ""},
        {CERT_SRV, "nonsense", "-- internal error --"},
        {CERT_SRV, "text", "-- internal error --"},
    };
    for (const Case& c : cases) {
        int n = certVariable(c.kind, c.name, buf, sizeof buf);
        EXPECT_EQ(std::string(buf), c.text) << c.name;
        EXPECT_EQ(n, static_cast<int>(strlen(c.text))) << c.name;
    }
    EXPECT_EQ(certVariable(CERT_SRV, "cn", buf, 31), 0) << "buffers below 32 bytes";
    EXPECT_EQ(certVariable(CERT_SRV, "sha2", buf, sizeof buf), 0) << "a text longer than the buffer";

    CertStore* store = CertStore::instance();
    store->setField(CF_SYEAR, "2019", -1, 0, nullptr, false);
    store->setField(CF_SMON, "5", -1, 0, nullptr, false);
    store->setField(CF_SDAY, "1", -1, 0, nullptr, false);
    certVariable(CERT_SRV, "start", buf, sizeof buf);
    EXPECT_EQ(std::string(buf), "2019/5/1");

    // The self-signed pair counts as present by its key.
    EXPECT_EQ(certVariable(CERT_SRV, "state", buf, sizeof buf), 7);
    EXPECT_EQ(std::string(buf), "MISSING");
    writeAll(flash(CERT_PKEY), "key");
    certVariable(CERT_SRV, "state", buf, sizeof buf);
    EXPECT_EQ(std::string(buf), "ISSUED");
    certVariable(CERT_MIME, "state", buf, sizeof buf);
    EXPECT_EQ(std::string(buf), "MISSING");

    // The request text, cut to the buffer.
    writeAll(flash(CERT_REQ), std::string(100, 'r'));
    EXPECT_EQ(certVariable(CERT_MODE_REQUEST, "text", buf, sizeof buf), 63);
    EXPECT_EQ(std::string(buf), std::string(63, 'r'));
}

TEST_F(CertStoreTest, ReleaseEmptiesButKeepsTheRecordWhileGenerating)
{
    CertStore* store = CertStore::instance();
    store->setField(CF_CN, "box", -1, 0, nullptr, false);
    setCertGenerationState(CERT_GEN_VALIDATED);
    CertStore::release();
    EXPECT_EQ(field(CF_CN), "box");
    setCertGenerationState(CERT_GEN_RUNNING);
    CertStore::release();
    EXPECT_EQ(field(CF_CN), "box");
    setCertGenerationState(CERT_GEN_DONE);
    CertStore::release();
    EXPECT_EQ(field(CF_CN), "");
    EXPECT_EQ(certGenerationState(), CERT_GEN_IDLE);
    EXPECT_EQ(CertStore::existing(), store) << "the record stays for the run";
}

TEST_F(CertStoreTest, RootCertificateRepair)
{
    Key key = newKey();
    CertShape ca;
    ca.subject = {{"CN", "Root CA"}};
    std::string pem = makeCertPem(ca, key.get());
    std::string link = flash(CERT_ROOT);
    std::string hashFile = caFilePath(subjectHashOf(pem));

    EXPECT_EQ(checkRootCertificate(), 1) << "no root link";

    // A plain file moves to its hash name and is linked.
    writeAll(link, pem);
    EXPECT_EQ(checkRootCertificate(), 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readAll(hashFile), pem);
    EXPECT_EQ(checkRootCertificate(), 1) << "nothing left to repair";
    int status = -1;
    std::string out = run("openssl verify -CApath " + path("/flash") + " " + link, &status);
    EXPECT_EQ(status, 0) << out;

    // A dangling link is removed.
    fs::remove(hashFile);
    EXPECT_EQ(checkRootCertificate(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

    // A link to a CA file under another name is removed too.
    writeAll(path("/flash/cert.tmp"), pem);
    fs::create_symlink("cert.tmp", link);
    EXPECT_EQ(checkRootCertificate(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

    // A file that does not parse is removed.
    writeAll(link, "not a certificate");
    EXPECT_EQ(checkRootCertificate(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST_F(CertStoreTest, ActivePairPrefersAMatchingImport)
{
    Key own = newKey();
    Key imported = newKey();
    Key other = newKey();
    CertShape ownShape;
    ownShape.subject = {{"CN", "own"}};
    CertShape importShape;
    importShape.subject = {{"CN", "imported"}};

    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    EXPECT_EQ(loadActiveKeyPair(&key, &cert), 0);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(cert, nullptr);

    writeAll(flash(CERT_PKEY), keyPem(own.get()));
    writeAll(flash(CERT_SRV), makeCertPem(ownShape, own.get()));
    auto activeCn = [&]() -> std::string {
        EVP_PKEY* k = nullptr;
        X509* c = nullptr;
        if (!loadActiveKeyPair(&k, &c))
            return "none";
        char cn[64] = "";
        X509_NAME_get_text_by_NID(X509_get_subject_name(c), NID_commonName, cn, sizeof cn);
        EVP_PKEY_free(k);
        X509_free(c);
        return cn;
    };
    EXPECT_EQ(activeCn(), "own");

    writeAll(flash(CERT_FPKEY), keyPem(imported.get()));
    writeAll(flash(CERT_FSRV), makeCertPem(importShape, imported.get()));
    EXPECT_EQ(activeCn(), "imported");

    // An imported certificate for another key: the box's own pair signs.
    writeAll(flash(CERT_FSRV), makeCertPem(importShape, other.get()));
    EXPECT_EQ(activeCn(), "own");
    writeAll(flash(CERT_FSRV), "");
    EXPECT_EQ(activeCn(), "own");
}

// Pages of two connections: one parses certificates and empties the record
// while the other copies texts out of it. Every copy is one whole text
// (run under the sanitizers, a freed or torn record shows here).
TEST_F(CertStoreTest, ConcurrentPagesSeeWholeTexts)
{
    Key key = newKey();
    CertShape a;
    a.subject = {{"CN", std::string(40, 'a')}};
    CertShape b;
    b.subject = {{"CN", std::string(60, 'b')}};
    writeAll(flash(CERT_SRV), makeCertPem(a, key.get()));
    writeAll(flash(CERT_FSRV), makeCertPem(b, key.get()));

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) {
            parseCertificate(i % 2 ? CERT_SRV : CERT_FSRV, nullptr, -1);
            if (i % 7 == 0)
                CertStore::release();
        }
        stop.store(true);
    });
    int seen = 0;
    int bad = 0;
    char buf[128];
    while (!stop.load() || seen < 10) {
        std::string cn = certField(CF_CN);
        if (!(cn.empty() || cn == std::string(40, 'a') || cn == std::string(60, 'b')))
            ++bad;
        int n = certVariable(CERT_SRV, "cn", buf, sizeof buf);
        if (!(n == 0 || n == 40 || n == 60))
            ++bad;
        ++seen;
    }
    writer.join();
    EXPECT_EQ(bad, 0);
}

// A page waiting for the lock (here: while a generation would hold it)
// still serves its task's messages.
TEST_F(CertStoreTest, LockWaitServesMessages)
{
    CertStore::instance()->setField(CF_CN, "box", -1, 0, nullptr, false);
    std::atomic<int> messages{0};
    std::atomic<bool> copied{false};
    std::string seen;
    ASSERT_EQ(lockCertMutex(), 1);
    auto* task = new FnTaskOf<Task>(
        [&](FnTaskOf<Task>&) {
            seen = certField(CF_CN);
            copied.store(true);
        },
        [&](FnTaskOf<Task>&, TaskMessage* msg) -> uint32_t {
            messages.fetch_add(1);
            return msg->code & ~0x100u;
        },
        "CertWaiter");
    ASSERT_GT(task->start(20480, 0), 0);
    TaskMessage msg{0, 0x100, 0, 0};
    ASSERT_EQ(task->post(&msg), 0);
    EXPECT_TRUE(eventually([&] { return messages.load() == 1; }));
    EXPECT_FALSE(copied.load()) << "the copy waits for the lock";
    unlockCertMutex();
    ASSERT_TRUE(eventually([&] { return copied.load(); }));
    EXPECT_EQ(seen, "box");
}
