#include "web/http/tls_texts.h"

#include <cstring>
#include <sstream>
#include <vector>

namespace {

std::vector<std::string> words(const char* text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string word;
    while (in >> word)
        out.push_back(word);
    return out;
}

bool namesProtocol(const std::string& word)
{
    return word.compare(0, 3, "SSL") == 0 || word.compare(0, 3, "TLS") == 0;
}

} // namespace

std::string formatCipherList(bool tableForm, const char* text, size_t size)
{
    if (size == 0)
        return "";
    std::string out;
    if (!text) {
        out = "[Error]";
    } else if (tableForm) {
        std::vector<std::string> w = words(text);
        if (w.empty())
            out = "<td></td>";
        else
            out = w[0] + " </td><td> " + (w.size() > 1 ? w[1] : "");
    } else {
        std::vector<std::string> w = words(text);
        for (size_t i = 0; i < w.size(); ++i) {
            if (i > 0)
                out += ", ";
            if (i == 0 || !namesProtocol(w[i]))
                out += w[i];
        }
    }
    return out.substr(0, size - 1);
}
