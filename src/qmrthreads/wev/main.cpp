#include "startup.h"

#include <cstdio>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

int main()
{
    int code = runBox();
    fflush(nullptr);
#if defined(__SANITIZE_ADDRESS__)
    // _exit skips the leak check that the sanitizer runs at exit: run it here
    // (it ends the process with its own exit code when it finds a leak).
    __lsan_do_leak_check();
#endif
    _exit(code);
}
