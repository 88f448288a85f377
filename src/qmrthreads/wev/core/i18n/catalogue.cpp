#include "core/i18n/catalogue.h"

#include "platform/files/root_path.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

using Catalogue = std::unordered_map<std::string, std::string>;

std::mutex cataloguesMutex;
std::map<std::string, std::shared_ptr<const Catalogue>> catalogues;

constexpr uint32_t kMoMagic = 0x950412de;
constexpr uint32_t kMoMagicSwapped = 0xde120495;

uint32_t word(const std::string& data, size_t offset, bool swapped)
{
    uint32_t w = 0;
    if (offset + 4 > data.size())
        return 0;
    memcpy(&w, data.data() + offset, 4);
    return swapped ? __builtin_bswap32(w) : w;
}

// A string of the table at offset: false when it lies outside the file.
bool tableString(const std::string& data, uint32_t table, uint32_t i, bool swapped, std::string* out)
{
    size_t entry = static_cast<size_t>(table) + static_cast<size_t>(i) * 8;
    uint32_t length = word(data, entry, swapped);
    uint32_t offset = word(data, entry + 4, swapped);
    if (entry + 8 > data.size() || offset > data.size() || length > data.size() - offset)
        return false;
    out->assign(data.data() + offset, length);
    return true;
}

Catalogue parseMo(const std::string& data)
{
    Catalogue catalogue;
    uint32_t magic = word(data, 0, false);
    if (magic != kMoMagic && magic != kMoMagicSwapped)
        return catalogue;
    bool swapped = magic == kMoMagicSwapped;
    uint32_t count = word(data, 8, swapped);
    uint32_t originals = word(data, 12, swapped);
    uint32_t translations = word(data, 16, swapped);
    for (uint32_t i = 0; i < count; ++i) {
        std::string original, translated;
        if (!tableString(data, originals, i, swapped, &original)
            || !tableString(data, translations, i, swapped, &translated))
            break;
        // Plural forms and the header entry (empty original) are not used.
        if (original.empty() || original.find('\0') != std::string::npos)
            continue;
        catalogue.emplace(original, translated.substr(0, translated.find('\0')));
    }
    return catalogue;
}

std::shared_ptr<const Catalogue> catalogueFor(const std::string& lang)
{
    std::lock_guard<std::mutex> hold(cataloguesMutex);
    auto it = catalogues.find(lang);
    if (it != catalogues.end())
        return it->second;
    std::string path = boxPath("/romfs/locale/" + lang + "/LC_MESSAGES/wev.mo");
    std::ifstream in(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto loaded = std::make_shared<const Catalogue>(parseMo(data));
    catalogues.emplace(lang, loaded);
    return loaded;
}

bool isLanguageCode(const std::string& lang)
{
    return lang.size() == 2 && lang.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos;
}

} // namespace

std::string translateText(const std::string& lang, const char* text)
{
    if (!text)
        return "";
    if (!isLanguageCode(lang))
        return text;
    std::shared_ptr<const Catalogue> catalogue = catalogueFor(lang);
    auto it = catalogue->find(text);
    return it == catalogue->end() || it->second.empty() ? std::string(text) : it->second;
}

void dropCatalogues()
{
    std::lock_guard<std::mutex> hold(cataloguesMutex);
    catalogues.clear();
}
