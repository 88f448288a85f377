#include "web/http/page_table.h"

#include "web/http/template_vars.h"
#include "web/http/save_params_page.h"

#include "core/i18n/catalogue.h"
#include "core/params/param_handles.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

PageEntry pageTable[] = {
    {"soSimple", 0, 1, 0, nullptr},
    {"/index.html", 0, 0, 0, nullptr},
    {"/start.html", 2, 0, 1, nullptr},
    {"/exit.html", 2, 0, 1, nullptr},
    {"/sitemap.html", 3, 0, 1, nullptr},
    {"/contact.html", 1, 0, 1, nullptr},
    {"/network/ipv4.html", 3, 0, 1, nullptr},
    {"/network/ip4vlan.html", 3, 0, 1, nullptr},
    {"/network/ipv6.html", 3, 0, 1, nullptr},
    {"/network/wlan.html", 3, 0, 1, nullptr},
    {"/network/dns.html", 3, 0, 1, saveParamsPage},
    {"/network/snmp.html", 3, 0, 1, saveParamsPage},
    {"/network/bonjour.html", 3, 0, 1, nullptr},
    {"/device/description.html", 3, 0, 1, nullptr},
    {"/device/port.html", 3, 0, 1, saveParamsPage},
    {"/device/usb.html", 3, 0, 1, nullptr},
    {"/device/time.html", 3, 0, 1, nullptr},
    {"/network/email.html", 3, 0, 1, nullptr},
    {"/device/notify.html", 3, 0, 1, nullptr},
    {"/device/relay.html", 3, 0, 1, nullptr},
    {"/security/ssl.html", 3, 0, 1, nullptr},
    {"/security/details.html", 3, 0, 1, nullptr},
    {"/security/http.html", 3, 0, 1, nullptr},
    {"/security/port_access.html", 3, 0, 1, saveParamsPage},
    {"/security/authentication.html", 3, 0, 1, nullptr},
    {"/security/certificate.html", 3, 0, 1, nullptr},
    {"/security/sscert.html", 3, 0, 1, nullptr},
    {"/security/rqcert.html", 3, 0, 1, saveParamsPage},
    {"/security/pkcs12.html", 3, 0, 1, nullptr},
    {"/security/ca.html", 3, 0, 1, nullptr},
    {"/security/mime.html", 3, 0, 1, nullptr},
    {"/security/request.html", 3, 0, 1, nullptr},
    {"/security/encrypt.html", 3, 0, 1, nullptr},
    {"/security/devacc.html", 3, 0, 1, nullptr},
    {"/security/certgen.cgi", 3, 0, 1, nullptr},
    {"/security/certreq.cgi", 3, 0, 1, nullptr},
    {"/security/certcastore.cgi", 3, 0, 1, nullptr},
    {"/security/certmstore.cgi", 3, 0, 1, nullptr},
    {"/security/certdstore.cgi", 3, 0, 1, nullptr},
    {"/security/certpstore.cgi", 3, 0, 1, nullptr},
    {"/security/showcert.html", 3, 0, 1, nullptr},
    {"/security/showforg.html", 3, 0, 1, nullptr},
    {"/security/showmime.html", 3, 0, 1, nullptr},
    {"/security/showca.html", 3, 0, 1, nullptr},
    {"/security/showrequ.html", 3, 0, 1, nullptr},
    {"/maintenance/backup.html", 3, 0, 1, nullptr},
    {"/maintenance/sdcard.html", 3, 0, 1, nullptr},
    {"/maintenance/reset.html", 3, 0, 1, nullptr},
    {"/maintenance/restart.html", 3, 0, 1, nullptr},
    {"/maintenance/restart.cgi", 3, 0, 1, nullptr},
    {"/maintenance/reset.cgi", 3, 0, 1, nullptr},
    {"/maintenance/setparams.cgi", 3, 0, 1, nullptr},
    {"/maintenance/update.html", 3, 0, 1, nullptr},
    {"/maintenance/updater.html", 3, 0, 1, nullptr},
    {"/maintenance/updatecheck.html", 3, 0, 0, nullptr},
    {"/maintenance/showparams.html", 3, 0, 1, nullptr},
    {"/help/helpzh.html", 0, 0, 0, nullptr},
    {"/help/helppt.html", 0, 0, 0, nullptr},
    {"/help/helpjp.html", 0, 0, 0, nullptr},
    {"/help/helpes.html", 0, 0, 0, nullptr},
    {"/help/helpcn.html", 0, 0, 0, nullptr},
    {"/help/helpen.html", 0, 0, 0, nullptr},
    {"/help/helpfr.html", 0, 0, 0, nullptr},
    {"/help/helpkr.html", 0, 0, 0, nullptr},
    {"/help/helpde.html", 0, 0, 0, nullptr},
    {"/help/helpit.html", 0, 0, 0, nullptr},
    {"/txt/parameters.txt", 3, 1, 1, nullptr},
    {"/txt/hidden.txt", 3, 1, 1, nullptr},
    {"/bin/parameters", 3, 1, 1, nullptr},
    {"/bin/cert_req.pem", 3, 1, 1, nullptr},
    {"/bin/cert_self.pem", 3, 1, 1, nullptr},
    {"/bin/cert_forg.pem", 3, 1, 1, nullptr},
    {"/info/index.html", 3, 0, 1, nullptr},
    {"/info/threads", 3, 1, 1, nullptr},
    {"/info/filter", 3, 1, 1, nullptr},
    {"/info/usb", 3, 1, 1, nullptr},
    {"/info/dir", 3, 1, 1, nullptr},
    {"/info/file", 3, 1, 1, nullptr},
    {"/info/net", 3, 1, 1, nullptr},
    {"/info/dev", 3, 1, 1, nullptr},
    {"/info/cleancerts", 3, 1, 1, nullptr},
    {"/info/wlan", 3, 1, 1, nullptr},
    {"/bin/cpu.bmp", 0, 1, 0, nullptr},
};
constexpr int kRows = static_cast<int>(sizeof pageTable / sizeof pageTable[0]);
static_assert(kRows == 83, "the site has 83 rows");

