// Making text from outside safe for a mail: values that go into SMTP
// commands and header lines lose their control characters (a CR or LF
// there would start a command or a header of its own), and a body is sent
// with CR LF line ends and every line that begins with '.' doubled, so no
// line of it can end the DATA phase.
#pragma once

#include <string>

// The text without control characters (CR, LF and the rest below 0x20,
// and DEL).
std::string mailHeaderText(const std::string& text);

// The body as DATA carries it: bare CR or LF become CR LF, a '.' at the
// start of a line is doubled.
std::string dotStuffedBody(const char* body, size_t length);

// Base64 of the text on one line (AUTH LOGIN values, whatever their length).
std::string base64Line(const std::string& text);
