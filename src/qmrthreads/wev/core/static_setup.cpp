#include "core/static_setup.h"

#include "core/param_store.h"
#include "core/product_info.h"

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
