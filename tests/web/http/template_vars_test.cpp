#include "web/http/template_vars.h"

#include <gtest/gtest.h>

namespace {

TEST(TemplateVars, FirstValueWinsAndLinesBreak)
{
    TemplateVars v;
    v.setRaw("ErrMsg", "first\nline");
    v.setRaw("ErrMsg", "second");
    ASSERT_NE(v.find("ErrMsg", -1), nullptr);
    EXPECT_EQ(*v.find("ErrMsg", -1), "first<br>\nline");
    EXPECT_EQ(v.find("Err", -1), nullptr);
}

TEST(TemplateVars, OutsideTextIsEscapedOwnHtmlIsNot)
{
    TemplateVars v;
    v.setText("Host", "<script>alert('x')</script>");
    v.setRaw("Cell", "<td>&ndash;</td>");
    EXPECT_EQ(*v.find("Host", -1), "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;");
    EXPECT_EQ(*v.find("Cell", -1), "<td>&ndash;</td>");
}

TEST(TemplateVars, IndexedLookupAndCounts)
{
    TemplateVars v;
    v.setIndexed("UTAB_", 3, "three");
    v.setIndexed("UTAB_", 13, "thirteen");
    v.setIndexed("UPort", 1, "p1");
    v.setCount("UPort", 4);
    EXPECT_EQ(*v.find("UTAB_", 3), "three");
    EXPECT_EQ(*v.find("UTAB_", 13), "thirteen");
    EXPECT_EQ(v.find("UTAB_", 1), nullptr);
    EXPECT_EQ(v.find("UTAB", 3), nullptr);
    EXPECT_EQ(*v.find("UPort", 1), "p1");
    EXPECT_EQ(v.count("UPort"), 4);
    EXPECT_EQ(v.count("UTAB_"), -1);
}

} // namespace
