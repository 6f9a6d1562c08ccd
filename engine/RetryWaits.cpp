#include "engine/RetryWaits.h"

#include <algorithm>

void RetryWaits::Add(std::unique_ptr<WorkerTask> task, std::chrono::milliseconds wait) {
    waiting_.emplace(Clock::now() + wait, std::move(task));
}

std::vector<std::unique_ptr<WorkerTask>> RetryWaits::TakeDue() {
    std::vector<std::unique_ptr<WorkerTask>> due;
    const Clock::time_point now = Clock::now();
    while (!waiting_.empty() && waiting_.begin()->first <= now) {
        due.push_back(std::move(waiting_.begin()->second));
        waiting_.erase(waiting_.begin());
    }
    return due;
}

std::optional<uint32_t> RetryWaits::MillisecondsToNext() const {
    if (waiting_.empty()) {
        return std::nullopt;
    }
    // Rounded up, so that the wake-up never comes a little before the task is due.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(waiting_.begin()->first - Clock::now());
    return static_cast<uint32_t>(std::clamp<int64_t>(left.count(), 0, UINT32_MAX));
}
