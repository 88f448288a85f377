#include "core/util/random_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <openssl/rand.h>
#include <sys/random.h>

char mailTan[MAIL_TAN_LENGTH + 1] = "NaTAG";

namespace {

// Fills buf from the kernel's generator; OpenSSL's as a second source.
// Session keys and TANs guard the box, so there is no weaker fallback.
void fillRandomBytes(unsigned char* buf, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t got = getrandom(buf + done, n - done, 0);
        if (got > 0) {
            done += static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        break;
    }
    if (done == n)
        return;
    if (RAND_bytes(buf + done, static_cast<int>(n - done)) == 1)
        return;
    fprintf(stderr, "%s: no random source available !!\n", "randomText");
    abort();
}

} // namespace

void randomText(char* buf, int n)
{
    static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    constexpr unsigned ALPHABET_SIZE = sizeof alphabet - 1;
    // Bytes at or above the largest multiple of 62 are drawn again so that
    // every character is equally likely.
    constexpr unsigned LIMIT = 256 - 256 % ALPHABET_SIZE;
    unsigned char pool[64];
    int filled = 0;
    while (filled < n) {
        fillRandomBytes(pool, sizeof pool);
        for (size_t i = 0; i < sizeof pool && filled < n; ++i) {
            if (pool[i] >= LIMIT)
                continue;
            buf[filled++] = alphabet[pool[i] % ALPHABET_SIZE];
        }
    }
}

void newTan(char* buf)
{
    char* out = buf ? buf : mailTan;
    randomText(out, MAIL_TAN_LENGTH);
    out[MAIL_TAN_LENGTH] = 0;
}
