#include "web/http/form_data.h"

#include "core/params/param_handles.h"
#include "core/params/param_store.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(FormData, DecodeTakesUpperCaseHexOnlyAndStaysInTheValue)
{
    const struct {
        const char* in;
        std::string out;
    } cases[] = {
        {"x%41y+z", "xAy z"},
        {"%4a", std::string(1, '\x40')},
        {"%26%2B", "&+"},
        {"end%", "end%"},
        {"end%4", "end%4"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formDecode(c.in), c.out) << c.in;
}

TEST(FormData, ValuesAreDecodedOnceAndNamesMayMatchInsideOthers)
{
    std::string form = "a=%26x&b=%2B1&username=u%20v&name=n&empty=";
    std::string v;
    ASSERT_TRUE(getFormVar(form, "a", &v));
    EXPECT_EQ(v, "&x");
    ASSERT_TRUE(getFormVar(form, "b", &v));
    EXPECT_EQ(v, "+1");
    ASSERT_TRUE(getFormVar(form, "name", &v));
    EXPECT_EQ(v, "u v");
    size_t next = 0;
    ASSERT_TRUE(getFormVar(form, "name", &v, 0, &next));
    ASSERT_TRUE(getFormVar(form, "name", &v, next));
    EXPECT_EQ(v, "n");
    ASSERT_TRUE(getFormVar(form, "empty", &v));
    EXPECT_EQ(v, "");
    EXPECT_FALSE(getFormVar(form, "missing", &v));
}

class FormToParams : public ::testing::Test {
protected:
    void SetUp() override
    {
        params::sys_name()->set("", 0);
        params::sys_contact()->set("", 0);
        params::ip_addr()->set("198.18.0.2", -1);
        resetModified();
    }
};

TEST_F(FormToParams, MaskBitsFromCapitalisedPrefixedFields)
{
    EXPECT_EQ(applyFormToParams("Port_2=on&Port_5=on&Port_40=on&port_3=on&Portx=1", "Port_").mask, 0x24u);
    EXPECT_EQ(applyFormToParams("Port_2=on", nullptr).mask, 0u);
}

TEST_F(FormToParams, LowerCaseNamesSetParametersAndAliasesToo)
{
    FormApplied a = applyFormToParams("sys_name=Lab+box++&IP_ADDR=198.18.0.9&__sys_contact=desk&nosuch=1", nullptr);
    EXPECT_EQ(a.changed, 2);
    EXPECT_EQ(params::sys_name()->text(), "Lab box");
    EXPECT_EQ(params::sys_contact()->text(), "desk");
    EXPECT_EQ(params::ip_addr()->text(), "198.18.0.2");
    EXPECT_FALSE(a.addressChanged);
}

TEST_F(FormToParams, HiddenOffBeforeACheckedBoxCountsOnlyARealChange)
{
    bool before = params::sessKeys()->isOn();
    const char* same = before ? "sessKeys=off&sessKeys=on" : "sessKeys=on&sessKeys=off";
    EXPECT_EQ(applyFormToParams(same, nullptr).changed, 0);
    EXPECT_EQ(applyFormToParams(before ? "sessKeys=off" : "sessKeys=off&sessKeys=on", nullptr).changed, 1);
    params::sessKeys()->set(before ? "on" : "off", -1);
}

TEST_F(FormToParams, RefusedValuesChangeNothing)
{
    EXPECT_EQ(applyFormToParams("ip_addr=not-an-address&sys_name=" + std::string(200, 'x'), nullptr).changed, 0);
    EXPECT_EQ(params::ip_addr()->text(), "198.18.0.2");
    FormApplied a = applyFormToParams("ip_addr=198.18.0.7", nullptr);
    EXPECT_EQ(a.changed, 1);
    EXPECT_TRUE(a.addressChanged);
}

TEST_F(FormToParams, OneRefusedValueKeepsTheWholeFormOut)
{
    const struct {
        const char* form;
        const char* refused;
    } cases[] = {
        {"sys_name=kept&ip_addr=198.18.0.300", "ip_addr"},
        {"ip_addr=198.18.0.8&sys_name=a%00b", "sys_name"},
        {"ip_addr=198.18.0.8&__sys_contact=a%1Bb", "__sys_contact"},
        {"ip_addr=198.18.0.8&sys_name=a%7Fb", "sys_name"},
        {"ip_addr=198.18.0.8&sessKeys=ON", "sessKeys"},
        {"ip_addr=198.18.0.8&ipv6_plen=65", "ipv6_plen"},
        {"ip_addr=198.18.0.8&smtp_port=25x", "smtp_port"},
        {"ip_addr=198.18.0.8&smtp_port=", "smtp_port"},
        {"ip_addr=198.18.0.8&smtp_port=0x19", "smtp_port"},
    };
    for (const auto& c : cases) {
        FormApplied a = applyFormToParams(c.form, nullptr);
        EXPECT_EQ(a.refused, c.refused) << c.form;
        EXPECT_EQ(a.changed, 0) << c.form;
        EXPECT_EQ(params::sys_name()->text(), "") << c.form;
        EXPECT_EQ(params::sys_contact()->text(), "") << c.form;
        EXPECT_EQ(params::ip_addr()->text(), "198.18.0.2") << c.form;
    }
    // Trailing white space is cut before the check: a line end there is no
    // part of the value.
    FormApplied a = applyFormToParams("sys_name=kept%0D%0A", nullptr);
    EXPECT_EQ(a.refused, "");
    EXPECT_EQ(params::sys_name()->text(), "kept");
}

// The value as the parameter file holds it.
std::string fileForm(const Param* p)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&text, &size);
    p->print(f);
    fclose(f);
    std::string out(text, size);
    free(text);
    return out;
}

TEST_F(FormToParams, TheSecretsMaskKeepsTheSecret)
{
    params::smtp_pwd()->set("s3cret", -1);
    resetModified();
    FormApplied a = applyFormToParams("smtp_pwd=****&sys_name=x", nullptr);
    EXPECT_EQ(a.refused, "");
    EXPECT_EQ(a.changed, 1);
    EXPECT_NE(fileForm(params::smtp_pwd()).find("s3cret"), std::string::npos);
    EXPECT_EQ(applyFormToParams("smtp_pwd=other", nullptr).changed, 1);
    EXPECT_NE(fileForm(params::smtp_pwd()).find("other"), std::string::npos);
    params::smtp_pwd()->set("", 0);
}

} // namespace
