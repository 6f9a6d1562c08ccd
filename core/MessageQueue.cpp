#include "core/MessageQueue.h"

void MessageQueue::Post(AppEvent event) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        events_.push_back(std::move(event));
    }
    arrived_.notify_one();
}

std::optional<AppEvent> MessageQueue::Take(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!arrived_.wait_for(guard, limit, [this] { return !events_.empty(); })) {
        return std::nullopt;
    }
    AppEvent event = std::move(events_.front());
    events_.pop_front();
    return event;
}

std::optional<AppEvent> MessageQueue::TryTake() {
    return Take(std::chrono::milliseconds(0));
}

size_t MessageQueue::Size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_.size();
}
