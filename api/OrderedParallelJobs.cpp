#include "api/OrderedParallelJobs.h"

#include <algorithm>
#include <utility>

OrderedParallelJobs::OrderedParallelJobs(size_t count, size_t threads, Job job, KeepGoing keepGoing)
    : job_(std::move(job)), keepGoing_(std::move(keepGoing)), slots_(count) {
    const size_t helpers = std::min(count, std::max<size_t>(threads, 1));
    for (size_t i = 0; i < helpers; ++i) {
        helpers_.push_back(std::make_unique<BackgroundThread>());
        helpers_.back()->Start([this](Event& stop) { Work(stop); });
    }
}

OrderedParallelJobs::~OrderedParallelJobs() {
    {
        std::lock_guard lock(lock_);
        abandoned_ = true;
    }
    helpers_.clear();  // each asks its thread to stop and joins it
}

OrderedParallelJobs::Outcome OrderedParallelJobs::Take(size_t index) {
    HeldLogLines lines;
    Outcome outcome;
    {
        std::unique_lock lock(lock_);
        slotDone_.wait(lock, [&] { return slots_[index].done; });
        lines = std::move(slots_[index].lines);
        outcome = slots_[index].outcome;
    }
    lines.WriteOut();
    return outcome;
}

void OrderedParallelJobs::Work(const Event& stop) {
    for (;;) {
        size_t index = 0;
        {
            std::lock_guard lock(lock_);
            if (abandoned_ || next_ >= slots_.size()) {
                return;
            }
            index = next_++;
        }
        HeldLogLines lines;
        const Outcome outcome = RunOne(index, stop, lines);
        {
            std::lock_guard lock(lock_);
            Slot& slot = slots_[index];
            slot.outcome = outcome;
            slot.lines = std::move(lines);
            slot.done = true;
            if (outcome == Outcome::NotRun) {
                abandoned_ = true;
            }
        }
        slotDone_.notify_all();
    }
}

OrderedParallelJobs::Outcome OrderedParallelJobs::RunOne(size_t index, const Event& stop,
                                                         HeldLogLines& lines) {
    if (stop.IsSet() || !keepGoing_()) {
        return Outcome::NotRun;
    }
    LogHold hold(lines);
    try {
        return job_(index) ? Outcome::Succeeded : Outcome::Failed;
    } catch (...) {
        // The consumer waits for every slot it takes: a job that escapes by an exception must
        // still end as an outcome, or the consumer would wait for ever.
        return Outcome::Failed;
    }
}
