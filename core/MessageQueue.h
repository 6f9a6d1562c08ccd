#pragma once
// A MessageTarget that queues messages in arrival order for one consumer thread (the headless
// front end's loop, tests). Post from any thread; Take/TryTake from the consumer. Messages still
// queued when the queue is destroyed are freed with it.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "core/AppMessage.h"

class MessageQueue final : public MessageTarget {
public:
    void Post(AppMessage message) override;
    // Waits at most `limit` for a message; nullopt when none came.
    std::optional<AppMessage> Take(std::chrono::milliseconds limit);
    std::optional<AppMessage> TryTake();
    size_t Size() const;

private:
    mutable std::mutex lock_;
    std::condition_variable arrived_;
    std::deque<AppMessage> messages_;
};
