#include "core/cert/cert_generator.h"

#include "core/cert/cert_files.h"
#include "core/cert/cert_pem.h"
#include "core/product/product_info.h"
#include "core/storage/sd_mirror.h"
#include "core/addr/sock_addr.h"
#include "core/task/tick_clock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

const char kDefaultCertLocality[] = "Bielefeld";
const char kDefaultCertMail[] = "support@vekotron.example";

namespace {

constexpr int CERT_GENERATOR_STACK = 20480;
constexpr int SAN_TEXT_LIMIT = 255;
constexpr size_t SAN_ADDRESS_MAX = 46;

int fieldNumber(const CertStore* store, int index)
{
    return atoi(store->fieldLocked(index));
}

int dayNumber(int year, int month, int day)
{
    return year * 372 + month * 31 + day;
}

bool isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool isAllowedKeySize(int bits)
{
    return bits == 1024 || bits == 2048 || bits == 4096;
}

// Form texts are UTF-8; a text that is not valid UTF-8 is taken byte by byte.
void addSubjectEntry(X509_NAME* name, int nid, const char* text, int length)
{
    if (!text || length <= 0)
        return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (X509_NAME_add_entry_by_NID(name, nid, MBSTRING_UTF8, bytes, length, -1, 0) == 1)
        return;
    ERR_clear_error();
    if (X509_NAME_add_entry_by_NID(name, nid, MBSTRING_ASC, bytes, length, -1, 0) != 1)
        ERR_clear_error();
}

// A positive 63-bit serial: certificates the box made earlier with the same
// subject must not share one, or browsers that saw one refuse the next.
bool setRandomSerial(X509* cert)
{
    uint64_t serial = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) != 1)
        return false;
    serial &= 0x7fffffffffffffffULL;
    if (serial == 0)
        serial = 1;
    return ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial) == 1;
}

bool setTime(X509* cert, const char* text, bool notAfter)
{
    ASN1_TIME* time = ASN1_TIME_new();
    if (!time)
        return false;
    bool ok = ASN1_TIME_set_string_X509(time, text) == 1 &&
              (notAfter ? X509_set1_notAfter(cert, time) : X509_set1_notBefore(cert, time)) == 1;
    ASN1_TIME_free(time);
    return ok;
}

bool copyRequestExtensions(X509_REQ* req, X509* cert)
{
    STACK_OF(X509_EXTENSION)* exts = X509_REQ_get_extensions(req);
    if (!exts)
        return true;
    bool ok = true;
    for (int i = 0; ok && i < sk_X509_EXTENSION_num(exts); ++i)
        ok = X509_add_ext(cert, sk_X509_EXTENSION_value(exts, i), -1) == 1;
    sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
    return ok;
}

X509* makeSelfSigned(CertStore* store, X509_REQ* req, EVP_PKEY* key)
{
    char notBefore[16];
    char notAfter[16];
    X509* cert = X509_new();
    if (!cert)
        return nullptr;
    const X509_NAME* subject = X509_REQ_get_subject_name(req);
    bool ok = X509_set_version(cert, 2) == 1 && setRandomSerial(cert) &&
              X509_set_issuer_name(cert, subject) == 1 && X509_set_subject_name(cert, subject) == 1 &&
              store->validityTimes(notBefore, sizeof notBefore, notAfter, sizeof notAfter) == 1 &&
              setTime(cert, notBefore, false) && setTime(cert, notAfter, true) && copyRequestExtensions(req, cert) &&
              X509_set_pubkey(cert, key) == 1 && X509_sign(cert, key, EVP_sha256()) > 0;
    if (!ok) {
        X509_free(cert);
        return nullptr;
    }
    return cert;
}

// The PEM texts of the new files, made entirely in memory.
struct GeneratedFiles {
    std::string key;
    std::string target;
};

bool makeFiles(CertStore* store, int mode, int bits, GeneratedFiles* out)
{
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned int>(bits));
    X509_REQ* req = X509_REQ_new();
    bool ok = key && req && store->fillRequest(req) == 1 && X509_REQ_set_version(req, 0) == 1 &&
              X509_REQ_set_pubkey(req, key) == 1 && privateKeyToPem(key, &out->key);
    if (ok && mode == CERT_MODE_REQUEST) {
        ok = X509_REQ_sign(req, key, EVP_sha256()) > 0 && requestToPem(req, &out->target);
    } else if (ok) {
        X509* cert = makeSelfSigned(store, req, key);
        ok = cert && certificateToPem(cert, &out->target);
        X509_free(cert);
    }
    X509_REQ_free(req);
    EVP_PKEY_free(key);
    return ok;
}

} // namespace

