// The sizes of generated pages, for the device information page: the
// largest page so far and the page that came closest to its buffer's end.
#pragma once

#include <cstddef>

struct PageStatistics {
    size_t largestLength = 0;
    int largestPage = -1;
    size_t largestBuffer = 0;
    size_t largestLeftOver = 0;
    size_t smallestLeftOver = static_cast<size_t>(-1);
    int smallestLeftOverPage = -1;
    size_t smallestLeftOverLength = 0;
    size_t smallestLeftOverBuffer = 0;
};

void recordPageSize(int page, size_t length, size_t buffer);
PageStatistics pageStatistics();
