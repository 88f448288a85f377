#include "web/http/template_vars.h"

#include "web/http/http_reply.h"

#include <cctype>
#include <cstdlib>

namespace {

std::string withLineBreaks(const std::string& value)
{
    std::string out;
    for (char c : value) {
        if (c == '\n')
            out += "<br>";
        out.push_back(c);
    }
    return out;
}

// The number that ends name, or -1.
long trailingNumber(const std::string& name)
{
    size_t digits = name.size();
    while (digits > 0 && isdigit(static_cast<unsigned char>(name[digits - 1])))
        --digits;
    if (digits == name.size() || name.size() - digits > 9)
        return -1;
    return strtol(name.c_str() + digits, nullptr, 10);
}

} // namespace

void TemplateVars::setRaw(const std::string& name, const std::string& value)
{
    if (name.empty())
        return;
    pairs_.emplace_back(name, withLineBreaks(value));
}

void TemplateVars::setText(const std::string& name, const std::string& value)
{
    setRaw(name, htmlEscape(value));
}

void TemplateVars::setIndexed(const std::string& name, int index, const std::string& value, bool raw)
{
    std::string full = (name + std::to_string(index)).substr(0, 63);
    if (raw)
        setRaw(full, value);
    else
        setText(full, value);
}

void TemplateVars::setCount(const std::string& name, int count)
{
    setRaw(name + "#", std::to_string(count));
}

const std::string* TemplateVars::find(const std::string& name, int32_t index) const
{
    for (const auto& [stored, value] : pairs_) {
        if (index < 0) {
            if (stored == name)
                return &value;
            continue;
        }
        if (stored.size() <= name.size() || stored.compare(0, name.size(), name) != 0)
            continue;
        if (!isalnum(static_cast<unsigned char>(stored[name.size()])))
            continue;
        if (trailingNumber(stored) == index)
            return &value;
    }
    return nullptr;
}

int TemplateVars::count(const std::string& name) const
{
    const std::string* value = find(name + "#", -1);
    return value ? atoi(value->c_str()) : -1;
}
