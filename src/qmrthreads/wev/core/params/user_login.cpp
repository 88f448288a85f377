#include "core/params/user_login.h"

#include "core/params/param_store.h"

#include <string>

namespace {

// The raw text of a text parameter (passwords are compared in clear).
std::string rawText(const Param* p)
{
    if (p->paramClass() == ParamClass::String)
        return paramText(static_cast<const StringParam*>(p));
    return p->text();
}

}  // namespace

int checkUserLogin(const char* name, const char* password)
{
    if (!name || !*name)
        return -1;
    static const char kUserName[] = "user_name_";
    static const char kUserPwd[] = "user_pwd_";
    for (uint32_t n = 1; n <= 0xffff; ++n) {
        const Param* user = ParamStore::find(kUserName, int(sizeof(kUserName) - 1), n);
        if (!user)
            return -1;
        if (rawText(user) != name)
            continue;
        const Param* pwd = ParamStore::find(kUserPwd, int(sizeof(kUserPwd) - 1), n);
        if (pwd && password && rawText(pwd) == password)
            return int(n);
        return -2;
    }
    return -1;
}
