#include "web/http/httpd.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(HttpListenerSlots, FollowTheManagementSettings)
{
    using Slots = std::vector<int>;
    const struct {
        int ports;
        bool mgmt, any, untagged;
        Slots slots;
    } cases[] = {
        {4, false, false, true, Slots{0}},
        {4, false, false, false, Slots{0}},
        {4, true, false, false, Slots{5}},
        {4, true, false, true, Slots{0, 5}},
        {4, false, true, true, Slots{0, 1, 2, 3, 4}},
        {4, true, true, true, Slots{0, 1, 2, 3, 4, 5}},
        {4, true, true, false, Slots{1, 2, 3, 4, 5}},
        {20, true, true, true, [] { Slots s; for (int i = 0; i <= 21; ++i) s.push_back(i); return s; }()},
        {30, true, false, false, Slots{kHttpListenerSlots - 1}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(httpListenerSlots(c.ports, c.mgmt, c.any, c.untagged), c.slots)
            << c.ports << " mgmt " << c.mgmt << " any " << c.any << " untagged " << c.untagged;
}

} // namespace
