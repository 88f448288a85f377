#include "core/util/dir_list.h"

#include "core/util/thread_context.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int LOCK_RETRY_TICKS = 50;

bool isDirectory(const struct dirent* entry)
{
    return entry->d_type == DT_DIR;
}

} // namespace

int hiddenFileFilter(const struct dirent* entry)
{
    return entry->d_name[0] != 0 && entry->d_name[0] != '.';
}

int directoriesFirst(const struct dirent** a, const struct dirent** b)
{
    bool dirA = isDirectory(*a);
    bool dirB = isDirectory(*b);
    if (dirA != dirB)
        return dirA ? -1 : 1;
    return alphasort(a, b);
}

DirList::DirList()
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    // Unlocking from a thread that does not hold the listing must fail, not
    // corrupt the mutex.
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
}

DirList::~DirList()
{
    clear();
    pthread_mutex_destroy(&mutex_);
}

void DirList::freeEntries()
{
    if (entries_) {
        for (int i = 0; i < count_; ++i)
            free(entries_[i]);
        free(entries_);
    }
    entries_ = nullptr;
    count_ = -1;
}

void DirList::lockForThisThread()
{
    if (locked_.load() && pthread_equal(holder_.load(), pthread_self()))
        return;
    for (;;) {
        int rc = pthread_mutex_trylock(&mutex_);
        if (rc == 0)
            break;
        errno = rc;
        perror("Param lock Mutex:");
        pauseThread(LOCK_RETRY_TICKS);
    }
    holder_.store(pthread_self());
    locked_.store(1);
}

int DirList::read(const char* path, DirComparator comparator)
{
    lockForThisThread();
    freeEntries();
    struct dirent** list = nullptr;
    int n = scandir(path, &list, filter, comparator);
    if (n < 0)
        return 0;
    entries_ = list;
    count_ = n;
    return n;
}

int DirList::readByName(const char* path)
{
    return read(path, directoriesFirst);
}

void DirList::clear()
{
    if (locked_.load() && !pthread_equal(holder_.load(), pthread_self())) {
        // Another thread's listing: leave it alone.
        errno = EPERM;
        perror("Param unlock Mutex:");
        return;
    }
    freeEntries();
    if (!locked_.load())
        return;
    locked_.store(0);
    int rc = pthread_mutex_unlock(&mutex_);
    if (rc != 0) {
        errno = rc;
        perror("Param unlock Mutex:");
    }
}

const char* DirList::entryName(int i) const
{
    if (!entries_ || i < 0 || i >= count_ || !entries_[i])
        return nullptr;
    return entries_[i]->d_name;
}

int globErr(const char* path, int error)
{
    fprintf(stderr, "% 4d %s(%s,%d) %m\n", 482, "globErr", path, error);
    return 0;
}
