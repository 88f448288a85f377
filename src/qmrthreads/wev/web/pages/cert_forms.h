// The certificate forms: generation of a self-signed certificate or of a
// request (the work runs on the "CertGenerator" task; the page reloads
// until it is done), and the uploads of a PKCS#12 file, a CA certificate,
// a mail recipient's certificate and the certificate a CA issued for the
// box's request. Every upload is checked for what it must be (and a key
// against its certificate) before anything is replaced; a refused upload
// leaves every file as it was.
#pragma once

#include <string>

class HttpConnection;

int certGenCgi(HttpConnection& connection);
int certStoreCgi(HttpConnection& connection);

// The pass phrase of a PKCS#12 upload: the upload's last line (the form's
// pass phrase field comes after the file), without its line end. false
// when the upload has no such line.
bool uploadPassPhrase(int fd, std::string* passPhrase);

void registerCertForms();
