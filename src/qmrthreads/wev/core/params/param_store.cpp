#include "core/params/param_store.h"

#include <strings.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// A test table replaces the catalogue while it is set.
std::atomic<Param**> testItems{nullptr};
std::atomic<int> testCount{0};
std::once_flag catalogueBuilt;
// After destroyAll the table is empty: late readers find nothing instead of
// freed objects.
std::atomic<bool> destroyed{false};

int compareParamName(const char* key, const Param* p)
{
    return std::strcmp(key, p->name());
}

Param* search(const char* key)
{
    int n = 0;
    Param** items = ParamStore::items(&n);
    int lo = 0;
    int hi = n - 1;
    while (lo <= hi) {
        const int mid = lo + (hi - lo) / 2;
        const int c = compareParamName(key, items[mid]);
        if (c == 0)
            return items[mid];
        if (c < 0)
            hi = mid - 1;
        else
            lo = mid + 1;
    }
    return nullptr;
}

bool isVisible(const Param* p, uint32_t mask)
{
    return (p->flags() & (mask | kParamHidden)) == 0;
}

}  // namespace

Param** ParamStore::items(int* count)
{
    if (Param** test = testItems.load(std::memory_order_acquire)) {
        if (count)
            *count = testCount.load(std::memory_order_acquire);
        return test;
    }
    Param** t = catalogue();
    if (count)
        *count = destroyed.load(std::memory_order_acquire) ? 0 : paramTableCount;
    return t;
}

Param** ParamStore::catalogue()
{
    std::call_once(catalogueBuilt, createAllParams);
    return paramTable;
}

int ParamStore::count()
{
    int n = 0;
    items(&n);
    return n;
}

void ParamStore::useTableForTest(Param** table, int n)
{
    testCount.store(table ? n : 0, std::memory_order_release);
    testItems.store(table, std::memory_order_release);
}

Param* ParamStore::find(const char* name, int length, uint32_t index)
{
    if (!name || length < 0 || length > kParamMaxNameLength || index == 0)
        return nullptr;
    // The longest key is a 60-character prefix and a member number, cut to
    // 62 characters as the look-up always has.
    char key[63];
    if (index == kParamExactName) {
        std::memcpy(key, name, size_t(length));
        key[length] = '\0';
    } else {
        std::snprintf(key, sizeof(key), "%.*s%d", length, name, int(index & 0xffff));
    }
    Param* p = search(key);
    if (!p || p->isHidden())
        return nullptr;
    return p;
}

Param* ParamStore::find(const char* name)
{
    if (!name)
        return nullptr;
    const size_t n = std::strlen(name);
    if (n > size_t(kParamMaxNameLength))
        return nullptr;
    return find(name, int(n), kParamExactName);
}

Param* ParamStore::findAny(const char* name)
{
    return name ? search(name) : nullptr;
}

int ParamStore::countVisible(uint32_t mask)
{
    int n = 0;
    Param** t = items(&n);
    int visible = 0;
    for (int i = 0; i < n; ++i) {
        if (isVisible(t[i], mask))
            ++visible;
    }
    return visible;
}

Param* ParamStore::nthVisible(int nth, uint32_t mask)
{
    if (nth < 0)
        return nullptr;
    int n = 0;
    Param** t = items(&n);
    for (int i = 0; i < n; ++i) {
        if (!isVisible(t[i], mask))
            continue;
        if (nth-- == 0)
            return t[i];
    }
    return nullptr;
}

int ParamStore::maxIndex(const char* prefix, int prefixLength)
{
    if (!prefix || prefixLength < 0)
        return 0;
    int n = 0;
    Param** t = items(&n);
    int best = 0;
    for (int i = 0; i < n; ++i) {
        const Param* p = t[i];
        if (p->hasFlags(kParamHidden | kParamInternal))
            continue;
        if (std::strlen(p->name()) < size_t(prefixLength) || strncasecmp(p->name(), prefix, size_t(prefixLength)) != 0)
            continue;
        const long member = std::strtol(p->name() + prefixLength, nullptr, 10);
        if (member > best && member <= INT_MAX)
            best = int(member);
    }
    return best;
}

void ParamStore::destroyAll()
{
    int n = 0;
    Param** t = items(&n);
    if (t == paramTable)
        destroyed.store(true, std::memory_order_release);
    else
        testCount.store(0, std::memory_order_release);
    for (int i = 0; i < n; ++i) {
        delete t[i];
        t[i] = nullptr;
    }
}

void ParamStore::dump(FILE* out)
{
    int n = 0;
    Param** t = items(&n);
    std::fprintf(out, "-------------- begin ptable size:%2d -------\n", n);
    for (int i = 0; i < n; ++i) {
        std::fprintf(out, "%s = ", t[i]->name());
        t[i]->print(out);
        std::fprintf(out, " %c\n", t[i]->isModified() ? '*' : ' ');
    }
    std::fputs("--------------  end ptable ------------------\n", out);
}

int32_t paramNameIndex(const char* name, int* length)
{
    if (!name || !length || *length <= 0)
        return INT32_MIN;
    int start = *length;
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9')
        --start;
    if (start == *length)
        return INT32_MIN;
    int64_t v = 0;
    for (int i = start; i < *length; ++i) {
        if (v <= INT32_MAX)
            v = v * 10 + (name[i] - '0');
    }
    *length = start;
    return v > INT32_MAX ? INT32_MAX : int32_t(v);
}
