#include "core/cert/cert_store.h"

#include "core/cert/cert_files.h"
#include "core/cert/cert_pem.h"
#include "core/util/file_queries.h"
#include "core/task/task.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

const char* const certFieldNames[CERT_NAMED_FIELDS] = {
    "cn",    "on",   "ou",   "ln",    "sn",   "ctry", "dc",    "san",  "mail", "syear",
    "smon",  "sday", "eyear", "emon", "eday", "start", "end",  "ct",   "sha1", "sha2",
    "i_cn",  "i_on", "i_ou", "i_ln",  "i_sn", "i_ctry", "i_dc", "i_mail",
};

namespace {

pthread_mutex_t certMutex = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
std::atomic<CertStore*> theRecord{nullptr};
std::atomic<int> generationState{CERT_GEN_IDLE};
std::atomic<int> lastMode{0};
std::atomic<unsigned long> subjectHash{0};
std::atomic<unsigned long> issuerHash{0};

constexpr int LOCK_RETRY_TICKS = 20;
constexpr useconds_t LOCK_RETRY_SLEEP_US = 2000;
constexpr int SUBJECT_TEXT_CERT = 1024;
constexpr int SUBJECT_TEXT_REQUEST = 2048;

class CertLock {
public:
    CertLock() { lockCertMutex(); }
    ~CertLock() { unlockCertMutex(); }
    CertLock(const CertLock&) = delete;
    CertLock& operator=(const CertLock&) = delete;
};

// What one certificate or request yields, gathered before the record is
// touched, so a file that does not parse leaves the record as it was.
struct ParsedCert {
    bool request = false;
    char subject[SUBJECT_TEXT_REQUEST] = {};
    char issuer[SUBJECT_TEXT_CERT] = {};
    int keyBytes = 1;
    struct SanItem {
        bool ip;
        std::string text;
    };
    std::vector<SanItem> san;
    std::string dates[6];  // start year, month, day, end year, month, day
    std::string sha1;
    std::string sha2;
};

void collectSan(const GENERAL_NAMES* names, ParsedCert* out)
{
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_DNS) {
            const ASN1_IA5STRING* dns = name->d.dNSName;
            const char* data = reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns));
            int n = ASN1_STRING_length(dns);
            // A name with an embedded zero would show as something else.
            if (n < 0 || strnlen(data, static_cast<size_t>(n)) != static_cast<size_t>(n))
                continue;
            out->san.push_back({false, std::string(data, static_cast<size_t>(n))});
        } else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* ip = name->d.iPAddress;
            int n = ASN1_STRING_length(ip);
            // Only the two address sizes there are; anything else would be
            // read past its end.
            if (n != 4 && n != 16)
                continue;
            char text[INET6_ADDRSTRLEN];
            if (!inet_ntop(n == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), text, sizeof text))
                continue;
            out->san.push_back({true, text});
        }
    }
}

bool allDigits(const unsigned char* data, int n)
{
    for (int i = 0; i < n; ++i) {
        if (data[i] < '0' || data[i] > '9')
            return false;
    }
    return true;
}

// Year, month and day of a validity time as the pages show them. The
// lengths are checked first: the time comes from an uploaded file.
void splitTime(const ASN1_TIME* time, std::string* out)
{
    if (!time)
        return;
    const unsigned char* d = ASN1_STRING_get0_data(time);
    int n = ASN1_STRING_length(time);
    const char* c = reinterpret_cast<const char*>(d);
    switch (ASN1_STRING_type(time)) {
    case V_ASN1_GENERALIZEDTIME:
        if (n < 8 || !allDigits(d, 8))
            return;
        out[0].assign(c, 4);
        out[1].assign(c + 4, 2);
        out[2].assign(c + 6, 2);
        return;
    case V_ASN1_UTCTIME:
        if (n < 6 || !allDigits(d, 6))
            return;
        // Two-digit years 50 to 99 are the 1900s (RFC 5280).
        out[0] = std::string(d[0] >= '5' ? "19" : "20") + std::string(c, 2);
        out[1].assign(c + 2, 2);
        out[2].assign(c + 4, 2);
        return;
    default:
        if (n < 4 || !allDigits(d, 4))
            return;
        out[1].assign(c, 2);
        out[2].assign(c + 2, 2);
        return;
    }
}

