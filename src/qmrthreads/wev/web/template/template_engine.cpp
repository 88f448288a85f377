#include "web/template/template_engine.h"

#include "web/template/template_source.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

// Stop code of an expansion that runs to the end of its file.
constexpr int kStopAtEnd = -2;

struct Output {
    std::string* text;
    size_t limit;
    bool overrun = false;
};

class Reader {
public:
    Reader(FILE* file, TemplateSource& source, Output& out, int depth)
        : file_(file), source_(source), out_(out), depth_(depth)
    {
    }

    // Expands (or, skipping, reads over) up to stop; returns the character
    // that ended the expansion: stop, an unmatched '}' of a branch, or EOF.
    int expand(bool skipping, int32_t index, int stop, bool script);

private:
    int expandText(int32_t index, int stop, bool script);
    int skip(int stop);
    bool construct(int32_t index);
    void loop(const char* bounds);
    void include(const char* path);
    bool conditional(bool condition, int32_t index);
    bool readComparand(int32_t index, std::string* out);
    void translation(int c);
    int readName(std::string* name);
    bool valueOf(const std::string& name, int32_t index, std::string* value);
    int resolveForm(const char* name, int32_t index, char* buffer, size_t size);
    int countOf(const char* name) { return source_.count(name); }

    bool follows(const char* text);
    void emit(const char* text, size_t length);
    void emit(const std::string& text) { emit(text.data(), text.size()); }
    void emitChar(char c) { emit(&c, 1); }

    FILE* file_;
    TemplateSource& source_;
    Output& out_;
    int depth_;
    char value_[kTemplateValueSize];
};

bool isTerminator(int c, size_t position)
{
    switch (c) {
    case '}': case ']': case '<': case '>': case '=': case '!': case '\t': case '\n':
        return true;
    case '?':
        return position > 0;
    default:
        return false;
    }
}

// A name's trailing "-N": the name without it and index N-1.
bool splitIndexSuffix(std::string* name, int32_t* index)
{
    size_t dash = name->rfind('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 >= name->size())
        return false;
    for (size_t i = dash + 1; i < name->size(); ++i) {
        if ((*name)[i] < '0' || (*name)[i] > '9')
            return false;
    }
    *index = atoi(name->c_str() + dash + 1) - 1;
    name->resize(dash);
    return true;
}

} // namespace

void Reader::emit(const char* text, size_t length)
{
    if (out_.overrun)
        return;
    size_t used = out_.text->size();
    size_t room = used < out_.limit ? out_.limit - used : 0;
    if (length > room) {
        out_.text->append(text, room);
        out_.overrun = true;
        return;
    }
    out_.text->append(text, length);
}

bool Reader::follows(const char* text)
{
    long position = ftell(file_);
    bool same = true;
    for (const char* p = text; *p && same; ++p)
        same = getc(file_) == static_cast<unsigned char>(*p);
    fseek(file_, position, SEEK_SET);
    return same;
}

int Reader::expand(bool skipping, int32_t index, int stop, bool script)
{
    return skipping ? skip(stop) : expandText(index, stop, script);
}

int Reader::skip(int stop)
{
    int depth = 0;
    for (;;) {
        int c = getc(file_);
        if (c == EOF)
            return EOF;
        if (c == '\\') {
            if (getc(file_) == EOF)
                return EOF;
            continue;
        }
        if (c == '{') {
            ++depth;
            continue;
        }
        if (c == '}') {
            if (depth > 0) {
                --depth;
                continue;
            }
            return '}';
        }
        if (c == stop && depth <= 0)
            return c;
    }
}

int Reader::expandText(int32_t index, int stop, bool script)
{
    for (;;) {
        if (out_.overrun)
            return EOF;
        int c = getc(file_);
        if (c == EOF || c == stop)
            return c;
        if (c == '<') {
            emitChar('<');
            if (script && follows("/script"))
                script = false;
            else if (!script && follows("script "))
                script = true;
            continue;
        }
        if (script) {
            translation(c);
            continue;
        }
        if (c == '\\') {
            c = getc(file_);
            if (c == EOF)
                return EOF;
            emitChar(static_cast<char>(c));
            continue;
        }
        if (c == '{') {
            if (!construct(index))
                return EOF;
            continue;
        }
        if (c == '}' && stop == '|')
            return '}';
        translation(c);
    }
}

