// Small text services shared across the program: translation of user-visible
// texts through the message catalogue, a case-insensitive prefix comparison,
// the value part of "/proc" status lines, random texts for session keys and
// mail TANs, and base64 for mail and HTTP authorisation.
#pragma once

#include <cstdint>

// Binds the text domain "wev" to the catalogues under "/romfs/locale" (UTF-8)
// and selects a UTF-8 locale, without which gettext ignores "LANGUAGE".
void initMessageCatalogue();

// The translation of a user-visible text in the current request language;
// the text itself when the catalogue has none. Never fails.
const char* getmuText(const char* text);

// Case-insensitive comparison that stops where `a` ends, so a prefix of `b`
// compares equal (0); otherwise the difference of the first differing pair.
int compareNoCase(const char* a, const char* b);

// For "Key:\tvalue\n" lines: skips the first word and the blanks after it,
// cuts the line's trailing newline and returns the value's start.
char* skipWord(char* line);

// 32-bit load from a possibly unaligned address, in host byte order.
uint32_t loadU32(const void* p);

// n characters from [0-9A-Za-z] drawn from the system's random generator,
// without a terminator.
void randomText(char* buf, int n);

// The TAN that mail commands must carry; 16 characters and a NUL.
constexpr int MAIL_TAN_LENGTH = 16;
extern char mailTan[MAIL_TAN_LENGTH + 1];

// A new TAN into buf (17 bytes), or into mailTan when buf is null.
void newTan(char* buf);

// Base64 (RFC 4648, '=' padding) of n bytes into out, NUL-terminated, with
// CR LF after the group that brings a line to 80 characters or more (the
// first line starts lineOffset characters in). Stops early when out runs
// short; never writes beyond outSize bytes. Returns the text's length.
int base64Encode(const uint8_t* data, uint32_t n, char* out, int outSize, int lineOffset);

// Decodes until the NUL, the first character outside the alphabet ('='
// included) or outSize - 1 bytes; returns the number of bytes written.
int base64Decode(const char* text, uint8_t* out, uint32_t outSize);
