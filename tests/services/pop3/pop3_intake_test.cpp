#include "services/pop3/pop3_intake.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(ApopDigest, TheTimeStampOfTheGreetingAndThePassword)
{
    // RFC 1939's example.
    const char greeting[] = "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>";
    char hex[33];
    ASSERT_TRUE(apopDigest(greeting, strlen(greeting), "tanstaaf", hex));
    EXPECT_STREQ(hex, "c4c9334bac560ecc979e58001b3e22fb");

    // The last '<' before the last '>'.
    const char two[] = "+OK <a> ready <1896.697170952@dbc.mtview.ca.us>";
    ASSERT_TRUE(apopDigest(two, strlen(two), "tanstaaf", hex));
    EXPECT_STREQ(hex, "c4c9334bac560ecc979e58001b3e22fb");

    for (const char* bad : {"+OK ready", "+OK <1234>", "+OK > ready <", "+OK ready <1896.6971@x"})
        EXPECT_FALSE(apopDigest(bad, strlen(bad), "pw", hex)) << bad;
}

} // namespace
