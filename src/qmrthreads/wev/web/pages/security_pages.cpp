#include "web/pages/security_pages.h"
#include "web/pages/eap_root_choice.h"

#include "web/http/http_connection.h"
#include "web/http/page_answers.h"
#include "web/http/page_table.h"
#include "web/http/save_params_page.h"
#include "web/http/tls_texts.h"
#include "web/pages/admin_services.h"
#include "web/pages/page_texts.h"
#include "web/pages/usb_port_table.h"

#include "core/cert/cert_files.h"
#include "core/cert/cert_store.h"
#include "core/i18n/translatable.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/model_features.h"
#include "core/product/product_info.h"
#include "core/util/file_queries.h"
#include "platform/files/root_path.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

// Longest TLS description the pages show.
constexpr size_t kTlsTextSize = 141;
// A root link shorter than this is no certificate chosen.
constexpr long kRootLinkMinSize = 512;
// A CA file shorter than this holds no certificate.
constexpr long kCaFileMinSize = 100;
constexpr int kAvailableSessions = 16;

const char* const kEncLevels[] = {translatable("Low"), translatable("Medium"), translatable("High"),
                                   translatable("Any")};

bool isDetailsPage(const HttpConnection& c)
{
    return c.currentUrl(nullptr) == "/security/details.html";
}

// "OpenSSL 3.0.11 19 Sep 2023" -> "3.0.11, 19 Sep 2023".
std::string libraryVersionText(const char* text)
{
    std::string all = text ? text : "";
    size_t first = all.find(' ');
    if (first == std::string::npos)
        return all;
    size_t second = all.find(' ', first + 1);
    if (second == std::string::npos)
        return all.substr(first + 1);
    return all.substr(first + 1, second - first - 1) + "," + all.substr(second);
}

std::string hashText(unsigned long hash)
{
    char text[20];
    snprintf(text, sizeof text, "%08lx", hash);
    return text;
}

long sizeOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

bool rootChosen()
{
    return sizeOf(certFilePath(CERT_ROOT)) >= kRootLinkMinSize;
}

std::string caBoxPath(const std::string& name)
{
    return "/flash/" + name;
}

// Parses the CA file into the record; one that does not parse is removed,
// with the root link when it points to it. The result of the parse.
bool parseCaFile(const std::string& name)
{
    if (parseCertificate(CERT_TMP, caBoxPath(name).c_str(), -1))
        return true;
    fprintf(stderr, "certificates: %s does not parse and is removed\n", name.c_str());
    deleteCaFile(name);
    return false;
}

bool lastIsRoot()
{
    return lastCertSubjectHash() == lastCertIssuerHash();
}

std::string formText(const HttpConnection& c, const char* name)
{
    std::string value;
    c.getFormVar(name, &value);
    return value;
}

bool hasForm(const HttpConnection& c, const char* name)
{
    std::string value;
    return c.getFormVar(name, &value);
}

// "EAProot": the CA file the supplicant trusts, "---" for none; taken from
// a posted form only.
void applyEapRoot(HttpConnection& c)
{
    std::string value;
    if (c.method() == kHttpPost && c.getFormVar("EAProot", &value))
        chooseEapRoot(c, value);
}

int deleteAction(HttpConnection& c)
{
    if (hasForm(c, "delete_cert")) {
        deleteCertFile(CERT_SRV);
        deleteCertFile(CERT_PKEY);
        // The pair this very session was made with is gone: over TLS the
        // page answers 500, and the next connection gets a new pair.
        return c.isTls() ? 0 : 1;
    }
    if (hasForm(c, "delete_forg")) {
        deleteCertFile(CERT_FSRV);
        deleteCertFile(CERT_FPKEY);
    } else if (hasForm(c, "delete_mime")) {
        deleteCertFile(CERT_MIME);
    } else if (hasForm(c, "delete_ca")) {
        std::string name = caNameOfHash(formText(c, "delete_ca"));
        if (name.empty())
            c.vars().setRaw("ErrMsg", c.translate("Invalid certificate name."));
        else
            deleteCaFile(name);
    } else if (hasForm(c, "delete_requ")) {
        deleteCertFile(CERT_REQ);
        if (sizeOf(certFilePath(CERT_FSRV)) <= 0)
            deleteCertFile(CERT_FPKEY);
    }
    return 1;
}

