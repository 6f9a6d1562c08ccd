#pragma once
// The units of work that the scheduler hands to the worker pool: a chunk to download and check,
// or a download's files to join and check. A task has exactly one owner at a time — the task
// queue, the results list, the worker running it or the scheduler judging it — and moves between
// them by unique_ptr, so it is never touched by two threads at once. Its attempts counter and
// digest history travel with it through every requeue.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/CombineEntry.h"

class RunningJoin;

class WorkerTask {
public:
    enum Kind : uint32_t { kDownloadChunk = 0, kCombineChunks = 1 };
    enum Result : uint32_t {
        kNoResult = 0,
        kNetworkProblem = 1,
        kDiskProblem = 2,
        kBadDigest = 3,
        kMissingFiles = 4,
    };
    enum State : uint32_t { kNotStarted = 0, kRunning = 1, kCompleted = 2, kFailed = 3 };

    virtual ~WorkerTask();
    WorkerTask(const WorkerTask&) = delete;
    WorkerTask& operator=(const WorkerTask&) = delete;

    // Back to "not started"; a chunk task also forgets the link of its last attempt.
    virtual void Reset();

    std::u16string downloadName;
    uint32_t kind;
    uint32_t result = kNoResult;
    uint32_t state = kNotStarted;
    uint16_t attempts = 0;  // failures counted by the retry policy; never reset while it lives
    int32_t fileId = -1;    // the chunk's file; -1 for a combine task

protected:
    explicit WorkerTask(uint32_t taskKind) : kind(taskKind) {}
};

class DownloadChunkTask final : public WorkerTask {
public:
    DownloadChunkTask() : WorkerTask(kDownloadChunk) {}
    void Reset() override;

    int32_t chunkId = 0;
    std::u16string link;       // this attempt's download link, delivered by the main window
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
};

// Thrown by a worker to itself when its break event is set: the task goes back unfinished.
class BreakWorkerTaskException {};
// Thrown by a worker to itself when its terminate event is set: the task is deleted, the
// worker ends.
class TerminateWorkerException {};
