#include "core/params/param.h"
#include "core/util/number_scan.h"

#include <cctype>
#include <cstring>

namespace {

// The number at the start of a text as atoi reads it (blanks, sign, digits,
// anything after ignored; no digits give 0), but a number outside the int
// range is refused instead of wrapping.
bool parseInt(const char* text, int32_t* out)
{
    constexpr uint64_t kTooLarge = uint64_t(INT32_MAX) + 2;
    ScannedNumber n;
    const char* p = text;
    if (!scanNumber(p, 10, kTooLarge, &n)) {
        *out = 0;
        return true;
    }
    const int64_t v = n.negative ? -int64_t(n.magnitude) : int64_t(n.magnitude);
    if (v > INT32_MAX || v < INT32_MIN)
        return false;
    *out = int32_t(v);
    return true;
}

// Ranged integers take an optional '-' followed by letters and digits only.
bool isRangedIntSyntax(const char* text)
{
    const char* p = text;
    if (*p == '-')
        ++p;
    for (; *p; ++p) {
        if (!std::isalnum(*p))
            return false;
    }
    return true;
}

constexpr int kRanged = 2;
constexpr int kUnranged = 0;
// Longest text assign takes when it is given a length.
constexpr int kMaxIntText = 30;

}  // namespace

IntParam::IntParam(const char* name, int32_t value, int kind, const ParamRange* range, uint32_t flags)
    : Param(name, kind, range, flags), value_(value)
{
}

const ParamRange* IntParam::range() const
{
    return kind() == kRanged ? static_cast<const ParamRange*>(table()) : nullptr;
}

bool IntParam::isValid(const char* text) const
{
    int32_t v = 0;
    const ParamRange* r = range();
    if (!r) {
        if (kind() != kUnranged)
            return false;
        return !text || parseInt(text, &v);
    }
    if (!text || !isRangedIntSyntax(text) || !parseInt(text, &v))
        return false;
    return v >= r->min && v <= r->max;
}

int IntParam::assign(const char* text, int length)
{
    if (!text)
        return 0;
    char local[kMaxIntText + 1];
    if (length >= 0) {
        if (length > kMaxIntText)
            return 0;
        std::memcpy(local, text, size_t(length));
        local[length] = '\0';
        text = local;
    }
    int32_t v = 0;
    if (!parseInt(text, &v))
        return 0;
    setValue(v);
    return 1;
}

int32_t IntParam::value() const
{
    Guard g(*this);
    return value_;
}

bool IntParam::setValue(int32_t v)
{
    Guard g(*this);
    if (value_ == v)
        return false;
    value_ = v;
    markModified();
    return true;
}

bool IntParam::setChecked(int32_t v)
{
    const ParamRange* r = range();
    if (r && (v < r->min || v > r->max))
        return false;
    setValue(v);
    return true;
}

int IntParam::toText(char* buffer, size_t size) const
{
    if (!buffer || size == 0)
        return 0;
    const int n = std::snprintf(buffer, size, "%d", value());
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return size_t(n) < size ? n : int(size - 1);
}

int IntParam::print(FILE* out) const
{
    return std::fprintf(out, "%d", value());
}

bool IntParam::getSnmp(std::string& out) const
{
    if (hasFlags(kParamHidden | kParamInternal))
        return false;
    const int32_t v = value();
    out.assign(reinterpret_cast<const char*>(&v), sizeof(v));
    return true;
}

BoolParam::BoolParam(const char* name, int32_t value, uint32_t flags)
    : IntParam(name, value, kRanged, &boolParamRange, flags)
{
}

bool BoolParam::isValid(const char* text) const
{
    return text && (strcasecmp(text, "on") == 0 || strcasecmp(text, "off") == 0);
}

int BoolParam::assign(const char* text, int length)
{
    // Only the lower-case spellings are taken. A given length of 2 or 3 lets
    // "on" / "off" stand at the start of a longer buffer.
    if (!text || text[0] != 'o')
        return 0;
    if (length != -1 && length != 2 && length != 3)
        return 0;
    int32_t v;
    if (text[1] == 'n' && (length == 2 || text[2] == '\0'))
        v = 1;
    else if (length != 2 && text[1] == 'f' && text[2] == 'f' && (length == 3 || text[3] == '\0'))
        v = 0;
    else
        return 0;
    Guard g(*this);
    if (value_ != v) {
        value_ = v;
        // Switched and switched back before the next collection: unmarked.
        flipModified();
    }
    return 1;
}

int BoolParam::toText(char* buffer, size_t size) const
{
    if (!buffer || size == 0)
        return 0;
    const char* t = value() ? "on" : "off";
    const size_t n = std::strlen(t);
    if (size < n + 1) {
        buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, t, n + 1);
    return int(n);
}

int BoolParam::print(FILE* out) const
{
    const char* t = value() ? "on" : "off";
    return std::fputs(t, out) < 0 ? -1 : int(std::strlen(t));
}

const char* BoolParam::yesNo() const
{
    return value() ? "yes" : "no";
}
