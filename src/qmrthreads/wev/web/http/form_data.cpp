#include "web/http/form_data.h"

#include "core/params/param_store.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

int upperHexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

// Bit n for a field named <prefix part><n>, the prefix part running up to
// and including its first '_'.
void addMaskBit(const std::string& name, const char* prefix, uint32_t* mask)
{
    if (!prefix || !*prefix)
        return;
    const char* underscore = strchr(prefix, '_');
    size_t partLength = underscore ? static_cast<size_t>(underscore - prefix) + 1 : strlen(prefix);
    if (name.size() <= partLength || name[0] < 'A' || name[0] > 'Z' || name.compare(0, partLength, prefix, partLength) != 0)
        return;
    const char* digits = name.c_str() + partLength;
    if (!isdigit(static_cast<unsigned char>(*digits)))
        return;
    long n = strtol(digits, nullptr, 10);
    if (n >= 0 && n < 32)
        *mask |= 1u << n;
}

std::string trimRight(std::string text)
{
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

} // namespace

std::string formDecode(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < value.size()) {
            out.push_back(static_cast<char>(upperHexValue(value[i + 1]) * 16 + upperHexValue(value[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool getFormVar(const std::string& form, const std::string& name, std::string* value, size_t start, size_t* next)
{
    std::string key = name + "=";
    size_t at = form.find(key, start);
    if (at == std::string::npos)
        return false;
    size_t from = at + key.size();
    size_t end = form.find('&', from);
    if (end == std::string::npos)
        end = form.size();
    *value = formDecode(form.substr(from, end - from));
    if (next)
        *next = end;
    return true;
}

namespace {

// A parameter the form names, with its text before the form.
struct Touched {
    Param* param;
    std::string before;
    bool secretChanged;
};

bool hasChanged(const Touched& t)
{
    return t.param->hasFlags(kParamSecret | kParamHashed) ? t.secretChanged : t.param->text() != t.before;
}

} // namespace

namespace {

// One field of the form that names a parameter, its value decoded and cut.
struct ParamField {
    std::string name;
    Param* param;
    std::string text;
};

// The fields that name parameters, in form order; mask bits on the way.
std::vector<ParamField> paramFields(const std::string& form, const char* prefix, uint32_t* mask)
{
    std::vector<ParamField> fields;
    size_t pos = 0;
    while (pos < form.size()) {
        size_t end = form.find('&', pos);
        if (end == std::string::npos)
            end = form.size();
        std::string pair = form.substr(pos, end - pos);
        pos = end + 1;
        size_t eq = pair.find('=');
        if (eq == std::string::npos)
            break;
        std::string name = pair.substr(0, eq);
        addMaskBit(name, prefix, mask);
        size_t skip = name.compare(0, 2, "__") == 0 ? 2 : 0;
        if (name.size() <= skip || name[skip] < 'a' || name[skip] > 'z')
            continue;
        Param* p = ParamStore::find(name.c_str() + skip);
        if (p)
            fields.push_back(ParamField{name, p, trimRight(formDecode(pair.substr(eq + 1)))});
    }
    return fields;
}

bool isDecimal(const std::string& text)
{
    size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() <= start)
        return false;
    for (size_t i = start; i < text.size(); ++i) {
        if (!isdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

// A secret reads back as "****", which keeps it.
bool keepsSecret(const ParamField& f)
{
    return f.text == "****" && f.param->hasFlags(kParamSecret | kParamHashed);
}

// Whether the parameter would take the value as it stands. The whole value
// is looked at: a decoded NUL would otherwise cut it short unseen, and no
// setting of any class holds a control character.
bool acceptable(const ParamField& f)
{
    if (f.text.size() > static_cast<size_t>(kParamMaxTextLength))
        return false;
    if (hasControlCharacter(f.text.data(), f.text.size()))
        return false;
    // A check box's check takes any case, its store only these two.
    if (f.param->paramClass() == ParamClass::Bool)
        return f.text == "on" || f.text == "off";
    // The store reads a number as far as it goes ("25x" as 25, "six" as 0);
    // a form's number is all digits.
    if (f.param->paramClass() == ParamClass::Int && !isDecimal(f.text))
        return false;
    return keepsSecret(f) || f.param->isValid(f.text.c_str());
}

} // namespace

FormApplied applyFormToParams(const std::string& form, const char* prefix)
{
    FormApplied applied;
    std::vector<ParamField> fields = paramFields(form, prefix, &applied.mask);
    for (const ParamField& f : fields) {
        if (!acceptable(f)) {
            applied.refused = f.name;
            return applied;
        }
    }
    // A check box posts a hidden "off" before its "on": what counts is the
    // value each parameter has once the whole form is applied.
    std::vector<Touched> touched;
    for (const ParamField& f : fields) {
        size_t slot = 0;
        while (slot < touched.size() && touched[slot].param != f.param)
            ++slot;
        if (slot == touched.size())
            touched.push_back(Touched{f.param, f.param->text(), false});
        bool refused = false;
        f.param->setReporting(f.text.c_str(), static_cast<int>(f.text.size()), &refused);
        // The check above agrees with set; should a class ever refuse more,
        // the field is still named.
        if (refused && applied.refused.empty())
            applied.refused = f.name;
        if (!refused && !keepsSecret(f))
            touched[slot].secretChanged = true;
    }
    for (const Touched& t : touched) {
        if (!hasChanged(t))
            continue;
        ++applied.changed;
        if (strcmp(t.param->name(), "ip_addr") == 0)
            applied.addressChanged = true;
    }
    return applied;
}
