#include "engine/DownloadsManager.h"

#include <utility>

#include "core/DebugPrintf.h"

DownloadsManager::DownloadsManager(MessageTarget& window, EngineSignals shared,
                                   DownloadsManagerOptions options)
    : window_(window),
      options_(std::move(options)),
      signals_(std::move(shared)),
      pool_(window,
            WorkerPool::Gates{signals_.loggedIn.get(),
                              signals_.connectivity.connectionEstablished.get(), &shutdown_},
            WorkerPool::Options{options_.concurrentConnections, options_.progressIntervalMs,
                                options_.clock != nullptr ? options_.clock : &Clock::System(),
                                options_.retry, signals_.connectivity.problemReported.get(),
                                options_.maxDownloadRate}),
      scheduler_(window, pool_,
                 Scheduler::Events{&shutdown_, signals_.connectivity.noInternet.get()},
                 options_.retry) {}

DownloadsManager::~DownloadsManager() {
    Shutdown();
}

void DownloadsManager::Start() {
    if (started_ || shutDown_) {
        return;
    }
    started_ = true;
    connectivityThread_.Start([this](Event&) {
        connectionCkeckThread(window_, signals_.connectivity, connectivityStop_,
                              connectivityExited_, options_.connectivity);
    });
    schedulerThread_.Start([this](Event&) { scheduler_.Run(); });
    pool_.Start();
}

void DownloadsManager::Shutdown() {
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    // Paused workers would not see the shut-down at the gate: the pause ends first.
    pool_.Resume();
    shutdown_.Set();
    connectivityStop_.Set();
    if (started_) {
        schedulerThread_.Join();
        connectivityExited_.Wait();
        connectivityThread_.Join();
    }
    pool_.Stop();
}

void DownloadsManager::RequestDownload(const DownloadInfo& info, bool force) {
    scheduler_.RequestDownload(info, force);
}

void DownloadsManager::RequestRemoval(const DownloadInfo& record, bool deleteFiles,
                                      const std::u16string& folder) {
    scheduler_.RequestRemoval(record, deleteFiles, folder);
}

void DownloadsManager::DeliverLink(uint32_t slot, const std::u16string& link,
                                   uint64_t passThrough) {
    pool_.DeliverLink(slot, link, passThrough);
}

void DownloadsManager::SetMaxDownloadRate(uint64_t bytesPerSecond) {
    pool_.SetRateLimit(bytesPerSecond);
}

uint64_t DownloadsManager::MaxDownloadRate() const {
    return pool_.RateLimit();
}

void DownloadsManager::SetConcurrentConnections(uint32_t count) {
    pool_.SetEnabledWorkers(count);
}

uint32_t DownloadsManager::EnabledWorkerCount() const {
    return pool_.EnabledWorkers();
}

void DownloadsManager::Pause() {
    pool_.Pause();
}

void DownloadsManager::Resume() {
    pool_.Resume();
}

bool DownloadsManager::IsPaused() const {
    return pool_.IsPaused();
}

uint32_t DownloadsManager::WorkerSpeed(int slot) const {
    if (slot < 0 || slot >= kWorkerCount) {
        return 0;
    }
    return pool_.Speeds()[static_cast<size_t>(slot)].load(std::memory_order_relaxed);
}

std::array<uint32_t, DownloadsManager::kWorkerCount> DownloadsManager::SpeedSnapshot() const {
    std::array<uint32_t, kWorkerCount> snapshot{};
    for (size_t i = 0; i < snapshot.size(); ++i) {
        snapshot[i] = pool_.Speeds()[i].load(std::memory_order_relaxed);
    }
    return snapshot;
}
