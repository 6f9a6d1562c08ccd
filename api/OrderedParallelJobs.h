#pragma once
// Runs jobs 0..count-1 on a few helper threads at once, ahead of one consumer that takes their
// outcomes strictly in job order. The lines a job logs are held back and written when the
// consumer takes its outcome, so the log reads as if the jobs had run one after another on the
// consumer's thread. Helpers pick jobs in order, so job k never waits behind a later one.
// Owns its helper threads (lowest priority, joined by the destructor). The consumer's thread
// makes it, calls Take and destroys it; jobs run on the helpers and must be safe to run together.
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/HeldLogLines.h"
#include "platform/BackgroundThread.h"

class OrderedParallelJobs {
public:
    enum class Outcome { Succeeded, Failed, NotRun };
    // Runs job `index`; true when it succeeded. Runs on a helper thread.
    using Job = std::function<bool(size_t index)>;
    // Asked on a helper before each job starts; false leaves that job and all later ones NotRun.
    using KeepGoing = std::function<bool()>;

    OrderedParallelJobs(size_t count, size_t threads, Job job, KeepGoing keepGoing);
    // No further job starts; waits for the running ones. Lines of jobs not taken are dropped.
    ~OrderedParallelJobs();
    OrderedParallelJobs(const OrderedParallelJobs&) = delete;
    OrderedParallelJobs& operator=(const OrderedParallelJobs&) = delete;

    // Waits for job `index` to end, writes the lines it logged and says how it went. Each index
    // is taken once, in order.
    Outcome Take(size_t index);

private:
    struct Slot {
        bool done = false;
        Outcome outcome = Outcome::NotRun;
        HeldLogLines lines;
    };

    void Work(const Event& stop);
    Outcome RunOne(size_t index, const Event& stop, HeldLogLines& lines);

    const Job job_;
    const KeepGoing keepGoing_;
    std::mutex lock_;
    std::condition_variable slotDone_;
    std::vector<Slot> slots_;  // each slot guarded by lock_ until it is done
    size_t next_ = 0;          // guarded by lock_: the next job a helper takes
    bool abandoned_ = false;   // guarded by lock_: no job starts any more
    // Last, so that the helpers end before anything they use goes.
    std::vector<std::unique_ptr<BackgroundThread>> helpers_;
};
