#include "core/tls/tls_context.h"

#include <openssl/ssl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/param_override.h"
#include "support/temp_box_root.h"
#include "support/tls_test_support.h"

namespace {

using tlstest::installPair;
using tlstest::KeyMaterial;

class TlsContext : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root_.ok());
        ASSERT_TRUE(KeyMaterial::get().ok()) << "openssl could not make the test keys";
        params_.set("sslmethod", "any");
        params_.set("security", "4");
    }

    void remove(const char* boxFile) { std::filesystem::remove(root_.dir() + boxFile); }

    // The common name of the certificate a new session would serve; "" when
    // no session could be made.
    static std::string servedName(bool server = true)
    {
        SSL* session = tlsCreateSession(server);
        if (!session)
            return "";
        std::string name = tlstest::commonName(SSL_get_certificate(session));
        SSL_free(session);
        return name;
    }

    TempBoxRoot root_;
    ParamOverride params_;
};

TEST_F(TlsContext, KeyPairsLoadOnlyWhenBothFilesExistAndBelongTogether)
{
    installPair(root_, kTlsPairSelfSigned, "self", "self");
    installPair(root_, kTlsPairImported, "other", "imported");  // key of another pair
    root_.writeFile("/flash/cert_rpriv.pem", tlstest::fileText(KeyMaterial::get().key("imported")));

    struct Case {
        int kind;
        int loads;
        const char* why;
    } cases[] = {
        {kTlsPairSelfSigned, 1, "matching pair"},
        {kTlsPairImported, 0, "the key belongs to another certificate"},
        {kTlsPairRequest, 0, "no certificate file"},
        {3, 0, "no such kind"},
        {-1, 0, "no such kind"},
    };
    for (const Case& c : cases) {
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        ASSERT_NE(context, nullptr);
        SSL_CTX_set_security_level(context, 0);
        EXPECT_EQ(tlsLoadKeyPair(context, c.kind), c.loads) << "kind " << c.kind << ": " << c.why;
        SSL_CTX_free(context);
        EXPECT_EQ(tlsCheckKeyPair(c.kind), c.loads) << "kind " << c.kind << ": " << c.why;
    }
    EXPECT_EQ(tlsLoadKeyPair(nullptr, kTlsPairSelfSigned), 0);
}

TEST_F(TlsContext, ImportedPairIsServedWhileBothItsFilesExist)
{
    installPair(root_, kTlsPairSelfSigned, "self", "self");
    installPair(root_, kTlsPairImported, "imported", "imported");
    EXPECT_EQ(servedName(), "wev-imported");
    EXPECT_EQ(servedName(false), "wev-imported") << "a client presents the same pair";

    remove("/flash/cert_fsrv.pem");
    EXPECT_EQ(servedName(), "wev-self") << "without the imported certificate";

    installPair(root_, kTlsPairImported, "imported", "imported");
    remove("/flash/cert_fpkey.pem");
    EXPECT_EQ(servedName(), "wev-self") << "without the imported key";
}

TEST_F(TlsContext, MismatchedImportFallsBackToTheSelfSignedPair)
{
    installPair(root_, kTlsPairSelfSigned, "self", "self");
    installPair(root_, kTlsPairImported, "other", "imported");
    SSL* session = tlsCreateSession(true);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(tlstest::commonName(SSL_get_certificate(session)), "wev-self");
    EXPECT_NE(SSL_get_privatekey(session), nullptr) << "the served certificate comes with its key";
    EXPECT_EQ(X509_check_private_key(SSL_get_certificate(session), SSL_get_privatekey(session)), 1);
    SSL_free(session);
}

// Every connection tries the imported pair: a damaged one is reported once,
// and again only when one of its files changes.
TEST_F(TlsContext, AnUnusableImportIsReportedOncePerContent)
{
    // What creating sessions says on stderr.
    auto sessionsSay = [](int count) {
        testing::internal::CaptureStderr();
        for (int i = 0; i < count; ++i)
            SSL_free(tlsCreateSession(true));
        return testing::internal::GetCapturedStderr();
    };
    installPair(root_, kTlsPairSelfSigned, "self", "self");
    installPair(root_, kTlsPairImported, "other", "imported");
    std::string first = sessionsSay(1);
    EXPECT_NE(first.find("cert_fpkey.pem"), std::string::npos) << first;
    EXPECT_NE(first.find(":error:"), std::string::npos) << "the library's reasons: " << first;
    EXPECT_EQ(sessionsSay(3), "") << "said again for the same files";

    installPair(root_, kTlsPairImported, "self", "imported");
    std::string changed = sessionsSay(2);
    EXPECT_NE(changed.find(":error:"), std::string::npos) << "a changed pair is not the same: " << changed;
    EXPECT_EQ(changed.find("cannot be used"), changed.rfind("cannot be used")) << "said twice: " << changed;
    EXPECT_EQ(ERR_peek_error(), 0u) << "errors are not left for the next caller";
}

TEST_F(TlsContext, WithoutAnyPairNoSessionIsMadeInEitherRole)
{
    EXPECT_EQ(tlsCreateSession(true), nullptr);
    EXPECT_EQ(tlsCreateSession(false), nullptr);
    // An empty key file counts as present but does not load.
    root_.writeFile("/flash/cert_pkey.pem", "");
    root_.writeFile("/flash/cert_srv.pem", tlstest::fileText(KeyMaterial::get().cert("self")));
    EXPECT_EQ(tlsCreateSession(true), nullptr);
}

