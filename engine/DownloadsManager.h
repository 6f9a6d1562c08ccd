#pragma once
// The download engine's owner: a scheduler thread that plans one download at a time, a pool of
// 20 worker threads that run its tasks, and the connectivity check thread. The main window owns
// one, calls its public operations on its own thread, and receives everything the engine has to
// say as posted messages (core/AppMessage.h) whose payloads it then owns.
// Shared state lives behind four locks that are never nested (current download, task queue,
// results, removals) plus the link slots' and the pause state's own small locks. Pausing never
// suspends a thread: workers stop at their next check point, holding no lock.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/AppMessage.h"
#include "core/DownloadInfo.h"
#include "engine/ConnectivityCheck.h"
#include "engine/FinishedFileCheck.h"
#include "engine/WorkerTasks.h"
#include "platform/BackgroundThread.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/PauseGate.h"
#include "platform/WorkQueue.h"

// WM_APP_ITEM_FAILED's code when the disk lacks room for what a download still needs; the
// payload's bytesShort tells how much more it needs.
inline constexpr int64_t kNotEnoughSpace = 6;

// Set while the user is signed in (made by the connections manager); workers wait for it.
inline constexpr char16_t kUserLoggedInEventName[] = u"VelkDownloader: User logged in";

struct DownloadsManagerOptions {
    // The "ConcurrentConnections" setting: workers 0 .. n-1 take tasks.
    uint32_t concurrentConnections = 6;
    // Tests shorten the connectivity check's retry delay or put a fake probe here.
    ConnectivityCheckOptions connectivity;
    // How often a worker reports a chunk's progress and refreshes its speed entry.
    uint32_t progressIntervalMs = 500;
    const Clock* clock = &Clock::System();
};

class DownloadsManager {
public:
    static constexpr int kWorkerCount = 20;

    explicit DownloadsManager(MessageTarget& window, DownloadsManagerOptions options = {});
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
    // The link that worker `slot` asked for (WM_APP_LINK_NEEDED), empty when none was found,
    // answering the worker's request `passThrough` (the number its LINK_NEEDED carried). A link
    // for an earlier request of the same worker is dropped.
    void DeliverLink(uint32_t slot, const std::u16string& link, uint64_t passThrough);
    // Workers 0 .. n-1 take tasks, the others stay idle; takes effect without a restart.
    void SetConcurrentConnections(uint32_t count);
    // How many workers may take tasks now.
    uint32_t EnabledWorkerCount() const;
    void Pause();
    void Resume();
    bool IsPaused() const;

    // --- Speed meter (any thread, no lock) ---
    // Worker `slot`'s transfer speed in bytes per millisecond; 0 while it does not transfer.
    uint32_t WorkerSpeed(int slot) const;
    std::array<uint32_t, kWorkerCount> SpeedSnapshot() const;
    // The table itself, entry i written by worker i only; lives as long as the manager.
    std::span<const std::atomic<uint32_t>> SpeedTable() const { return speeds_; }

    // --- Engine threads ---
    void QueueTask(std::unique_ptr<WorkerTask> task, bool atFront);
    std::unique_ptr<WorkerTask> PopTask();
    void ClearTaskQueue();
    void PushResult(std::unique_ptr<WorkerTask> task);
    std::vector<std::unique_ptr<WorkerTask>> TakeResults();
    // Scheduler thread: stops whatever the workers do, forgets every task, reports the current
    // download paused and clears it. Works while paused and leaves the engine paused then.
    void AbortWorkerTasks();
    // Worker thread: asks the main window for the task's link and waits for it. False for an
    // empty link; throws the worker's break or terminate exception when told to stop.
    bool AwaitLink(DownloadChunkTask& task, int slot);

    // Scheduler thread (Scheduler.cpp, TaskResults.cpp).
    std::optional<DownloadInfo> TakeRequest();
    void ProcessRemovals();
    void ProcessResults(const std::u16string& downloadName, uint64_t& outstanding);
    void PermanentFailure(const WorkerTask& task);

