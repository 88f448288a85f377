// What a template is expanded against: the values of names, the counts of
// indexed families, the translations of marked texts and the files that an
// include construct names. The web connection answers these for a request;
// tests answer them from a table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The index word of a name that is looked up outside any loop. Adding
// kLabelColumn to it (or to a loop index) asks a list parameter for its
// label instead of its token.
constexpr int32_t kNoIndex = INT32_MIN;
constexpr int32_t kLabelColumn = 0x10000;

class TemplateSource {
public:
    virtual ~TemplateSource() = default;
    // The value of name with index (kNoIndex: none) into buffer, terminated
    // when it fits; its length, or -1 when no source knows the name at all.
    virtual int resolve(const char* name, int32_t index, char* buffer, size_t size) = 0;
    // Members of an indexed family (loops and {#name}).
    virtual int count(const char* name) = 0;
    // The translation of a text marked ML("..") or Ml(..).
    virtual std::string translate(const char* text) = 0;
    // The file an include {.path} reads; "" refuses it.
    virtual std::string includeFile(const char* path) = 0;
};
