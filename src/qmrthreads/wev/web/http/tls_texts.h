// Texts of the TLS pages built from OpenSSL's cipher descriptions.
#pragma once

#include <cstddef>
#include <string>

// A null text gives "[Error]". As table cells: the first two words of the
// text as "<first> </td><td> <second>" ("<td></td>" for an empty text). As
// a list: the words joined by ", ", where a later word naming a protocol
// (beginning with "SSL" or "TLS") is left out but its separator stays; at
// most size - 1 characters.
std::string formatCipherList(bool tableForm, const char* text, size_t size);
