#include "engine/WorkerPool.h"

#include <utility>

#include "core/DebugPrintf.h"

WorkerPool::WorkerPool(MessageTarget& window, Gates gates, Options options)
    : window_(window), gates_(gates), options_(options) {
    if (options_.clock == nullptr) {
        options_.clock = &Clock::System();
    }
    rateLimiter_.SetRate(options_.maxDownloadRate);
    for (int i = 0; i < kWorkerCount; ++i) {
        auto worker = std::make_unique<Worker>();
        if (static_cast<uint32_t>(i) < options_.enabledWorkers) {
            worker->enabled.Set();
        }
        workers_[static_cast<size_t>(i)] = std::move(worker);
    }
}

WorkerPool::~WorkerPool() {
    Stop();
}

void WorkerPool::Start() {
    if (started_) {
        return;
    }
    started_ = true;
    for (int i = 0; i < kWorkerCount; ++i) {
        workers_[static_cast<size_t>(i)]->thread.Start([this, i](Event&) { WorkerThread(i); });
    }
}

void WorkerPool::Stop() {
    if (started_) {
        {
            // A paused worker waits at the gate; it must reach its terminate event.
            std::lock_guard<std::mutex> guard(pauseLock_);
            pauseGate_.Resume();
            paused_ = false;
        }
        for (const auto& worker : workers_) {
            worker->terminate.Set();
        }
        for (const auto& worker : workers_) {
            worker->exited.Wait();
        }
        for (const auto& worker : workers_) {
            worker->thread.Join();
        }
        started_ = false;
    }
    queue_.TakeAll();
    std::lock_guard<std::mutex> guard(resultsLock_);
    results_.clear();
    resultsAvailable_.Reset();
}

void WorkerPool::Queue(std::unique_ptr<WorkerTask> task, bool atFront) {
    if (atFront) {
        queue_.PushFront(std::move(task));
    } else {
        queue_.Push(std::move(task));
    }
}

void WorkerPool::PushResult(std::unique_ptr<WorkerTask> task) {
    std::lock_guard<std::mutex> guard(resultsLock_);
    resultsAvailable_.Set();
    results_.push_back(std::move(task));
}

std::vector<std::unique_ptr<WorkerTask>> WorkerPool::TakeResults() {
    std::lock_guard<std::mutex> guard(resultsLock_);
    resultsAvailable_.Reset();
    return std::move(results_);
}

void WorkerPool::StopAllTasks() {
    {
        std::lock_guard<std::mutex> guard(idleLock_);
        abortDone_.Reset();
        for (const auto& worker : workers_) {
            worker->breakTask.Set();
        }
    }
    // Held workers already answer their break event at the gate; opening it as well lets them
    // leave at once. The break events are set first so that no worker makes progress meanwhile.
    bool wasPaused = false;
    uint64_t pauseChangesSeen = 0;
    {
        std::lock_guard<std::mutex> guard(pauseLock_);
        wasPaused = paused_;
        if (wasPaused) {
            Logger().Log(u"Unpausing");
            SetPausedLocked(false);
        }
        pauseChangesSeen = pauseChanges_;
    }
    for (const auto& worker : workers_) {
        worker->idle.Wait();
    }
    // The tasks are freed here, outside the queue's and the results' locks.
    queue_.TakeAll();
    {
        std::lock_guard<std::mutex> guard(idleLock_);
        for (const auto& worker : workers_) {
            worker->breakTask.Reset();
        }
        abortDone_.Set();
    }
    std::vector<std::unique_ptr<WorkerTask>> dropped = TakeResults();
    {
        // A Pause or Resume of the window's own during the abort has the last word.
        std::lock_guard<std::mutex> guard(pauseLock_);
        if (wasPaused && pauseChanges_ == pauseChangesSeen) {
            Logger().Log(u"Pausing");
            SetPausedLocked(true);
        }
    }
}

void WorkerPool::SetEnabledWorkers(uint32_t count) {
    for (int i = 0; i < kWorkerCount; ++i) {
        Event& enabled = workers_[static_cast<size_t>(i)]->enabled;
        if (static_cast<uint32_t>(i) < count) {
            enabled.Set();
        } else {
            enabled.Reset();
        }
    }
}

uint32_t WorkerPool::EnabledWorkers() const {
    uint32_t count = 0;
    for (const auto& worker : workers_) {
        count += worker->enabled.IsSet() ? 1u : 0u;
    }
    return count;
}

void WorkerPool::SetPausedLocked(bool paused) {
    if (paused) {
        pauseGate_.Pause();
    } else {
        pauseGate_.Resume();
    }
    paused_ = paused;
}

void WorkerPool::Pause() {
    std::lock_guard<std::mutex> guard(pauseLock_);
    Logger().Log(u"Pausing");
    SetPausedLocked(true);
    ++pauseChanges_;
}

void WorkerPool::Resume() {
    std::lock_guard<std::mutex> guard(pauseLock_);
    Logger().Log(u"Unpausing");
    SetPausedLocked(false);
    ++pauseChanges_;
}

bool WorkerPool::IsPaused() const {
    std::lock_guard<std::mutex> guard(pauseLock_);
    return paused_;
}

void WorkerPool::DeliverLink(uint32_t slot, const std::u16string& link, uint64_t request) {
    if (slot >= static_cast<uint32_t>(kWorkerCount)) {
        Logger().Error(u"A download link arrived for worker %u, which does not exist.", slot);
        return;
    }
    if (request > UINT32_MAX || !links_.Deliver(slot, link, static_cast<uint32_t>(request))) {
        Logger().Warning(
            u"A download link for an earlier request of worker %u arrived late and was dropped.",
            slot);
    }
}

void WorkerPool::SetSpeed(int slot, uint32_t speed) {
    speeds_[static_cast<size_t>(slot)].store(speed, std::memory_order_relaxed);
}
