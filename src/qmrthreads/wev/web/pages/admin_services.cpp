#include "web/pages/admin_services.h"

#include <atomic>

namespace {

const AdminServiceOps kNone = {};
std::atomic<const AdminServiceOps*> registered{nullptr};

} // namespace

void setAdminServiceOps(const AdminServiceOps* ops)
{
    registered.store(ops);
}

const AdminServiceOps& adminServices()
{
    const AdminServiceOps* ops = registered.load();
    return ops ? *ops : kNone;
}
