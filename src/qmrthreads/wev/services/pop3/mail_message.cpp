#include "services/pop3/mail_message.h"
#include "core/util/text_scan.h"

#include "core/util/base64.h"
#include "services/pop3/mail_grammar.h"

#include <cstring>
#include <strings.h>

namespace {

constexpr size_t kMaxBoundary = 127;
constexpr int kMaxMultipartDepth = 3;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (isBlank(s.front()) || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (isBlank(s.back()) || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

int contentTypeOf(std::string_view value)
{
    const char* p = value.data();
    return matchContentType(&p, value.data() + value.size());
}

int transferEncodingOf(std::string_view value)
{
    const char* p = value.data();
    return matchTransferEncoding(&p, value.data() + value.size());
}

bool nameIs(std::string_view name, const char* wanted)
{
    return name.size() == strlen(wanted) && strncasecmp(name.data(), wanted, name.size()) == 0;
}

// Header fields with their folded continuation lines joined by a blank.
struct HeaderField {
    std::string_view name;
    std::string value;
};

void collectFields(const std::vector<std::string_view>& lines, size_t* next, std::vector<HeaderField>* fields)
{
    size_t i = *next;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        std::string_view line = lines[i];
        if (isBlank(line.front())) {
            if (!fields->empty())
                fields->back().value.append(" ").append(trimmed(line));
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        fields->push_back({trimmed(line.substr(0, colon)), std::string(trimmed(line.substr(colon + 1)))});
    }
    *next = i < lines.size() ? i + 1 : i;
}

// Content-Type and Content-Transfer-Encoding of a field list; multipart
// needs its boundary, else the reason.
const char* readContentFields(const std::vector<HeaderField>& fields, int* type, int* encoding,
                              std::string* boundary)
{
    *type = kTokenNone;
    *encoding = kTokenNone;
    for (const HeaderField& f : fields) {
        if (nameIs(f.name, "Content-Transfer-Encoding"))
            *encoding = transferEncodingOf(f.value);
        if (nameIs(f.name, "Content-Type")) {
            *type = contentTypeOf(f.value);
            if (*type == kContentMultipart) {
                *boundary = mimeBoundaryOf(f.value);
                if (boundary->empty())
                    return "multipart mail without a usable boundary";
            }
        }
    }
    return nullptr;
}

// Whether line is "--boundary" (closing: "--boundary--"), trailing blanks
// allowed.
bool isBoundaryLine(std::string_view line, const std::string& boundary, bool* closing)
{
    line = trimmed(line);
    if (line.size() < boundary.size() + 2 || line.substr(0, 2) != "--" || line.substr(2, boundary.size()) != boundary)
        return false;
    std::string_view rest = line.substr(boundary.size() + 2);
    *closing = rest == "--";
    return rest.empty() || *closing;
}

const char* readParts(const std::vector<std::string_view>& lines, const std::string& boundary, int depth,
                      std::vector<MailPart>* parts);

// One part between two boundary lines: its header, then its content (or
// its own parts when it is a multipart).
const char* readPart(const std::vector<std::string_view>& lines, int depth, std::vector<MailPart>* parts)
{
    std::vector<HeaderField> fields;
    size_t next = 0;
    collectFields(lines, &next, &fields);
    MailPart part{kContentText, kTokenNone, {}};
    std::string boundary;
    int type = kTokenNone;
    if (const char* problem = readContentFields(fields, &type, &part.transferEncoding, &boundary))
        return problem;
    // A part without a Content-Type is plain text (RFC 2046).
    bool hasType = false;
    for (const HeaderField& f : fields)
        hasType = hasType || nameIs(f.name, "Content-Type");
    part.contentType = hasType ? type : kContentText;
    std::vector<std::string_view> content(lines.begin() + static_cast<long>(next), lines.end());
    if (part.contentType == kContentMultipart)
        return readParts(content, boundary, depth + 1, parts);
    part.lines = std::move(content);
    parts->push_back(std::move(part));
    return nullptr;
}

const char* readParts(const std::vector<std::string_view>& lines, const std::string& boundary, int depth,
                      std::vector<MailPart>* parts)
{
    if (depth > kMaxMultipartDepth)
        return "multipart nested too deeply";
    bool inPart = false;
    bool closed = false;
    std::vector<std::string_view> current;
    for (std::string_view line : lines) {
        bool closing = false;
        if (!isBoundaryLine(line, boundary, &closing)) {
            if (inPart)
                current.push_back(line);
            continue;
        }
        if (inPart) {
            if (const char* problem = readPart(current, depth, parts))
                return problem;
            current.clear();
        }
        inPart = !closing;
        if (closing) {
            closed = true;
            break;
        }
    }
    if (!closed)
        return inPart || !parts->empty() ? "MIME part not closed" : "MIME boundary never appears";
    return nullptr;
}

} // namespace

std::vector<std::string_view> splitMailLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (lf == std::string_view::npos)
            break;
        text.remove_prefix(lf + 1);
    }
    return lines;
}

