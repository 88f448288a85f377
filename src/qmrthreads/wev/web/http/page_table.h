// The web site: one row per page with the access level a visitor needs, how
// the page is answered and which handler prepares it; the look-up of a URL,
// the access check against the visitor's session and the way a URL is
// turned into a file of the template tree.
#pragma once

#include <string>

class HttpConnection;
class TemplateVars;

// Access levels.
enum PageLevel : int {
    kLevelOpen = 0,      // everyone
    kLevelOptional = 1,  // a valid session only adds its variables
    kLevelUser = 2,
    kLevelAdmin = 3,
    kLevelSpecial = 4,   // the special session only
};

// How a page is answered.
enum PageKind : int {
    kKindTemplate = 0,
    kKindRaw = 1,     // the file unchanged, or the handler's stream
    kKindScript = 2,  // a template read from its start in script mode
};

// Connection states a handler hands back with a descriptor:
// (fd << 8) | state.
enum PageAnswer : int {
    kAnswerFile = 9,      // the descriptor's content unchanged
    kAnswerPipe = 10,     // a streamer's pipe
    kAnswerTemplate = 13, // the descriptor's text expanded as a template
};

// Handler results: 0 or less answers 500, 1 answers the row's file, above 1
// a descriptor and a state as above.
using PageHandler = int (*)(HttpConnection& connection);

struct PageEntry {
    const char* url;
    int level;
    int kind;
    int touch;             // a visit renews the session's last access
    PageHandler handler;   // none: the row's template is answered
};

constexpr int kCatchAllRow = 0;

int pageCount();
const PageEntry* pageRow(int row);
// The row of a URL: an exact row, else 0 (the catch-all for files that are
// not pages) or -1 (an unknown ".html" page, or a URL of five characters or
// less counts as a file: 0).
int findPage(const std::string& url);

// Handlers that live above this folder register here at start-up; true when
// the URL has a row.
bool setPageHandler(const char* url, PageHandler handler);

// The page's file under romfs (a directory named by boxPath("/romfs")):
// the row found for path, and its file ("" when none exists). A directory
// gives its index file; a missing file is tried with the other page
// extensions; a model directory's file wins over the common one.
struct LocatedPage {
    int row = -1;
    std::string file;
};
LocatedPage locatePage(const std::string& romfs, const char* modelDir, const std::string& path);

// The web sessions live above this folder; they register their look-up.
struct WebSessionView {
    int slot = -1;
    int type = 0;        // 2 user, 3 administrator, 4 special
    std::string key;
    std::string user;
};
constexpr int kSpecialSessionSlot = 16;
struct WebSessionOps {
    // The session of a 16-character key, renewed when touch is set: its
    // slot (0 or more), -1 for an unknown key, -2 for one that timed out.
    int (*findByKey)(const char* key, bool touch, WebSessionView* out);
    // The web server's start takes the sessions of the previous run back,
    // its end keeps them for the next.
    void (*restore)();
    void (*save)();
};
void setWebSessionOps(const WebSessionOps* ops);
const WebSessionOps* webSessionOps();

// The session key a Cookie header carries in its "SessKey" cookie (at most
// 16 characters); "" when it carries none. Only a cookie of exactly that
// name counts: "XSessKey=..." is another cookie.
std::string sessionKeyFromCookie(const std::string& cookie);

// Whether the visitor with this Cookie header may see the row; sets the
// session variables (SessUsr, SessAdm, SessKey, SessGod) and *sessionType,
// or the refusal's "ErrMsg" in lang.
bool checkAccess(int row, const std::string& cookie, const std::string& lang, TemplateVars& vars, int* sessionType);
