#include "web/http/page_table.h"
#include "web/http/template_vars.h"

#include "core/params/param_handles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

TEST(PageTable, LookupRows)
{
    const struct {
        const char* url;
        int row;
    } cases[] = {
        {"/index.html", 1}, {"/start.html", 2}, {"/network/snmp.html", 11}, {"/bin/cpu.bmp", 82},
        {"/logo.gif", 0}, {"/style.css", 0}, {"/a.h", 0}, {"/nothing.html", -1}, {"/x.htm", 0},
        {"soSimple", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(findPage(c.url), c.row) << c.url;
    EXPECT_EQ(pageCount(), 83);
    EXPECT_EQ(pageRow(83), nullptr);
    EXPECT_EQ(pageRow(-1), nullptr);
    EXPECT_EQ(pageRow(66)->level, kLevelAdmin);
    EXPECT_EQ(pageRow(54)->touch, 0);
}

class LocatePage : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("pages" + std::to_string(getpid()));
        for (const char* f : {"templates/index.html", "templates/start.html", "templates/network/ipv4.html",
                              "templates/logo.gif", "templates/sub/index.htm", "templates/both/index.mlc",
                              "templates/both/index.php", "KORA-4/start.html", "secret.txt"}) {
            fs::create_directories((root_ / f).parent_path());
            std::ofstream(root_ / f) << f;
        }
    }
    void TearDown() override { fs::remove_all(root_); }
    LocatedPage locate(const char* path, const char* model = nullptr)
    {
        return locatePage(root_.string(), model, path);
    }
    std::string file(const char* rel) { return (root_ / rel).string(); }
    fs::path root_;
};

TEST_F(LocatePage, RowsFilesIndexesAndModels)
{
    const struct {
        const char* path;
        const char* model;
        int row;
        const char* file;
    } cases[] = {
        {"/start.html", nullptr, 2, "templates/start.html"},
        {"/start.html", "KORA-4", 2, "KORA-4/start.html"},
        {"/index.html", "KORA-4", 1, "templates/index.html"},
        {"/logo.gif", nullptr, 0, "templates/logo.gif"},
        {"/network/ipv4.htm", nullptr, 6, "templates/network/ipv4.html"},
        {"/", nullptr, 1, "templates/index.html"},
        {"/sub", nullptr, 0, "templates/sub/index.htm"},
        {"/sub/", nullptr, 0, "templates/sub/index.htm"},
        {"/both/", nullptr, 0, "templates/both/index.mlc"},
        {"/nothing.html", nullptr, -1, ""},
        {"/missing.gif", nullptr, 0, ""},
        {"/sitemap.html", nullptr, 4, ""},
    };
    for (const auto& c : cases) {
        LocatedPage page = locate(c.path, c.model);
        EXPECT_EQ(page.row, c.row) << c.path;
        EXPECT_EQ(page.file, *c.file ? file(c.file) : "") << c.path;
    }
}

// Session look-up of the tests: key "U..." a user, "A..." an administrator,
// "G..." the special slot, "T..." timed out, anything else unknown.
int fakeFind(const char* key, bool, WebSessionView* out)
{
    out->key = key;
    out->user = "u<1>";
    switch (key[0]) {
    case 'U': out->type = 2; out->slot = 1; return 1;
    case 'A': out->type = 3; out->slot = 2; return 2;
    case 'G': out->type = 4; out->slot = kSpecialSessionSlot; return kSpecialSessionSlot;
    case 'T': return -2;
    default: return -1;
    }
}
const WebSessionOps kFakeSessions = {fakeFind, nullptr, nullptr};

class Access : public ::testing::Test {
protected:
    void SetUp() override
    {
        setWebSessionOps(&kFakeSessions);
        params::sessKeys()->set("on", -1);
    }
    void TearDown() override
    {
        params::sessKeys()->set("off", -1);
        setWebSessionOps(nullptr);
    }
};

