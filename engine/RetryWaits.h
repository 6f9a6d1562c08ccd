#pragma once
// Tasks that wait out a pause before they go back into the queue (a retry after a network
// failure or a busy server's answer), each with the moment it is due. Owned and used by the
// scheduler thread only; its tasks are dropped with the plan they belong to.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "engine/WorkerTasks.h"

class RetryWaits {
public:
    using Clock = std::chrono::steady_clock;

    void Add(std::unique_ptr<WorkerTask> task, std::chrono::milliseconds wait);
    // The tasks whose pause has passed, the earliest due first.
    std::vector<std::unique_ptr<WorkerTask>> TakeDue();
    // How long until the next task is due (0 when one is due now); nothing when none waits.
    std::optional<uint32_t> MillisecondsToNext() const;
    void Clear() { waiting_.clear(); }

private:
    std::multimap<Clock::time_point, std::unique_ptr<WorkerTask>> waiting_;
};
