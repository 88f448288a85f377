#include "core/cert/cert_generator.h"

#include "core/task/task.h"
#include "core/task/tick_clock.h"
#include "support/cert_test_support.h"
#include "support/fn_task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>

using namespace certtest;

namespace {

std::atomic<uint64_t> fakeTicks{0};
uint64_t fakeTickSource()
{
    return fakeTicks.load();
}

class CertGeneratorTest : public CertFixture {
protected:
    void TearDown() override
    {
        setTickSourceForTest(nullptr);
        CertFixture::TearDown();
    }

    void setFields(std::initializer_list<std::pair<int, const char*>> fields)
    {
        CertStore* store = CertStore::instance();
        for (const auto& [index, text] : fields)
            ASSERT_EQ(store->setField(index, text, -1, 0, nullptr, false), 0) << index;
    }

    // A complete self-signed request's fields.
    void setSubject(const char* cn = "box.example")
    {
        setFields({{CF_CTRY, "DE"}, {CF_SN, "Germany"}, {CF_LN, "Town"}, {CF_ON, "Org"}, {CF_OU, "Unit"},
                   {CF_CN, cn}, {CF_DC, "a/b"}, {CF_MAIL, "m@box.example"}, {CF_SYEAR, "2024"}, {CF_SMON, "2"},
                   {CF_SDAY, "29"}, {CF_EYEAR, "2034"}, {CF_EMON, "2"}, {CF_EDAY, "28"}});
    }

    std::string x509(const std::string& options, int index = CERT_SRV)
    {
        return run("openssl x509 -noout " + options + " -in " + flash(index));
    }
};

// The alternative names of a request made from a san text, as the openssl
// command prints them.
std::string sanOfRequest(const std::string& pem)
{
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509_REQ* req = PEM_read_bio_X509_REQ(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!req)
        return "no request";
    std::string text;
    STACK_OF(X509_EXTENSION)* exts = X509_REQ_get_extensions(req);
    for (int i = 0; i < sk_X509_EXTENSION_num(exts); ++i) {
        X509_EXTENSION* ext = sk_X509_EXTENSION_value(exts, i);
        if (OBJ_obj2nid(X509_EXTENSION_get_object(ext)) != NID_subject_alt_name)
            continue;
        BIO* out = BIO_new(BIO_s_mem());
        X509V3_EXT_print(out, ext, 0, 0);
        char* data = nullptr;
        long n = BIO_get_mem_data(out, &data);
        text.assign(data, static_cast<size_t>(n));
        BIO_free(out);
    }
    sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
    X509_REQ_free(req);
    return text;
}

} // namespace

