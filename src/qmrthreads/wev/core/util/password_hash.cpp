#include "core/util/password_hash.h"

// DES crypt is deprecated as a cipher, but this is the stored format.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/des.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int BLOCK_CHARS = 8;
constexpr int HASH_CHARS = 11;
const char SALT[] = "ms";

// The 11 hash characters of one block of up to 8 password characters.
// DES_fcrypt writes into the caller's buffer, so logins may run in parallel.
void hashBlock(const char* text, int n, char out[HASH_CHARS])
{
    char block[BLOCK_CHARS + 1] = {};
    memcpy(block, text, static_cast<size_t>(n));
    char result[14] = {};
    DES_fcrypt(block, SALT, result);
    memcpy(out, result + 2, HASH_CHARS);
}

} // namespace

int makePasswordHashInto(const char* text, int len, char* out)
{
    if (len <= 0)
        len = text ? static_cast<int>(strlen(text)) : 0;
    memcpy(out, SALT, 3);
    if (len > PASSWORD_MAX_LENGTH)
        return 0;
    char* p = out + 2;
    for (int pos = 0; pos < len; pos += BLOCK_CHARS) {
        int n = len - pos < BLOCK_CHARS ? len - pos : BLOCK_CHARS;
        hashBlock(text + pos, n, p);
        p += HASH_CHARS;
    }
    *p = 0;
    return 1;
}

char* makePasswordHash(const char* text, int len)
{
    if (len <= 0 || len > PASSWORD_MAX_LENGTH)
        return nullptr;
    size_t size = 2 + HASH_CHARS * static_cast<size_t>((len - 1) / BLOCK_CHARS + 1) + 1;
    char* out = static_cast<char*>(malloc(size));
    if (!out)
        return nullptr;
    if (!makePasswordHashInto(text, len, out)) {
        free(out);
        return nullptr;
    }
    return out;
}

int verifyPasswordHash(const char* text, int len, const char* hash)
{
    int textLen = 0;
    if (text)
        textLen = len < 0 ? static_cast<int>(strlen(text)) : len;
    if (!hash || !*hash)
        return textLen == 0 ? 1 : 0;
    if (textLen == 0)
        return 0;
    if (strncmp(hash, SALT, 2) != 0)
        return 0;
    const char* h = hash + 2;
    size_t hashLeft = strlen(h);
    for (int pos = 0; pos < textLen; pos += BLOCK_CHARS) {
        if (hashLeft < HASH_CHARS)
            return 0;
        int n = textLen - pos < BLOCK_CHARS ? textLen - pos : BLOCK_CHARS;
        char expected[HASH_CHARS];
        hashBlock(text + pos, n, expected);
        if (CRYPTO_memcmp(expected, h, HASH_CHARS) != 0)
            return 0;
        h += HASH_CHARS;
        hashLeft -= HASH_CHARS;
    }
    return hashLeft == 0 ? 1 : 0;
}
