// S/MIME for outgoing mail: with `smtp_encrypt` the message is enveloped
// for the recipient certificate "/flash/cert_mime.pem" (DES-EDE3-CBC),
// otherwise it gets a detached signature made with the box's active key
// pair. `smtp_attpkey` off leaves the signer's certificate out. The result
// carries its own MIME headers and CR LF line ends.
#pragma once

class ByteBuffer;

// Largest S/MIME result handed back (bytes).
constexpr int SMIME_RESULT_LIMIT = 0x100000;

// The message in `in` (its data bytes) as S/MIME into `out`, which is
// replaced and grown when the result needs it (a terminator follows the
// data). 1, or 0 without the certificate or key it needs, when the library
// fails, or for a result of SMIME_RESULT_LIMIT bytes or more.
int smimeProcess(const ByteBuffer* in, ByteBuffer* out);

// The same from the file inPath into the file outPath (real paths).
int smimeProcess(const char* inPath, const char* outPath);
