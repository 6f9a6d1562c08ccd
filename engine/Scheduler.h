#pragma once
// The download engine's scheduler: one thread that takes the requested download, plans it (what
// is on disk already, one task per missing chunk), follows the plan by judging what the workers
// hand back (engine/RetryPolicy.h), queues the join at the end, and carries out removals. The
// main window's requests arrive through RequestDownload and RequestRemoval on its own thread;
// everything else runs on the scheduler thread, in Run.
// Locks, never nested: the current download's (current and requested copies) and the
// removals'.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/AppEvent.h"
#include "core/DownloadInfo.h"
#include "engine/FinishedFileCheck.h"
#include "engine/RetryPolicy.h"
#include "engine/RetryWaits.h"
#include "engine/WorkerPool.h"
#include "platform/Event.h"

class RunningJoin;
struct CombineEntry;

class Scheduler {
public:
    struct Events {
        Event* shutdown;    // ends Run
        Event* noInternet;  // set while offline: the current download is stopped
    };

    Scheduler(MessageTarget& window, WorkerPool& pool, Events events, RetryLimits limits);
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // --- Main window ---
    // See DownloadsManager::RequestDownload and RequestRemoval.
    void RequestDownload(const DownloadInfo& info, bool force);
    void RequestRemoval(const DownloadInfo& record, bool deleteFiles, const std::u16string& folder);
    // The current download's name; empty when there is none. Any thread.
    std::u16string CurrentDownloadName() const;

    // --- Scheduler thread ---
    // Runs until the shutdown event is set.
    void Run();

private:
    struct Removal {
        std::u16string name;
        bool deleteFiles = false;
        std::u16string folder;
        DownloadInfo record;
    };
    // A plan being followed: what is still to come before the join, and the join's parts.
    struct Plan {
        std::u16string name;
        uint64_t outstanding = 0;
        uint64_t totalChunks = 0;
        bool anyUnavailable = false;
        std::vector<CombineEntry> entries;
        // Beside each entry, the join that runs while the file's chunks arrive, or null.
        std::vector<std::shared_ptr<RunningJoin>> runningJoins;
    };

    std::optional<DownloadInfo> TakeRequest();
    void ProcessRemovals();
    // Makes the plan and queues its tasks; nothing when the download ends or is left here.
    std::optional<Plan> MakePlan(DownloadInfo& download);
    // The planning's phases, in order. Whether each file's finished file is there and verified;
    // nothing when the check was stopped.
    std::optional<std::vector<bool>> VerifyFinishedFiles(const DownloadInfo& download);
    // Every file is done: leftovers go, the item is reported finished and the download ends.
    void ReportAllDone(const DownloadInfo& download);
    // An empty plan for `download`: its chunk count, its join's entries.
    Plan StartPlan(const DownloadInfo& download) const;
    // Places one file in the plan: unavailable, done already, or its tasks queued. False when
    // the download must be refused (its chunk paths do not fit; reported already).
    bool PlaceFile(DownloadInfo& download, size_t position, bool finishedDone, Plan& plan);
    // Whether the file's name and chunk list allow fetching it; otherwise why not.
    bool Fetchable(const DownloadInfo& download, const FileInfo& file,
                   std::u16string* reason) const;
    // Queues the tasks of the chunks of `file` that are not on disk yet.
    void PlanFile(DownloadInfo& download, size_t position, Plan& plan);
    // Carries out a restart, or clears a stale finished file, and makes the file's folder.
    void PrepareFileFolder(const DownloadInfo& download, FileInfo& file);
    static std::unique_ptr<DownloadChunkTask> MakeChunkTask(const std::u16string& name,
                                                            const FileInfo& file,
                                                            const ChunkInfo& chunk,
                                                            const std::u16string& chunkPath);
    void FollowPlan(Plan& plan);
    // Judges the workers' results: false when the download was given up (and aborted).
    bool ProcessResults(Plan& plan);
    void QueueJoin(Plan& plan);
    void LogDecision(const WorkerTask& task, const RetryDecision& decision) const;
    void GiveUp(const WorkerTask& task, const RetryDecision& decision);
    // Stops whatever the workers do, forgets every task, reports the current download paused
    // and clears it.
    void AbortCurrent();
    void ClearCurrentDownload();

    // Clears the restart flags of the files whose restart a plan of this run carried out.
    void ForgetRestartsCarriedOut(DownloadInfo& download) const;
    // Deletes the file's finished, chunk, partial and working files, clears its restart flag in
    // the plan and the current copy, remembers it done and tells the window.
    void CarryOutRestart(const DownloadInfo& download, FileInfo& file);
    // Whether the finished file of `file` is done: there, at its size and matching its digest
    // (see FinishedFileCheck.h; one that fails is deleted). Nothing when the check was stopped,
    // and the planning must then be left.
    std::optional<bool> FinishedFileVerified(const DownloadInfo& download, const FileInfo& file);
    // Whether the download may start: its downloads folder exists and holds room for what it
    // still needs. Otherwise the item is reported failed (ItemFailed) with the reason.
    bool CanStart(const DownloadInfo& download);

    void PostChunkOnDisk(const std::u16string& name, int64_t fileId, int32_t chunkId,
                         uint64_t bytes);

    MessageTarget& window_;
    WorkerPool& pool_;
    Events events_;
    RetryLimits limits_;

    mutable std::mutex currentLock_;
    std::optional<DownloadInfo> current_;
    std::optional<DownloadInfo> pending_;
    // While the workers' tasks are being aborted, the current download is on its way out: a
    // request for it then starts it again rather than being taken for the one still running.
    bool abortingCurrent_ = false;
    Event newRequest_{true, false};

    std::mutex removalLock_;
    std::vector<Removal> removals_;
    Event removalRequest_{true, false};

    // Scheduler thread only: tasks waiting out a pause before their retry.
    RetryWaits waits_;
    // Scheduler thread only: spreads retry pauses (see Judge); a fixed start keeps runs alike.
    uint64_t jitterState_ = 0x9e3779b97f4a7c15u;
    // Scheduler thread only: the finished files checked against their digests in this run.
    FinishedFileChecks finishedChecks_;
    // Scheduler thread only: download, file name and timestamp of each restart carried out.
    std::set<std::u16string> restartsDone_;
};
