// Reading one received mail: its header (sender, subject, content type,
// transfer encoding, MIME boundary), its body lines and, for a multipart
// mail, its parts. Everything is taken from one mail's text and nothing
// else: a mail never inherits a value from the one before.
//
// A mail that breaks the rules it declares is marked malformed with a reason
// rather than read halfway: a line longer than 998 characters (RFC 5322), a
// multipart mail without a usable boundary, a boundary that never appears, a
// part that is never closed, multiparts nested deeper than three levels.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// RFC 5322's limit on a line, CR LF not counted.
constexpr size_t kMailMaxLineLength = 998;
// The sender and subject texts keep at most this many characters.
constexpr size_t kMailMaxHeaderText = 127;

struct MailHeader {
    std::string from;     // the address: the text between '<' and '>', else the value
    std::string subject;  // at most 127 characters
    int contentType;      // MailContent code, kTokenNone when not given or unknown
    int transferEncoding; // MailContent code, kTokenNone when not given or unknown
    std::string boundary; // multipart only
};

struct MailPart {
    int contentType;
    int transferEncoding;
    std::vector<std::string_view> lines;  // the content after the part's header
};

struct MailMessage {
    MailHeader header;
    std::vector<std::string_view> body;  // the lines after the header
    std::vector<MailPart> parts;         // multipart: every leaf part in order
    const char* problem = nullptr;       // why the mail is malformed, or null
};

// The text split at CR LF (or a bare LF); views into text.
std::vector<std::string_view> splitMailLines(std::string_view text);

// Reads a mail's header lines (up to the first empty line, or all of them)
// into header; folded lines are joined. The reason the header is malformed,
// or null.
const char* readMailHeader(const std::vector<std::string_view>& lines, size_t* next, MailHeader* header);

// Reads a whole mail (header and body). With headerOnly the text is the
// header alone (as POP3's TOP gives it): the parts of a multipart mail are
// not looked for. The views point into text, which must outlive the
// message.
MailMessage readMailMessage(std::string_view text, bool headerOnly = false);

// The address of a From value: between the first '<' and the last '>' when
// a '>' follows that '<', else the whole value; blanks around it removed,
// at most 127 characters.
std::string mailAddressOf(std::string_view value);

// The boundary parameter of a Content-Type value: after "boundary=" (any
// case), without its double quotes, up to a blank, a control character, a
// double quote, ';' or a character above '~'. Empty when there is none or
// it is not 1 to 127 characters long.
std::string mimeBoundaryOf(std::string_view value);

// Decodes every '=' followed by two hexadecimal digits in place; returns the
// new length.
size_t decodeQuotedPrintable(char* text, size_t length);

// Base64 over several pieces: characters outside the alphabet are skipped,
// '=' ends the data. finish() writes what a last incomplete group holds.
class Base64Decoder {
public:
    // Appends the bytes that the text's complete groups give to out.
    void feed(std::string_view text, std::string* out);
    // The bytes of an incomplete last group (two or three characters);
    // false when a single character was left over (the data was cut).
    bool finish(std::string* out);
    bool ended() const { return ended_; }

private:
    unsigned char group_[4] = {0, 0, 0, 0};
    int count_ = 0;
    bool ended_ = false;
};