TEST(CertDates, Calendar)
{
    struct Case {
        int y, m, d, valid;
    } cases[] = {
        {2024, 2, 29, 1}, {2023, 2, 29, 0}, {2100, 2, 29, 0}, {2000, 2, 29, 1}, {2024, 2, 30, 0},
        {2019, 5, 1, 1},  {1999, 12, 31, 0}, {2024, 0, 1, 0},  {2024, 13, 1, 0}, {2024, 4, 31, 0},
        {2024, 12, 31, 1}, {2024, 1, 0, 0},  {9999, 12, 31, 1}, {10000, 1, 1, 0}, {-2024, 1, 1, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isValidDate(c.y, c.m, c.d), c.valid) << c.y << "-" << c.m << "-" << c.d;
}

TEST(CertSan, TextFromTheField)
{
    char out[300];
    struct Case {
        const char* san;
        const char* text;
    } cases[] = {
        {" 192.168.0.10, box.local ,fe80::1", "IP:192.168.0.10, DNS:box.local, IP:fe80::1"},
        {"192.168.0.255", "DNS:192.168.0.255"},
        {"192.168.0.0", "DNS:192.168.0.0"},
        {"1.0.0.124", "DNS:1.0.0.124"},
        {",, ,", ""},
        {"", ""},
        {"a b", "DNS:a, DNS:b"},
    };
    for (const Case& c : cases) {
        int n = certSanText(c.san, out, sizeof out);
        EXPECT_EQ(std::string(out), c.text) << c.san;
        EXPECT_EQ(n, static_cast<int>(strlen(c.text))) << c.san;
    }

    // Items are added while the text stays within 255 bytes; the first one
    // that does not fit ends the list.
    std::string name60(60, 'n');
    std::string san = name60 + "1," + name60 + "2," + name60 + "3," + name60 + "4,x";
    int n = certSanText(san.c_str(), out, sizeof out);
    std::string expect = "DNS:" + name60 + "1, DNS:" + name60 + "2, DNS:" + name60 + "3";
    EXPECT_EQ(std::string(out), expect);
    EXPECT_LE(n, 255);
}

TEST_F(CertGeneratorTest, ValidateChecksFieldsAndDates)
{
    fakeTicks.store(123456);
    setTickSourceForTest(fakeTickSource);
    CertStore* store = CertStore::instance();

    setSubject();
    store->setField(CF_CTRY, "", -1, 0, nullptr, false);
    EXPECT_EQ(store->validate(CERT_MODE_SELF_SIGNED), 0) << "country missing";
    EXPECT_EQ(certGenerationState(), CERT_GEN_IDLE);
    store->setField(CF_CTRY, "DE", -1, 0, nullptr, false);

    struct Case {
        const char *sy, *sm, *sd, *ey, *em, *ed;
        int mode;
        int result;
    } cases[] = {
        {"2024", "2", "29", "2034", "2", "28", CERT_MODE_SELF_SIGNED, 1},
        {"2023", "2", "29", "2034", "2", "28", CERT_MODE_SELF_SIGNED, 0},
        {"2030", "1", "1", "2029", "5", "1", CERT_MODE_SELF_SIGNED, 0},
        {"2030", "1", "1", "2030", "1", "1", CERT_MODE_SELF_SIGNED, 1},
        {"2030", "1", "1", "2029", "5", "1", CERT_MODE_REQUEST, 1},
        {"", "", "", "", "", "", CERT_MODE_REQUEST, 1},
        {"", "", "", "", "", "", CERT_MODE_SELF_SIGNED, 0},
        {"2024", "1", "1", "10000", "1", "1", CERT_MODE_SELF_SIGNED, 0},
    };
    for (const Case& c : cases) {
        setCertGenerationState(CERT_GEN_IDLE);
        setFields({{CF_SYEAR, c.sy}, {CF_SMON, c.sm}, {CF_SDAY, c.sd}, {CF_EYEAR, c.ey}, {CF_EMON, c.em},
                   {CF_EDAY, c.ed}});
        EXPECT_EQ(store->validate(c.mode), c.result) << c.sy << "-" << c.sm << "-" << c.sd << " to " << c.ey;
        EXPECT_EQ(certMode(), c.mode);
        EXPECT_EQ(certGenerationState(), c.result ? CERT_GEN_VALIDATED : CERT_GEN_IDLE);
        if (c.result) {
            EXPECT_EQ(store->validatedMode(), c.mode);
        }
    }
    EXPECT_EQ(store->generationStart(), 1234u);

    // While a generation runs its fields are not validated again.
    setCertGenerationState(CERT_GEN_RUNNING);
    EXPECT_EQ(store->validate(CERT_MODE_SELF_SIGNED), 0);
}

TEST_F(CertGeneratorTest, KeySizesAreLimited)
{
    CertStore* store = CertStore::instance();
    for (int bits : {1024, 2048, 4096}) {
        EXPECT_EQ(store->setKeyBits(bits), 1) << bits;
        EXPECT_EQ(store->keyBits(), bits);
    }
    for (int bits : {0, -1, 512, 1000, 3000, 8192, 1 << 30}) {
        EXPECT_EQ(store->setKeyBits(bits), 0) << bits;
        EXPECT_EQ(store->keyBits(), 4096);
    }
}

TEST_F(CertGeneratorTest, SelfSignedPairWithTheFieldsSubject)
{
    UmaskZero zero;
    CertStore* store = CertStore::instance();
    setSubject();
    setFields({{CF_SAN, " 192.168.0.10, box.local ,fe80::1"}});
    ASSERT_EQ(store->validate(CERT_MODE_SELF_SIGNED), 1);
    writeAll(flash(CERT_REQ), "previous request");
    ASSERT_EQ(store->generate(), 1);
    EXPECT_EQ(certGenerationState(), CERT_GEN_DONE);
    EXPECT_TRUE(certGenerationDone());

    EXPECT_EQ(modeOf(flash(CERT_PKEY)), 0600u) << "private even with umask 0";
    EXPECT_EQ(modeOf(flash(CERT_SRV)), 0644u);
    EXPECT_EQ(readAll(flash(CERT_REQ)), "previous request") << "a certificate run leaves the request alone";

    EXPECT_EQ(x509("-subject -nameopt compat"),
              "subject=/C=DE/ST=Germany/L=Town/O=Org/OU=Unit/CN=box.example/DC=a/DC=b/emailAddress=m@box.example\n");
    EXPECT_EQ(x509("-startdate -enddate"), "notBefore=Feb 29 00:00:00 2024 GMT\nnotAfter=Feb 28 00:00:00 2034 GMT\n");
    std::string text = x509("-text");
    EXPECT_NE(text.find("Version: 3 (0x2)"), std::string::npos) << text;
    EXPECT_NE(text.find("IP Address:192.168.0.10, DNS:box.local, IP Address:FE80:0:0:0:0:0:0:1"), std::string::npos)
        << text;
    EXPECT_NE(text.find("sha256WithRSAEncryption"), std::string::npos);
    EXPECT_NE(text.find("Public-Key: (1024 bit)"), std::string::npos);

    // The key belongs to the certificate.
    std::string certModulus = x509("-modulus");
    EXPECT_EQ(run("openssl rsa -noout -modulus -in " + flash(CERT_PKEY)), certModulus);
    int status = -1;
    std::string out = run("openssl verify -CAfile " + flash(CERT_SRV) + " " + flash(CERT_SRV), &status);
    EXPECT_EQ(status, 0) << out;

    // Positive serials that differ from one certificate to the next.
    std::string serial = x509("-serial");
    ASSERT_EQ(serial.rfind("serial=", 0), 0u);
    EXPECT_NE(serial, "serial=00\n");
    EXPECT_NE(serial, "serial=0\n");
    ASSERT_EQ(store->validate(CERT_MODE_SELF_SIGNED), 1);
    ASSERT_EQ(store->generate(), 1);
    EXPECT_NE(x509("-serial"), serial);
    EXPECT_NE(x509("-modulus"), certModulus) << "a new key each time";
}

TEST_F(CertGeneratorTest, LateEndDatesDoNotWrap)
{
    CertStore* store = CertStore::instance();
    setSubject();
    setFields({{CF_EYEAR, "2100"}, {CF_EMON, "1"}, {CF_EDAY, "1"}});
    ASSERT_EQ(store->validate(CERT_MODE_SELF_SIGNED), 1);
    ASSERT_EQ(store->generate(), 1);
    EXPECT_EQ(x509("-enddate"), "notAfter=Jan  1 00:00:00 2100 GMT\n");

    // And the record reads the year back from the GeneralizedTime.
    ASSERT_EQ(parseCertificate(CERT_SRV, nullptr, -1), 1);
    EXPECT_EQ(certField(CF_EYEAR), "2100");
    EXPECT_EQ(certField(CF_SYEAR), "2024");
}

TEST_F(CertGeneratorTest, RequestRunReplacesKeyAndRequest)
{
    UmaskZero zero;
    CertStore* store = CertStore::instance();
    setSubject();
    setFields({{CF_SAN, "box.local"}});
    ASSERT_EQ(store->setKeyBits(2048), 1);
    setMirror(true);
    writeAll(flash(CERT_RCERT), "certificate for the previous key");
    writeAll(card("cert_rcert.pem"), "certificate for the previous key");
    writeAll(flash(CERT_SRV), "own certificate");

    ASSERT_EQ(store->validate(CERT_MODE_REQUEST), 1);
    ASSERT_EQ(store->generate(), 1);
    EXPECT_EQ(modeOf(flash(CERT_RPRIV)), 0600u);
    EXPECT_EQ(modeOf(flash(CERT_REQ)), 0644u);
    EXPECT_FALSE(fs::exists(flash(CERT_RCERT)));
    EXPECT_FALSE(fs::exists(card("cert_rcert.pem")));
    EXPECT_EQ(readAll(card("cert_rpriv.pem")), readAll(flash(CERT_RPRIV)));
    EXPECT_EQ(readAll(card("cert_req.pem")), readAll(flash(CERT_REQ)));
    EXPECT_EQ(readAll(flash(CERT_SRV)), "own certificate");
    EXPECT_FALSE(fs::exists(flash(CERT_PKEY)));

    int status = -1;
    std::string out = run("openssl req -verify -noout -in " + flash(CERT_REQ), &status);
    EXPECT_EQ(status, 0) << out;
    out = run("openssl req -noout -subject -nameopt compat -in " + flash(CERT_REQ));
    EXPECT_EQ(out, "subject=/C=DE/ST=Germany/L=Town/O=Org/OU=Unit/CN=box.example/DC=a/DC=b/emailAddress=m@box.example\n");
    EXPECT_EQ(sanOfRequest(readAll(flash(CERT_REQ))), "DNS:box.local");
    EXPECT_EQ(run("openssl req -noout -modulus -in " + flash(CERT_REQ)),
              run("openssl rsa -noout -modulus -in " + flash(CERT_RPRIV)));
    EXPECT_NE(run("openssl req -noout -text -in " + flash(CERT_REQ)).find("(2048 bit)"), std::string::npos);
}

TEST_F(CertGeneratorTest, FailureLeavesThePreviousPair)
{
    CertStore* store = CertStore::instance();
    setSubject();
    ASSERT_EQ(store->validate(CERT_MODE_SELF_SIGNED), 1);
    ASSERT_EQ(store->generate(), 1);
    std::string oldKey = readAll(flash(CERT_PKEY));
    std::string oldCert = readAll(flash(CERT_SRV));

    // The key cannot be put in place: the certificate goes back to the old.
    fs::rename(flash(CERT_PKEY), path("/key.saved"));
    fs::create_directories(flash(CERT_PKEY) + "/blocker");
    ASSERT_EQ(store->validate(CERT_MODE_SELF_SIGNED), 1);
    EXPECT_EQ(store->generate(), 0);
    EXPECT_EQ(certGenerationState(), CERT_GEN_FAILED);
    EXPECT_FALSE(certGenerationDone());
    EXPECT_EQ(readAll(flash(CERT_SRV)), oldCert);
    fs::remove_all(flash(CERT_PKEY));
    fs::rename(path("/key.saved"), flash(CERT_PKEY));

    // The certificate cannot be put in place: the key stays.
    fs::rename(flash(CERT_SRV), path("/cert.saved"));
    fs::create_directories(flash(CERT_SRV) + "/blocker");
    ASSERT_EQ(store->validate(CERT_MODE_SELF_SIGNED), 1);
    EXPECT_EQ(store->generate(), 0);
    EXPECT_EQ(readAll(flash(CERT_PKEY)), oldKey);
    fs::remove_all(flash(CERT_SRV));
    fs::rename(path("/cert.saved"), flash(CERT_SRV));

    // A key size the generator does not make (as a parse of an odd
    // certificate leaves it) fails before anything is touched.
    store->setKeyBitsLocked(8);
    ASSERT_EQ(store->validate(CERT_MODE_SELF_SIGNED), 1);
    EXPECT_EQ(store->generate(), 0);

    EXPECT_EQ(readAll(flash(CERT_PKEY)), oldKey);
    EXPECT_EQ(readAll(flash(CERT_SRV)), oldCert);
    EXPECT_EQ(run("openssl rsa -noout -modulus -in " + flash(CERT_PKEY)), x509("-modulus"));
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(path("/flash")))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"cert_pkey.pem", "cert_srv.pem"})) << "no temporaries left";
}