// Only the cookie named exactly "SessKey" carries the key, wherever it
// stands in the header.
TEST(SessionCookie, OnlyTheSessKeyCookieCarriesTheKey)
{
    const struct {
        const char* header;
        const char* key;
    } cases[] = {
        {"SessKey=ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},
        {"lang=de; SessKey=ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},
        {"SessKey=ABCDEFGHIJKLMNOP; lang=de", "ABCDEFGHIJKLMNOP"},
        {"SessKey=ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOP"},
        {"XSessKey=ABCDEFGHIJKLMNOP", ""},
        {"XSessKey=ABCDEFGHIJKLMNOP; SessKey=QRSTUVWXYZ012345", "QRSTUVWXYZ012345"},
        {"other=SessKey=ABCDEFGHIJKLMNOP", ""},
        {"SessKeys=ABCDEFGHIJKLMNOP", ""},
        {"SessKey", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sessionKeyFromCookie(c.header), c.key) << c.header;
}

TEST_F(Access, LevelsAgainstSessions)
{
    const int start = findPage("/start.html");     // level 2
    const int sitemap = findPage("/sitemap.html"); // level 3
    const int contact = findPage("/contact.html"); // level 1
    const int index = findPage("/index.html");     // level 0
    const struct {
        int row;
        const char* cookie;
        bool allowed;
        const char* errMsg;
        const char* sessAdm;
        const char* sessGod;
    } cases[] = {
        {index, "", true, nullptr, nullptr, nullptr},
        {contact, "", true, nullptr, nullptr, nullptr},
        {contact, "SessKey=XXXXXXXXXXXXXXXX", true, nullptr, nullptr, nullptr},
        {contact, "SessKey=UUUUUUUUUUUUUUUU", true, nullptr, "0", nullptr},
        {start, "", false, "Illegal request.You are not logged in.", nullptr, nullptr},
        {start, "other=1; SessKey=XXXXXXXXXXXXXXXX", false, "Invalid session key", nullptr, nullptr},
        {start, "SessKey=TTTTTTTTTTTTTTTT", false, "Session key timed out", nullptr, nullptr},
        {start, "SessKey=UUUUUUUUUUUUUUUU", true, nullptr, "0", nullptr},
        {sitemap, "SessKey=UUUUUUUUUUUUUUUU", false, "Insufficient rights", nullptr, nullptr},
        {sitemap, "SessKey=AAAAAAAAAAAAAAAA", true, nullptr, "1", nullptr},
        {sitemap, "SessKey=GGGGGGGGGGGGGGGG", false, "Insufficient rights", nullptr, "1"},
    };
    for (const auto& c : cases) {
        TemplateVars vars;
        int type = -1;
        EXPECT_EQ(checkAccess(c.row, c.cookie, "en", vars, &type), c.allowed) << c.row << " " << c.cookie;
        const std::string* err = vars.find("ErrMsg", -1);
        EXPECT_EQ(err ? *err : "-", c.errMsg ? c.errMsg : "-") << c.cookie;
        const std::string* adm = vars.find("SessAdm", -1);
        EXPECT_EQ(adm ? *adm : "-", c.sessAdm ? c.sessAdm : "-") << c.cookie;
        EXPECT_EQ(vars.find("SessGod", -1) != nullptr, c.sessGod != nullptr) << c.cookie;
        const std::string* user = vars.find("SessUsr", -1);
        EXPECT_EQ(user ? *user : "-", c.sessAdm ? "u&lt;1&gt;" : "-") << c.cookie;
    }
}

TEST_F(Access, WithoutLoginsEveryPageIsOpenAsAdministrator)
{
    params::sessKeys()->set("off", -1);
    TemplateVars vars;
    int type = -1;
    EXPECT_TRUE(checkAccess(findPage("/txt/parameters.txt"), "", "en", vars, &type));
    EXPECT_EQ(*vars.find("SessAdm", -1), "1");
}

} // namespace
