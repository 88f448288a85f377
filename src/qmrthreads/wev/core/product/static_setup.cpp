#include "core/product/static_setup.h"

#include "core/params/param_store.h"
#include "core/product/product_info.h"

#include <mutex>

namespace {

std::once_flag setUpOnce;

void setUpIdentityAndParameters()
{
    productInfo();
    ParamStore::items(nullptr);
}

} // namespace

void staticSetUp()
{
    std::call_once(setUpOnce, setUpIdentityAndParameters);
}
