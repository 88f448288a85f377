#include "services/wlan/bss_list.h"
#include "core/util/text_scan.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

namespace {

pthread_mutex_t wlanScanMutex = PTHREAD_MUTEX_INITIALIZER;

// Never destroyed: the web pages may read it while the program ends.
std::vector<BssRecord>* const scanList = new std::vector<BssRecord>();

void takeField(BssRecord* r, const char* key, size_t keyLength, const char* value, size_t valueLength)
{
    auto keyIs = [&](const char* k) { return keyLength == strlen(k) && memcmp(key, k, keyLength) == 0; };
    std::string v(value, valueLength);
    if (keyIs("bssid")) {
        r->bssid = v;
    } else if (keyIs("freq")) {
        r->freq = v;
        r->channel = frequencyChannel(atoi(v.c_str()));
    } else if (keyIs("capabilities")) {
        r->capabilities = v;
    } else if (keyIs("level")) {
        r->level = atoi(v.c_str());
    } else if (keyIs("flags")) {
        r->flags = v;
    } else if (keyIs("ssid")) {
        r->ssid = v;
    } else if (keyIs("ie")) {
        decodeHex(value, static_cast<int>(valueLength), &r->ie);
    }
}

} // namespace

void lockScanList(int flag)
{
    if (flag)
        pthread_mutex_lock(&wlanScanMutex);
    else
        pthread_mutex_unlock(&wlanScanMutex);
}

std::vector<BssRecord>& wlanScanList()
{
    return *scanList;
}

int frequencyChannel(int mhz)
{
    if (mhz >= 2412 && mhz <= 2472 && (mhz - 2412) % 5 == 0)
        return (mhz - 2412) / 5 + 1;
    return mhz == 2484 ? 14 : 0;
}

bool decodeHex(const char* text, int length, std::vector<uint8_t>* out)
{
    out->clear();
    if (length % 2 != 0)
        return false;
    out->reserve(static_cast<size_t>(length / 2));
    for (int i = 0; i < length; i += 2) {
        int high = hexDigitValue(text[i]);
        int low = hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) {
            out->clear();
            return false;
        }
        out->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

BssRecord parseBssAnswer(const char* text, int length)
{
    BssRecord r;
    const char* end = text + length;
    const char* line = text;
    while (line < end) {
        const char* lf = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
        if (!lf)
            break;
        const char* eq = static_cast<const char*>(memchr(line, '=', static_cast<size_t>(lf - line)));
        if (eq)
            takeField(&r, line, static_cast<size_t>(eq - line), eq + 1, static_cast<size_t>(lf - eq - 1));
        line = lf + 1;
    }
    return r;
}
