#include "core/i18n/texts.h"

#include "platform/files/root_path.h"
#include "core/util/thread_context.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libintl.h>
#include <pthread.h>

namespace {

pthread_mutex_t translationMutex = PTHREAD_MUTEX_INITIALIZER;

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
