// Shared by the board tests: a temporary root laid out like the box with a
// product record, access to the simulated board's files, and a back-end that
// passes every request to the simulated board while keeping a log of it.
#pragma once

#include "core/product/product_info.h"
#include "core/task/tick_clock.h"
#include "platform/board/board_driver.h"
#include "support/sim_board_root.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace boardtest {

// A fresh root with a product record naming the board, the model and the
// number of USB ports. The board device opened on it hands the board type to
// the simulated board, as the program's does.
class TempRoot : public SimBoardRoot {
public:
    TempRoot(uint32_t board, uint32_t product, uint32_t ports)
    {
        mkdir((dir() + "/etc").c_str(), 0755);
        writeFile(kRecord, "product_id=" + std::to_string(product) + "\n"
                  + "usb_ports_phy=" + std::to_string(ports) + "\n"
                  + "gpio_hw_project=" + std::to_string(board) + "\n"
                  + "usbtable_product_id=" + std::to_string(product) + "\n");
        reloadProductInfoForTest();
    }
    // Later tests find no record, as before this root.
    ~TempRoot()
    {
        unlink(path(kRecord).c_str());
        reloadProductInfoForTest();
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

private:
    static constexpr const char* kRecord = "/conf.d/product_params";
};

// One request as the back-end saw it.
struct LoggedRequest {
    unsigned long request;
    uint32_t words[9];   // the argument's words as passed in (value requests: words[0])
    uint64_t tick;       // monotonic ticks (1/100 s) when it was made
    int result;
};

class RequestLog {
public:
    static RequestLog& instance()
    {
        static RequestLog log;
        return log;
    }
    void clear()
    {
        std::lock_guard<std::mutex> g(mutex_);
        entries_.clear();
    }
    void add(const LoggedRequest& r)
    {
        std::lock_guard<std::mutex> g(mutex_);
        entries_.push_back(r);
    }
    std::vector<LoggedRequest> of(unsigned long request)
    {
        std::lock_guard<std::mutex> g(mutex_);
        std::vector<LoggedRequest> out;
        for (const LoggedRequest& r : entries_)
            if (r.request == request)
                out.push_back(r);
        return out;
    }
    std::vector<LoggedRequest> ofAny(std::initializer_list<unsigned long> requests)
    {
        std::lock_guard<std::mutex> g(mutex_);
        std::vector<LoggedRequest> out;
        for (const LoggedRequest& r : entries_)
            for (unsigned long req : requests)
                if (r.request == req)
                    out.push_back(r);
        return out;
    }
    size_t countOf(unsigned long request) { return of(request).size(); }

private:
    std::mutex mutex_;
    std::vector<LoggedRequest> entries_;
};

inline size_t argumentWords(unsigned long request)
{
    return _IOC_SIZE(request) / 4;
}

inline int loggingIoctl(int fd, unsigned long request, uintptr_t arg)
{
    LoggedRequest r = {};
    r.request = request;
    if (request == GPIO_SET_LED_WORD) {
        r.words[0] = static_cast<uint32_t>(arg);
    } else if (arg) {
        // The LED-state request carries a 20-byte record although it is
        // encoded with one word.
        size_t words = request == GPIO_GET_LED_STATE ? 5 : argumentWords(request);
        const uint32_t* in = reinterpret_cast<const uint32_t*>(arg);
        for (size_t i = 0; i < words && i < 9; ++i)
            r.words[i] = in[i];
    }
    // Not boardTicks(): that may ask this very board, whose ioctl mutex the
    // caller holds.
    r.tick = monotonicTicksForSignal();
    r.result = simBoardDriverOps.ioctl(fd, request, arg);
    RequestLog::instance().add(r);
    return r.result;
}

inline const BoardDriverOps& loggingDriver()
{
    static const BoardDriverOps ops = {
        simBoardDriverOps.setUp,
        simBoardDriverOps.open,
        simBoardDriverOps.close,
        loggingIoctl,
        simBoardDriverOps.read,
    };
    return ops;
}

// Waits, at most about ten seconds, until cond() holds.
template <typename Cond>
bool waitUntil(Cond cond)
{
    for (int i = 0; i < 1000; ++i) {
        if (cond())
            return true;
        usleep(10 * 1000);
    }
    return cond();
}

} // namespace boardtest