// ---------------------------------------------------------------- validation

int isValidDate(int year, int month, int day)
{
    static const int monthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // Four digits are all a certificate's time can hold.
    if (year < 2000 || year > 9999 || month < 1 || month > 12 || day < 1)
        return 0;
    int last = monthDays[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
    return day <= last ? 1 : 0;
}

int CertStore::validate(int mode)
{
    // The fields are in use until the running generation has ended.
    lockCertMutex();
    if (certGenerationState() == CERT_GEN_RUNNING) {
        unlockCertMutex();
        return 0;
    }
    setCertMode(mode);
    int ok = 1;
    for (int index : {CF_CN, CF_ON, CF_LN, CF_CTRY}) {
        if (!*fieldLocked(index))
            ok = 0;
    }
    if (ok && mode != CERT_MODE_REQUEST) {
        int sy = fieldNumber(this, CF_SYEAR), sm = fieldNumber(this, CF_SMON), sd = fieldNumber(this, CF_SDAY);
        int ey = fieldNumber(this, CF_EYEAR), em = fieldNumber(this, CF_EMON), ed = fieldNumber(this, CF_EDAY);
        if (!isValidDate(sy, sm, sd) || !isValidDate(ey, em, ed) || dayNumber(ey, em, ed) < dayNumber(sy, sm, sd))
            ok = 0;
    }
    if (ok) {
        validatedMode_ = mode;
        generationStart_ = boardTicks() / 100;
        setCertGenerationState(CERT_GEN_VALIDATED);
    }
    unlockCertMutex();
    return ok;
}

int CertStore::validatedMode()
{
    lockCertMutex();
    int mode = validatedMode_;
    unlockCertMutex();
    return mode;
}

int CertStore::validityTimes(char* notBefore, size_t beforeSize, char* notAfter, size_t afterSize)
{
    // Four-digit years: the library picks UTCTime up to 2049 and
    // GeneralizedTime after, so late end dates do not wrap into the past.
    int a = snprintf(notBefore, beforeSize, "%04d%02d%02d000000Z", fieldNumber(this, CF_SYEAR),
                     fieldNumber(this, CF_SMON), fieldNumber(this, CF_SDAY));
    int b = snprintf(notAfter, afterSize, "%04d%02d%02d000000Z", fieldNumber(this, CF_EYEAR),
                     fieldNumber(this, CF_EMON), fieldNumber(this, CF_EDAY));
    return a == 15 && b == 15 ? 1 : 0;
}

// ---------------------------------------------------------------- request

int certSanText(const char* san, char* out, int size)
{
    if (!out || size < 1)
        return 0;
    out[0] = '\0';
    if (!san)
        return 0;
    std::string text;
    const char* p = san;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == ',')
            ++p;
        if (!*p)
            break;
        const char* start = p;
        while (*p && *p != ' ' && *p != '\t' && *p != ',')
            ++p;
        std::string item(start, static_cast<size_t>(p - start));
        SockAddr address;
        bool ip = item.size() <= SAN_ADDRESS_MAX && address.fromString(item.c_str()) == 1 && address.isUsable();
        std::string piece = std::string(text.empty() ? "" : ", ") + (ip ? "IP" : "DNS") + ":" + item;
        if (text.size() + piece.size() > static_cast<size_t>(SAN_TEXT_LIMIT))
            break;
        text += piece;
    }
    if (static_cast<int>(text.size()) >= size)
        return 0;
    memcpy(out, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
}

int addSanExtension(STACK_OF(X509_EXTENSION) * extensions, int nid, const char* text)
{
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, nid, text);
    if (!ext) {
        ERR_clear_error();
        return 0;
    }
    if (!sk_X509_EXTENSION_push(extensions, ext)) {
        X509_EXTENSION_free(ext);
        return 0;
    }
    return 1;
}

