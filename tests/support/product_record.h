// The box's identity in a temporary root: a product record written there and
// the identity records read again, so that the program sees that model.
#pragma once

#include "core/product/product_info.h"
#include "support/temp_box_root.h"

#include <string>

// productParams: the record's "key=value" lines.
inline void useProduct(const TempBoxRoot& root, const std::string& productParams)
{
    root.writeFile("/conf.d/product_params", productParams);
    reloadProductInfoForTest();
}