void setCaListVars(HttpConnection& c)
{
    TemplateVars& vars = c.vars();
    bool rootLinkLeft = rootChosen();
    std::string rootName = rootCertificateName();
    std::string langPart = c.lang().empty() ? "" : "_" + c.lang();
    int i = 0;
    for (const std::string& name : listCaFileNames()) {
        if (!parseCaFile(name))
            continue;
        ++i;
        if (lastIsRoot()) {
            if (rootLinkLeft && name == rootName) {
                vars.setIndexed("CAcertRoot_", i, "<a href=\"./authentication" + langPart + ".html\"> EAP </a>", true);
                rootLinkLeft = false;
            } else {
                vars.setIndexed("CAcertRoot_", i, "&radic;", true);
            }
        }
        vars.setIndexed("CAcertCN_", i, certField(CF_CN));
        vars.setIndexed("CAcertOHash_", i, hashText(lastCertSubjectHash()), true);
        vars.setIndexed("CAcertIss_", i, certField(CF_I_CN));
        vars.setIndexed("CAcertIHash_", i, hashText(lastCertIssuerHash()), true);
    }
    vars.setCount("CAcerts", i);
}

int showFile(int kind)
{
    return parseCertificate(kind, nullptr, -1) ? 1 : -1;
}

} // namespace

std::string caNameOfHash(const std::string& value)
{
    std::string name = value + ".0";
    return isCaFileName(name) ? name : "";
}

void setCipherVars(HttpConnection& c, const std::vector<TlsCipherName>& ciphers)
{
    int n = static_cast<int>(ciphers.size());
    for (int k = 0; 2 * k < n; ++k) {
        std::string cells;
        for (int j = 2 * k; j < n && j < 2 * k + 2; ++j)
            cells += std::string("<td>") + ciphers[j].version + "+" + ciphers[j].name + "</td>";
        c.vars().setIndexed("Ciphers_", k, cells, true);
    }
    c.vars().setCount("Ciphers", (n + 1) / 2);
}

int sslPage(HttpConnection& c)
{
    int saved = saveParamsPage(c);
    if (saved != 1)
        return saved;
    bool details = isDetailsPage(c);
    TemplateVars& vars = c.vars();
    char text[kTlsTextSize];
    if (describeTls(c.socket(), text, sizeof text)) {
        vars.setRaw("CipherInfo", formatCipherList(!details, text, 256));
        if (details) {
            vars.setRaw("SSLEAY_VERSION", libraryVersionText(tlsLibraryVersion()));
            setCipherVars(c, tlsSessionCiphers(c.socket()));
        }
    } else if (!details) {
        vars.setRaw("CipherInfo", "<td></td>");
    }
    int level = params::security()->value();
    if (level >= 1 && level <= 4)
        vars.setRaw("EncLevel", c.translate(kEncLevels[level - 1]));
    const AdminServiceOps& s = adminServices();
    std::string usb = s.usbTlsInfo ? s.usbTlsInfo() : "";
    std::string pop3 = s.pop3TlsInfo ? s.pop3TlsInfo() : "";
    std::string smtp = s.smtpTlsInfo ? s.smtpTlsInfo() : "";
    vars.setRaw("ZytSSL", formatCipherList(!details, usb.c_str(), 256));
    vars.setRaw("Pop3SSL", formatCipherList(!details, pop3.c_str(), 256));
    vars.setRaw("SmtpSSL", formatCipherList(!details, smtp.c_str(), 256));
    return 1;
}

int httpSecurityPage(HttpConnection& c)
{
    int saved = saveParamsPage(c);
    if (saved != 1)
        return saved;
    TemplateVars& vars = c.vars();
    vars.setText("AnyPwd", params::any_pwd()->text());
    vars.setText("AdmPwd", params::admin_pwd()->text());
    int users = 0;
    int admins = 0;
    if (adminServices().countSessions)
        adminServices().countSessions(&users, &admins);
    vars.setRaw("AnyOpenSess", std::to_string(users));
    vars.setRaw("AdmOpenSess", std::to_string(admins));
    vars.setRaw("UsedSess", std::to_string(users + admins));
    vars.setRaw("AvailSess", std::to_string(kAvailableSessions));
    return 1;
}

int setRootCaVars(HttpConnection& c)
{
    TemplateVars& vars = c.vars();
    std::string rootName = rootCertificateName();
    int i = 0;
    if (!rootChosen()) {
        i = 1;
        vars.setIndexed("Root_", 1, "---", true);
        vars.setIndexed("EAProot_", 1, "1", true);
        vars.setIndexed("OHash_", 1, "---", true);
    }
    for (const std::string& name : listCaFileNames()) {
        if (!parseCaFile(name) || !lastIsRoot())
            continue;
        ++i;
        if (name == rootName)
            vars.setIndexed("EAProot_", i, "1", true);
        std::string cn = certField(CF_CN);
        if (!cn.empty())
            vars.setIndexed("Root_", i, cn.substr(0, 63));
        vars.setIndexed("OHash_", i, hashText(lastCertSubjectHash()), true);
    }
    vars.setCount("Root", i);
    return 1;
}

