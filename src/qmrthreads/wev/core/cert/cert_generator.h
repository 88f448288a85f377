// Certificate generation: an RSA key with either a self-signed certificate
// (the pair TLS serves when nothing was imported) or a certificate request
// for a CA. The subject comes from the fields of the certificate record.
// Key generation is slow on the box, so it runs on a "CertGenerator" task of
// its own; the pages watch the generation state. Everything is made in
// memory and the files are replaced only when all of it succeeded, so a
// failure leaves the previous key and certificate in force together.
#pragma once

#include "core/cert/cert_store.h"
#include "core/task/task.h"

#include <openssl/types.h>
#include <openssl/x509v3.h>

// The locality and contact address of the request the box makes for itself
// when it starts without a key.
extern const char kDefaultCertLocality[];
extern const char kDefaultCertMail[];

class CertGeneratorTask : public Task {
public:
    explicit CertGeneratorTask(CertStore* store);
    // One generation, then the record shows the new certificate or request;
    // the task ends.
    void run() override;

private:
    CertStore* store_;
};

// A date from 2000-01-01 to 9999-12-31 of the Gregorian calendar.
int isValidDate(int year, int month, int day);

// When the fields were validated and no generation runs yet: starts one
// "CertGenerator" task and returns the start's result (its task id, or -1
// with the state set to failed). Otherwise returns value unchanged.
int startCertGenerator(int value);

// The subject alternative names of a field text: items separated by commas
// and blanks; an item that is a usable IP address becomes "IP:item", any
// other "DNS:item", joined by ", " while the text stays within 255 bytes.
// The text's length (0 for none).
int certSanText(const char* san, char* out, int size);

// Builds the extension nid from its text and appends it to the list. 1, or
// 0 when the library refuses the text.
int addSanExtension(STACK_OF(X509_EXTENSION) * extensions, int nid, const char* text);

// The last generation has finished and its files are in place.
bool certGenerationDone();

// Fills the record with the request the box makes for itself at its first
// start: country DE, state Germany, the fixed locality, organisation
// "Vekotron GmbH", the product's default name, the fixed contact address,
// valid from 2019-05-01 to 2029-05-01. 1, or 0 when a field did not fit.
int fillDefaultCertRequest(CertStore* store);