const WebSessionOps* sessionOps = nullptr;

const char* const kIndexExtensions[] = {"html", "htm", "mlc", "php", "cgi"};

bool isFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool endsWith(const std::string& text, const char* tail)
{
    size_t n = strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

// The page under templates, its directory's index, or the same name with
// another page extension; "" when none exists.
std::string findTemplateName(const std::string& templates, const std::string& path)
{
    std::string full = templates + path;
    if (isDirectory(full)) {
        std::string base = path + (endsWith(path, "/") ? "" : "/") + "index.";
        for (const char* ext : kIndexExtensions) {
            if (isFile(templates + base + ext))
                return base + ext;
        }
        return "";
    }
    if (isFile(full))
        return path;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return "";
    for (const char* ext : kIndexExtensions) {
        std::string other = path.substr(0, dot + 1) + ext;
        if (isFile(templates + other))
            return other;
    }
    return "";
}

} // namespace

int pageCount()
{
    return kRows;
}

const PageEntry* pageRow(int row)
{
    if (row < 0 || row >= kRows) {
        fprintf(stderr, "%s ERROR illegal pageIDX !! 0 <= %d < %d\n", "chkPageNo", row, kRows);
        return nullptr;
    }
    return &pageTable[row];
}

int findPage(const std::string& url)
{
    for (int row = 0; row < kRows; ++row) {
        if (url == pageTable[row].url)
            return row;
    }
    if (url.size() < 6)
        return kCatchAllRow;
    return endsWith(url, ".html") ? -1 : kCatchAllRow;
}

bool setPageHandler(const char* url, PageHandler handler)
{
    int row = findPage(url);
    if (row <= kCatchAllRow)
        return false;
    pageTable[row].handler = handler;
    return true;
}

LocatedPage locatePage(const std::string& romfs, const char* modelDir, const std::string& path)
{
    LocatedPage page;
    page.row = findPage(path);
    std::string templates = romfs + "/templates";
    std::string name = path;
    if (page.row <= kCatchAllRow) {
        name = findTemplateName(templates, path);
        if (name.empty())
            return page;
        page.row = findPage(name);
    } else {
        name = pageTable[page.row].url;
    }
    if (modelDir && *modelDir && isFile(romfs + "/" + modelDir + name))
        page.file = romfs + "/" + modelDir + name;
    else if (isFile(templates + name))
        page.file = templates + name;
    return page;
}

void setWebSessionOps(const WebSessionOps* ops)
{
    sessionOps = ops;
}

const WebSessionOps* webSessionOps()
{
    return sessionOps;
}

std::string sessionKeyFromCookie(const std::string& cookie)
{
    static const char kName[] = "SessKey";
    size_t at = 0;
    while (at < cookie.size()) {
        size_t end = cookie.find(';', at);
        if (end == std::string::npos)
            end = cookie.size();
        size_t start = cookie.find_first_not_of(' ', at);
        if (start < end && cookie.compare(start, sizeof kName - 1, kName) == 0 && start + sizeof kName - 1 < end
            && cookie[start + sizeof kName - 1] == '=') {
            const size_t value = start + sizeof kName;
            return cookie.substr(value, std::min<size_t>(end - value, 16));
        }
        at = end + 1;
    }
    return "";
}

bool checkAccess(int row, const std::string& cookie, const std::string& lang, TemplateVars& vars, int* sessionType)
{
    const PageEntry* entry = pageRow(row);
    if (!entry)
        return false;
    if (params::sessKeys()->isOff()) {
        vars.setText("SessUsr", paramText(params::admin_name()));
        vars.setRaw("SessAdm", "1");
        return true;
    }
    if (entry->level == kLevelOpen)
        return true;
    const std::string key = sessionKeyFromCookie(cookie);
    if (key.empty()) {
        if (entry->level == kLevelOptional)
            return true;
        vars.setRaw("ErrMsg", translateText(lang, "Illegal request.You are not logged in."));
        return false;
    }
    WebSessionView session;
    int found = sessionOps && sessionOps->findByKey ? sessionOps->findByKey(key.c_str(), entry->touch != 0, &session)
                                                    : -1;
    if (found < 0) {
        if (entry->level == kLevelOptional)
            return true;
        vars.setRaw("ErrMsg", translateText(lang, found == -2 ? "Session key timed out" : "Invalid session key"));
        return false;
    }
    bool special = session.slot == kSpecialSessionSlot;
    if (entry->level >= kLevelUser && (session.type < entry->level || (special && entry->level != kLevelSpecial))) {
        vars.setRaw("ErrMsg", translateText(lang, "Insufficient rights"));
        if (special)
            vars.setRaw("SessGod", "1");
        return false;
    }
    vars.setText("SessKey", session.key);
    vars.setText("SessUsr", session.user);
    vars.setRaw("SessAdm", session.type == 3 ? "1" : "0");
    *sessionType = session.type;
    if (special)
        vars.setRaw("SessGod", "1");
    return true;
}
