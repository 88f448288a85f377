// Copy of a regular file with a running CRC-32, and the space of a file
// system. Paths are real paths: callers build box paths with boxPath().
#pragma once

#include <cstddef>
#include <cstdint>

// The box's CRC-32 (polynomial 0xEDB88320, reflected) carried on over n more
// bytes: start with 0 and take the result as it is, without the usual
// initial and final inversion.
uint32_t crc32Update(uint32_t crc, const void* data, size_t n);

// Copies from to to in blocks of 4096 bytes. The copy is private (0600)
// when the source is not readable by others, else 0644. With crc, *crc gets
// the CRC-32 of the data (polynomial 0xEDB88320, start 0, no final
// inversion). 1 on success, 0 when the source cannot be read, is not a
// regular file, is the target itself, or a write fails (a partly written
// target is left behind then).
int copyFile(const char* from, const char* to, uint32_t* crc);

// Total and free space of the file system holding path, in KB. 0 (and both
// 0) when statfs fails, else 1.
int fsSpace(const char* path, uint32_t* totalKB, uint32_t* freeKB);
