#include "startup.h"

#include <cstdio>
#include <unistd.h>

int main()
{
    int code = runBox();
    fflush(nullptr);
    _exit(code);
}
