#include "core/MessageQueue.h"

void MessageQueue::Post(AppMessage message) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.push_back(std::move(message));
    }
    arrived_.notify_one();
}

std::optional<AppMessage> MessageQueue::Take(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!arrived_.wait_for(guard, limit, [this] { return !messages_.empty(); })) {
        return std::nullopt;
    }
    AppMessage message = std::move(messages_.front());
    messages_.pop_front();
    return message;
}

std::optional<AppMessage> MessageQueue::TryTake() {
    return Take(std::chrono::milliseconds(0));
}

size_t MessageQueue::Size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_.size();
}
