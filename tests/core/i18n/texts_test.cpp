#include "core/i18n/texts.h"

#include "platform/files/root_path.h"
#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include "support/missing_requirement.h"

TEST(GetmuText, TranslatesThroughTheBoundCatalogue)
{
    if (system("command -v msgfmt >/dev/null 2>&1") != 0)
        SKIP_UNLESS_CI("msgfmt (gettext) is not installed");
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    root.writeFile("/src/wev.po",
                   "msgid \"\"\nmsgstr \"\"\n\"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
                   "msgid \"Available\"\nmsgstr \"Verf\xC3\xBC" "gbar\"\n");
    std::string moDir = root.dir() + "/romfs/locale/de/LC_MESSAGES";
    std::filesystem::create_directories(moDir);
    std::string cmd = "msgfmt -o '" + moDir + "/wev.mo' '" + root.dir() + "/src/wev.po'";
    ASSERT_EQ(system(cmd.c_str()), 0);

    const char* oldLanguage = getenv("LANGUAGE");
    std::string saved = oldLanguage ? oldLanguage : "";
    setenv("LANGUAGE", "de", 1);
    initMessageCatalogue();

    EXPECT_STREQ(getmuText("Available"), "Verf\xC3\xBCgbar");
    EXPECT_STREQ(getmuText("No such message"), "No such message");

    // Many threads at once all get the translation (no try-lock giving up).
    std::vector<std::thread> threads;
    std::atomic<int> untranslated{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (strcmp(getmuText("Available"), "Verf\xC3\xBCgbar") != 0)
                    untranslated.fetch_add(1);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(untranslated.load(), 0);

    if (oldLanguage)
        setenv("LANGUAGE", saved.c_str(), 1);
    else
        unsetenv("LANGUAGE");
}