std::string fingerprint(const X509* cert, const EVP_MD* md)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!X509_digest(cert, md, digest, &n))
        return "";
    std::string text;
    char hex[4];
    for (unsigned int i = 0; i < n; ++i) {
        snprintf(hex, sizeof hex, i + 1 < n ? "%02X:" : "%02X", digest[i]);
        text += hex;
    }
    return text;
}

bool parseRequest(const std::string& pem, ParsedCert* out)
{
    X509_REQ* req = pemToRequest(pem);
    if (!req)
        return false;
    out->request = true;
    X509_NAME_oneline(X509_REQ_get_subject_name(req), out->subject, SUBJECT_TEXT_REQUEST);
    EVP_PKEY* key = X509_REQ_get0_pubkey(req);
    out->keyBytes = key ? EVP_PKEY_get_size(key) : 1;
    STACK_OF(X509_EXTENSION)* exts = X509_REQ_get_extensions(req);
    if (exts) {
        auto* names = static_cast<GENERAL_NAMES*>(X509V3_get_d2i(exts, NID_subject_alt_name, nullptr, nullptr));
        if (names) {
            collectSan(names, out);
            GENERAL_NAMES_free(names);
        }
        sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
    }
    X509_REQ_free(req);
    return true;
}

bool parseCert(const std::string& pem, ParsedCert* out)
{
    X509* cert = pemToCertificate(pem);
    if (!cert)
        return false;
    out->sha1 = fingerprint(cert, EVP_sha1());
    out->sha2 = fingerprint(cert, EVP_sha256());
    X509_NAME_oneline(X509_get_subject_name(cert), out->subject, SUBJECT_TEXT_CERT);
    X509_NAME_oneline(X509_get_issuer_name(cert), out->issuer, SUBJECT_TEXT_CERT);
    subjectHash.store(X509_subject_name_hash(cert));
    issuerHash.store(X509_issuer_name_hash(cert));
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (names) {
        collectSan(names, out);
        GENERAL_NAMES_free(names);
    }
    EVP_PKEY* key = X509_get0_pubkey(cert);
    out->keyBytes = key ? EVP_PKEY_get_size(key) : 1;
    splitTime(X509_get0_notBefore(cert), out->dates);
    splitTime(X509_get0_notAfter(cert), out->dates + 3);
    X509_free(cert);
    return true;
}

void storeNameFields(CertStore* store, const char* name, int base)
{
    struct Key {
        const char* key;
        int index;
    };
    // The issuer's e-mail takes the slot the subject uses for its
    // alternative names.
    const Key keys[] = {
        {"CN", CF_CN}, {"O", CF_ON}, {"OU", CF_OU}, {"L", CF_LN}, {"ST", CF_SN}, {"C", CF_CTRY},
        {"DC", CF_DC}, {"emailAddress", base ? CF_SAN : CF_MAIL},
    };
    for (const Key& k : keys) {
        int length = 0;
        const char* value = findDnComponent(k.key, name, &length);
        store->setFieldLocked(k.index, value ? value : "", value ? length : 0, base, nullptr, false);
        if (k.index != CF_DC)
            continue;
        while (value) {
            value = findDnComponent(k.key, value + length, &length);
            if (value)
                store->setFieldLocked(k.index, value, length, base, nullptr, true);
        }
    }
}

