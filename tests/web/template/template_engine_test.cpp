#include "web/template/template_engine.h"
#include "web/template/template_source.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

namespace {

// Values by "name" or "name@index"; lists answer their label column as
// "name@label@index"; counts by "name".
class TableSource : public TemplateSource {
public:
    std::map<std::string, std::string> values;
    std::map<std::string, int> counts;
    std::string includeDir;

    int resolve(const char* name, int32_t index, char* buffer, size_t size) override
    {
        std::string key = name;
        if (index != kNoIndex) {
            bool label = (index & kLabelColumn) != 0 && index != kNoIndex + kLabelColumn;
            if (index == kNoIndex + kLabelColumn)
                key += "@label";
            else if (label)
                key += "@label@" + std::to_string(index - kLabelColumn);
            else
                key += "@" + std::to_string(index);
        }
        auto it = values.find(key);
        if (it == values.end())
            return -1;
        snprintf(buffer, size, "%s", it->second.c_str());
        return static_cast<int>(strlen(buffer));
    }
    int count(const char* name) override
    {
        auto it = counts.find(name);
        return it == counts.end() ? 0 : it->second;
    }
    std::string translate(const char* text) override
    {
        return std::string(text) == "Save" ? "Speichern" : text;
    }
    std::string includeFile(const char* path) override { return includeDir.empty() ? "" : includeDir + path; }
};

std::string expand(TableSource& source, const std::string& text, bool script = false, size_t limit = 65536)
{
    return expandTemplateText(text, source, script, limit).text;
}

TEST(TemplateEngine, GrammarTable)
{
    TableSource s;
    s.values = {{"name", "ABC"}, {"empty", ""}, {"n", "7"}, {"UTAB_@2", "two"}, {"UTAB_@3", "three"},
                {"v@0", "a"}, {"v@1", "b"}, {"language@0", "en"}, {"language@1", "de"},
                {"language@label@0", "English"}, {"language@label@1", "Deutsch"}, {"language@label", "English"},
                {"plain", "P"}, {"__x", "literal"}, {"x", "indexed"}, {"port@4", "p4"}};
    s.counts = {{"language", 2}, {"v", 2}, {"none", 0}};
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"plain text", "plain text"},
        {"{[3]<{#}>}", "<1><2><3>"},
        {"{[2+1]{$_}}", "12"},
        {"{[0]x}", ""},
        {"{[none]x}y", "y"},
        {"{[language]{language} {-language};}", "en English;de Deutsch;"},
        {"{-language}", "English"},
        {"{[4]{~?odd|even},}", "even,odd,even,odd,"},
        {"{name=abc?yes|no}", "yes"},
        {"{name!abc?yes|no}", "no"},
        {"{n<10?small|big}{n>10?big|small}", "smallsmall"},
        {"{[1+7]{$_03}}", "007"},
        {"{[1+7]{$_+3}}", "10"},
        {"{nosuch}", "{nosuch}"},
        {"{?nosuch}", ""},
        {"{empty}", ""},
        {"\\{x}", "{x}"},
        {"{name?{empty?in|out}|no}", "out"},
        {"{empty?{name?a|b}|{name}}", "ABC"},
        {"{nosuch?{x|y}|z}", "z"},
        {"{[3]{#=2?two|-}}", "-two-"},
        {"{name={plain}?eq|ne}", "ne"},
        {"{port-5}", "p4"},
        {"{__x}{_plain}", "literalP"},
        {"{\tx", "{\tx"},
        {"ML(\"Save\") Ml(\"Save\") M ML", "\"Speichern\" Speichern M ML"},
        {"{name?only}", "only"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(expand(s, c.in), c.out) << c.in;
}

TEST(TemplateEngine, LongNameIsCutTo254)
{
    TableSource s;
    std::string name(300, 'a');
    s.values[std::string(kTemplateNameMax, 'a')] = "found";
    EXPECT_EQ(expand(s, "{" + name + "}"), "found");
}

TEST(TemplateEngine, ScriptModeCopiesBracesUntilTheClosingTag)
{
    TableSource s;
    s.values = {{"a", "A"}};
    EXPECT_EQ(expand(s, "x{a}<script type=x>if(a){b}</script>{a}"), "xA<script type=x>if(a){b}</script>A");
    EXPECT_EQ(expand(s, "{a}</script>{a}", true), "{a}</script>A");
    // Without attributes the tag starts no script mode.
    EXPECT_EQ(expand(s, "<script>{a}</script>"), "<script>A</script>");
}

// A value longer than the space left is cut, and the page ends with the
// notice instead of running past its limit.
TEST(TemplateEngine, ValueAtTheLimitIsCutAndEndsThePage)
{
    TableSource s;
    s.values = {{"big", std::string(2000, 'v')}};
    TemplatePage page = expandTemplateText("0123456789{big}{big}tail", s, false, 100);
    ASSERT_TRUE(page.overrun);
    std::string notice = templateOverrunNotice(100);
    ASSERT_EQ(page.text.size(), 100 + notice.size());
    EXPECT_EQ(page.text.substr(0, 10), "0123456789");
    EXPECT_EQ(page.text.substr(100), notice);
    EXPECT_EQ(page.text.find("tail"), std::string::npos);
}

TEST(TemplateEngine, LoopOverLimitStops)
{
    TableSource s;
    TemplatePage page = expandTemplateText("{[100000]abcdefgh}", s, false, 4096);
    EXPECT_TRUE(page.overrun);
    EXPECT_LE(page.text.size(), 4096 + templateOverrunNotice(4096).size());
}

class TemplateIncludes : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tmplincXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        for (const char* f : {"/head.html", "/self.html"})
            unlink((dir_ + f).c_str());
        rmdir(dir_.c_str());
    }
    void write(const char* name, const std::string& text) { std::ofstream(dir_ + name) << text; }
    std::string dir_;
};

TEST_F(TemplateIncludes, IncludedFileIsExpandedWithTheSameValues)
{
    write("/head.html", "<h1>{title}</h1>");
    TableSource s;
    s.includeDir = dir_;
    s.values = {{"title", "T"}};
    EXPECT_EQ(expand(s, "a{./head.html}b{./missing.html}c"), "a<h1>T</h1>bc");
}

TEST_F(TemplateIncludes, SelfIncludeStopsAtTheDepthLimit)
{
    write("/self.html", "x{./self.html}");
    TableSource s;
    s.includeDir = dir_;
    EXPECT_EQ(expand(s, "{./self.html}"), std::string(kTemplateIncludeDepth, 'x'));
}

TEST(TemplateEngine, PageLimitGrowsWithPorts)
{
    EXPECT_EQ(templatePageLimit(1000, 4), 1000u + 0xE000 - 1024);
    EXPECT_EQ(templatePageLimit(1000, 20), 1000u + 20 * 10240 - 4096 - 1024);
}

} // namespace
