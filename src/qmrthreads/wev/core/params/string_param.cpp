#include "core/params/param.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "core/params/param_store.h"
#include "core/util/password_hash.h"
#include "core/i18n/texts.h"

namespace {

constexpr int kRanged = 2;
// "****" stands for a secret's value wherever it is shown, and writing it
// back must leave the secret as it is.
constexpr char kSecretMask[] = "****";
// The stored hash of the empty password: writing it back keeps the value.
constexpr char kEmptyPasswordHash[] = "kbR4uVn9sLq2E";

bool isMask(const char* text, size_t length)
{
    return length == 4 && std::memcmp(text, kSecretMask, 4) == 0;
}

// The front display's default entry: two upper-case letters or digits, and
// not an error code ('E' and a digit), which the display reserves.
bool isDisplayEntry(const char* text)
{
    if (std::strlen(text) != 2)
        return false;
    if (text[0] == 'E' && std::isdigit(text[1]))
        return false;
    for (int i = 0; i < 2; ++i) {
        const unsigned char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

}  // namespace

bool hasControlCharacter(const char* text, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = text[i];
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

StringParam::StringParam(const char* name, const char* defaultText, const ParamRange* range, uint32_t flags)
    : Param(name, kRanged, range, flags),
      value_(std::make_shared<const std::string>(defaultText ? defaultText : ""))
{
}

const ParamRange* StringParam::range() const
{
    return kind() == kRanged ? static_cast<const ParamRange*>(table()) : nullptr;
}

bool StringParam::isValid(const char* text) const
{
    if (!text)
        return true;
    size_t length = std::strlen(text);
    if (hasControlCharacter(text, length))
        return false;
    // Such a value would change at the next start. A password is stored as
    // its hash, which has no blanks.
    if (length > 0 && !(flags() & kParamHashed) && (isParamFileBlank(text[0]) || isParamFileBlank(text[length - 1])))
        return false;
    if (std::strcmp(name(), "disp_def") == 0)
        return isDisplayEntry(text);
    const ParamRange* r = range();
    if (!r)
        return true;
    const uint32_t f = flags();
    if (length == 0 && (f & (kParamSecret | kParamHashed)))
        return true;
    if ((f & kParamHashed) && length > 0)
        length = ((length - 1) / 8) * 11 + 13;
    return int64_t(length) >= r->min && int64_t(length) <= r->max;
}

int StringParam::assign(const char* text, int length)
{
    if (!text)
        return 0;
    const size_t len = length < 0 ? std::strlen(text) : size_t(length);
    const uint32_t f = flags();
    if ((f & (kParamSecret | kParamHashed)) && isMask(text, len))
        return 1;
    if (hasControlCharacter(text, len))
        return 0;
    if (f & kParamHashed)
        return assignPassword(text, len);
    Guard g(*this);
    if (value_->size() == len && std::memcmp(value_->data(), text, len) == 0)
        return 1;
    value_ = std::make_shared<const std::string>(text, len);
    markModified();
    return 1;
}

int StringParam::assignPassword(const char* text, size_t length)
{
    if (length == sizeof(kEmptyPasswordHash) - 1 && std::memcmp(text, kEmptyPasswordHash, length) == 0)
        return 1;
    Guard g(*this);
    if (verifyPasswordHash(text, int(length), value_->c_str()))
        return 1;
    std::string hash;
    if (length > 0) {
        char* made = makePasswordHash(text, int(length));
        // Too long to hash: refused, never stored in clear nor cleared.
        if (!made)
            return 0;
        hash = made;
        std::free(made);
    }
    value_ = std::make_shared<const std::string>(std::move(hash));
    markModified();
    return 1;
}

std::shared_ptr<const std::string> StringParam::value() const
{
    Guard g(*this);
    return value_;
}

bool StringParam::hasValue() const
{
    return !value()->empty();
}

int StringParam::toText(char* buffer, size_t size) const
{
    if (!buffer || size == 0)
        return 0;
    const std::shared_ptr<const std::string> v = value();
    const uint32_t f = flags();
    const char* t = v->c_str();
    size_t n = v->size();
    if (!v->empty() && (f & (kParamSecret | kParamHashed))) {
        t = kSecretMask;
        n = 4;
    } else if (!v->empty() && (f & kParamTranslated)) {
        t = getmuText(t);
        n = std::strlen(t);
    }
    if (n > size - 1)
        n = size - 1;
    std::memcpy(buffer, t, n);
    buffer[n] = '\0';
    return int(n);
}

int StringParam::print(FILE* out) const
{
    const std::shared_ptr<const std::string> v = value();
    if (v->empty())
        return 0;
    return std::fwrite(v->data(), 1, v->size(), out) == v->size() ? int(v->size()) : -1;
}

bool StringParam::getSnmp(std::string& out) const
{
    if (hasFlags(kParamHidden | kParamInternal))
        return false;
    const std::shared_ptr<const std::string> v = value();
    if (!v->empty() && hasFlags(kParamSecret | kParamHashed))
        out.assign(kSecretMask);
    else
        out.assign(*v);
    return true;
}

std::string paramText(const StringParam* p)
{
    if (!p)
        return std::string();
    const std::shared_ptr<const std::string> v = p->value();
    if (!v->empty() && p->hasFlags(kParamTranslated))
        return getmuText(v->c_str());
    return *v;
}
