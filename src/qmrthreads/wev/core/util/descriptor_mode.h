// Blocking mode of a file descriptor.
#pragma once

// Sets (on != 0) or clears O_NONBLOCK, touching the flags only when they
// must change. 1 when the mode is (now) as asked; 0 for a negative
// descriptor or a failing fcntl.
int setNonBlocking(int fd, int on);

// 1 when fd is a valid descriptor in blocking mode.
int isBlocking(int fd);