// ML("text") and Ml(text): the text up to a double quote or the matching
// parenthesis is translated; the rest up to that parenthesis is dropped.
void Reader::translation(int c)
{
    if (c != 'M' || !(follows("L(") || follows("l("))) {
        emitChar(static_cast<char>(c));
        return;
    }
    bool quoted = getc(file_) == 'L';
    getc(file_);  // '('
    int opening = getc(file_);  // normally the quotation mark
    std::string text;
    int depth = 0;
    bool inText = opening != ')' && opening != EOF;
    if (opening == '(')
        depth = 1;
    int ch = opening;
    while (inText) {
        ch = getc(file_);
        if (ch == EOF || ch == '"' || (ch == ')' && depth == 0))
            break;
        if (ch == '(')
            ++depth;
        if (ch == ')')
            --depth;
        if (text.size() < kTemplateNameMax)
            text.push_back(static_cast<char>(ch));
    }
    // What follows the text up to the closing parenthesis is not shown.
    while (inText && ch != ')' && ch != EOF)
        ch = getc(file_);
    std::string translated = source_.translate(text.c_str());
    if (quoted)
        emitChar('"');
    emit(translated);
    if (quoted)
        emitChar('"');
}

int Reader::readName(std::string* name)
{
    name->clear();
    size_t position = 0;
    for (;;) {
        int c = getc(file_);
        if (c == EOF || isTerminator(c, position))
            return c;
        if (name->size() < kTemplateNameMax)
            name->push_back(static_cast<char>(c));
        ++position;
    }
}

int Reader::resolveForm(const char* name, int32_t index, char* buffer, size_t size)
{
    if (index == -1) {
        fprintf(stderr, "ill value -1 for element?! ...fixed\n");
        index = kNoIndex;
    }
    if (name[0] == '$' && name[1] == '_') {
        int shown = index == kNoIndex ? 0 : index;
        const char* rest = name + 2;
        int n;
        if (*rest == '+')
            n = snprintf(buffer, size, "%d", shown + atoi(rest + 1));
        else if (*rest >= '0' && *rest <= '9') {
            int width = atoi(rest);
            if (width > 32)
                width = 32;
            n = snprintf(buffer, size, "%*.*d", width, width, shown);
        } else
            n = snprintf(buffer, size, "%d", shown);
        return n < static_cast<int>(size) ? n : static_cast<int>(size) - 1;
    }
    if (name[0] == '_' && name[1] == '_')
        return source_.resolve(name, index, buffer, size);
    if (name[0] == '_')
        return source_.resolve(name + 1, kNoIndex, buffer, size);
    if (name[0] == '-')
        return source_.resolve(name + 1, index == kNoIndex ? kNoIndex + kLabelColumn : index + kLabelColumn,
                               buffer, size);
    return source_.resolve(name, index, buffer, size);
}

// The value of a construct's name; false when no source knows it.
bool Reader::valueOf(const std::string& written, int32_t index, std::string* value)
{
    value->clear();
    if (written == "#") {
        *value = std::to_string(index == kNoIndex ? 0 : index + 1);
        return true;
    }
    if (written.size() > 1 && written[0] == '#') {
        *value = std::to_string(countOf(written.c_str() + 1));
        return true;
    }
    std::string name = written[0] == '?' ? written.substr(1) : written;
    splitIndexSuffix(&name, &index);
    value_[0] = '\0';
    int n = resolveForm(name.c_str(), index, value_, sizeof value_);
    if (n < 0)
        return false;
    value->assign(value_, strnlen(value_, sizeof value_ - 1));
    return true;
}

bool Reader::construct(int32_t index)
{
    std::string name;
    int terminator = readName(&name);
    if (terminator == EOF)
        return false;
    if (name.empty() && (terminator == '\t' || terminator == '\n')) {
        emitChar('{');
        emitChar(static_cast<char>(terminator));
        return true;
    }
    if (name[0] == '.') {
        include(name.c_str() + 1);
        return true;
    }
    if (name[0] == '[') {
        loop(name.c_str() + 1);
        return true;
    }
    std::string value;
    bool known = name != "~" && valueOf(name, index, &value);
    switch (terminator) {
    case '}':
        if (known)
            emit(value);
        else if (name[0] != '?' && name != "~")
            emit("{" + name + "}");
        return true;
    case '?': {
        bool condition = name == "~" ? index != kNoIndex && (index & 1) : known && !value.empty();
        return conditional(condition, index);
    }
    default: {
        std::string comparand;
        if (!readComparand(index, &comparand))
            return false;
        bool condition = true;
        if (terminator == '=')
            condition = strcasecmp(value.c_str(), comparand.c_str()) == 0;
        else if (terminator == '!')
            condition = strcasecmp(value.c_str(), comparand.c_str()) != 0;
        else if (terminator == '<')
            condition = strtol(value.c_str(), nullptr, 10) < strtol(comparand.c_str(), nullptr, 10);
        else if (terminator == '>')
            condition = strtol(value.c_str(), nullptr, 10) > strtol(comparand.c_str(), nullptr, 10);
        return conditional(condition, index);
    }
    }
}

