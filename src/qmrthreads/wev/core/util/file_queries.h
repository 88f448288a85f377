// Small file-system queries: size and date of a file, its FAT archive bit,
// links, anonymous temporary files and the last line of a file. Paths are
// real paths; box paths come from boxPath().
#pragma once

// -1 when path cannot be stat'ed, 1 for a directory, else the size in bytes
// (so an empty file gives 0). With timeText, the modification time as
// "%Y-%m-%d %H:%M"; with archive, 1 or 0 for the FAT archive attribute
// (left unchanged, with a perror line, where the file system has none).
int fileSize(const char* path, char* timeText, int timeTextSize, int* archive);

// 1 when path is a symbolic link to the same file as target (both exist).
int isLinkTo(const char* path, const char* target);

// An anonymous read-write file under "/tmp" (created and unlinked at once);
// -1 on failure.
int makeTempFile();

// The file's last line (with its final character, normally the newline)
// NUL-terminated at the start of buf, read from the last size bytes. 0 for
// a negative descriptor, a file shorter than size bytes, or no newline
// before the last line; else 1.
int readFileTail(int fd, char* buf, int size);
