#include "platform/files/root_path.h"

#include <cstdlib>
#include <mutex>

namespace {

std::string readPrefix()
{
    const char* env = getenv("WEV_ROOT");
    std::string prefix = env ? env : "";
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    return prefix;
}

std::string& prefixStorage()
{
    static std::string prefix = readPrefix();
    return prefix;
}

} // namespace

const std::string& rootPrefix()
{
    return prefixStorage();
}

std::string boxPath(const char* path)
{
    std::string full = rootPrefix();
    if (path && path[0] != '/')
        full += '/';
    if (path)
        full += path;
    return full;
}

std::string boxPath(const std::string& path)
{
    return boxPath(path.c_str());
}

void reloadRootPrefixForTest()
{
    prefixStorage() = readPrefix();
}
