#include "core/util/text_scan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

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

TEST(HexDigitValue, DigitsOfBothCasesAndNothingElse)
{
    EXPECT_EQ(hexDigitValue('0'), 0);
    EXPECT_EQ(hexDigitValue('9'), 9);
    EXPECT_EQ(hexDigitValue('a'), 10);
    EXPECT_EQ(hexDigitValue('F'), 15);
    for (char c : {'g', 'G', '/', ':', '@', '`', ' ', '\0', '\xff'})
        EXPECT_EQ(hexDigitValue(c), -1) << int(c);
}