void fillRecord(CertStore* store, const ParsedCert& parsed)
{
    store->clearLocked();
    store->setKeyBitsLocked(parsed.keyBytes * 8);
    storeNameFields(store, parsed.subject, 0);
    storeNameFields(store, parsed.issuer, CERT_ISSUER_BASE);
    store->setFieldLocked(CF_SAN, "", 0, 0, nullptr, false);
    bool first = true;
    for (const ParsedCert::SanItem& item : parsed.san) {
        const char* prefix = item.ip ? (first ? "IP:" : " IP:") : (first ? "DNS:" : " DNS:");
        store->setFieldLocked(CF_SAN, item.text.c_str(), -1, 0, prefix, !first);
        first = false;
    }
    if (parsed.request)
        return;
    for (int i = 0; i < 6; ++i)
        store->setFieldLocked(CF_SYEAR + i, parsed.dates[i].c_str(), -1, 0, nullptr, false);
    store->setFieldLocked(CF_SHA1, parsed.sha1.c_str(), -1, 0, nullptr, false);
    store->setFieldLocked(CF_SHA2, parsed.sha2.c_str(), -1, 0, nullptr, false);
}

bool fileExists(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

int copyOut(const std::string& text, char* buffer, int size)
{
    if (static_cast<int>(text.size()) >= size)
        return 0;
    memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
}

int fieldIndexOf(const char* name)
{
    for (int i = 0; i < CERT_NAMED_FIELDS; ++i) {
        if (strcmp(name, certFieldNames[i]) == 0)
            return i;
    }
    return -1;
}

bool loadPair(int kind, EVP_PKEY** key, X509** cert)
{
    std::string keyPem;
    std::string certPem;
    if (!readPemFile(certFilePath(certPairKeyIndex(kind)), -1, &keyPem) ||
        !readPemFile(certFilePath(certPairCertIndex(kind)), -1, &certPem))
        return false;
    EVP_PKEY* k = pemToPrivateKey(keyPem);
    X509* c = pemToCertificate(certPem);
    if (k && c && X509_check_private_key(c, k) == 1) {
        *key = k;
        *cert = c;
        return true;
    }
    EVP_PKEY_free(k);
    X509_free(c);
    return false;
}

} // namespace

// ---------------------------------------------------------------- record

CertStore::CertStore()
    : requestBuffer_(new char[BUFFER_SIZE]()), pool_(), fields_()
{
    fields_[CF_REQUEST_TEXT] = requestBuffer_;
    fields_[CF_END_MARK] = "-----END CERTIFICATE-----";
}

CertStore* CertStore::instance()
{
    // Made once and kept for the whole run: pages of other connections may
    // be copying out of it at any moment.
    static CertStore* made = [] {
        CertStore* store = new CertStore();
        theRecord.store(store);
        return store;
    }();
    return made;
}

CertStore* CertStore::existing()
{
    return theRecord.load();
}

void CertStore::release()
{
    CertStore* store = existing();
    if (!store)
        return;
    // Read under the lock: a state becomes validated only under it, so it
    // cannot turn validated (and then running) between this look and the
    // clearing below.
    CertLock lock;
    int state = generationState.load();
    if (state == CERT_GEN_VALIDATED || state == CERT_GEN_RUNNING)
        return;
    store->clearLocked();
    store->requestLength_ = 0;
    store->requestBuffer_[0] = '\0';
    store->keyBits_ = 1024;
    generationState.store(CERT_GEN_IDLE);
}

void CertStore::clearLocked()
{
    for (int i = 0; i <= CF_LAST_SETTABLE; ++i)
        fields_[i] = nullptr;
    writePos_ = 0;
    lastField_ = -1;
}

int CertStore::setFieldLocked(int index, const char* text, int length, int base, const char* prefix, bool append)
{
    int slot = index + base;
    if (index < 0 || base < 0 || slot > CF_LAST_SETTABLE) {
        fprintf(stderr, "ERROR: illegal idx:%d\n", index);
        return 1;
    }
    size_t prefixLength = prefix ? strlen(prefix) : 0;
    size_t textLength = 0;
    if (text)
        textLength = length < 0 ? strlen(text) : strnlen(text, static_cast<size_t>(length));
    size_t need = prefixLength + textLength + 1;
    if (need > static_cast<size_t>(POOL_SIZE - writePos_))
        return 1;

    char* at = pool_ + writePos_;
    if (append && lastField_ == slot && writePos_ > 0 && fields_[slot])
        pool_[writePos_ - 1] = index == CF_DC ? '/' : ',';
    else
        fields_[slot] = at;
    if (prefixLength)
        memcpy(at, prefix, prefixLength);
    if (textLength)
        memcpy(at + prefixLength, text, textLength);
    at[prefixLength + textLength] = '\0';
    writePos_ += static_cast<int>(need);
    lastField_ = slot;
    return 0;
}

