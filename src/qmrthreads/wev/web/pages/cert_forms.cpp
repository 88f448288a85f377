#include "web/pages/cert_forms.h"

#include "web/http/http_connection.h"
#include "web/http/page_answers.h"
#include "web/http/page_table.h"

#include "core/cert/cert_files.h"
#include "core/cert/cert_generator.h"
#include "core/cert/cert_import.h"
#include "core/cert/cert_pem.h"
#include "core/cert/cert_store.h"
#include "core/i18n/translatable.h"
#include "core/storage/sd_mirror.h"
#include "core/tls/tls_context.h"
#include "core/util/file_queries.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr int kDefaultKeyBits = 1024;
constexpr int kPassPhraseTail = 64;

constexpr const char* kFieldsMissing =
    translatable("One ore more required fields have not been completed or have been completed incorrectly.");
constexpr const char* kNotInstalled = translatable("The certificate could not be installed. The cause is unknown.<br>"
                                                   "It may have an incorrect format. Make sure that it is encoded in "
                                                   "Base64.");

bool rowIs(const HttpConnection& c, const char* url)
{
    return c.currentUrl(nullptr) == url;
}

bool generating()
{
    int state = certGenerationState();
    return state == CERT_GEN_VALIDATED || state == CERT_GEN_RUNNING;
}

bool hasControlCharacter(const std::string& text)
{
    for (unsigned char ch : text) {
        if (ch < 0x20 || ch == 0x7f)
            return true;
    }
    return false;
}

// The form's "self_<field>" values into the record; false when one holds a
// control character or does not fit.
bool takeFields(HttpConnection& c, CertStore* store)
{
    for (int index = 0; index < CERT_NAMED_FIELDS; ++index) {
        std::string value;
        if (!c.getFormVar((std::string("self_") + certFieldNames[index]).c_str(), &value))
            continue;
        if (hasControlCharacter(value) || store->setField(index, value.c_str(), -1, 0, nullptr, false) != 0)
            return false;
    }
    return true;
}

int waitFor(HttpConnection& c, const std::string& target, int seconds, const char* message)
{
    c.refreshTarget = target;
    c.refreshSeconds = seconds;
    return showWaitPage(c, c.translate(message).c_str());
}

// The imported pair as it is now, to be put back when a new one fails the
// TLS check after it was written.
struct SavedPair {
    bool key = false;
    bool cert = false;
    std::string keyPem;
    std::string certPem;
};

SavedPair savePair()
{
    SavedPair saved;
    saved.key = readPemFile(certFilePath(CERT_FPKEY), -1, &saved.keyPem) && !saved.keyPem.empty();
    saved.cert = readPemFile(certFilePath(CERT_FSRV), -1, &saved.certPem) && !saved.certPem.empty();
    return saved;
}

void restorePair(const SavedPair& saved)
{
    if (saved.key && saved.cert) {
        const CertFileContent files[] = {
            {certFilePath(CERT_FSRV), saved.certPem, 0644},
            {certFilePath(CERT_FPKEY), saved.keyPem, 0600},
        };
        if (replaceCertFiles(files, 2))
            return;
    }
    deleteCertFile(CERT_FSRV);
    deleteCertFile(CERT_FPKEY);
}

bool importPkcs12Upload(int fd)
{
    std::string passPhrase;
    if (!uploadPassPhrase(fd, &passPhrase)) {
        close(fd);
        return false;
    }
    SavedPair saved = savePair();
    if (!importPkcs12(&fd, passPhrase.c_str())) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    if (tlsCheckKeyPair(kTlsPairImported) == 1 && parseCertificate(CERT_FSRV, nullptr, -1))
        return true;
    restorePair(saved);
    return false;
}

