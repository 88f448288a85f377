#include "core/params/param.h"

#include <strings.h>

#include <cstring>

#include "core/i18n/texts.h"

namespace {

constexpr uint32_t kCurrentRow = 0x80000000u;
constexpr uint32_t kColumnMask = 0x30000u;
constexpr uint32_t kColumnLabel = 0x10000u;

// The token of a row equals the first length characters of text.
bool tokenEquals(const char* token, const char* text, size_t length)
{
    return token && std::strncmp(token, text, length) == 0 && token[length] == '\0';
}

}  // namespace

P3List::P3List(const char* name, const char* defaultToken, int rowCount, const P3ListRow* rows, uint32_t flags)
    : Param(name, rowCount, rows, flags), rows_(rows), index_(kNoRow)
{
    if (defaultToken)
        index_ = indexOfToken(defaultToken);
}

int32_t P3List::indexOfToken(const char* text) const
{
    if (!text)
        return kNoRow;
    const size_t length = std::strlen(text);
    for (int i = 0; i < rowCount(); ++i) {
        if (tokenEquals(rows_[i].token, text, length))
            return i;
    }
    return kNoRow;
}

bool P3List::isValid(const char* text) const
{
    return indexOfToken(text) != kNoRow;
}

int P3List::assign(const char* text, int length)
{
    if (!text)
        return 0;
    const size_t len = length < 0 ? std::strlen(text) : size_t(length);
    int32_t row = kNoRow;
    for (int i = 0; i < rowCount() && row == kNoRow; ++i) {
        if (tokenEquals(rows_[i].token, text, len))
            row = i;
    }
    if (row == kNoRow)
        return 0;
    Guard g(*this);
    // A change that is undone again before the collection keeps its mark:
    // the collection then finds the value unchanged, which costs a save,
    // whereas dropping the mark could lose a change made in between.
    orModified(row != index_);
    index_ = row;
    return 1;
}

int32_t P3List::index() const
{
    Guard g(*this);
    return index_;
}

bool P3List::setIndex(int32_t row)
{
    if (row < 0 || row >= rowCount())
        return false;
    Guard g(*this);
    orModified(row != index_);
    index_ = row;
    return true;
}

int P3List::toTextSel(uint32_t selector, char* buffer, size_t size) const
{
    uint32_t row;
    uint32_t column;
    if (selector & kCurrentRow) {
        row = uint32_t(index());
        column = selector & kColumnMask;
    } else if (selector & kColumnMask) {
        row = selector & 0xffff;
        column = selector & kColumnMask;
    } else {
        row = selector;
        column = 0;
    }
    if (buffer && size > 0)
        buffer[0] = '\0';
    if (row >= uint32_t(rowCount())) {
        std::fprintf(stderr, "ERROR P3List ill base idx:x%08x\n", row);
        return 0;
    }
    const P3ListRow& r = rows_[row];
    const char* text = column == 0 ? r.token : column == kColumnLabel ? r.label : r.extra;
    if (!text)
        text = "";
    if (column == kColumnLabel && hasFlags(kParamTranslated))
        text = getmuText(text);
    if (!buffer || size == 0)
        return 0;
    size_t n = std::strlen(text);
    if (n > size - 1)
        n = size - 1;
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return int(n);
}

int P3List::toText(char* buffer, size_t size) const
{
    return toTextSel(kCurrentRow, buffer, size);
}

const char* P3List::currentToken() const
{
    const int32_t row = index();
    if (row < 0 || row >= rowCount() || !rows_[row].token)
        return "";
    return rows_[row].token;
}

const char* P3List::label() const
{
    const int32_t row = index();
    if (row < 0 || row >= rowCount() || !rows_[row].label)
        return "";
    return hasFlags(kParamTranslated) ? getmuText(rows_[row].label) : rows_[row].label;
}

int P3List::print(FILE* out) const
{
    const char* t = currentToken();
    return std::fputs(t, out) < 0 ? -1 : int(std::strlen(t));
}

bool P3List::getSnmp(std::string& out) const
{
    if (hasFlags(kParamHidden | kParamInternal))
        return false;
    const int32_t row = index();
    if (row < 0 || row >= rowCount())
        return false;
    if (hasFlags(kParamSnmpToken)) {
        out.assign(rows_[row].token ? rows_[row].token : "");
        return true;
    }
    out.assign(reinterpret_cast<const char*>(&row), sizeof(row));
    return true;
}

bool P3List::equalsToken(const char* text) const
{
    return text && strcasecmp(text, currentToken()) == 0;
}

bool P3List::matchesAny(const char* const* texts) const
{
    if (!texts)
        return false;
    for (; *texts; ++texts) {
        if (equalsToken(*texts))
            return true;
    }
    return false;
}
