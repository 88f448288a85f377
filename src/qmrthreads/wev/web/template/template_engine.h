// The template engine: expands a page template in one pass into a page.
//
// Grammar (a backslash copies the next character as it is):
//   {name}            value; an unknown name is written back as "{name}"
//   {?name}           value, or nothing when unknown
//   {name-N}          value with index N-1
//   {#}  {#name}      loop index + 1; count of a family
//   {[N|name(+K|-K)]body}   body repeated count times, index from K
//   {name?A|B}        A when the value is known and not empty, else B
//   {~?A|B}           A for an odd loop index
//   {name=R?A|B}      comparison; also '!' (differs), '<' and '>' (numbers)
//   {.path}           the named template file, included
//   ML("text") Ml(text)   translation, quoted or bare
// Name forms: $_ (index), $_+N, $_W (zero-padded to W digits), _x (without
// index), __x (x as written), -x (the list label column).
// After "<script " braces are copied as text until "</script".
//
// The page never grows past the limit given: a value is cut where the
// space ends, and the overrun notice then closes the page.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

class TemplateSource;

constexpr size_t kTemplateNameMax = 254;
constexpr size_t kTemplateValueSize = 2048;
constexpr int kTemplateIncludeDepth = 8;
constexpr size_t kTemplateIncludePathMax = 239;

struct TemplatePage {
    std::string text;
    bool overrun = false;
};

// Expands the template read from file (from its current position to its
// end) into page, at most limit bytes plus the overrun notice. script: the
// file starts in script mode.
void expandTemplate(FILE* file, TemplateSource& source, bool script, size_t limit, TemplatePage* page);

// Convenience for texts (tests, short inline templates).
TemplatePage expandTemplateText(const std::string& text, TemplateSource& source, bool script, size_t limit);

// The page buffer the engine may fill for a template of fileSize bytes on a
// product with ports physical ports.
size_t templatePageLimit(long fileSize, int ports);

// The notice that ends a page that reached its limit.
std::string templateOverrunNotice(size_t written);
