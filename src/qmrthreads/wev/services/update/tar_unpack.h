// Unpacking a software package: a tar stream whose entries carry absolute
// paths under "/flash". Two kinds of entry go elsewhere: the read-only image
// "/flash/wev.cramfs" to "/tmp/tmp.cramfs" (installed at the next start), and
// "/flash/lib/..." to "/tmp/lib/...".
//
// Every path must be a plain one under "/flash" (no "." or ".." parts, no
// empty parts), and nothing is written through a link that the package itself
// made: a package cannot reach outside the flash file system. Such entries,
// and entries that cannot be created, are skipped and counted; the rest of the
// package is still unpacked.
#pragma once

#include <string>

// Where an entry's path is written on the box (a box path), "" when the path
// is refused.
std::string packageEntryTarget(const std::string& path);

struct UntarResult {
    bool complete = false;  // the stream was read to its end
    int failedEntries = 0;  // entries refused or not created whole
};

// Reads length bytes of tar stream from fd through buffer (bufferSize bytes,
// a multiple of 512) and unpacks them under the box root. Every header block
// taken is also written to copyFd (when >= 0). *progress follows the bytes
// read, in percent of length.
UntarResult untarStream(int fd, long long length, char* buffer, int bufferSize, int copyFd, int* progress);
