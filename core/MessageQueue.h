#pragma once
// A MessageTarget that queues events in arrival order for one consumer thread (the headless
// front end's loop, tests). Post from any thread; Take/TryTake from the consumer. Events still
// queued when the queue is destroyed are freed with it.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "core/AppEvent.h"

class MessageQueue final : public MessageTarget {
public:
    void Post(AppEvent event) override;
    // Waits at most `limit` for an event; nullopt when none came.
    std::optional<AppEvent> Take(std::chrono::milliseconds limit);
    std::optional<AppEvent> TryTake();
    size_t Size() const;

private:
    mutable std::mutex lock_;
    std::condition_variable arrived_;
    std::deque<AppEvent> events_;
};