// The certificate a CA issued for the box's request: it must belong to the
// request's key. Then the request's key and the certificate become the
// imported pair, both files together.
bool installIssuedCertificate(int fd)
{
    std::string certPem;
    std::string keyPem;
    if (!readPemFile("", fd, &certPem) || !readPemFile(certFilePath(CERT_RPRIV), -1, &keyPem))
        return false;
    X509* cert = pemToCertificate(certPem);
    EVP_PKEY* key = pemToPrivateKey(keyPem);
    bool matches = cert && key && X509_check_private_key(cert, key) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!matches)
        return false;
    SavedPair saved = savePair();
    const CertFileContent files[] = {
        {certFilePath(CERT_FSRV), certPem, 0644},
        {certFilePath(CERT_FPKEY), keyPem, 0600},
    };
    if (!replaceCertFiles(files, 2))
        return false;
    if (tlsCheckKeyPair(kTlsPairImported) != 1 || !parseCertificate(CERT_FSRV, nullptr, -1)) {
        restorePair(saved);
        return false;
    }
    deleteCertFile(CERT_RCERT);
    mirrorToSdCard(certFiles[CERT_FPKEY]);
    mirrorToSdCard(certFiles[CERT_FSRV]);
    return true;
}

// The detail page of the CA certificate just stored (the record holds it).
void showUploadedCa(HttpConnection& c)
{
    char hash[20];
    snprintf(hash, sizeof hash, "%08lx", lastCertSubjectHash());
    c.vars().setRaw("CAcertOHash", hash);
    bool root = lastCertSubjectHash() == lastCertIssuerHash();
    if (root)
        c.vars().setRaw("CaCertRoot", "1");
    c.vars().setRaw("CaCertiNo", c.translate(root ? "CA certificate (root certificate)" : "CA certificate"));
}

} // namespace

bool uploadPassPhrase(int fd, std::string* passPhrase)
{
    char tail[kPassPhraseTail + 1];
    if (!readFileTail(fd, tail, kPassPhraseTail))
        return false;
    std::string line = tail;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    *passPhrase = line;
    return lseek(fd, 0, SEEK_SET) == 0;
}

int certGenCgi(HttpConnection& c)
{
    if (generating())
        return waitFor(c, c.request().path, 2, translatable("The certificate is being generated."));
    std::string any;
    bool self = c.getFormVar("sub_cert", &any);
    bool request = !self && c.getFormVar("sub_req", &any);
    if (!self && !request) {
        if (certGenerationState() == CERT_GEN_FAILED)
            c.vars().setRaw("ErrMsg", c.translate("The certificate could not be generated."));
        return showPage(c, rowIs(c, "/security/certreq.cgi") ? "/security/showrequ.html"
                                                                     : "/security/showcert.html");
    }
    const char* form = self ? "/security/sscert.html" : "/security/rqcert.html";
    CertStore::release();
    CertStore* store = CertStore::instance();
    std::string bits;
    int keyBits = c.getFormVar("RSAbits", &bits) ? atoi(bits.c_str()) : kDefaultKeyBits;
    if (!takeFields(c, store) || !store->setKeyBits(keyBits) ||
        !store->validate(self ? CERT_MODE_SELF_SIGNED : CERT_MODE_REQUEST))
        return waitFor(c, form, 2, kFieldsMissing);
    startCertGenerator(0);
    return waitFor(c, c.request().path, 2, translatable("Starting to generate a new certificate."));
}

int certStoreCgi(HttpConnection& c)
{
    CertStore* store = CertStore::instance();
    int fd = c.uploadFd();
    if (fd >= 0 && lseek(fd, 0, SEEK_SET) == 0) {
        if (rowIs(c, "/security/certpstore.cgi")) {
            if (importPkcs12Upload(c.takeUpload()))
                return showPage(c, "/security/showforg.html");
        } else if (rowIs(c, "/security/certcastore.cgi")) {
            if (CertRdWrite(store, CERT_TMP, fd)) {
                showUploadedCa(c);
                return showPage(c, "/security/showca.html");
            }
        } else if (rowIs(c, "/security/certmstore.cgi")) {
            if (CertRdWrite(store, CERT_MIME, fd))
                return showPage(c, "/security/showmime.html");
        } else if (rowIs(c, "/security/certdstore.cgi")) {
            if (installIssuedCertificate(fd))
                return showPage(c, "/security/showforg.html");
        }
    }
    return waitFor(c, "/security/certificate.html", 4, kNotInstalled);
}

void registerCertForms()
{
    setPageHandler("/security/certgen.cgi", certGenCgi);
    setPageHandler("/security/certreq.cgi", certGenCgi);
    for (const char* url : {"/security/certcastore.cgi", "/security/certmstore.cgi", "/security/certdstore.cgi",
                            "/security/certpstore.cgi"})
        setPageHandler(url, certStoreCgi);
}
