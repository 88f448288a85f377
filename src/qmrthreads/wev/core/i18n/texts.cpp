#include "core/i18n/texts.h"

#include "platform/files/root_path.h"
#include "core/util/thread_context.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libintl.h>
#include <openssl/rand.h>
#include <pthread.h>
#include <sys/random.h>

char mailTan[MAIL_TAN_LENGTH + 1] = "NaTAG";

namespace {

pthread_mutex_t translationMutex = PTHREAD_MUTEX_INITIALIZER;

const char base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

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

int base64Value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

void initMessageCatalogue()
{
    // In the "C" locale gettext ignores LANGUAGE, which is how the web
    // pages choose the language of a request.
    if (!setlocale(LC_ALL, "C.UTF-8") && !setlocale(LC_ALL, "C.utf8"))
        fprintf(stderr, "%s: no UTF-8 locale, texts stay untranslated\n", "initMessageCatalogue");
    std::string dir = boxPath("/romfs/locale");
    bindtextdomain("wev", dir.c_str());
    bind_textdomain_codeset("wev", "UTF-8");
    textdomain("wev");
}

const char* getmuText(const char* text)
{
    if (!text)
        return "";
    // A blocking lock: giving up under contention would hand out
    // untranslated texts and mix languages on one page.
    int rc = pthread_mutex_lock(&translationMutex);
    if (rc != 0) {
        fprintf(stderr, "%s(%s) task:%s tryLocking....\n", "getmuText", text, currentThreadName());
        return text;
    }
    const char* translated = gettext(text);
    pthread_mutex_unlock(&translationMutex);
    return translated;
}

int compareNoCase(const char* a, const char* b)
{
    const unsigned char* pa = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(b);
    for (;; ++pa, ++pb) {
        if (*pa == 0)
            return 0;
        int ca = *pa > 'Z' ? *pa - 32 : *pa;
        int cb = *pb > 'Z' ? *pb - 32 : *pb;
        if (ca != cb)
            return ca - cb;
    }
}

char* skipWord(char* line)
{
    char* p = line;
    while (*p && *p != ' ' && *p != '\t')
        ++p;
    while (*p == ' ' || *p == '\t')
        ++p;
    size_t len = strlen(p);
    if (len > 0 && p[len - 1] == '\n')
        p[len - 1] = 0;
    return p;
}

uint32_t loadU32(const void* p)
{
    uint32_t value;
    memcpy(&value, p, sizeof value);
    return value;
}

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

int base64Encode(const uint8_t* data, uint32_t n, char* out, int outSize, int lineOffset)
{
    if (outSize <= 0)
        return 0;
    int pos = 0;
    int lineLen = lineOffset;
    for (uint32_t i = 0; i < n; i += 3) {
        // A group needs four characters and the terminator.
        if (outSize - pos < 5)
            break;
        uint32_t left = n - i;
        uint32_t b0 = data[i];
        uint32_t b1 = left > 1 ? data[i + 1] : 0;
        uint32_t b2 = left > 2 ? data[i + 2] : 0;
        uint32_t bits = (b0 << 16) | (b1 << 8) | b2;
        out[pos++] = base64Alphabet[(bits >> 18) & 0x3f];
        out[pos++] = base64Alphabet[(bits >> 12) & 0x3f];
        out[pos++] = left > 1 ? base64Alphabet[(bits >> 6) & 0x3f] : '=';
        out[pos++] = left > 2 ? base64Alphabet[bits & 0x3f] : '=';
        lineLen += 4;
        if (lineLen > 79 && outSize - pos >= 3) {
            out[pos++] = '\r';
            out[pos++] = '\n';
            lineLen = 0;
        }
    }
    out[pos] = 0;
    return pos;
}

int base64Decode(const char* text, uint8_t* out, uint32_t outSize)
{
    if (outSize == 0)
        return 0;
    uint32_t written = 0;
    uint32_t bits = 0;
    int bitCount = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    for (; *p && written < outSize - 1; ++p) {
        int v = base64Value(*p);
        if (v < 0)
            break;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            out[written++] = static_cast<uint8_t>(bits >> bitCount);
            bits &= (1u << bitCount) - 1;
        }
    }
    // The room for a terminator is kept anyway; callers often read the
    // result as text (user:password of HTTP authorisation).
    out[written] = 0;
    return static_cast<int>(written);
}
