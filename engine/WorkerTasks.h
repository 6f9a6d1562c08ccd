#pragma once
// The units of work that the scheduler hands to the worker pool: a chunk to download and check,
// or a download's files to join and check. A task has exactly one owner at a time — the task
// queue, the results list, the worker running it, the scheduler judging it or its list of tasks
// waiting out a pause — and moves between them by unique_ptr, so it is never touched by two
// threads at once. Its history travels with it through every requeue; the worker that runs it
// says how the attempt ended.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/CombineEntry.h"
#include "engine/RetryPolicy.h"

class RunningJoin;

class WorkerTask {
public:
    enum Kind : uint32_t { kDownloadChunk = 0, kCombineChunks = 1 };

    virtual ~WorkerTask();
    WorkerTask(const WorkerTask&) = delete;
    WorkerTask& operator=(const WorkerTask&) = delete;

    std::u16string downloadName;
    uint32_t kind;
    int32_t fileId = -1;  // the chunk's file; -1 for a combine task
    // How the last attempt ended; the worker starts every attempt as "stopped", so a task that
    // comes back without a word from the worker is simply run again.
    Attempt attempt;
    RetryHistory history;  // what the retry policy counted so far; never reset while it lives

protected:
    explicit WorkerTask(uint32_t taskKind) : kind(taskKind) {}
};

class DownloadChunkTask final : public WorkerTask {
public:
    DownloadChunkTask() : WorkerTask(kDownloadChunk) {}

    int32_t chunkId = 0;
    // The download link, delivered by the main window; kept for the next attempt when the retry
    // policy says it is still good, else emptied so that the worker asks for a fresh one.
    std::u16string link;
    std::u16string chunkPath;  // the verified chunk file; the partial file adds "_downloading"
    uint64_t from = 0;         // the chunk's byte range, inclusive
    uint64_t to = 0;
    std::u16string expectedDigest;
    std::vector<std::u16string> digestHistory;  // digests of rejected downloads, oldest first
    bool restart = false;                       // truncate the partial file instead of resuming it
    // The file's join that runs while its chunks arrive; null when there is none.
    std::shared_ptr<RunningJoin> runningJoin;

    // Every computed digest was the same (a history of one or none counts as the same).
    bool DigestsAllSame() const;
    std::u16string PartialPath() const { return chunkPath + u"_downloading"; }
};

class CombineChunksTask final : public WorkerTask {
public:
    CombineChunksTask() : WorkerTask(kCombineChunks) {}

    std::vector<CombineEntry> entries;  // one per file of the download, in file order
    // Beside each entry, the join that ran while its chunks arrived, or null.
    std::vector<std::shared_ptr<RunningJoin>> runningJoins;
    // Called by the worker just before the download is reported finished: the scheduler lets go
    // of it as its current download.
    std::function<void()> clearCurrentDownload;
    // The join's own result code of a failed attempt (CombineTaskOutcome::Result), which the
    // window is given when the download is handed back.
    uint32_t joinResult = 0;
};

// Thrown by a worker to itself when its break event is set: the task goes back unfinished.
class BreakWorkerTaskException {};
// Thrown by a worker to itself when its terminate event is set: the task is deleted, the
// worker ends.
class TerminateWorkerException {};