// The right side of a comparison, up to its '?'. false at the file's end.
bool Reader::readComparand(int32_t index, std::string* out)
{
    bool open = true;
    for (;;) {
        int c = getc(file_);
        if (c == EOF)
            return false;
        if (c == '?')
            return true;
        std::string piece;
        if (c == '#') {
            piece = std::to_string(index == kNoIndex ? 0 : index + 1);
        } else if (c == '\\') {
            c = getc(file_);
            if (c == EOF)
                return false;
            piece.assign(1, static_cast<char>(c));
        } else if (c == '{') {
            std::string name;
            if (readName(&name) == EOF)
                return false;
            bool known = !name.empty() && valueOf(name, index, &piece);
            if (!known || piece.empty())
                open = false;
        } else {
            piece.assign(1, static_cast<char>(c));
        }
        if (open)
            *out += piece;
    }
}

bool Reader::conditional(bool condition, int32_t index)
{
    int ended = expand(!condition, index, '|', false);
    if (ended == EOF)
        return false;
    if (ended == '}')
        return true;  // a branch without '|' has no second part
    return expand(condition, index, '}', false) != EOF;
}

void Reader::loop(const char* bounds)
{
    int count;
    const char* p = bounds;
    if (*p >= '0' && *p <= '9') {
        count = static_cast<int>(strtol(p, const_cast<char**>(&p), 10));
    } else {
        const char* end = p + strcspn(p, "+-");
        count = countOf(std::string(p, end).c_str());
        p = end;
    }
    int32_t first = 0;
    if (*p == '+' || *p == '-')
        first = static_cast<int32_t>(strtol(p, nullptr, 10));
    long body = ftell(file_);
    if (count < 1) {
        skip('}');
        return;
    }
    for (int32_t i = first; i < first + count && !out_.overrun; ++i) {
        fseek(file_, body, SEEK_SET);
        if (expand(false, i, '}', false) == EOF)
            return;
    }
}

void Reader::include(const char* path)
{
    if (strlen(path) > kTemplateIncludePathMax || depth_ >= kTemplateIncludeDepth)
        return;
    std::string name = source_.includeFile(path);
    if (name.empty())
        return;
    FILE* nested = fopen(name.c_str(), "r");
    if (!nested)
        return;
    Reader reader(nested, source_, out_, depth_ + 1);
    reader.expand(false, kNoIndex, '\0', false);
    fclose(nested);
}

void expandTemplate(FILE* file, TemplateSource& source, bool script, size_t limit, TemplatePage* page)
{
    page->text.clear();
    page->overrun = false;
    Output out{&page->text, limit};
    Reader reader(file, source, out, 0);
    reader.expand(false, kNoIndex, kStopAtEnd, script);
    if (out.overrun) {
        page->text += templateOverrunNotice(page->text.size());
        page->overrun = true;
    }
}

TemplatePage expandTemplateText(const std::string& text, TemplateSource& source, bool script, size_t limit)
{
    TemplatePage page;
    FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (!file)
        return page;
    expandTemplate(file, source, script, limit, &page);
    fclose(file);
    return page;
}

size_t templatePageLimit(long fileSize, int ports)
{
    size_t size = fileSize > 0 ? static_cast<size_t>(fileSize) : 0;
    size += ports > 6 ? static_cast<size_t>(ports) * 10240 - 4096 : 0xE000;
    return size - 1024;
}

std::string templateOverrunNotice(size_t written)
{
    char text[80];
    snprintf(text, sizeof text, "\n<br>ERROR BUFFER OVERRUN?! (%zu) <br>\n", written);
    return text;
}