int CertStore::setField(int index, const char* text, int length, int base, const char* prefix, bool append)
{
    CertLock lock;
    return setFieldLocked(index, text, length, base, prefix, append);
}

const char* CertStore::fieldLocked(int index) const
{
    if (index < 0 || index >= CERT_FIELD_SLOTS || !fields_[index])
        return "";
    return fields_[index];
}

int CertStore::loadRequestText()
{
    CertLock lock;
    requestLength_ = 0;
    requestBuffer_[0] = '\0';
    int fd = open(certFilePath(CERT_REQ).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int length = 0;
    while (length < BUFFER_SIZE - 1) {
        ssize_t got = read(fd, requestBuffer_ + length, static_cast<size_t>(BUFFER_SIZE - 1 - length));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        length += static_cast<int>(got);
    }
    close(fd);
    requestBuffer_[length] = '\0';
    requestLength_ = length;
    return 1;
}

std::string CertStore::requestText()
{
    CertLock lock;
    return std::string(requestBuffer_, static_cast<size_t>(requestLength_));
}

int CertStore::keyBits()
{
    CertLock lock;
    return keyBits_;
}

int CertStore::setKeyBits(int bits)
{
    if (bits != 1024 && bits != 2048 && bits != 4096)
        return 0;
    CertLock lock;
    keyBits_ = bits;
    return 1;
}

uint64_t CertStore::generationStart()
{
    CertLock lock;
    return generationStart_;
}

// ---------------------------------------------------------------- lock and state

int lockCertMutex()
{
    for (;;) {
        int rc = pthread_mutex_trylock(&certMutex);
        if (rc == 0)
            return 1;
        if (rc != EBUSY) {
            errno = rc;
            fprintf(stderr, "%s cert::mtx failed?!:%m\n", "lock");
        }
        if (Task* task = Task::current())
            task->waitFor(LOCK_RETRY_TICKS, -1);
        else
            usleep(LOCK_RETRY_SLEEP_US);
    }
}

void unlockCertMutex()
{
    int rc = pthread_mutex_unlock(&certMutex);
    if (rc != 0) {
        errno = rc;
        fprintf(stderr, "%s unlock cert::mtx failed?!:%m\n", "unlock");
    }
}

std::string certField(int index)
{
    CertStore* store = CertStore::existing();
    if (!store)
        return "";
    CertLock lock;
    return store->fieldLocked(index);
}

int certGenerationState()
{
    return generationState.load();
}

void setCertGenerationState(int state)
{
    generationState.store(state);
}

bool changeCertGenerationState(int from, int to)
{
    return generationState.compare_exchange_strong(from, to);
}

int certMode()
{
    return lastMode.load();
}

void setCertMode(int mode)
{
    lastMode.store(mode);
}

unsigned long lastCertSubjectHash()
{
    return subjectHash.load();
}

unsigned long lastCertIssuerHash()
{
    return issuerHash.load();
}

// ---------------------------------------------------------------- parsing

const char* findDnComponent(const char* key, const char* oneLine, int* length)
{
    if (!key || !oneLine)
        return nullptr;
    size_t keyLength = strlen(key);
    for (const char* p = strchr(oneLine, '/'); p; p = strchr(p, '/')) {
        ++p;
        if (strncmp(p, key, keyLength) != 0)
            continue;
        const char* q = p + keyLength;
        while (*q == ' ' || *q == '\t')
            ++q;
        if (*q != '=')
            continue;
        ++q;
        const char* end = strchr(q, '/');
        if (length)
            *length = static_cast<int>(end ? end - q : static_cast<ptrdiff_t>(strlen(q)));
        return q;
    }
    return nullptr;
}

int parseCertificate(int kind, const char* path, int fd)
{
    std::string file = path ? certRealPath(path) : certFilePath(kind);
    CertLock lock;
    std::string pem;
    if (!readPemFile(file, fd, &pem))
        return 0;
    ParsedCert parsed;
    bool ok = kind == CERT_MODE_REQUEST ? parseRequest(pem, &parsed) : parseCert(pem, &parsed);
    lastMode.store(kind);
    if (!ok)
        return 0;
    fillRecord(CertStore::instance(), parsed);
    return 1;
}

int refreshCertInfo(int index)
{
    std::string path = certFilePath(index);
    bool exists = !path.empty() && fileExists(path);
    CertStore::release();
    if (index > CERT_FPKEY)
        return parseCertificate(index, nullptr, -1);
    return exists ? 1 : 0;
}

int certVariable(int kind, const char* name, char* buffer, int size)
{
    if (!buffer || !name || size < 32)
        return 0;
    if (strcmp(name, "state") == 0) {
        int index = kind == CERT_SRV ? CERT_PKEY : kind == CERT_FSRV ? CERT_FPKEY : kind;
        return copyOut(refreshCertInfo(index) ? "ISSUED" : "MISSING", buffer, size);
    }
    CertStore* store = CertStore::instance();
    if (strcmp(name, "text") == 0 && kind == CERT_MODE_REQUEST) {
        store->loadRequestText();
        std::string text = store->requestText();
        if (static_cast<int>(text.size()) >= size)
            text.resize(static_cast<size_t>(size - 1));
        return copyOut(text, buffer, size);
    }
    CertLock lock;
    if (strcmp(name, "bits") == 0)
        return copyOut(std::to_string(store->keyBitsLocked()), buffer, size);
    if (strcmp(name, "start") == 0 || strcmp(name, "end") == 0) {
        int first = name[0] == 's' ? CF_SYEAR : CF_EYEAR;
        std::string date = std::string(store->fieldLocked(first)) + "/" + store->fieldLocked(first + 1) + "/" +
                           store->fieldLocked(first + 2);
        return copyOut(date, buffer, size);
    }
    int index = fieldIndexOf(name);
    if (index >= 0)
        return copyOut(store->fieldLocked(index), buffer, size);
    return copyOut("-- internal error --", buffer, size);
}

int checkRootCertificate()
{
    std::string link = certFilePath(CERT_ROOT);
    struct stat st;
    if (lstat(link.c_str(), &st) != 0)
        return 1;
    if (!parseCertificate(CERT_ROOT, nullptr, -1)) {
        deleteCertFile(CERT_ROOT);
        return 0;
    }
    std::string hashName = caFilePath(lastCertSubjectHash());
    if (S_ISREG(st.st_mode)) {
        if (rename(link.c_str(), hashName.c_str()) != 0) {
            fprintf(stderr, "checkRootCertificate %s: %s\n", hashName.c_str(), strerror(errno));
            return 0;
        }
        setRootCertificate(hashName.c_str());
        return 0;
    }
    if (S_ISLNK(st.st_mode) && fileSize(hashName.c_str(), nullptr, 0, nullptr) < 0) {
        deleteCertFile(CERT_ROOT);
        return 0;
    }
    return 1;
}

int loadActiveKeyPair(EVP_PKEY** key, X509** cert)
{
    if (!key || !cert)
        return 0;
    *key = nullptr;
    *cert = nullptr;
    bool imported = fileSize(certFilePath(CERT_FPKEY).c_str(), nullptr, 0, nullptr) > 0 &&
                    fileSize(certFilePath(CERT_FSRV).c_str(), nullptr, 0, nullptr) > 0;
    // An imported pair that does not load or does not match is passed over
    // for the box's own pair rather than signing with nothing.
    if (imported && loadPair(1, key, cert))
        return 1;
    return loadPair(0, key, cert) ? 1 : 0;
}
