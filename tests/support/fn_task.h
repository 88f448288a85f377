// A task whose body and message handler are given by the test, and a
// bounded wait for what another thread makes true.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "core/task/task.h"

template <typename Base = Task>
class FnTaskOf : public Base {
public:
    using Body = std::function<void(FnTaskOf&)>;
    using Handler = std::function<uint32_t(FnTaskOf&, TaskMessage*)>;

    template <typename... BaseArgs>
    FnTaskOf(Body body, Handler handler, BaseArgs&&... args)
        : Base(std::forward<BaseArgs>(args)...), body_(std::move(body)), handler_(std::move(handler))
    {
    }
    void run() override { body_(*this); }
    uint32_t onMessage(TaskMessage* msg) override
    {
        if (handler_)
            return handler_(*this, msg);
        return Base::onMessage(msg);
    }
    // The base class's handling, for handlers that add to it.
    uint32_t baseOnMessage(TaskMessage* msg) { return Base::onMessage(msg); }

private:
    Body body_;
    Handler handler_;
};

inline bool eventually(const std::function<bool()>& cond,
                       std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return cond();
}
