// Writing a kernel setting (a file under /proc/sys or /sys) as text.
#pragma once

// Replaces the content of path (a real path; box paths come from boxPath())
// with text. 1 on success; 0 with a perror line naming the path when the
// file cannot be opened or written.
int writeStringToFile(const char* path, const char* text);