std::string mailAddressOf(std::string_view value)
{
    const size_t open = value.find('<');
    const size_t close = value.rfind('>');
    if (open != std::string_view::npos && close != std::string_view::npos && close > open)
        value = value.substr(open + 1, close - open - 1);
    value = trimmed(value);
    return std::string(value.substr(0, kMailMaxHeaderText));
}

std::string mimeBoundaryOf(std::string_view value)
{
    size_t at = 0;
    for (;; ++at) {
        at = value.find_first_of("bB", at);
        if (at == std::string_view::npos)
            return std::string();
        if (startsWithNoCase(value.substr(at), "boundary="))
            break;
    }
    std::string_view rest = value.substr(at + 9);
    const bool quoted = !rest.empty() && rest.front() == '"';
    if (quoted)
        rest.remove_prefix(1);
    size_t n = 0;
    while (n < rest.size()) {
        const unsigned char c = static_cast<unsigned char>(rest[n]);
        if (c == '"' || c < 0x20 || c > '~' || (!quoted && (c == ' ' || c == ';')))
            break;
        ++n;
    }
    if (n < 1 || n > kMaxBoundary)
        return std::string();
    return std::string(rest.substr(0, n));
}

const char* readMailHeader(const std::vector<std::string_view>& lines, size_t* next, MailHeader* header)
{
    std::vector<HeaderField> fields;
    collectFields(lines, next, &fields);
    for (const HeaderField& f : fields) {
        if (nameIs(f.name, "From"))
            header->from = mailAddressOf(f.value);
        else if (nameIs(f.name, "Subject"))
            header->subject = f.value.substr(0, kMailMaxHeaderText);
    }
    return readContentFields(fields, &header->contentType, &header->transferEncoding, &header->boundary);
}

MailMessage readMailMessage(std::string_view text, bool headerOnly)
{
    MailMessage m;
    m.header = MailHeader{"", "", kTokenNone, kTokenNone, ""};
    const std::vector<std::string_view> lines = splitMailLines(text);
    for (std::string_view line : lines) {
        if (line.size() > kMailMaxLineLength) {
            m.problem = "a line longer than 998 characters";
            break;
        }
    }
    size_t next = 0;
    const char* problem = readMailHeader(lines, &next, &m.header);
    if (!m.problem)
        m.problem = problem;
    m.body.assign(lines.begin() + static_cast<long>(next), lines.end());
    if (!m.problem && !headerOnly && m.header.contentType == kContentMultipart)
        m.problem = readParts(m.body, m.header.boundary, 1, &m.parts);
    return m;
}

size_t decodeQuotedPrintable(char* text, size_t length)
{
    size_t out = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '=' && i + 2 < length && hexDigitValue(text[i + 1]) >= 0 && hexDigitValue(text[i + 2]) >= 0) {
            text[out++] = static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
            i += 2;
            continue;
        }
        text[out++] = text[i];
    }
    return out;
}

void Base64Decoder::feed(std::string_view text, std::string* out)
{
    for (char c : text) {
        if (ended_)
            return;
        if (c == '=') {
            ended_ = true;
            return;
        }
        const int v = base64Value(static_cast<unsigned char>(c));
        if (v < 0)
            continue;
        group_[count_++] = static_cast<unsigned char>(v);
        if (count_ < 4)
            continue;
        out->push_back(static_cast<char>(group_[0] << 2 | group_[1] >> 4));
        out->push_back(static_cast<char>(group_[1] << 4 | group_[2] >> 2));
        out->push_back(static_cast<char>(group_[2] << 6 | group_[3]));
        count_ = 0;
    }
}

bool Base64Decoder::finish(std::string* out)
{
    if (count_ == 1)
        return false;
    if (count_ >= 2)
        out->push_back(static_cast<char>(group_[0] << 2 | group_[1] >> 4));
    if (count_ == 3)
        out->push_back(static_cast<char>(group_[1] << 4 | group_[2] >> 2));
    count_ = 0;
    return true;
}
