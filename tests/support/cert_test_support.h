// Certificates for the certificate tests, made with the library so their
// names, validity encodings and alternative names are exactly what a case
// needs, and a box root with "/flash" and the SD card directory. Results are
// checked with the `openssl` command, which did not make them.
#pragma once

#include "core/cert/cert_files.h"
#include "core/cert/cert_store.h"
#include "core/params/param_handles.h"
#include "core/storage/sd_card_state.h"
#include "support/product_record.h"
#include "support/shell_command.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <utility>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace certtest {

namespace fs = std::filesystem;

constexpr int32_t FEATURE_SD_CARD = 0x200000;

inline std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeAll(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

inline mode_t modeOf(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

// Process umask 0, as once the USB server has started: modes must still be
// the ones the code asks for.
class UmaskZero {
public:
    UmaskZero() : old_(umask(0)) {}
    ~UmaskZero() { umask(old_); }
    UmaskZero(const UmaskZero&) = delete;
    UmaskZero& operator=(const UmaskZero&) = delete;

private:
    mode_t old_;
};

// Runs a shell command; its standard output and error, and its exit status.
inline std::string run(const std::string& command, int* status = nullptr)
{
    ShellResult r = runShell(command);
    if (status)
        *status = r.status;
    return r.out;
}

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

inline Key newKey(unsigned bits = 1024)
{
    return Key(EVP_RSA_gen(bits));
}

inline std::string keyPem(EVP_PKEY* key)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(n));
    BIO_free(bio);
    return pem;
}

// What a test certificate holds. Names are (attribute, value) in order;
// times are given in the encoding they are to have: 13 characters make a
// UTCTime, 15 a GeneralizedTime.
struct CertShape {
    std::vector<std::pair<std::string, std::string>> subject{{"C", "DE"}, {"O", "X"}, {"CN", "box"}};
    std::vector<std::pair<std::string, std::string>> issuer;  // empty: self-issued
    std::string notBefore = "240101000000Z";
    std::string notAfter = "290501000000Z";
    std::string san;  // extension text, e.g. "DNS:a.example, IP:10.0.0.1"
    bool ca = false;  // may sign certificates
};

inline X509_NAME* makeName(const std::vector<std::pair<std::string, std::string>>& entries)
{
    X509_NAME* name = X509_NAME_new();
    for (const auto& [field, value] : entries)
        X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
    return name;
}

inline ASN1_TIME* makeTime(const std::string& text)
{
    ASN1_TIME* t = ASN1_TIME_new();
    if (ASN1_TIME_set_string(t, text.c_str()) != 1)
        ADD_FAILURE() << "bad time " << text;
    return t;
}

inline X509* makeCert(const CertShape& shape, EVP_PKEY* key, EVP_PKEY* signer = nullptr)
{
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
    X509_NAME* subject = makeName(shape.subject);
    X509_NAME* issuer = shape.issuer.empty() ? X509_NAME_dup(subject) : makeName(shape.issuer);
    X509_set_subject_name(cert, subject);
    X509_set_issuer_name(cert, issuer);
    X509_NAME_free(subject);
    X509_NAME_free(issuer);
    ASN1_TIME* nb = makeTime(shape.notBefore);
    ASN1_TIME* na = makeTime(shape.notAfter);
    X509_set1_notBefore(cert, nb);
    X509_set1_notAfter(cert, na);
    ASN1_TIME_free(nb);
    ASN1_TIME_free(na);
    if (!shape.san.empty()) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, shape.san.c_str());
        EXPECT_NE(ext, nullptr) << shape.san;
        if (ext) {
            X509_add_ext(cert, ext, -1);
            X509_EXTENSION_free(ext);
        }
    }
    if (shape.ca) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE");
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_set_pubkey(cert, key);
    X509_sign(cert, signer ? signer : key, EVP_sha256());
    return cert;
}

inline std::string certPem(X509* cert)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(n));
    BIO_free(bio);
    return pem;
}

inline std::string makeCertPem(const CertShape& shape, EVP_PKEY* key, EVP_PKEY* signer = nullptr)
{
    X509* cert = makeCert(shape, key, signer);
    std::string pem = certPem(cert);
    X509_free(cert);
    return pem;
}

inline unsigned long subjectHashOf(const std::string& pem)
{
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    unsigned long hash = cert ? X509_subject_name_hash(cert) : 0;
    X509_free(cert);
    return hash;
}

// A box root with "/flash" and "/var/slot1", a product record, the SD
// card taking copies (switchable), the certificate record empty and idle.
class CertFixture : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.ok());
        useProduct(root, "product_name=Test Box 12\ndefault_name=TB-0102\nhw_project=12\n");
        fs::create_directories(root.dir() + "/flash");
        fs::create_directories(root.dir() + "/var/slot1");
        savedFeatures = params::sw_features()->value();
        savedAutoSync = params::autoSync()->value();
        setMirror(false);
        setCertGenerationState(CERT_GEN_IDLE);
        CertStore::release();
    }
    void TearDown() override
    {
        setSdCardState(kSdCardRemoved);
        params::sw_features()->setValue(savedFeatures);
        params::autoSync()->setValue(savedAutoSync);
        setCertGenerationState(CERT_GEN_IDLE);
        CertStore::release();
    }

    void setMirror(bool on)
    {
        params::sw_features()->setValue(on ? (savedFeatures | FEATURE_SD_CARD) : (savedFeatures & ~FEATURE_SD_CARD));
        params::autoSync()->setValue(on ? 1 : 0);
        setSdCardState(on ? kSdCardMounted : kSdCardRemoved);
    }

    std::string path(const std::string& boxFile) const { return root.dir() + boxFile; }
    std::string flash(int index) const { return certFilePath(index); }
    std::string card(const std::string& name) const { return root.dir() + "/var/slot1/" + name; }

    TempBoxRoot root;
    int32_t savedFeatures = 0;
    int32_t savedAutoSync = 0;
};

} // namespace certtest
