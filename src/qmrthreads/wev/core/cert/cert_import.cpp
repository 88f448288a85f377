#include "core/cert/cert_import.h"

#include "core/cert/cert_files.h"
#include "core/cert/cert_pem.h"
#include "core/cert/cert_store.h"
#include "core/storage/sd_mirror.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

namespace {

// PKCS#12 files are a few KB; the bound only keeps a wrong upload from
// being read without end.
constexpr size_t PKCS12_READ_LIMIT = 1 << 20;

std::once_flag legacyOnce;
OSSL_LIB_CTX* legacyContext = nullptr;

// Old PKCS#12 files use RC2 and other ciphers that OpenSSL 3 keeps in its
// "legacy" provider. They get a library context of their own, so the
// legacy ciphers never become available to TLS.
void makeLegacyContext()
{
    OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    if (ctx && OSSL_PROVIDER_load(ctx, "legacy") && OSSL_PROVIDER_load(ctx, "default")) {
        legacyContext = ctx;
        return;
    }
    fprintf(stderr, "importPkcs12: the OpenSSL \"legacy\" provider cannot be loaded; PKCS#12 files with old "
                    "ciphers cannot be imported\n");
    ERR_print_errors_fp(stderr);
    OSSL_LIB_CTX_free(ctx);
}

OSSL_LIB_CTX* legacy()
{
    std::call_once(legacyOnce, makeLegacyContext);
    return legacyContext;
}

// -1 when the data is no PKCS#12 structure, 0 when it does not open with
// the password (or a cipher is missing), 1 with key and certificate (each
// may be null) as PEM texts.
int openPkcs12(const std::string& der, const char* password, OSSL_LIB_CTX* ctx, std::string* keyPem,
               std::string* certPem)
{
    BIO* bio = BIO_new_mem_buf(der.data(), static_cast<int>(der.size()));
    if (!bio)
        return -1;
    PKCS12* p12 = ctx ? PKCS12_init_ex(NID_pkcs7_data, ctx, nullptr) : nullptr;
    PKCS12* got = d2i_PKCS12_bio(bio, ctx ? &p12 : nullptr);
    BIO_free(bio);
    if (!got) {
        PKCS12_free(p12);
        return -1;
    }
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    int result = 0;
    if (PKCS12_parse(got, password, &key, &cert, nullptr) == 1) {
        result = 1;
        if (key && !privateKeyToPem(key, keyPem))
            result = 0;
        if (cert && !certificateToPem(cert, certPem))
            result = 0;
    }
    EVP_PKEY_free(key);
    X509_free(cert);
    PKCS12_free(got);
    return result;
}

bool readStream(FILE* f, std::string* out)
{
    char block[4096];
    for (;;) {
        size_t got = fread(block, 1, sizeof block, f);
        out->append(block, got);
        if (out->size() > PKCS12_READ_LIMIT)
            return false;
        if (got < sizeof block)
            return !ferror(f);
    }
}

bool pairMatches(const std::string& keyPem, const std::string& certPem)
{
    EVP_PKEY* key = pemToPrivateKey(keyPem);
    X509* cert = pemToCertificate(certPem);
    bool match = key && cert && X509_check_private_key(cert, key) == 1;
    ERR_clear_error();
    EVP_PKEY_free(key);
    X509_free(cert);
    return match;
}

bool storedFile(int index, std::string* pem)
{
    return readPemFile(certFilePath(index), -1, pem) && !pem->empty();
}

int storePair(const std::string& keyPem, const std::string& certPem)
{
    if (!pairMatches(keyPem, certPem)) {
        fprintf(stderr, "importPkcs12: the key does not belong to the certificate\n");
        return 0;
    }
    const CertFileContent files[] = {
        {certFilePath(CERT_FSRV), certPem, 0644},
        {certFilePath(CERT_FPKEY), keyPem, 0600},
    };
    if (!replaceCertFiles(files, 2)) {
        fprintf(stderr, "Error opening file %s\n", certFiles[CERT_FPKEY]);
        return 0;
    }
    mirrorToSdCard(certFiles[CERT_FPKEY]);
    mirrorToSdCard(certFiles[CERT_FSRV]);
    return 1;
}

int storeKeyOnly(const std::string& keyPem)
{
    std::string path = certFilePath(CERT_FPKEY);
    if (!writeCertFileAtomic(path, keyPem.data(), keyPem.size(), 0600)) {
        fprintf(stderr, "Error opening file %s\n", certFiles[CERT_FPKEY]);
        return 0;
    }
    mirrorToSdCard(certFiles[CERT_FPKEY]);
    // A certificate imported earlier belongs to the previous key.
    std::string certPem;
    if (storedFile(CERT_FSRV, &certPem) && !pairMatches(keyPem, certPem))
        deleteCertFile(CERT_FSRV);
    return 1;
}

bool isUploadTarget(int index)
{
    return (index >= CERT_SRV && index <= CERT_MIME) || index == CERT_TMP;
}

} // namespace

int CertRdWrite(CertStore* record, int index, int fd)
{
    struct stat st;
    if (!record || fd < 0 || !isUploadTarget(index) || fstat(fd, &st) != 0 || st.st_size > CERT_UPLOAD_LIMIT)
        return 0;
    std::string data;
    if (!readPemFile("", fd, &data))
        return 0;
    CertStore::release();
    // The upload must be what the file is for before anything is replaced.
    if (!parseCertificate(index, nullptr, fd))
        return 0;

    std::string target;
    if (index == CERT_TMP) {
        // Named by the hash of this very upload, not of whatever another
        // page parsed since.
        X509* cert = pemToCertificate(data);
        if (!cert)
            return 0;
        target = caFilePath(X509_subject_name_hash(cert));
        X509_free(cert);
    } else {
        target = certFilePath(index);
    }
    if (!writeCertFileAtomic(target, data.data(), data.size(), 0644)) {
        perror("CertRdWrite");
        return 0;
    }
    mirrorToSdCard(target.c_str());
    return 1;
}

int importPkcs12(int* fd, const char* password)
{
    if (!fd || *fd < 0 || lseek(*fd, 0, SEEK_SET) != 0) {
        fprintf(stderr, "Error illegal file:%d\n", fd ? *fd : -1);
        return 0;
    }
    FILE* f = fdopen(*fd, "rb");
    if (!f) {
        fprintf(stderr, "Error open file:%d %m\n", *fd);
        close(*fd);
        *fd = -1;
        return 0;
    }
    *fd = -1;
    std::string der;
    bool read = readStream(f, &der);
    fclose(f);
    if (!read) {
        fprintf(stderr, "Error reading PKCS#12 file\n");
        return 0;
    }

    std::string keyPem;
    std::string certPem;
    int opened = openPkcs12(der, password, nullptr, &keyPem, &certPem);
    if (opened == 0 && legacy()) {
        ERR_clear_error();
        opened = openPkcs12(der, password, legacy(), &keyPem, &certPem);
    }
    if (opened < 0) {
        fprintf(stderr, "Error reading PKCS#12 file\n");
        ERR_print_errors_fp(stderr);
        return 0;
    }
    if (opened == 0) {
        fprintf(stderr, "Error parsing PKCS#12 file\n");
        ERR_print_errors_fp(stderr);
        return 0;
    }
    ERR_clear_error();
    if (!keyPem.empty() && !certPem.empty())
        return storePair(keyPem, certPem);
    if (!keyPem.empty())
        return storeKeyOnly(keyPem);
    // The library hands out a certificate only together with its key: one
    // without a key is among the CA certificates, which are not imported.
    fprintf(stderr, "Error parsing PKCS#12 file: no private key\n");
    return 0;
}
