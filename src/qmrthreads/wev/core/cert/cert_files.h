// The box's TLS keys and certificates: PEM files under "/flash", named by
// their index in `certFiles`, trusted CA certificates under their subject
// hash, and the root link "/flash/cert_root.pem" that names the CA the
// 802.1X supplicant trusts. Every write here replaces a file whole (temporary
// file in the same directory, flushed, renamed), keys are private (0600)
// whatever the umask, and a pair of files is replaced together or not at all.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

class ByteBuffer;

enum CertFileIndex : int {
    CERT_PKEY = 0,   // private key of the self-signed pair
    CERT_FPKEY = 1,  // private key imported from PKCS#12
    CERT_RPRIV = 2,  // private key of the certificate request
    CERT_SRV = 3,    // self-signed certificate
    CERT_FSRV = 4,   // certificate imported from PKCS#12
    CERT_RCERT = 5,  // certificate a CA issued for the request
    CERT_REQ = 6,    // certificate request
    CERT_MIME = 7,   // mail recipient's certificate for S/MIME encryption
    CERT_ROOT = 8,   // symbolic link to the trusted CA file
    CERT_TMP = 9,    // default name of an uploaded CA certificate
    CERT_FILE_COUNT = 10,
};

// Box paths ("/flash/cert_pkey.pem", ...) by index.
extern const char* const certFiles[CERT_FILE_COUNT];

// Key pairs by kind: 0 the self-signed pair (files 0 and 3), 1 the imported
// pair (1 and 4), 2 the request's key with the CA-issued certificate (2 and
// 5). -1 for another kind.
int certPairKeyIndex(int kind);
int certPairCertIndex(int kind);

// File index under the root (boxPath of the table entry); "" for an index
// outside the table.
std::string certFilePath(int index);

// "/flash/%08lx.0" under the root: where a CA certificate with that subject
// hash is stored.
std::string caFilePath(unsigned long subjectHash);

// A path given either as a box path ("/flash/...") or as the same path
// under the root, as the path to use.
std::string certRealPath(const char* path);

// A CA file's name: eight hex digits and ".0" ("%08lx.0"), nothing else;
// what a name from outside must be before it is put after "/flash/".
bool isCaFileName(const std::string& name);
// The CA files in "/flash" by name, sorted.
std::vector<std::string> listCaFileNames();
// The CA file name the root link points to; "" without a link, or for a
// link to anything but a CA file.
std::string rootCertificateName();
// Removes the CA file of that name, and the root link first when it points
// to it. A name that is not a CA file name is refused (0). As deleteCertFile.
int deleteCaFile(const std::string& name);

// Files that are copied to the SD card (everything but the self-signed pair,
// which every box makes anew, and the upload's scratch name).
bool certFileMirrored(int index);

// Mirrors every existing certificate and key file except the self-signed
// pair, then the CA files "/flash/????????.0", to the SD card. 1 when all
// were copied or synchronisation is off; 0 at the first failed copy.
int mirrorCertsToSdCard();

// Removes file index (index 9: the given path when not empty, else
// "/flash/cert.tmp") and its copy on the SD card. Indices above 9 do
// nothing; a path outside "/flash" is refused. 1 when the file is gone
// afterwards (also when it never existed), 0 when it could not be removed,
// was refused or the index is unknown.
int deleteCertFile(int index, const char* path = nullptr);

// Removes from "/flash" the temporary files and backup links of certificate
// writes that a kill or a power loss interrupted ("cert_pkey.pem.XXXXXX" may
// hold a private key), each with a line on stderr. Other files stay. The
// number removed.
int removeInterruptedCertWrites();

// Replaces "/flash/cert_root.pem" by a symbolic link to target, a file in
// "/flash" (linked by its name, so the link holds under any root), and
// mirrors it. 1, or 0 when the link could not be made or the target lies
// elsewhere (the old link stays).
int setRootCertificate(const char* target);

// Copies the certificate files back from a mirror directory (a box path
// such as "/var/slot1", or the same path under the root): files 1, 2, 4 to
// 8 and every "????????.0" CA file. Each copy replaces its target whole;
// a copy that fails leaves the target as it was. Keys get 0600, the others
// 0644. 1.
int restoreCertsFromMirror(const char* dir);

// Reads file index into the buffer's free space (behind its data); 1, or
// 0 when the file cannot be opened or read.
int readCertFile(int index, ByteBuffer* buffer);

// Writes data to path as a whole new file with the given mode: temporary
// file beside it, written, fchmod, fsync, renamed over path, directory
// synced. 1, or 0 with the old file untouched and no temporary left.
int writeCertFileAtomic(const std::string& path, const void* data, size_t size, mode_t mode);

// One file of a set that is replaced together.
struct CertFileContent {
    std::string path;  // real path
    std::string data;
    mode_t mode;
};

// Replaces every file of the set, or none: all are written to temporaries
// first; then renamed in order, and when a rename fails the files already
// replaced get their previous content back (or are removed when they did
// not exist). 1 when all were replaced, else 0.
int replaceCertFiles(const CertFileContent* files, int count);
