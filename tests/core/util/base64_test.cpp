#include "core/util/base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string encode(const std::string& data, int outSize = 4096, int lineOffset = 0)
{
    std::vector<char> out(static_cast<size_t>(outSize));
    int n = base64Encode(reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(data.size()), out.data(), outSize, lineOffset);
    EXPECT_EQ(static_cast<size_t>(n), strlen(out.data()));
    return std::string(out.data(), static_cast<size_t>(n));
}

} // namespace

TEST(Base64Encode, Rfc4648Vectors)
{
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(encode(c.in), c.out) << c.in;
    EXPECT_EQ(encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(Base64Encode, LineBreaks)
{
    // 57 bytes: 76 characters, below the limit, no line end.
    std::string text57 = encode(std::string(57, 'a'));
    EXPECT_EQ(text57.size(), 76u);
    EXPECT_EQ(text57.find('\r'), std::string::npos);

    // 60 bytes: 80 characters, then CR LF.
    std::string text60 = encode(std::string(60, 'a'));
    ASSERT_EQ(text60.size(), 82u);
    EXPECT_EQ(text60.substr(80), "\r\n");

    // Later lines are 80 characters; the first one is shorter by the offset.
    std::string text150 = encode(std::string(150, 'b'), 4096, 12);
    size_t first = text150.find("\r\n");
    EXPECT_EQ(first, 68u);  // 17 groups: 12 + 68 = 80 > 79
    size_t second = text150.find("\r\n", first + 2);
    EXPECT_EQ(second - (first + 2), 80u);
}

TEST(Base64Encode, NeverWritesPastOutSize)
{
    const std::string data(70, 'z');
    for (int outSize = 1; outSize <= 96; ++outSize) {
        // Exact-size heap buffer: ASan reports a write one byte past it.
        char* out = static_cast<char*>(malloc(static_cast<size_t>(outSize)));
        int n = base64Encode(reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(data.size()), out, outSize, 0);
        ASSERT_LT(n, outSize) << outSize;
        EXPECT_EQ(out[n], 0) << outSize;
        EXPECT_EQ(n % 2, 0) << "whole groups and whole line ends only";
        free(out);
    }
    char untouched = 'q';
    EXPECT_EQ(base64Encode(reinterpret_cast<const uint8_t*>("abc"), 3, &untouched, 0, 0), 0);
    EXPECT_EQ(untouched, 'q');
    // Room for exactly one group and its terminator.
    EXPECT_EQ(encode("abcdef", 5), "YWJj");
    // 80 characters fit, the line end does not (2 bytes left): no half line end.
    EXPECT_EQ(encode(std::string(60, 'a'), 82).size(), 80u);
    EXPECT_EQ(encode(std::string(60, 'a'), 83).size(), 82u);
}

TEST(Base64Decode, VectorsAndStops)
{
    struct Case {
        const char* in;
        std::string out;
    } cases[] = {
        {"Zm9vYmFy", "foobar"},
        {"Zm9vYg==", "foob"},          // stops at '='
        {"Zm9vYmE=ignored", "fooba"},
        {"YWRtaW46c2VjcmV0", "admin:secret"},
        {"Zm9v YmFy", "foo"},          // a blank is outside the alphabet
        {"", ""},
        {"//4A", std::string("\xff\xfe\x00", 3)},
    };
    for (const Case& c : cases) {
        uint8_t out[64];
        memset(out, 0xAA, sizeof out);
        int n = base64Decode(c.in, out, sizeof out);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n)), c.out) << c.in;
        EXPECT_EQ(out[n], 0) << "terminated for callers reading text";
    }
}

TEST(Base64Decode, KeepsRoomForTheTerminator)
{
    for (uint32_t outSize = 1; outSize <= 8; ++outSize) {
        uint8_t* out = static_cast<uint8_t*>(malloc(outSize));
        int n = base64Decode("YWRtaW46c2VjcmV0", out, outSize);
        EXPECT_EQ(static_cast<uint32_t>(n), outSize - 1);
        EXPECT_EQ(memcmp(out, "admin:s", static_cast<size_t>(n)), 0);
        free(out);
    }
    EXPECT_EQ(base64Decode("YWRt", nullptr, 0), 0);
}

TEST(Base64, RoundTripOfEveryLength)
{
    std::string data;
    for (int i = 0; i < 300; ++i)
        data.push_back(static_cast<char>(i * 37 + 11));
    for (size_t n = 0; n <= data.size(); n += 7) {
        std::string text = encode(data.substr(0, n), 1024);
        std::string joined;
        for (char c : text) {
            if (c != '\r' && c != '\n')
                joined.push_back(c);
        }
        std::vector<uint8_t> out(n + 1);
        int got = base64Decode(joined.c_str(), out.data(), static_cast<uint32_t>(out.size()));
        ASSERT_EQ(static_cast<size_t>(got), n);
        EXPECT_EQ(memcmp(out.data(), data.data(), n), 0) << n;
    }
}