TEST_F(CertGeneratorTest, FirstStartGeneratesOnItsOwnTask)
{
    CertStore* store = CertStore::instance();
    EXPECT_EQ(startCertGenerator(7), 7) << "nothing validated";

    ASSERT_EQ(fillDefaultCertRequest(store), 1);
    int validated = store->validate(CERT_MODE_SELF_SIGNED);
    ASSERT_EQ(validated, 1);
    int before = countRegisteredTasks();
    int id = startCertGenerator(validated);
    ASSERT_GT(id, 0);
    EXPECT_EQ(startCertGenerator(5), 5) << "one generator per validation";
    ASSERT_TRUE(eventually([] { return certGenerationDone(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(eventually([&] { return countRegisteredTasks() == before; }, std::chrono::seconds(60)))
        << "the task ends by itself";

    // The record shows the new certificate.
    EXPECT_EQ(certMode(), CERT_SRV);
    EXPECT_EQ(certField(CF_CN), "TB-0102");
    EXPECT_EQ(certField(CF_ON), "Vekotron GmbH");
    EXPECT_EQ(certField(CF_CTRY), "DE");
    EXPECT_EQ(certField(CF_LN), kDefaultCertLocality);
    EXPECT_EQ(certField(CF_MAIL), kDefaultCertMail);
    EXPECT_EQ(certField(CF_SYEAR), "2019");
    EXPECT_EQ(certField(CF_EYEAR), "2029");
    EXPECT_EQ(store->keyBits(), 1024);
    EXPECT_EQ(x509("-startdate -enddate"), "notBefore=May  1 00:00:00 2019 GMT\nnotAfter=May  1 00:00:00 2029 GMT\n");
    EXPECT_EQ(x509("-subject -nameopt compat"), std::string("subject=/C=DE/ST=Germany/L=") + kDefaultCertLocality +
                                                    "/O=Vekotron GmbH/CN=TB-0102/emailAddress=" + kDefaultCertMail +
                                                    "\n");
    EXPECT_EQ(modeOf(flash(CERT_PKEY)), 0600u);
}
