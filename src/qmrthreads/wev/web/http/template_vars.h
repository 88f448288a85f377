// The template variables of one request: named values that page handlers
// set and templates show. Names beginning with a capital letter are the
// handlers' own; lower-case names are parameters and are not stored here.
// The first value stored under a name is the one shown; a newline in a
// value is shown as a line break.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class TemplateVars {
public:
    // The program's own HTML (table cells, entities): stored as it is.
    void setRaw(const std::string& name, const std::string& value);
    // Text from outside (host names, USB strings, SSIDs, file names, form
    // values): HTML-escaped before it is stored.
    void setText(const std::string& name, const std::string& value);
    void setIndexed(const std::string& name, int index, const std::string& value, bool raw = false);
    // name + "#": the size of an indexed family, for loops.
    void setCount(const std::string& name, int count);

    // Without index (negative) the exact name; with one, a stored name that
    // begins with name, goes on with a letter or digit and whose trailing
    // number is index ("UTAB_" with 3 finds "UTAB_3").
    const std::string* find(const std::string& name, int32_t index) const;
    // The count stored as name + "#", -1 when none.
    int count(const std::string& name) const;
    size_t size() const { return pairs_.size(); }

private:
    std::vector<std::pair<std::string, std::string>> pairs_;
};
