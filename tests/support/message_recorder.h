// A registered task that records the codes of the messages it receives, so a
// test can see what an operation broadcast. drain() posts a marker to the
// task and waits for it: messages travel in order through the task's pipe,
// so every broadcast made before the call has been recorded by then.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/task/task.h"

class MessageRecorder {
public:
    MessageRecorder() : shared_(std::make_shared<Shared>())
    {
        task_ = new RecorderTask(shared_);
        taskId_ = task_->start(20480, 0);
    }
    ~MessageRecorder()
    {
        if (taskId_ <= 0)
            return;
        TaskMessage stop{0, MSG_STOP, 0, 0};
        postToTaskId(taskId_, &stop);
        std::unique_lock<std::mutex> lock(shared_->mutex);
        shared_->changed.wait_for(lock, std::chrono::seconds(5), [&] { return shared_->ended; });
    }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    bool started() const { return taskId_ > 0; }

    // The codes received since the last drain, in order.
    std::vector<uint32_t> drain()
    {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        const int wanted = ++shared_->markersPosted;
        lock.unlock();
        TaskMessage marker{0, kMarker, 0, 0};
        EXPECT_EQ(postToTaskId(taskId_, &marker), 0);
        lock.lock();
        EXPECT_TRUE(shared_->changed.wait_for(lock, std::chrono::seconds(5),
                                              [&] { return shared_->markersSeen >= wanted; }))
            << "the recorder task did not answer";
        std::vector<uint32_t> codes;
        codes.swap(shared_->codes);
        return codes;
    }

private:
    static constexpr uint32_t kMarker = 0x40000000;

    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<uint32_t> codes;
        int markersPosted = 0;
        int markersSeen = 0;
        bool ended = false;
    };

    class RecorderTask : public Task {
    public:
        explicit RecorderTask(std::shared_ptr<Shared> shared) : Task("Recorder"), shared_(std::move(shared)) {}
        ~RecorderTask() override
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->ended = true;
            shared_->changed.notify_all();
        }
        void run() override
        {
            for (;;)
                pollEvents(1000);
        }
        uint32_t onMessage(TaskMessage* msg) override
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (msg->code == kMarker)
                ++shared_->markersSeen;
            else
                shared_->codes.push_back(msg->code);
            shared_->changed.notify_all();
            return 0;
        }

    private:
        std::shared_ptr<Shared> shared_;
    };

    std::shared_ptr<Shared> shared_;
    RecorderTask* task_ = nullptr;
    int taskId_ = -1;
};
