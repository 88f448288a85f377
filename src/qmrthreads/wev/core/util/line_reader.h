// Reading text files line by line into a fixed buffer. A line longer than
// the buffer is cut, and its rest is skipped instead of coming back as a
// line of its own (which a key=value parser would misread).
#pragma once

#include <cstdio>

// Next line into buf (with its newline when it fitted), NUL-terminated;
// false at the end of the file.
bool readLine(FILE* f, char* buf, int size);
