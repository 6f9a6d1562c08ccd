#pragma once
// The download engine's 20 worker threads and what they share: the task queue, the results list,
// the gates a worker passes before it takes a task (enabled, signed in, online, not paused), the
// link hand-over with the main window, the holds of busy servers and the speed table. The
// scheduler (engine/Scheduler.h) feeds it tasks and takes their results; the main window enables
// workers, pauses and delivers links through the downloads manager.
// Locks, never nested: the queue's, the results', the pause state's, the idle lock (which orders
// "a worker leaves idle" against "an abort sets the break events") and the link broker's and the
// holds' own. Pausing never suspends a thread: workers stop at their next check point, holding
// no lock.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "core/AppEvent.h"
#include "engine/LinkBroker.h"
#include "engine/RateLimiter.h"
#include "engine/ServerHolds.h"
#include "engine/WorkerCheckPoint.h"
#include "engine/WorkerTasks.h"
#include "platform/BackgroundThread.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/PauseGate.h"
#include "platform/WorkQueue.h"

class Download;

class WorkerPool {
public:
    static constexpr int kWorkerCount = 20;

    // The events a worker waits for before it takes a task; owned by the caller, who keeps them
    // alive as long as the pool.
    struct Gates {
        Event* loggedIn;
        Event* online;
        Event* shutdown;
    };
    struct Options {
        uint32_t enabledWorkers = 6;
        uint32_t progressIntervalMs = 500;
        const Clock* clock = &Clock::System();
        // Only its longestServerWait counts here: how long a busy server's hold may last.
        RetryLimits retry;
        // Set by a chunk transfer that failed for want of the network, so that the connectivity
        // check looks again at once; owned by the caller like the gates. Null: nobody is told.
        Event* problemReported = nullptr;
        // The speed limit for all workers together, in bytes per second; 0: none.
        uint64_t maxDownloadRate = 0;
    };

    WorkerPool(MessageTarget& window, Gates gates, Options options);
    // Ends the threads first if Stop has not.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void Start();
    // Ends every worker (each at its next check point) and returns when all have ended.
    void Stop();

    // --- Scheduler thread ---
    void Queue(std::unique_ptr<WorkerTask> task, bool atFront);
    std::vector<std::unique_ptr<WorkerTask>> TakeResults();
    // Set while results wait to be taken.
    Event& ResultsAvailable() { return resultsAvailable_; }
    // Stops whatever the workers do, forgets every queued task and result, and returns once
    // every worker is idle. Works while paused and leaves the pool paused then (unless the window
    // paused or resumed meanwhile: its word is the last).
    void StopAllTasks();

    // --- Main window ---
    void SetEnabledWorkers(uint32_t count);
    // The speed limit for all workers together, bytes per second (0: none); at once.
    void SetRateLimit(uint64_t bytesPerSecond) { rateLimiter_.SetRate(bytesPerSecond); }
    uint64_t RateLimit() const { return rateLimiter_.Rate(); }
    uint32_t EnabledWorkers() const;
    void Pause();
    void Resume();
    bool IsPaused() const;
    // The link worker `slot` asked for, answering its request `request`; a late answer to an
    // earlier request is dropped.
    void DeliverLink(uint32_t slot, const std::u16string& link, uint64_t request);

    // --- Any thread ---
    size_t QueuedCount() const { return queue_.Size(); }
    std::span<const std::atomic<uint32_t>> Speeds() const { return speeds_; }

private:
    struct Worker {
        Event breakTask{true, false};
        Event idle{true, true};
        Event enabled{true, false};
        Event terminate{true, false};
        Event exited{true, false};
        // Whether the worker's last chunk came in fast (see RunChunkTask), and so whether the
        // next one is digested at its end; a first chunk is taken as fast. Its own thread only.
        bool fastTransfers = true;
        BackgroundThread thread;
    };

    // --- Worker thread `slot` only (WorkerThread.cpp) ---
    void WorkerThread(int slot);
    bool TakeTaskNow(Worker& w);
    void RunTask(WorkerTask& task, int slot);
    void RunChunkTask(DownloadChunkTask& task, int slot);
    void TransferChunk(DownloadChunkTask& task, Download& transfer, Worker& w, int slot);
    void RunCombineTask(CombineChunksTask& task, int slot);
    bool AwaitLink(DownloadChunkTask& task, int slot);
    void ThrowIfStopped(int slot) const;
    void PostChunkProgress(const DownloadChunkTask& task, uint64_t bytes);
    void SetSpeed(int slot, uint32_t speed);
    WorkerCheckPoint CheckPointOf(Worker& w) { return {&w.terminate, &w.breakTask, &pauseGate_}; }

    void PushResult(std::unique_ptr<WorkerTask> task);
    // Sets or clears the pause state; pauseLock_ held.
    void SetPausedLocked(bool paused);

    MessageTarget& window_;
    Gates gates_;
    Options options_;
    std::array<std::unique_ptr<Worker>, kWorkerCount> workers_;
    std::array<std::atomic<uint32_t>, kWorkerCount> speeds_{};
    bool started_ = false;

    WorkQueue<WorkerTask> queue_;

    std::mutex resultsLock_;
    std::vector<std::unique_ptr<WorkerTask>> results_;
    Event resultsAvailable_{true, false};

    LinkBroker links_{kWorkerCount};
    ServerHolds holds_;

    std::mutex idleLock_;
    // Reset while an abort runs; workers that saw their break event wait for it here.
    Event abortDone_{true, true};

    mutable std::mutex pauseLock_;
    bool paused_ = false;        // guarded by pauseLock_
    uint64_t pauseChanges_ = 0;  // guarded by pauseLock_: Pause/Resume calls by the window
    PauseGate pauseGate_;
    RateLimiter rateLimiter_;
};
