#include "core/cert/cert_smime.h"

#include "core/util/byte_buffer.h"
#include "core/cert/cert_files.h"
#include "core/cert/cert_pem.h"
#include "core/cert/cert_store.h"
#include "core/params/param_handles.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

namespace {

PKCS7* encryptForRecipient(BIO* in, int flags)
{
    std::string pem;
    if (!readPemFile(certFilePath(CERT_MIME), -1, &pem))
        return nullptr;
    X509* recipient = pemToCertificate(pem);
    if (!recipient)
        return nullptr;
    STACK_OF(X509)* recipients = sk_X509_new_null();
    PKCS7* p7 = nullptr;
    if (recipients && sk_X509_push(recipients, recipient))
        p7 = PKCS7_encrypt(recipients, in, EVP_des_ede3_cbc(), flags);
    else
        X509_free(recipient);
    sk_X509_pop_free(recipients, X509_free);
    return p7;
}

PKCS7* signDetached(BIO* in, int flags)
{
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    if (!loadActiveKeyPair(&key, &cert))
        return nullptr;
    PKCS7* p7 = PKCS7_sign(cert, key, nullptr, in, flags);
    EVP_PKEY_free(key);
    X509_free(cert);
    return p7;
}

bool writeSmime(BIO* in, BIO* out)
{
    bool encrypt = params::smtp_encrypt()->isOn();
    int flags = encrypt ? (PKCS7_TEXT | PKCS7_CRLFEOL) : (PKCS7_TEXT | PKCS7_DETACHED | PKCS7_CRLFEOL);
    // Leaving the certificate out is decided when signing: the writer only
    // formats what the structure holds.
    if (!params::smtp_attpkey()->isOn())
        flags |= PKCS7_NOCERTS;
    PKCS7* p7 = encrypt ? encryptForRecipient(in, flags) : signDetached(in, flags);
    if (!p7) {
        ERR_print_errors_fp(stderr);
        return false;
    }
    bool ok = BIO_reset(in) >= 0 && SMIME_write_PKCS7(out, p7, in, flags) == 1;
    if (!ok)
        ERR_print_errors_fp(stderr);
    PKCS7_free(p7);
    return ok;
}

} // namespace

int smimeProcess(const ByteBuffer* in, ByteBuffer* out)
{
    if (!in || !out || in->length < 0 || (in->length > 0 && !in->cursor))
        return 0;
    BIO* input = BIO_new_mem_buf(in->length > 0 ? in->cursor : "", in->length);
    BIO* output = BIO_new(BIO_s_mem());
    bool ok = input && output && writeSmime(input, output);
    char* data = nullptr;
    long size = ok ? BIO_get_mem_data(output, &data) : 0;
    if (ok && (size < 0 || size >= SMIME_RESULT_LIMIT)) {
        fprintf(stderr, "smimeProcess: result of %ld bytes refused\n", size);
        ok = false;
    }
    if (ok) {
        int n = static_cast<int>(size);
        // The whole result or nothing: a mail cut short would be sent as if
        // it were complete.
        if (!out->owned || !out->memory || out->capacity < n + 1)
            ok = out->reserve(n + 1) == 1;
        else
            out->rewind();
        if (ok) {
            memcpy(out->memory, data, static_cast<size_t>(n));
            static_cast<char*>(out->memory)[n] = '\0';
            out->cursor = static_cast<char*>(out->memory);
            out->length = n;
        }
    }
    BIO_free(input);
    BIO_free(output);
    return ok ? 1 : 0;
}

int smimeProcess(const char* inPath, const char* outPath)
{
    if (!inPath || !outPath)
        return 0;
    BIO* input = BIO_new_file(inPath, "rb");
    BIO* output = input ? BIO_new_file(outPath, "wb") : nullptr;
    bool ok = input && output && writeSmime(input, output);
    if (output && BIO_flush(output) != 1)
        ok = false;
    BIO_free(input);
    BIO_free(output);
    return ok ? 1 : 0;
}