    // --- Diagnostics and tests ---
    size_t QueuedTaskCount() const;
    // The current download's name; empty when there is none.
    std::u16string CurrentDownloadName() const;

private:
    struct Worker {
        std::shared_ptr<Event> breakTask;  // "BreakCurrentTaskEvent:" + i
        std::shared_ptr<Event> idle;       // "WorkerThreadIdle:" + i
        Event enabled{true, false};
        Event terminate{true, false};
        Event linkReady{true, false};
        Event exited{true, false};
        std::u16string link;  // guarded by linkLock_
        // The number of the link request the worker waits for (guarded by linkLock_): a link
        // that answers an earlier request, one of a task that was broken off, is not for it.
        uint32_t awaitedLink = 0;
        // The request number that `link` answers (guarded by linkLock_); 0 before any link.
        uint32_t linkFor = 0;
        // Whether the worker's last chunk came in fast (see RunChunkTask), and so whether the
        // next one is digested at its end; a first chunk is taken as fast. Its own thread only.
        bool fastTransfers = true;
        BackgroundThread thread;
    };
    struct Removal {
        std::u16string name;
        bool deleteFiles = false;
        std::u16string folder;
        DownloadInfo record;
    };

    // WorkerThread.cpp
    void WorkerThread(int slot);
    void RunTask(WorkerTask& task, int slot);
    void RunChunkTask(DownloadChunkTask& task, int slot);
    void RunCombineTask(CombineChunksTask& task, int slot);
    void ThrowIfStopped(int slot) const;
    void PostChunkProgress(const DownloadChunkTask& task, uint64_t bytes);

    // Scheduler.cpp
    void SchedulerThread();
    void PlanDownload(DownloadInfo& plan);
    // Clears the restart flags of the files whose restart a plan of this run carried out.
    void ForgetRestartsCarriedOut(DownloadInfo& plan) const;
    // Deletes the file's finished, chunk, partial and working files, clears its restart flag in
    // the plan and the current copy, remembers it done and tells the window.
    void CarryOutRestart(const DownloadInfo& plan, FileInfo& file);
    // Whether the finished file of `file` is done: there, at its size and matching its digest
    // (see FinishedFileCheck.h; one that fails is deleted). Nothing when the check was stopped,
    // and the planning must then be left.
    std::optional<bool> FinishedFileVerified(const DownloadInfo& plan, const FileInfo& file);
    // Whether the download may start: its downloads folder exists and holds room for what it
    // still needs. Otherwise the item is reported failed (WM_APP_ITEM_FAILED) with the reason.
    bool CanStart(const DownloadInfo& plan);
    void ClearCurrentDownload();

    void PostName(uint32_t id, const std::u16string& name, int64_t lParam = 0);
    void PostFileEvent(uint32_t id, const std::u16string& name, int64_t fileId, int64_t lParam = 0);
    void SetSpeed(int slot, uint32_t speed);

    MessageTarget& window_;
    DownloadsManagerOptions options_;
    ConnectivityEvents connectivity_;
    std::shared_ptr<Event> loggedIn_;

    std::array<std::unique_ptr<Worker>, kWorkerCount> workers_;
    std::array<std::atomic<uint32_t>, kWorkerCount> speeds_{};
    BackgroundThread scheduler_;
    BackgroundThread connectivityThread_;
    bool started_ = false;   // user-interface thread only
    bool shutDown_ = false;  // user-interface thread only

    // Current download lock: the current and requested copies and the new-request event.
    mutable std::mutex currentLock_;
    std::optional<DownloadInfo> current_;
    std::optional<DownloadInfo> pending_;
    // While the workers' tasks are being aborted, the current download is on its way out: a
    // request for it then starts it again rather than being taken for the one still running.
    bool abortingCurrent_ = false;
    Event newRequest_{true, false};

    WorkQueue<WorkerTask> queue_;

    std::mutex resultsLock_;
    std::vector<std::unique_ptr<WorkerTask>> results_;
    Event resultsAvailable_{true, false};

    std::mutex removalLock_;
    std::vector<Removal> removals_;
    Event removalRequest_{true, false};

    std::mutex linkLock_;

    // Scheduler thread only: the finished files checked against their digests in this run.
    FinishedFileChecks finishedChecks_;
    // Scheduler thread only: download, file name and timestamp of each restart carried out.
    std::set<std::u16string> restartsDone_;

    // Makes "a worker leaves its idle state" and "an abort sets the break events" one before the
    // other, so that an abort never counts a worker idle that is about to take a task.
    std::mutex idleLock_;
    // Reset while an abort runs; workers that saw their break event wait for it here.
    Event abortDone_{true, true};

    mutable std::mutex pauseLock_;
    bool paused_ = false;        // guarded by pauseLock_
    uint64_t pauseChanges_ = 0;  // guarded by pauseLock_: Pause/Resume calls by the window
    PauseGate pauseGate_;

    Event shutdown_{true, false};
    Event connectivityStop_{true, false};
    Event schedulerExited_{true, false};
    Event connectivityExited_{true, false};
};
