// Directory listing held by its caller (usually a local object). A listing
// stays locked to the thread that read it until clear(), so two threads
// sharing one record never free entries under each other.
#pragma once

#include <atomic>
#include <dirent.h>
#include <pthread.h>

using DirFilter = int (*)(const struct dirent*);
using DirComparator = int (*)(const struct dirent**, const struct dirent**);

// Keeps an entry unless its name is empty or starts with '.'.
int hiddenFileFilter(const struct dirent* entry);

// Directories first, each group in alphasort order.
int directoriesFirst(const struct dirent** a, const struct dirent** b);

class DirList {
public:
    DirList();
    ~DirList();

    DirList(const DirList&) = delete;
    DirList& operator=(const DirList&) = delete;

    // Lists path through filter, sorted by comparator (null: unsorted).
    // Returns the number of entries, 0 when the directory cannot be read.
    int read(const char* path, DirComparator comparator);
    int readByName(const char* path);
    // Frees the listing and unlocks the record.
    void clear();
    // Name of entry i, valid until clear() or the next read; null when i is
    // out of range or there is no listing.
    const char* entryName(int i) const;

    int count() const { return count_; }

    DirFilter filter = hiddenFileFilter;

private:
    void freeEntries();
    void lockForThisThread();

    struct dirent** entries_ = nullptr;
    int count_ = -1;
    pthread_mutex_t mutex_;
    std::atomic<int> locked_{0};
    std::atomic<pthread_t> holder_{};
};

// glob()'s error callback: reports the path and lets glob go on.
int globErr(const char* path, int error);