int authenticationPage(HttpConnection& c)
{
    applyEapRoot(c);
    int saved = saveParamsPage(c);
    if (saved == 1)
        setRootCaVars(c);
    return saved;
}

int certificatePage(HttpConnection& c)
{
    int result = deleteAction(c);
    CertStore::release();
    setCaListVars(c);
    return result;
}

int showCaPage(HttpConnection& c)
{
    std::string name = caNameOfHash(formText(c, "name"));
    std::string number = formText(c, "no");
    int no = number.empty() ? -1 : atoi(number.c_str());
    if (!name.empty() && no > 0 && sizeOf(boxPath(caBoxPath(name))) >= kCaFileMinSize &&
        parseCertificate(CERT_TMP, caBoxPath(name).c_str(), -1)) {
        TemplateVars& vars = c.vars();
        vars.setRaw("CAcertOHash", name.substr(0, 8));
        const char* title = translatable("CA certificate %d");
        if (lastIsRoot()) {
            vars.setRaw("CaCertRoot", "1");
            title = translatable("CA certificate %d (root certificate)");
        }
        vars.setRaw("CaCertiNo", fillIn(c.translate(title), "%d", std::to_string(no)));
        return 1;
    }
    return showWaitPage(c, c.translate("Unable to open certificate").c_str());
}

int showCertPage(HttpConnection&)
{
    return showFile(CERT_SRV);
}

int showOwnCertPage(HttpConnection&)
{
    return showFile(CERT_FSRV);
}

int showMimePage(HttpConnection&)
{
    return showFile(CERT_MIME);
}

int showRequestPage(HttpConnection&)
{
    return showFile(CERT_REQ);
}

int cleanCertsPage(HttpConnection& c)
{
    for (int index = 0; index < CERT_FILE_COUNT; ++index)
        deleteCertFile(index);
    return showPage(c, "/info/index.html");
}

void setDevAccessVars(TemplateVars& vars, const std::vector<PortDevice>& devices)
{
    static const char kKeyFamily[] = "zyt_keyval_";
    const int keys = ParamStore::maxIndex(kKeyFamily, static_cast<int>(sizeof kKeyFamily - 1));
    for (int n = 1; n <= keys; ++n) {
        if (const StringParam* key = params::zyt_keyval(n))
            vars.setText(key->name(), paramText(key));
    }
    const int ports = static_cast<int>(productInfo().usb_ports_phy);
    for (int port = 1; port <= ports; ++port) {
        std::string ids;
        for (const PortDevice& d : devices) {
            if (d.port != port)
                continue;
            char item[16];
            snprintf(item, sizeof item, "%04x:%04x ", d.idVendor & 0xffff, d.idProduct & 0xffff);
            ids += item;
        }
        if (!ids.empty())
            vars.setIndexed("VendProds_", port, ids, true);
    }
}

int devAccPage(HttpConnection& c)
{
    if (!(params::sw_features()->value() & kFeatureAccessControl))
        return -1;
    int saved = saveParamsPage(c);
    if (saved != 1)
        return saved;
    // One copy of the rows for the ids and the table: both show the same
    // devices.
    const UsbPortSnapshot snapshot = takeUsbPortSnapshot();
    setDevAccessVars(c.vars(), snapshot.devices);
    return setUsbPortTable(c, snapshot);
}

void registerSecurityPages()
{
    setPageHandler("/security/ssl.html", sslPage);
    setPageHandler("/security/details.html", sslPage);
    setPageHandler("/security/http.html", httpSecurityPage);
    setPageHandler("/security/authentication.html", authenticationPage);
    setPageHandler("/security/certificate.html", certificatePage);
    setPageHandler("/security/showca.html", showCaPage);
    setPageHandler("/security/showcert.html", showCertPage);
    setPageHandler("/security/showforg.html", showOwnCertPage);
    setPageHandler("/security/showmime.html", showMimePage);
    setPageHandler("/security/showrequ.html", showRequestPage);
    setPageHandler("/security/devacc.html", devAccPage);
    setPageHandler("/info/cleancerts", cleanCertsPage);
}
