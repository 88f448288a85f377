#include "web/pages/page_texts.h"

#include <cstring>

std::string fillIn(const std::string& text, const char* marker, const std::string& value)
{
    size_t at = text.find(marker);
    if (at == std::string::npos)
        return text;
    return text.substr(0, at) + value + text.substr(at + strlen(marker));
}
