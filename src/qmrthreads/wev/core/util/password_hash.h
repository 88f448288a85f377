// Stored form of hashed password parameters: "ms" followed by 11 characters
// per started block of 8 password characters, each block hashed with the
// traditional DES crypt and the fixed salt "ms" (salt dropped). Passwords of
// 1 to 32 characters, so at most 46 hash characters.
#pragma once

constexpr int PASSWORD_MAX_LENGTH = 32;
constexpr int PASSWORD_HASH_MAX_LENGTH = 2 + 11 * 4;

// Writes the hash of text (len <= 0: strlen) into out, which must hold
// PASSWORD_HASH_MAX_LENGTH + 1 bytes. A text of more than 32 characters
// leaves "ms" in out and returns 0; else 1.
int makePasswordHashInto(const char* text, int len, char* out);

// The hash in a malloc'ed buffer that the caller frees; null for len <= 0 or
// a text of more than 32 characters.
char* makePasswordHash(const char* text, int len);

// 1 when text (len < 0: strlen) hashes to hash. An empty or missing hash
// matches only the empty text; the empty text matches no other hash.
int verifyPasswordHash(const char* text, int len, const char* hash);
