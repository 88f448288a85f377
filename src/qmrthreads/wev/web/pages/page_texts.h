// Filling a translated text of the program: the translation comes from a
// catalogue, so it is never used as a format; its first marker is replaced.
#pragma once

#include <string>

// text with its first occurrence of marker ("%d", "%s") replaced by value;
// text unchanged when it has none.
std::string fillIn(const std::string& text, const char* marker, const std::string& value);
