#include "services/mdns/bonjour_names.h"

#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "services/mdns/mdns_records.h"

void cutToBytes(char* text, size_t max)
{
    size_t n = strlen(text);
    if (n <= max)
        return;
    n = max;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    text[n] = '\0';
}

int parseInstanceSuffix(char* name, bool cut)
{
    const size_t n = strlen(name);
    if (n <= 4 || name[n - 1] != ')')
        return -1;
    size_t i = n - 1;
    int digits = 0;
    while (digits < 2 && i > 0 && isdigit(static_cast<unsigned char>(name[i - 1]))) {
        --i;
        ++digits;
    }
    if (digits == 0 || i < 2 || name[i - 1] != '(' || name[i - 2] != ' ')
        return -1;
    const int number = atoi(name + i);
    if (cut)
        name[i - 2] = '\0';
    return number;
}

bool renamesOnConflict(const InstanceNameInputs& in)
{
    return in.configured[0] != '\0' && strstr(in.configured, in.defaultName) == nullptr;
}

void buildInstanceName(const InstanceNameInputs& in, int* renameNumber, char* out, size_t size)
{
    if (in.configured[0] == '\0') {
        snprintf(out, size, "%s@%s", in.productName, in.defaultName);
        cutToBytes(out, kDnsMaxLabel);
        return;
    }
    snprintf(out, size, "%s", in.configured);
    if (!renamesOnConflict(in)) {
        cutToBytes(out, kDnsMaxLabel);
        return;
    }
    parseInstanceSuffix(out, true);
    if (*renameNumber < 2 || *renameNumber > 99)
        *renameNumber = 2;
    char suffix[8];
    snprintf(suffix, sizeof suffix, " (%d)", *renameNumber);
    cutToBytes(out, kDnsMaxLabel - strlen(suffix));
    strncat(out, suffix, size - strlen(out) - 1);
}
