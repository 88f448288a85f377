#include "core/util/random_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

bool isAlnumAscii(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace

TEST(RandomText, AlphabetAndSpread)
{
    std::vector<char> buf(62 * 200 + 1, 0);
    randomText(buf.data(), static_cast<int>(buf.size() - 1));
    EXPECT_EQ(buf.back(), 0) << "no terminator is written";
    std::set<char> seen;
    for (size_t i = 0; i + 1 < buf.size(); ++i) {
        ASSERT_TRUE(isAlnumAscii(buf[i])) << int(static_cast<unsigned char>(buf[i]));
        seen.insert(buf[i]);
    }
    // 12400 draws from 62 characters: missing one has odds near 62 * e^-200.
    EXPECT_EQ(seen.size(), 62u);
}

TEST(RandomText, SessionKeysDoNotRepeat)
{
    std::set<std::string> keys;
    for (int i = 0; i < 1000; ++i) {
        char key[16];
        randomText(key, sizeof key);
        keys.insert(std::string(key, sizeof key));
    }
    EXPECT_EQ(keys.size(), 1000u);
}

TEST(NewTan, IntoBufferOrTheMailTan)
{
    EXPECT_EQ(strlen(mailTan), 5u) << "before the first TAN the buffer holds its placeholder";
    EXPECT_STREQ(mailTan, "NaTAG");

    char buf[MAIL_TAN_LENGTH + 2];
    memset(buf, 'x', sizeof buf);
    newTan(buf);
    EXPECT_EQ(strlen(buf), 16u);
    EXPECT_EQ(buf[MAIL_TAN_LENGTH + 1], 'x') << "nothing past the terminator";
    for (int i = 0; i < MAIL_TAN_LENGTH; ++i)
        EXPECT_TRUE(isAlnumAscii(buf[i]));

    newTan(nullptr);
    EXPECT_EQ(strlen(mailTan), 16u);
    EXPECT_STRNE(mailTan, buf);
    std::string first = mailTan;
    newTan(nullptr);
    EXPECT_NE(first, mailTan);
}
