#include "engine/DownloadsManager.h"

#include <utility>

#include "core/DebugPrintf.h"

namespace {

std::u16string Decimal(int number) {
    const std::string ascii = std::to_string(number);
    return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace

DownloadsManager::DownloadsManager(MessageTarget& window, DownloadsManagerOptions options)
    : window_(window),
      options_(std::move(options)),
      connectivity_(CreateConnectivityEvents()),
      loggedIn_(Event::Named(kUserLoggedInEventName, true, false)) {
    if (options_.clock == nullptr) {
        options_.clock = &Clock::System();
    }
    for (int i = 0; i < kWorkerCount; ++i) {
        auto worker = std::make_unique<Worker>();
        worker->breakTask = Event::Named(u"BreakCurrentTaskEvent:" + Decimal(i), true, false);
        worker->idle = Event::Named(u"WorkerThreadIdle:" + Decimal(i), true, true);
        // A name may outlive an earlier manager of this process: start from the table's states.
        worker->breakTask->Reset();
        worker->idle->Set();
        if (static_cast<uint32_t>(i) < options_.concurrentConnections) {
            worker->enabled.Set();
        }
        workers_[static_cast<size_t>(i)] = std::move(worker);
    }
}

DownloadsManager::~DownloadsManager() {
    Shutdown();
}

void DownloadsManager::Start() {
    if (started_ || shutDown_) {
        return;
    }
    started_ = true;
    connectivityThread_.Start([this](Event&) {
        connectionCkeckThread(window_, connectivityStop_, connectivityExited_,
                              options_.connectivity);
    });
    scheduler_.Start([this](Event&) { SchedulerThread(); });
    for (int i = 0; i < kWorkerCount; ++i) {
        workers_[static_cast<size_t>(i)]->thread.Start([this, i](Event&) { WorkerThread(i); });
    }
}

void DownloadsManager::Shutdown() {
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    {
        std::lock_guard<std::mutex> guard(pauseLock_);
        Logger().Log(u"Unpausing");
        pauseGate_.Resume();
        paused_ = false;
        ++pauseChanges_;
    }
    shutdown_.Set();
    connectivityStop_.Set();
    if (started_) {
        schedulerExited_.Wait();
        connectivityExited_.Wait();
        for (const auto& worker : workers_) {
            worker->terminate.Set();
        }
        for (const auto& worker : workers_) {
            worker->exited.Wait();
        }
        scheduler_.Join();
        connectivityThread_.Join();
        for (const auto& worker : workers_) {
            worker->thread.Join();
        }
    }
    ClearTaskQueue();
    std::lock_guard<std::mutex> guard(resultsLock_);
    results_.clear();
}

void DownloadsManager::SetConcurrentConnections(uint32_t count) {
    for (int i = 0; i < kWorkerCount; ++i) {
        Event& enabled = workers_[static_cast<size_t>(i)]->enabled;
        if (static_cast<uint32_t>(i) < count) {
            enabled.Set();
        } else {
            enabled.Reset();
        }
    }
}

uint32_t DownloadsManager::EnabledWorkerCount() const {
    uint32_t count = 0;
    for (const auto& worker : workers_) {
        count += worker->enabled.IsSet() ? 1u : 0u;
    }
    return count;
}

void DownloadsManager::Pause() {
    std::lock_guard<std::mutex> guard(pauseLock_);
    Logger().Log(u"Pausing");
    pauseGate_.Pause();
    paused_ = true;
    ++pauseChanges_;
}

void DownloadsManager::Resume() {
    std::lock_guard<std::mutex> guard(pauseLock_);
    Logger().Log(u"Unpausing");
    pauseGate_.Resume();
    paused_ = false;
    ++pauseChanges_;
}

bool DownloadsManager::IsPaused() const {
    std::lock_guard<std::mutex> guard(pauseLock_);
    return paused_;
}

void DownloadsManager::DeliverLink(uint32_t slot, const std::u16string& link,
                                   uint64_t passThrough) {
    if (slot >= static_cast<uint32_t>(kWorkerCount)) {
        Logger().Error(u"A download link arrived for worker %u, which does not exist.", slot);
        return;
    }
    Worker& worker = *workers_[slot];
    {
        std::lock_guard<std::mutex> guard(linkLock_);
        if (passThrough != worker.awaitedLink) {
            Logger().Warning(
                u"A download link for an earlier request of worker %u arrived late "
                u"and was dropped.",
                slot);
            return;
        }
        worker.link = link;
        worker.linkFor = worker.awaitedLink;
        // Set under the lock: checked and signalled as one step, so the worker can't have moved
        // on to a newer request in between.
        worker.linkReady.Set();
    }
}

uint32_t DownloadsManager::WorkerSpeed(int slot) const {
    if (slot < 0 || slot >= kWorkerCount) {
        return 0;
    }
    return speeds_[static_cast<size_t>(slot)].load(std::memory_order_relaxed);
}

std::array<uint32_t, DownloadsManager::kWorkerCount> DownloadsManager::SpeedSnapshot() const {
    std::array<uint32_t, kWorkerCount> snapshot{};
    for (size_t i = 0; i < snapshot.size(); ++i) {
        snapshot[i] = speeds_[i].load(std::memory_order_relaxed);
    }
    return snapshot;
}

void DownloadsManager::SetSpeed(int slot, uint32_t speed) {
    speeds_[static_cast<size_t>(slot)].store(speed, std::memory_order_relaxed);
}

void DownloadsManager::QueueTask(std::unique_ptr<WorkerTask> task, bool atFront) {
    if (atFront) {
        queue_.PushFront(std::move(task));
    } else {
        queue_.Push(std::move(task));
    }
}

std::unique_ptr<WorkerTask> DownloadsManager::PopTask() {
    return queue_.TakeFirst();
}

void DownloadsManager::ClearTaskQueue() {
    // The tasks are freed here, outside the queue's lock.
    queue_.TakeAll();
}

size_t DownloadsManager::QueuedTaskCount() const {
    return queue_.Size();
}

void DownloadsManager::PushResult(std::unique_ptr<WorkerTask> task) {
    std::lock_guard<std::mutex> guard(resultsLock_);
    resultsAvailable_.Set();
    results_.push_back(std::move(task));
}

std::vector<std::unique_ptr<WorkerTask>> DownloadsManager::TakeResults() {
    std::lock_guard<std::mutex> guard(resultsLock_);
    resultsAvailable_.Reset();
    return std::move(results_);
}

void DownloadsManager::AbortWorkerTasks() {
    Logger().Log(u"Aborting worker tasks");
    {
        std::lock_guard<std::mutex> guard(currentLock_);
        abortingCurrent_ = true;
    }
    {
        std::lock_guard<std::mutex> guard(idleLock_);
        abortDone_.Reset();
        for (const auto& worker : workers_) {
            worker->breakTask->Set();
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
            pauseGate_.Resume();
            paused_ = false;
        }
        pauseChangesSeen = pauseChanges_;
    }

    for (const auto& worker : workers_) {
        worker->idle->Wait();
    }
    ClearTaskQueue();
    {
        std::lock_guard<std::mutex> guard(idleLock_);
        for (const auto& worker : workers_) {
            worker->breakTask->Reset();
        }
        abortDone_.Set();
    }
    std::vector<std::unique_ptr<WorkerTask>> dropped;
    {
        std::lock_guard<std::mutex> guard(resultsLock_);
        dropped.swap(results_);
        resultsAvailable_.Reset();
    }
    {
        std::lock_guard<std::mutex> guard(currentLock_);
        if (current_) {
            PostName(WM_APP_ITEM_PAUSED, current_->name);
        }
        current_.reset();
        abortingCurrent_ = false;
    }
    {
        // A Pause or Resume of the window's own during the abort has the last word.
        std::lock_guard<std::mutex> guard(pauseLock_);
        if (wasPaused && pauseChanges_ == pauseChangesSeen) {
            Logger().Log(u"Pausing");
            pauseGate_.Pause();
            paused_ = true;
        }
    }
}

std::u16string DownloadsManager::CurrentDownloadName() const {
    std::lock_guard<std::mutex> guard(currentLock_);
    return current_ ? current_->name : std::u16string();
}

void DownloadsManager::ClearCurrentDownload() {
    std::lock_guard<std::mutex> guard(currentLock_);
    current_.reset();
}

void DownloadsManager::PostName(uint32_t id, const std::u16string& name, int64_t lParam) {
    auto payload = std::make_unique<NamePayload>();
    payload->name = name;
    window_.Post(MakeMessage(id, std::move(payload), lParam));
}

void DownloadsManager::PostFileEvent(uint32_t id, const std::u16string& name, int64_t fileId,
                                     int64_t lParam) {
    auto payload = std::make_unique<FileEvent>();
    payload->gameName = name;
    payload->fileId = static_cast<uint64_t>(fileId);
    window_.Post(MakeMessage(id, std::move(payload), lParam));
}
