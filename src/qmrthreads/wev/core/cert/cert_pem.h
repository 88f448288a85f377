// PEM texts of keys, certificates and requests in and out of memory, and
// the bounded read of a certificate file. Files under "/flash" are small;
// an upload is read no further than the limit.
#pragma once

#include <string>

#include <openssl/types.h>
#include <openssl/x509.h>

// Largest certificate or key file read (bytes).
constexpr size_t CERT_READ_LIMIT = 65536;

// The content of path, or with fd >= 0 of that descriptor from its start
// (its offset is not moved); at most CERT_READ_LIMIT bytes. false when it
// cannot be opened or read.
bool readPemFile(const std::string& path, int fd, std::string* out);

// The first object of its kind in the text, or null. Keys must not be
// encrypted: nobody is there to type a pass phrase.
X509* pemToCertificate(const std::string& pem);
X509_REQ* pemToRequest(const std::string& pem);
EVP_PKEY* pemToPrivateKey(const std::string& pem);

// PEM texts; false when the library fails (its error queue is printed).
bool privateKeyToPem(EVP_PKEY* key, std::string* out);
bool certificateToPem(X509* cert, std::string* out);
bool requestToPem(X509_REQ* req, std::string* out);
