#include "core/i18n/texts.h"

#include "platform/files/root_path.h"
#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

TEST(GetmuText, TranslatesThroughTheBoundCatalogue)
{
    if (system("command -v msgfmt >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "msgfmt (gettext) is not installed";
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    root.writeFile("/src/wev.po",
                   "msgid \"\"\nmsgstr \"\"\n\"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
                   "msgid \"Available\"\nmsgstr \"Verf\xC3\xBC" "gbar\"\n");
    std::string moDir = root.dir() + "/romfs/locale/de/LC_MESSAGES";
    std::filesystem::create_directories(moDir);
    std::string cmd = "msgfmt -o '" + moDir + "/wev.mo' '" + root.dir() + "/src/wev.po'";
    ASSERT_EQ(system(cmd.c_str()), 0);

    const char* oldLanguage = getenv("LANGUAGE");
    std::string saved = oldLanguage ? oldLanguage : "";
    setenv("LANGUAGE", "de", 1);
    initMessageCatalogue();

    EXPECT_STREQ(getmuText("Available"), "Verf\xC3\xBCgbar");
    EXPECT_STREQ(getmuText("No such message"), "No such message");

    // Many threads at once all get the translation (no try-lock giving up).
    std::vector<std::thread> threads;
    std::atomic<int> untranslated{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (strcmp(getmuText("Available"), "Verf\xC3\xBCgbar") != 0)
                    untranslated.fetch_add(1);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(untranslated.load(), 0);

    if (oldLanguage)
        setenv("LANGUAGE", saved.c_str(), 1);
    else
        unsetenv("LANGUAGE");
}

TEST(CompareNoCase, PrefixAndCaseRules)
{
    struct Case {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"get", "GETSTATUS", 0},   // a prefix of b counts as equal
        {"GET", "get", 0},
        {"", "anything", 0},
        {"getx", "get", 1},        // b ends first: 'X' against 0
        {"abc", "abd", -1},
        {"Host:", "host: x", 0},
        // Bytes above 'Z' are lowered by 32 whatever they are; with unsigned
        // char that holds for UTF-8 bytes too, on both sides alike.
        {"\xC3\xBC", "\xC3\xBC", 0},
        // Only ASCII letters meet their other case: 0xC4 is lowered too.
        {"\xE4", "\xC4", 1},
        {"a", "\xC1", -1},         // 'A' (65) against 0xC1 - 32 (161)
    };
    for (const Case& c : cases) {
        int r = compareNoCase(c.a, c.b);
        int sign = r < 0 ? -1 : (r > 0 ? 1 : 0);
        EXPECT_EQ(sign, c.sign) << '"' << c.a << "\" vs \"" << c.b << '"';
    }
}

TEST(SkipWord, ValueOfStatusLines)
{
    struct Case {
        const char* line;
        const char* value;
    } cases[] = {
        {"Name:\tbash\n", "bash"},
        {"Threads:  \t 12\n", "12"},
        {"PPid: 1", "1"},          // no newline: nothing cut
        {"Name:\n", ""},           // a word and its newline only
        {"Name:", ""},             // nothing after the word
        {"", ""},                  // empty line
        {"Name:\t\n", ""},
    };
    for (const Case& c : cases) {
        // Exact-size heap copies so ASan sees any write before or after.
        size_t n = strlen(c.line) + 1;
        char* line = static_cast<char*>(malloc(n));
        memcpy(line, c.line, n);
        EXPECT_STREQ(skipWord(line), c.value) << '"' << c.line << '"';
        free(line);
    }
}

TEST(SkipWord, CutsOnlyATrailingNewline)
{
    char line[] = "Name:\twev\n";
    char* value = skipWord(line);
    EXPECT_EQ(value, line + 6);
    EXPECT_STREQ(value, "wev");
    char noNewline[] = "Name:\twev";
    EXPECT_STREQ(skipWord(noNewline), "wev");
}

TEST(LoadU32, UnalignedLoads)
{
    alignas(4) unsigned char bytes[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    for (int offset = 0; offset < 4; ++offset) {
        uint32_t expected;
        memcpy(&expected, bytes + offset, 4);
        EXPECT_EQ(loadU32(bytes + offset), expected) << offset;
    }
}

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
