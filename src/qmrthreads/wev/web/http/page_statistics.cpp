#include "web/http/page_statistics.h"

#include <mutex>

namespace {

std::mutex statisticsMutex;
PageStatistics statistics;

} // namespace

void recordPageSize(int page, size_t length, size_t buffer)
{
    size_t leftOver = buffer > length ? buffer - length : 0;
    std::lock_guard<std::mutex> hold(statisticsMutex);
    if (length > statistics.largestLength) {
        statistics.largestLength = length;
        statistics.largestPage = page;
        statistics.largestBuffer = buffer;
        statistics.largestLeftOver = leftOver;
    }
    if (leftOver < statistics.smallestLeftOver) {
        statistics.smallestLeftOver = leftOver;
        statistics.smallestLeftOverPage = page;
        statistics.smallestLeftOverLength = length;
        statistics.smallestLeftOverBuffer = buffer;
    }
}

PageStatistics pageStatistics()
{
    std::lock_guard<std::mutex> hold(statisticsMutex);
    return statistics;
}
