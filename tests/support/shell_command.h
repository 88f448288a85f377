// Runs a shell command for a test: its standard output with standard error
// joined, and its exit status (-1 when it could not run or ended by a signal).
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

struct ShellResult {
    int status = -1;
    std::string out;
};

inline ShellResult runShell(const std::string& command)
{
    ShellResult r;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return r;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
        r.out.append(chunk.data(), n);
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}
