#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "snmp/system_mib.h"
#include "support/product_record.h"
#include "support/temp_box_root.h"

namespace {

// The description object holds at most 63 characters: a long product name
// is cut, and the text is built once.
TEST(SystemMib, DescriptionIsCutTo63Characters)
{
    TempBoxRoot root;
    const std::string name(80, 'N');
    useProduct(root, "product_name=" + name + "\n");
    const char* text = deviceDescription();
    EXPECT_EQ(std::strlen(text), 63u);
    EXPECT_EQ(std::string(text), "VEK " + name.substr(0, 59));

    useProduct(root, "product_name=Other\n");
    EXPECT_STREQ(deviceDescription(), text);
}

} // namespace
