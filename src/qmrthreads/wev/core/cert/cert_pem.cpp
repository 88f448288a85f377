#include "core/cert/cert_pem.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

namespace {

int noPassphrase(char*, int, int, void*)
{
    return -1;
}

BIO* readBio(const std::string& pem)
{
    return BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
}

bool takeBio(BIO* bio, bool written, std::string* out)
{
    if (!written) {
        ERR_print_errors_fp(stderr);
        BIO_free(bio);
        return false;
    }
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    out->assign(data ? data : "", n > 0 ? static_cast<size_t>(n) : 0);
    BIO_free(bio);
    return true;
}

} // namespace

bool readPemFile(const std::string& path, int fd, std::string* out)
{
    out->clear();
    int own = -1;
    if (fd < 0) {
        own = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (own < 0)
            return false;
        fd = own;
    }
    char block[4096];
    off_t offset = 0;
    bool ok = true;
    while (out->size() < CERT_READ_LIMIT) {
        size_t want = std::min(sizeof block, CERT_READ_LIMIT - out->size());
        ssize_t got = pread(fd, block, want, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            ok = false;
        if (got <= 0)
            break;
        out->append(block, static_cast<size_t>(got));
        offset += got;
    }
    if (own >= 0)
        close(own);
    return ok;
}

X509* pemToCertificate(const std::string& pem)
{
    BIO* bio = readBio(pem);
    if (!bio)
        return nullptr;
    X509* cert = PEM_read_bio_X509(bio, nullptr, noPassphrase, nullptr);
    BIO_free(bio);
    ERR_clear_error();
    return cert;
}

X509_REQ* pemToRequest(const std::string& pem)
{
    BIO* bio = readBio(pem);
    if (!bio)
        return nullptr;
    X509_REQ* req = PEM_read_bio_X509_REQ(bio, nullptr, noPassphrase, nullptr);
    BIO_free(bio);
    ERR_clear_error();
    return req;
}

EVP_PKEY* pemToPrivateKey(const std::string& pem)
{
    BIO* bio = readBio(pem);
    if (!bio)
        return nullptr;
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, noPassphrase, nullptr);
    BIO_free(bio);
    ERR_clear_error();
    return key;
}

bool privateKeyToPem(EVP_PKEY* key, std::string* out)
{
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return false;
    return takeBio(bio, PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1, out);
}

bool certificateToPem(X509* cert, std::string* out)
{
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return false;
    return takeBio(bio, PEM_write_bio_X509(bio, cert) == 1, out);
}

bool requestToPem(X509_REQ* req, std::string* out)
{
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return false;
    return takeBio(bio, PEM_write_bio_X509_REQ(bio, req) == 1, out);
}
