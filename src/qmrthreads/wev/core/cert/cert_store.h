// The certificate record: one process-wide `CertStore` that holds the texts
// the certificate pages show (subject, issuer, validity, fingerprints, key
// size) for the certificate or request parsed last, and the subject fields
// a generation works from. "cert::mtx" serialises parsing, generation and
// every access to the record's texts: readers get copies made under the
// lock, and the record is cleared, never freed, while the program runs, so
// two pages working at once never see a text that another one is replacing.
#pragma once

#include <cstdint>
#include <string>

#include <openssl/types.h>
#include <openssl/x509.h>

// Field indices of the record. 0 to 8 subject, 9 to 16 validity, 17 the
// pages' own "ct", 18 and 19 fingerprints, 20 to 27 issuer.
enum CertFieldIndex : int {
    CF_CN = 0,
    CF_ON,
    CF_OU,
    CF_LN,
    CF_SN,
    CF_CTRY,
    CF_DC,
    CF_SAN,
    CF_MAIL,
    CF_SYEAR,
    CF_SMON,
    CF_SDAY,
    CF_EYEAR,
    CF_EMON,
    CF_EDAY,
    CF_START,
    CF_END,
    CF_CT,
    CF_SHA1,
    CF_SHA2,
    CF_I_CN,
    CF_I_ON,
    CF_I_OU,
    CF_I_LN,
    CF_I_SN,
    CF_I_CTRY,
    CF_I_DC,
    CF_I_MAIL,
    CERT_NAMED_FIELDS,             // 28 named fields
    CF_LAST_SETTABLE = 28,         // the unnamed slot: the highest index + base accepted
    CF_REQUEST_TEXT = 30,          // the request buffer (loadRequestText)
    CF_END_MARK = 31,              // "-----END CERTIFICATE-----"
    CERT_FIELD_SLOTS = 32,
};

// Issuer fields are the subject's indices with this base.
constexpr int CERT_ISSUER_BASE = 20;

// Names of fields 0 to 27, as forms and template variables use them.
extern const char* const certFieldNames[CERT_NAMED_FIELDS];

// Generation state: 0 idle, 2 validated, 3 generating, 4 done; 5 the last
// generation failed and left the previous files in force.
enum CertGenerationState : int {
    CERT_GEN_IDLE = 0,
    CERT_GEN_VALIDATED = 2,
    CERT_GEN_RUNNING = 3,
    CERT_GEN_DONE = 4,
    CERT_GEN_FAILED = 5,
};

// Mode of the last parse or generation: the file kind, 6 for a request.
constexpr int CERT_MODE_SELF_SIGNED = 3;
constexpr int CERT_MODE_REQUEST = 6;

class CertStore {
public:
    static constexpr int BUFFER_SIZE = 4096;
    static constexpr int POOL_SIZE = 1988;

    // The record, made on first use (key bits 1024, every field empty).
    static CertStore* instance();
    // The record when it was made, else null.
    static CertStore* existing();
    // Empties the record (fields, request text) and sets the state to idle;
    // does nothing while a generation is validated or running.
    static void release();

    // Stores text (length bytes, negative: up to its terminator) behind the
    // optional prefix as field index + base; append continues the field
    // that was stored last ('/' between domain components, ',' otherwise).
    // 0 stored, 1 refused (index + base above 28: "ERROR: illegal idx:%d\n";
    // no room left in the pool: nothing written).
    int setField(int index, const char* text, int length, int base, const char* prefix, bool append);

    // Reads "/flash/cert_req.pem" (up to 4095 bytes) into the request buffer.
    // 1, or 0 without the file.
    int loadRequestText();
    std::string requestText();
    int keyBits();
    // Key sizes a generation accepts: 1024, 2048 or 4096. Another value is
    // refused (0) and the bits stay as they were.
    int setKeyBits(int bits);
    // Seconds of boardTicks when the fields were last validated.
    uint64_t generationStart();

