#include "core/util/password_hash.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#include "support/missing_requirement.h"

namespace {

// Reference values from perl's crypt (the C library's traditional DES
// crypt), block by block with salt "ms":
//   perl -e '$h="ms"; for ($i=0;$i<length($p);$i+=8)
//            { $h.=substr(crypt(substr($p,$i,8),"ms"),2) } print $h'
struct Vector {
    const char* password;
    const char* hash;
};
const Vector referenceHashes[] = {
    {"a", "mstCdP.YgaKiU"},
    {"admin", "msQ38kN.Uem8o"},
    {"password", "mskYxuygva2Ys"},
    {"Secret!x", "msAd1TYl/RfDA"},
    {"password1", "mskYxuygva2YsilET1TfLvOE"},
    {"p+ss w0rd/\xe4", "msK9S0pr0DYIoJM68yvImc9M"},
    {"0123456789abcdefghijklmnopqrstuv", "msXLPVGm0THcEkrjyzBbBK4sVS7tq.zvLSAEKue7AZ3g5c"},
};

std::string hashOf(const std::string& password)
{
    char out[PASSWORD_HASH_MAX_LENGTH + 1];
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(makePasswordHashInto(password.c_str(), static_cast<int>(password.size()), out), 1);
    return out;
}

} // namespace

TEST(PasswordHash, MatchesTheCLibraryCrypt)
{
    for (const Vector& v : referenceHashes) {
        EXPECT_EQ(hashOf(v.password), v.hash) << v.password;
        char* allocated = makePasswordHash(v.password, static_cast<int>(strlen(v.password)));
        ASSERT_NE(allocated, nullptr);
        EXPECT_STREQ(allocated, v.hash);
        free(allocated);
    }
}

TEST(PasswordHash, AgreesWithPerlOnRandomPasswords)
{
    if (system("command -v perl >/dev/null 2>&1") != 0)
        SKIP_UNLESS_CI("perl is not installed");
    unsigned seed = 12345;
    for (int round = 0; round < 40; ++round) {
        int len = 1 + round % PASSWORD_MAX_LENGTH;
        std::string password;
        for (int i = 0; i < len; ++i) {
            seed = seed * 1103515245u + 12345u;
            password.push_back(static_cast<char>(0x21 + (seed >> 16) % 94));
        }
        // Handed over in the environment: no quoting of the password.
        setenv("WEV_TEST_PASSWORD", password.c_str(), 1);
        FILE* perl = popen("perl -e '$p=$ENV{WEV_TEST_PASSWORD}; $h=\"ms\";"
                           " for ($i=0;$i<length($p);$i+=8) { $h.=substr(crypt(substr($p,$i,8),\"ms\"),2) }"
                           " print $h'",
                           "r");
        ASSERT_NE(perl, nullptr);
        char expected[128] = {};
        size_t n = fread(expected, 1, sizeof expected - 1, perl);
        pclose(perl);
        expected[n] = 0;
        EXPECT_EQ(hashOf(password), expected) << password;
        EXPECT_EQ(verifyPasswordHash(password.c_str(), -1, expected), 1) << password;
    }
    unsetenv("WEV_TEST_PASSWORD");
}

TEST(PasswordHash, LengthPerStartedBlock)
{
    struct Case {
        int passwordLength;
        size_t hashLength;
    } cases[] = {{1, 13}, {8, 13}, {9, 24}, {16, 24}, {17, 35}, {24, 35}, {25, 46}, {32, 46}};
    for (const Case& c : cases) {
        std::string password(static_cast<size_t>(c.passwordLength), 'k');
        EXPECT_EQ(hashOf(password).size(), c.hashLength) << c.passwordLength;
        char* allocated = makePasswordHash(password.c_str(), c.passwordLength);
        ASSERT_NE(allocated, nullptr);
        EXPECT_EQ(strlen(allocated), c.hashLength);
        free(allocated);
    }
}

TEST(PasswordHash, TooLongOrEmptyGivesNoHash)
{
    std::string tooLong(33, 'x');
    char out[PASSWORD_HASH_MAX_LENGTH + 1];
    EXPECT_EQ(makePasswordHashInto(tooLong.c_str(), 33, out), 0);
    EXPECT_STREQ(out, "ms");
    EXPECT_EQ(makePasswordHash(tooLong.c_str(), 33), nullptr);
    EXPECT_EQ(makePasswordHash("abc", 0), nullptr);
    EXPECT_EQ(makePasswordHash("abc", -1), nullptr);
    // len <= 0 means the text's own length for the writer.
    EXPECT_EQ(makePasswordHashInto("admin", 0, out), 1);
    EXPECT_STREQ(out, "msQ38kN.Uem8o");
    EXPECT_EQ(makePasswordHashInto(tooLong.c_str(), -1, out), 0);
}

TEST(PasswordHash, Verify)
{
    for (const Vector& v : referenceHashes) {
        EXPECT_EQ(verifyPasswordHash(v.password, -1, v.hash), 1) << v.password;
        std::string wrong = std::string(v.password) + "x";
        EXPECT_EQ(verifyPasswordHash(wrong.c_str(), -1, v.hash), 0) << v.password;
    }
    struct Case {
        const char* text;
        int len;
        const char* hash;
        int match;
    } cases[] = {
        {"", -1, "", 1},                    // empty against no hash
        {"", -1, nullptr, 1},
        {"x", -1, "", 0},                   // any text against no hash
        {"x", -1, nullptr, 0},
        {"", -1, "mstCdP.YgaKiU", 0},       // empty text against a hash
        {"abc", 0, "mstCdP.YgaKiU", 0},     // length 0 is the empty text
        {"ab", 1, "mstCdP.YgaKiU", 1},      // only len characters count
        {"password1", 8, "mskYxuygva2YsilET1TfLvOE", 0},   // hash runs on
        {"password1", -1, "mskYxuygva2Ys", 0},             // text runs on
        {"password", -1, "mskYxuygva2Y", 0},               // cut hash
        {"password", -1, "xxkYxuygva2Ys", 0},              // not this form
        {"Password", -1, "mskYxuygva2Ys", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(verifyPasswordHash(c.text, c.len, c.hash), c.match) << (c.text ? c.text : "(null)") << " / " << (c.hash ? c.hash : "(null)");
}

TEST(PasswordHash, ParallelLoginsDoNotMixResults)
{
    // The static result buffer of the classic crypt call would mix these.
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const Vector& v = referenceHashes[t];
            for (int i = 0; i < 500; ++i) {
                if (verifyPasswordHash(v.password, -1, v.hash) != 1)
                    mismatches.fetch_add(1);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(mismatches.load(), 0);
}