int CertStore::fillRequest(X509_REQ* request)
{
    X509_NAME* name = X509_REQ_get_subject_name(request);
    struct Entry {
        int field;
        int nid;
    };
    const Entry order[] = {
        {CF_CTRY, NID_countryName},         {CF_SN, NID_stateOrProvinceName}, {CF_LN, NID_localityName},
        {CF_ON, NID_organizationName},      {CF_OU, NID_organizationalUnitName}, {CF_CN, NID_commonName},
    };
    for (const Entry& e : order) {
        const char* text = fieldLocked(e.field);
        addSubjectEntry(name, e.nid, text, static_cast<int>(strlen(text)));
    }
    // One DC attribute per part of the '/'-joined domain components.
    for (const char* p = fieldLocked(CF_DC); *p;) {
        const char* end = strchr(p, '/');
        int length = end ? static_cast<int>(end - p) : static_cast<int>(strlen(p));
        addSubjectEntry(name, NID_domainComponent, p, length);
        p += length;
        if (*p == '/')
            ++p;
    }
    const char* mail = fieldLocked(CF_MAIL);
    addSubjectEntry(name, NID_pkcs9_emailAddress, mail, static_cast<int>(strlen(mail)));

    char san[SAN_TEXT_LIMIT + 1];
    if (certSanText(fieldLocked(CF_SAN), san, sizeof san) == 0)
        return 1;
    STACK_OF(X509_EXTENSION)* exts = sk_X509_EXTENSION_new_null();
    if (!exts)
        return 0;
    int ok = 1;
    if (addSanExtension(exts, NID_subject_alt_name, san))
        ok = X509_REQ_add_extensions(request, exts) == 1 ? 1 : 0;
    else
        fprintf(stderr, "CertGenerator: alternative names refused: %s\n", san);
    sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
    return ok;
}

// ---------------------------------------------------------------- generation

int CertStore::generate()
{
    lockCertMutex();
    setCertGenerationState(CERT_GEN_RUNNING);
    int ok = generateLocked();
    setCertGenerationState(ok ? CERT_GEN_DONE : CERT_GEN_FAILED);
    unlockCertMutex();
    return ok;
}

int CertStore::generateLocked()
{
    requestLength_ = 0;
    int mode = validatedMode_;
    setCertMode(mode);
    if (!isAllowedKeySize(keyBits_)) {
        fprintf(stderr, "CertGenerator: key size %d refused (1024, 2048 or 4096)\n", keyBits_);
        return 0;
    }
    GeneratedFiles made;
    if (!makeFiles(this, mode, keyBits_, &made)) {
        fprintf(stderr, "CertGenerator: making the %s failed\n", mode == CERT_MODE_REQUEST ? "request" : "certificate");
        ERR_print_errors_fp(stderr);
        return 0;
    }
    bool request = mode == CERT_MODE_REQUEST;
    int keyIndex = request ? CERT_RPRIV : CERT_PKEY;
    int targetIndex = request ? CERT_REQ : CERT_SRV;
    const CertFileContent files[] = {
        {certFilePath(targetIndex), made.target, 0644},
        {certFilePath(keyIndex), made.key, 0600},
    };
    if (!replaceCertFiles(files, 2)) {
        fprintf(stderr, "CertGenerator: the new files could not be stored; the previous ones stay\n");
        return 0;
    }
    if (request) {
        // The CA's certificate belongs to the previous key.
        deleteCertFile(CERT_RCERT);
        mirrorToSdCard(certFiles[CERT_RPRIV]);
        mirrorToSdCard(certFiles[CERT_REQ]);
    }
    return 1;
}

bool certGenerationDone()
{
    return certGenerationState() == CERT_GEN_DONE;
}

// ---------------------------------------------------------------- task

CertGeneratorTask::CertGeneratorTask(CertStore* store) : Task("CertGenerator"), store_(store) {}

void CertGeneratorTask::run()
{
    int mode = store_->validatedMode();
    store_->generate();
    parseCertificate(mode == CERT_MODE_REQUEST ? CERT_MODE_REQUEST : CERT_SRV, nullptr, -1);
    // The framework deletes the task when its thread ends.
}

int startCertGenerator(int value)
{
    CertStore* store = CertStore::existing();
    if (!store || !changeCertGenerationState(CERT_GEN_VALIDATED, CERT_GEN_RUNNING))
        return value;
    auto* task = new CertGeneratorTask(store);
    int id = task->start(CERT_GENERATOR_STACK, 0);
    if (id < 0) {
        delete task;
        setCertGenerationState(CERT_GEN_FAILED);
    }
    return id;
}

int fillDefaultCertRequest(CertStore* store)
{
    if (!store)
        return 0;
    struct Default {
        int field;
        const char* text;
    };
    const Default defaults[] = {
        {CF_CTRY, "DE"},
        {CF_SN, "Germany"},
        {CF_LN, kDefaultCertLocality},
        {CF_ON, "Vekotron GmbH"},
        {CF_CN, productInfo().default_name},
        {CF_MAIL, kDefaultCertMail},
        {CF_SYEAR, "2019"},
        {CF_SMON, "5"},
        {CF_SDAY, "1"},
        {CF_EYEAR, "2029"},
        {CF_EMON, "5"},
        {CF_EDAY, "1"},
    };
    int ok = 1;
    for (const Default& d : defaults) {
        if (store->setField(d.field, d.text, -1, 0, nullptr, false) != 0)
            ok = 0;
    }
    return ok;
}