    // Checks the fields for a generation in the mode (see cert_generator.h).
    int validate(int mode);
    // The mode the fields were last validated for: what the generation makes,
    // whatever other pages parse meanwhile.
    int validatedMode();
    // Makes the key and the request or certificate and replaces the files;
    // runs on the generator task. 1 when the new files are in place.
    int generate();

    // --- With "cert::mtx" held ---
    void clearLocked();
    int setFieldLocked(int index, const char* text, int length, int base, const char* prefix, bool append);
    // The field's text, or "" when it is empty.
    const char* fieldLocked(int index) const;
    void setKeyBitsLocked(int bits) { keyBits_ = bits; }
    int keyBitsLocked() const { return keyBits_; }
    const char* requestTextLocked() const { return requestBuffer_; }
    // Subject and alternative names of the fields into the request.
    int fillRequest(X509_REQ* request);
    // "YYYYMMDD000000Z" of the start and end fields (buffers of 16 bytes).
    int validityTimes(char* notBefore, size_t beforeSize, char* notAfter, size_t afterSize);

    CertStore(const CertStore&) = delete;
    CertStore& operator=(const CertStore&) = delete;

private:
    CertStore();
    int generateLocked();

    char* requestBuffer_;
    int requestLength_ = 0;
    uint64_t generationStart_ = 0;
    int keyBits_ = 1024;
    int validatedMode_ = CERT_MODE_SELF_SIGNED;
    char pool_[POOL_SIZE];
    int writePos_ = 0;
    int lastField_ = -1;
    const char* fields_[CERT_FIELD_SLOTS];
};

// Takes "cert::mtx": try-lock steps of 20 ticks that serve the task's
// messages on a task's thread, 2 ms sleeps elsewhere. 1.
int lockCertMutex();
// Releases it; "%s unlock cert::mtx failed?!:%m\n" with "unlock" on failure.
void unlockCertMutex();

// A copy of field index, "" when it is empty or there is no record.
std::string certField(int index);

int certGenerationState();
void setCertGenerationState(int state);
// Moves the state from `from` to `to` when it is `from`; true when it did.
bool changeCertGenerationState(int from, int to);
int certMode();
void setCertMode(int mode);
// Subject and issuer hash of the certificate parsed last (CA file names;
// a root certificate has both equal).
unsigned long lastCertSubjectHash();
unsigned long lastCertIssuerHash();

// The value of the component key=value of a one-line name
// ("/C=DE/O=X/CN=box"); the key must be followed by blanks or '=', so "C"
// does not find "CN". The value's start and *length, or null.
const char* findDnComponent(const char* key, const char* oneLine, int* length);

// Parses a PEM certificate (kind 6: a request) into the record: path (a box
// path or the same under the root; null: file kind) or, with fd >= 0, the
// descriptor's content from its start (the descriptor stays open). 1, or 0
// when it cannot be read or parsed (the record then stays as it was). The
// mode becomes kind.
int parseCertificate(int kind, const char* path, int fd);

// Empties the record and parses file index when it is above 1 (the two
// keys are only looked for). The parse result, or for 0 and 1 whether the
// file exists.
int refreshCertInfo(int index);

// The text of a certificate page variable for file kind into buffer; its
// length, 0 when it does not fit (or the buffer is below 32 bytes).
int certVariable(int kind, const char* name, char* buffer, int size);

// Start-up repair of "/flash/cert_root.pem": a plain file moves to its
// hash name and is linked; a link that does not lead to a CA file under its
// hash name, and a file that does not parse, are removed (0). 1 when there
// is nothing to repair.
int checkRootCertificate();

// The pair that signs mail: the imported one when both its files are
// non-empty and match, else the self-signed one. 1 with both set (the
// caller frees them), 0 with neither.
int loadActiveKeyPair(EVP_PKEY** key, X509** cert);