bool offers(SSL* session, const std::string& name)
{
    STACK_OF(SSL_CIPHER)* ciphers = SSL_get_ciphers(session);
    for (int i = 0; ciphers && i < sk_SSL_CIPHER_num(ciphers); ++i) {
        if (name == SSL_CIPHER_get_name(sk_SSL_CIPHER_value(ciphers, i)))
            return true;
    }
    return false;
}

int anonymousCount(SSL* session)
{
    int count = 0;
    STACK_OF(SSL_CIPHER)* ciphers = SSL_get_ciphers(session);
    for (int i = 0; ciphers && i < sk_SSL_CIPHER_num(ciphers); ++i) {
        if (SSL_CIPHER_get_auth_nid(sk_SSL_CIPHER_value(ciphers, i)) == NID_auth_null)
            ++count;
    }
    return count;
}

TEST_F(TlsContext, SecurityParameterChoosesTheCipherList)
{
    installPair(root_, kTlsPairSelfSigned, "self", "self");
    struct Case {
        const char* security;
        const char* offered;
        const char* notOffered;
    } cases[] = {
        // "LOW" names no cipher this library still has: the default list stays.
        {"1", "ECDHE-RSA-AES128-SHA", "ECDHE-RSA-CAMELLIA256-SHA384"},
        {"2", "AES128-SHA", "ECDHE-RSA-AES256-GCM-SHA384"},
        {"3", "ECDHE-RSA-CAMELLIA256-SHA384", nullptr},
        {"4", "ECDHE-RSA-AES256-GCM-SHA384", "ECDHE-RSA-CAMELLIA256-SHA384"},
    };
    for (const Case& c : cases) {
        ParamOverride level;
        level.set("security", c.security);
        SSL* session = tlsCreateSession(true);
        ASSERT_NE(session, nullptr) << "security " << c.security;
        EXPECT_TRUE(offers(session, c.offered)) << "security " << c.security << " offers " << c.offered;
        if (c.notOffered) {
            EXPECT_FALSE(offers(session, c.notOffered)) << "security " << c.security << " leaves out " << c.notOffered;
        }
        EXPECT_EQ(anonymousCount(session), 0) << "security " << c.security << " offers unauthenticated suites";
        SSL_free(session);
    }
}

TEST_F(TlsContext, OneThousandTwentyFourBitKeysLoadAtTheBoxSecurityLevel)
{
    installPair(root_, kTlsPairSelfSigned, "self", "self");
    SSL* session = tlsCreateSession(true);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(EVP_PKEY_get_bits(SSL_get_privatekey(session)), 1024);
    EXPECT_EQ(SSL_get_security_level(session), 0);
    SSL_free(session);
}

TEST_F(TlsContext, VersionsFollowTheMethodParameter)
{
    installPair(root_, kTlsPairSelfSigned, "self", "self");
    struct Case {
        const char* method;
        long lowest;
        long highest;
    } cases[] = {
        {"any", TLS1_VERSION, TLS1_2_VERSION},
        {"tls10", TLS1_VERSION, TLS1_VERSION},
        {"tls11", TLS1_1_VERSION, TLS1_1_VERSION},
        {"tls12", TLS1_2_VERSION, TLS1_2_VERSION},
    };
    for (const Case& c : cases) {
        ParamOverride method;
        method.set("sslmethod", c.method);
        for (bool server : {true, false}) {
            SSL* session = tlsCreateSession(server);
            ASSERT_NE(session, nullptr) << c.method;
            EXPECT_EQ(SSL_get_min_proto_version(session), c.lowest) << c.method << (server ? " server" : " client");
            EXPECT_EQ(SSL_get_max_proto_version(session), c.highest) << c.method << (server ? " server" : " client");
            SSL_free(session);
        }
    }
}

// tlsInitOnce runs in a fresh process of its own, so that it really is the
// first call there.
TEST(TlsInit, SetsUpOnceSaysTheEngineIsMissingOnceAndGuardsTheKey)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TempBoxRoot root;
            root.writeFile("/flash/cert_pkey.pem", "key");
            chmod((root.dir() + "/flash/cert_pkey.pem").c_str(), 0644);
            fflush(stderr);
            FILE* captured = tmpfile();
            const int saved = dup(fileno(stderr));
            dup2(fileno(captured), fileno(stderr));
            const int first = tlsInitOnce(17);
            const int second = tlsInitOnce(23);
            fflush(stderr);
            dup2(saved, fileno(stderr));
            rewind(captured);
            std::string said;
            char chunk[256];
            size_t n;
            while ((n = fread(chunk, 1, sizeof chunk, captured)) > 0)
                said.append(chunk, n);
            const std::string line = "InitHwEngineServerSSL() can not find engine Id: devcrypto\n";
            const size_t at = said.find(line);
            const bool once = at != std::string::npos && said.find(line, at + 1) == std::string::npos;
            struct stat st {};
            stat((root.dir() + "/flash/cert_pkey.pem").c_str(), &st);
            fprintf(stderr, "values %d %d once %d mode %o\n", first, second, once ? 1 : 0,
                    static_cast<unsigned>(st.st_mode & 0777));
            exit(0);
        },
        ::testing::ExitedWithCode(0), "values 17 23 once 1 mode 600");
}

}  // namespace
