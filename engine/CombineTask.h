#pragma once
// How a worker runs a combine task: for each file in order, join its chunks, check the whole
// file, delete its chunk files, posting the progress that the main window shows; when every file
// passed, report the download finished. Runs on the worker thread that holds the task; it posts
// to the window and touches no shared state but through `clearCurrentDownload`.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/AppEvent.h"
#include "engine/BlockFile.h"
#include "engine/CombineEntry.h"
#include "engine/WorkerCheckPoint.h"

class DownloadInfo;
class RunningJoin;

// What the task's state and result become. The numbers are the worker task's own.
struct CombineTaskOutcome {
    enum State : uint32_t { kRunning = 1, kCompleted = 2, kFailed = 3 };
    enum Result : uint32_t { kNoResult = 0, kDiskProblem = 2, kBadDigest = 3, kMissingFiles = 4 };

    uint32_t state = kRunning;    // kRunning: stopped by an event before the end, goes back as is
    uint32_t result = kNoResult;  // with kFailed: the last file's failure
    WorkerStop stoppedBy = WorkerStop::kNone;
};

struct CombineTaskOptions {
    // Called just before ItemFinished: the worker pool clears its current download
    // under its own lock here.
    std::function<void()> clearCurrentDownload;
    size_t blockSize = kDiskBlockSize;
    // Beside each entry, the join that ran while its chunks arrived (or null); the combiner takes
    // its working file over. Empty: none for any entry.
    std::span<const std::shared_ptr<RunningJoin>> runningJoins;
};

// Runs the task's files in order. Looks at the check point before every step, so a break or
// terminate stops it within one block; then the caller throws its own stop exception. A file
// goes under its finished name only after it passed its check; a file that fails the check
// is deleted, together with what was joined of it (every chunk passed, so the index itself
// contradicts the file: the next attempt fetches it again).
CombineTaskOutcome RunCombineTask(std::u16string_view downloadName,
                                  std::span<const CombineEntry> entries, MessageTarget& window,
                                  const WorkerCheckPoint& checkPoint,
                                  const CombineTaskOptions& options = {});
// The same for every file of a download record.
CombineTaskOutcome RunCombineTask(const DownloadInfo& download, MessageTarget& window,
                                  const WorkerCheckPoint& checkPoint,
                                  const CombineTaskOptions& options = {});
