#include "core/params/param_change_effects.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> calls;

void first(Param& p)
{
    calls.push_back(std::string("first:") + p.name());
}

void second(Param& p)
{
    calls.push_back(std::string("second:") + p.name());
}

const ParamRange anyLength = {0, 64};

// Effects are found by whole name or by family prefix; every matching one
// runs, in the order registered, and a second registration of the same pair
// changes nothing.
TEST(ParamChangeEffects, RegisteredEffectsRunForTheirNamesAndFamilies)
{
    ASSERT_TRUE(registerParamEffect("fx_family_", true, first));
    ASSERT_TRUE(registerParamEffect("fx_whole", false, second));
    ASSERT_TRUE(registerParamEffect("fx_family_", true, second));
    ASSERT_TRUE(registerParamEffect("fx_family_", true, first));

    struct Case {
        const char* name;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"fx_family_3", {"first:fx_family_3", "second:fx_family_3"}},
        {"fx_whole", {"second:fx_whole"}},
        {"fx_whole_2", {}},
        {"fx_famil", {}},
        {"other", {}},
    };
    for (const Case& c : cases) {
        StringParam p(c.name, "", &anyLength, 0);
        calls.clear();
        applyParamChangeEffects(p);
        EXPECT_EQ(calls, c.expected) << c.name;
    }
}

} // namespace
