#include "web/http/request_values.h"

#include "web/http/http_connection.h"
#include "web/http/http_reply.h"

#include "core/cert/cert_store.h"
#include "core/params/param_store.h"
#include "core/product/identity_vars.h"
#include "core/product/model_features.h"
#include "core/product/product_info.h"
#include "platform/files/root_path.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

int put(const std::string& text, char* buffer, size_t size)
{
    if (size == 0)
        return 0;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

bool startsWith(const char* text, const char* prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// snprintf-style results of the identity printers, bounded to the buffer.
int bounded(int n, size_t size)
{
    if (n < 0)
        return 0;
    return static_cast<size_t>(n) < size ? n : static_cast<int>(size) - 1;
}

struct CertFamily {
    const char* prefix;
    int kind;
};
const CertFamily kCertFamilies[] = {
    {"certself_", 3}, {"certClPub_", 4}, {"certClPrv_", 1}, {"certmime_", 7}, {"certca_", 9}, {"certrequ_", 6},
};

// A certificate's texts come from uploaded files: subject and issuer names
// are escaped like any other text from outside.
int certText(int kind, const char* field, char* buffer, size_t size)
{
    std::string raw(size, '\0');
    int n = certVariable(kind, field, raw.data(), static_cast<int>(size));
    raw.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return put(htmlEscape(raw), buffer, size);
}

int resolveParamListing(const char* name, int32_t index, char* buffer, size_t size)
{
    bool wantsName = startsWith(name, "paramsname_");
    Param* p = index >= 0 ? ParamStore::nthVisible(index & 0xffff, 3) : nullptr;
    if (!p)
        return put("", buffer, size);
    return put(wantsName ? std::string(p->name()) : htmlEscape(p->text()), buffer, size);
}

} // namespace

std::string choppedProductName(bool shortened)
{
    std::string name = productInfo().product_name;
    size_t end = name.size();
    while (end > 0 && (isdigit(static_cast<unsigned char>(name[end - 1])) || name[end - 1] == '-'))
        --end;
    name.resize(end);
    if (shortened && name.size() > 2 && name.compare(0, 2, "my") == 0)
        name.erase(0, 2);
    return name;
}

int renderParam(const char* name, int32_t index, char* buffer, size_t size)
{
    if (size == 0)
        return 0;
    buffer[0] = '\0';
    size_t length = strlen(name);
    Param* p;
    uint32_t selector;
    if (length >= 3 && name[length - 1] == '_' && index >= 0) {
        p = ParamStore::find(name, static_cast<int>(length), static_cast<uint32_t>(index & 0xffff));
        selector = (static_cast<uint32_t>(index) & ~0xffffu) | 0x80000000u;
    } else {
        p = ParamStore::find(name);
        selector = static_cast<uint32_t>(index);
    }
    if (!p)
        return 0;
    char text[kParamTextBufferSize];
    int n = p->toTextSel(selector, text, sizeof text);
    std::string value(text, n > 0 ? static_cast<size_t>(n) : 0);
    return put(p->paramClass() == ParamClass::String || p->paramClass() == ParamClass::List ? htmlEscape(value)
                                                                                            : value,
               buffer, size);
}

int paramValueCount(const char* name)
{
    size_t length = strlen(name);
    if (length >= 2 && name[length - 1] == '_')
        return ParamStore::maxIndex(name, static_cast<int>(length));
    Param* p = ParamStore::find(name);
    return p ? p->valueCount() : 0;
}

int RequestValues::resolve(const char* name, int32_t index, char* buffer, size_t size)
{
    if (strcmp(name, "lang") == 0)
        return put(connection_.lang(), buffer, size);
    if (strcmp(name, "MetaAutoRefresh") == 0)
        return put(connection_.metaAutoRefresh(), buffer, size);
    if (strcmp(name, "ChopProd") == 0 || strcmp(name, "ChoPro") == 0)
        return put(htmlEscape(choppedProductName(strcmp(name, "ChoPro") == 0)),
                   buffer, size);
    if (startsWith(name, "QMR_CFG_"))
        return put(isSoftwareFeature(name + 8) ? "1" : "", buffer, size);
    const std::string* value = connection_.vars().find(name, index == kNoIndex ? -1 : index & 0xffff);
    if (value)
        return put(*value, buffer, size);
    if (*name >= 'A' && *name <= 'Z')
        return put("", buffer, size);
    if (startsWith(name, "paramsname_") || startsWith(name, "paramsvalue_"))
        return resolveParamListing(name, index, buffer, size);
    int bufferSize = static_cast<int>(size);
    if (startsWith(name, "prodpa_"))
        return bounded(printProductVar(name + 7, buffer, bufferSize), size);
    if (startsWith(name, "softpa_"))
        return bounded(printSoftwareVar(name + 7, buffer, bufferSize), size);
    if (startsWith(name, "firmpa_"))
        return bounded(printFirmwareVar(name + 7, buffer, bufferSize), size);
    for (const CertFamily& family : kCertFamilies) {
        if (startsWith(name, family.prefix))
            return certText(family.kind, name + strlen(family.prefix), buffer, size);
    }
    return renderParam(name, index, buffer, size);
}

int RequestValues::count(const char* name)
{
    int n = connection_.vars().count(name);
    return n >= 0 ? n : paramValueCount(name);
}

std::string RequestValues::translate(const char* text)
{
    return connection_.translate(text);
}

std::string RequestValues::includeFile(const char* path)
{
    // Includes name files of the template tree only.
    if (*path != '/' || strstr(path, "..") || strchr(path, '\\'))
        return "";
    return boxPath("/romfs/templates") + path;
}
