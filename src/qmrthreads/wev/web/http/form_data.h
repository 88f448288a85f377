// Reading a posted or queried form: name=value pairs joined by '&', values
// URL-encoded. The form text stays as received; each value is decoded once
// when it is read.
#pragma once

#include <cstdint>
#include <string>

// '+' becomes a blank; '%' and two characters becomes the byte of the two
// upper-case hexadecimal digits (any other character counts as 0); a '%'
// with fewer than two characters after it stays as it is.
std::string formDecode(const std::string& value);

// The decoded value of the first "name=" in the form at or after start (the
// name may end another field's name, as in "username="); false when there
// is none. *next (when given) is where a search for a later match goes on.
bool getFormVar(const std::string& form, const std::string& name, std::string* value, size_t start = 0,
                size_t* next = nullptr);

// A form applied to the parameters: lower-case field names that name a
// parameter are set ("__" before a name lets a form carry a parameter under
// another field name); fields named prefix + N set bit N of the mask.
// The form is taken whole or not at all: when one value is refused (out of
// range, of the wrong type, holding a control character), no parameter is
// set and refused names its field.
struct FormApplied {
    int changed = 0;
    uint32_t mask = 0;
    bool addressChanged = false;
    std::string refused;
};
FormApplied applyFormToParams(const std::string& form, const char* prefix);
