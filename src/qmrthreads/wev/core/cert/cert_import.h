// Certificates and keys that come from outside: a PEM file uploaded through
// the certificate pages, and a PKCS#12 file with a key and its certificate.
// Nothing is replaced until the new content has been read and checked, and
// then whole: a bad or failed upload leaves the files in force as they were.
#pragma once

class CertStore;

// Largest certificate upload accepted (bytes).
constexpr long CERT_UPLOAD_LIMIT = 20480;

// Stores the uploaded file fd (read from its start; it stays open) as file
// index: 3 to 7 must parse as what that file holds (6 a request, the others
// certificates) and then replace it; 9 is a CA certificate, stored as
// "/flash/<subject hash>.0". Certificates get mode 0644, and the new file
// is mirrored to the SD card. The record then shows the upload. 1, or 0
// (file too large, unreadable, not parsable, an index that takes no upload,
// or the write failed) with nothing changed.
int CertRdWrite(CertStore* record, int index, int fd);

// Imports the PKCS#12 file *fd with the password into the imported pair
// (key "/flash/cert_fpkey.pem" 0600, certificate "/flash/cert_fsrv.pem"
// 0644). Files made with old ciphers are read through the legacy provider.
// The descriptor is consumed (*fd becomes -1) once it was usable. Key and
// certificate must match; a file with only a key replaces the key (and
// drops an imported certificate that belongs to another key); further
// certificates in the file (CA chain) are not imported. 1, or 0 with the
// files unchanged (wrong password, unreadable file, no key, mismatch).
int importPkcs12(int* fd, const char* password);
