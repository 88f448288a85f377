// Replacing a file in one step: the new content goes to a temporary file in
// the same directory, with its mode set explicitly (whatever the umask), and
// is renamed over the old file. A reader, or a crash, sees the old file or the
// new one, never a part of either.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

struct FileReplaceResult {
    int error = 0;              // errno of the failed step; 0 = replaced
    const char* step = nullptr; // "create", "write" or "rename" when it failed
    bool ok() const { return error == 0; }
};

// Durable: the content and the directory entry are flushed to the medium
// before the call returns (files that must survive a power loss).
FileReplaceResult replaceFile(const std::string& path, std::string_view content, mode_t mode, bool durable);

// Removes the temporary file that a replaceFile(path, ...) interrupted by a
// kill or a power loss left beside path (path itself is the old file, whole).
// True when there was one and it is gone.
bool removeReplaceLeftover(const std::string& path);

// Writes all of data to fd (retrying short writes and EINTR); false with
// errno set otherwise.
bool writeWhole(int fd, const void* data, size_t size);
