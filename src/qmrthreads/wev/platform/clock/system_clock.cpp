#include "platform/clock/system_clock.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "platform/files/file_replace.h"
#include "platform/files/root_path.h"

namespace {

int setRealTime(const timeval& time)
{
    return settimeofday(&time, nullptr);
}

int setSimulatedTime(const timeval& time)
{
    char text[48];
    snprintf(text, sizeof text, "%" PRId64 ".%06ld\n", static_cast<int64_t>(time.tv_sec),
             static_cast<long>(time.tv_usec));
    const FileReplaceResult result = replaceFile(boxPath(kSimClockPath), text, 0644, false);
    if (result.ok())
        return 0;
    errno = result.error;
    return -1;
}

} // namespace

const SystemClockOps realSystemClockOps = {setRealTime};
const SystemClockOps simSystemClockOps = {setSimulatedTime};

const SystemClockOps& systemClock()
{
    static const SystemClockOps& chosen = rootPrefix().empty() ? realSystemClockOps : simSystemClockOps;
    return chosen;
}
