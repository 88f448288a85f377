#include "usbserver/usb_ids.h"

#include "core/util/line_reader.h"
#include "platform/files/root_path.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kLineSize = 128;
// The name starts after the id and its two blanks.
constexpr int kNameOffset = 6;

// An id line at this depth: exactly `tabs` tabs, four hexadecimal digits,
// then a blank. Looser parsing (sscanf's "\t%04x" lets the tab match any run
// of white space) would take an interface line for a product or a class line
// ("C 0c ...") for a vendor.
bool parseIdLine(const char* line, int tabs, int* id)
{
    for (int i = 0; i < tabs; ++i)
        if (line[i] != '\t')
            return false;
    const char* digits = line + tabs;
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        char c = digits[i];
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 16 + (isdigit(static_cast<unsigned char>(c)) ? c - '0' : (tolower(c) - 'a' + 10));
    }
    if (digits[4] != ' ' && digits[4] != '\t')
        return false;
    *id = value;
    return true;
}

// The name of an id line: from its place to the end of the line.
void copyName(const char* line, int offset, char* out, size_t size)
{
    if (size == 0)
        return;
    size_t length = strlen(line);
    if (length <= static_cast<size_t>(offset)) {
        out[0] = '\0';
        return;
    }
    const char* name = line + offset;
    size_t n = strcspn(name, "\r\n");
    if (n >= size)
        n = size - 1;
    memcpy(out, name, n);
    out[n] = '\0';
}

} // namespace

int lookupUsbIds(const char* path, int vendor, int product, char* vendorName, size_t vendorSize,
                 char* productName, size_t productSize)
{
    FILE* file = fopen(path, "re");
    if (!file)
        return 0;
    int found = 0;
    char line[kLineSize];
    while (readLine(file, line, sizeof line)) {
        int id = 0;
        if (!(found & kUsbIdsVendorFound)) {
            if (line[0] == '\t' || line[0] == '\0' || !parseIdLine(line, 0, &id) || id != vendor)
                continue;
            copyName(line, kNameOffset, vendorName, vendorSize);
            found |= kUsbIdsVendorFound;
            continue;
        }
        // The vendor's block ends at the first line that is not indented.
        if (line[0] != '\t' && line[0] != '\0')
            break;
        if (parseIdLine(line, 1, &id) && id == product) {
            copyName(line, 1 + kNameOffset, productName, productSize);
            found |= kUsbIdsProductFound;
            break;
        }
    }
    fclose(file);
    return found;
}

int lookupUsbIds(int vendor, int product, char* vendorName, size_t vendorSize, char* productName,
                 size_t productSize)
{
    return lookupUsbIds(boxPath("/romfs/usb.ids").c_str(), vendor, product, vendorName, vendorSize,
                        productName, productSize);
}
