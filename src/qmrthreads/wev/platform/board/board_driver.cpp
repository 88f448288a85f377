#include "platform/board/board_driver.h"

#include "platform/files/root_path.h"

#include <sys/stat.h>

const BoardDriverOps& selectBoardDriver(const char* gpioPath)
{
    struct stat st;
    if (gpioPath && stat(gpioPath, &st) == 0 && S_ISCHR(st.st_mode))
        return realBoardDriverOps;
    return simBoardDriverOps;
}

const BoardDriverOps& boardDriver()
{
    // Chosen once: a driver that appeared or vanished later in the run must
    // not switch the program between two boards.
    static const BoardDriverOps& chosen = selectBoardDriver(boxPath("/dev/gpio").c_str());
    return chosen;
}
