#include "core/i18n/catalogue.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

void putWord(std::string* out, uint32_t w)
{
    out->append(reinterpret_cast<const char*>(&w), 4);
}

// A compiled message catalogue as msgfmt writes it (without hash table).
std::string moFile(const std::vector<std::pair<std::string, std::string>>& entries)
{
    const uint32_t n = static_cast<uint32_t>(entries.size());
    const uint32_t originals = 28, translations = originals + 8 * n;
    uint32_t offset = translations + 8 * n;
    std::string head, tables, strings;
    putWord(&head, 0x950412de);
    putWord(&head, 0);
    putWord(&head, n);
    putWord(&head, originals);
    putWord(&head, translations);
    putWord(&head, 0);
    putWord(&head, 0);
    std::string origTable, transTable;
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& e : entries) {
            const std::string& s = pass == 0 ? e.first : e.second;
            putWord(pass == 0 ? &origTable : &transTable, static_cast<uint32_t>(s.size()));
            putWord(pass == 0 ? &origTable : &transTable, offset);
            strings += s;
            strings.push_back('\0');
            offset += static_cast<uint32_t>(s.size()) + 1;
        }
    }
    return head + origTable + transTable + strings;
}

TEST(Catalogue, EachCallerNamesItsLanguage)
{
    TempBoxRoot root;
    root.writeFile("/romfs/locale/de/LC_MESSAGES/wev.mo",
                   moFile({{"", "Content-Type: text/plain; charset=UTF-8\n"}, {"Save", "Speichern"}, {"Empty", ""}}));
    root.writeFile("/romfs/locale/xx/LC_MESSAGES/wev.mo", "not a catalogue");
    dropCatalogues();
    EXPECT_EQ(translateText("de", "Save"), "Speichern");
    EXPECT_EQ(translateText("en", "Save"), "Save");
    EXPECT_EQ(translateText("de", "Unknown"), "Unknown");
    EXPECT_EQ(translateText("de", "Empty"), "Empty");
    EXPECT_EQ(translateText("xx", "Save"), "Save");
    EXPECT_EQ(translateText("../de", "Save"), "Save");
    EXPECT_EQ(translateText("de", nullptr), "");
    dropCatalogues();
}

TEST(Catalogue, TableOutsideTheFileIsNotRead)
{
    TempBoxRoot root;
    std::string mo = moFile({{"Save", "Speichern"}});
    mo[12] = '\x7f';  // original table far outside the file
    root.writeFile("/romfs/locale/de/LC_MESSAGES/wev.mo", mo);
    dropCatalogues();
    EXPECT_EQ(translateText("de", "Save"), "Save");
    dropCatalogues();
}

} // namespace
