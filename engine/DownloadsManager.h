#pragma once
// The download engine's owner: the worker pool (engine/WorkerPool.h), the scheduler that plans
// and follows one download at a time (engine/Scheduler.h) on its own thread, and the
// connectivity check thread, which share the signals it is handed (engine/EngineSignals.h) with
// the API client. The main window owns one, calls its public operations on its own
// thread, and receives everything the engine has to say as posted events (core/AppEvent.h)
// and owns what they carry.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/AppEvent.h"
#include "core/DownloadInfo.h"
#include "engine/ConnectivityCheck.h"
#include "engine/EngineSignals.h"
#include "engine/RetryPolicy.h"
#include "engine/Scheduler.h"
#include "engine/WorkerPool.h"
#include "platform/BackgroundThread.h"
#include "platform/Clock.h"
#include "platform/Event.h"

struct DownloadsManagerOptions {
    // The "ConcurrentConnections" setting: workers 0 .. n-1 take tasks.
    uint32_t concurrentConnections = 6;
    // The speed limit for all connections together, in bytes per second; 0: none.
    uint64_t maxDownloadRate = 0;
    // Tests shorten the connectivity check's retry delay or put a fake probe here.
    ConnectivityCheckOptions connectivity;
    // How often a worker reports a chunk's progress and refreshes its speed entry.
    uint32_t progressIntervalMs = 500;
    const Clock* clock = &Clock::System();
    // The pauses between retries; tests shorten them.
    RetryLimits retry;
};

class DownloadsManager {
public:
    static constexpr int kWorkerCount = WorkerPool::kWorkerCount;

    // `shared` are the events shared with the API client: the workers wait for its loggedIn and
    // the connectivity check keeps its connectivity events.
    DownloadsManager(MessageTarget& window, EngineSignals shared,
                     DownloadsManagerOptions options = {});
    // Shuts down first if that has not happened yet.
    ~DownloadsManager();
    DownloadsManager(const DownloadsManager&) = delete;
    DownloadsManager& operator=(const DownloadsManager&) = delete;

    // --- Main window (user-interface thread) ---
    // Starts the connectivity check, the scheduler and the 20 workers, in this order. Once only.
    void Start();
    // Stops every engine thread and returns when all have ended, paused or not. Idempotent.
    void Shutdown();

    // Asks the scheduler to work on this download (ignored without its details, and, unless
    // forced, while it is already the current download).
    void RequestDownload(const DownloadInfo& info, bool force = false);
    // Asks the scheduler to release a download, deleting its files when asked. Only the record's
    // own files are deleted (finished files, their chunk and partial chunk files, a half-joined
    // file) and then the folders that this leaves empty below the record's folder; `folder` is
    // the main window's idea of the item's folder and bounds nothing further. A second request
    // for the same name before the scheduler takes the list is ignored.
    void RequestRemoval(const DownloadInfo& record, bool deleteFiles, const std::u16string& folder);
    // The link that worker `slot` asked for (LinkNeeded), empty when none was found,
    // answering the worker's request `passThrough` (the number its LinkNeeded carried). A link
    // for an earlier request of the same worker is dropped.
    void DeliverLink(uint32_t slot, const std::u16string& link, uint64_t passThrough);
    // Workers 0 .. n-1 take tasks, the others stay idle; takes effect without a restart.
    void SetConcurrentConnections(uint32_t count);
    // How many workers may take tasks now.
    uint32_t EnabledWorkerCount() const;
    // The speed limit for all connections together, in bytes per second (0: none); applies to
    // the transfers under way at once.
    void SetMaxDownloadRate(uint64_t bytesPerSecond);
    uint64_t MaxDownloadRate() const;
    void Pause();
    void Resume();
    bool IsPaused() const;

    // --- Speed meter (any thread, no lock) ---
    // Worker `slot`'s transfer speed in bytes per millisecond; 0 while it does not transfer.
    uint32_t WorkerSpeed(int slot) const;
    std::array<uint32_t, kWorkerCount> SpeedSnapshot() const;
    // The table itself, entry i written by worker i only; lives as long as the manager.
    std::span<const std::atomic<uint32_t>> SpeedTable() const { return pool_.Speeds(); }

    // --- Diagnostics and tests ---
    size_t QueuedTaskCount() const { return pool_.QueuedCount(); }
    // The current download's name; empty when there is none.
    std::u16string CurrentDownloadName() const { return scheduler_.CurrentDownloadName(); }

private:
    MessageTarget& window_;
    DownloadsManagerOptions options_;
    const EngineSignals signals_;
    Event shutdown_{true, false};
    Event connectivityStop_{true, false};
    Event connectivityExited_{true, false};

    WorkerPool pool_;
    Scheduler scheduler_;
    BackgroundThread schedulerThread_;
    BackgroundThread connectivityThread_;
    bool started_ = false;   // user-interface thread only
    bool shutDown_ = false;  // user-interface thread only
};
