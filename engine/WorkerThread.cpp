// The worker threads of the pool: the gates a worker passes before it takes a task, and how it
// runs a chunk task and a combine task, saying in the task how the attempt ended. Each function
// here runs on worker `slot`'s own thread; shared state is reached only through the pool's
// locked operations.
#include <optional>
#include <string_view>
#include <utility>

#include "core/DebugPrintf.h"
#include "core/TextUtil.h"
#include "engine/BlockFile.h"
#include "engine/ChunkCheck.h"
#include "engine/CombineTask.h"
#include "engine/Download.h"
#include "engine/Md5Context.h"
#include "engine/RunningJoin.h"
#include "engine/TransferSession.h"
#include "engine/WorkerPool.h"

namespace {

void FeedDigest(void* context, const uint8_t* bytes, size_t count) {
    static_cast<Md5Context*>(context)->Update(bytes, count);
}

// 12 MiB/s: from this speed on a connection counts as fast (see RunChunkTask).
constexpr uint64_t kFastTransferBytesPerMs = (uint64_t{12} << 20) / 1000;

constexpr size_t kCheckBlock = size_t{256} << 10;

// Withdraws a running join's unchecked append unless the chunk's check confirmed it first.
class UncheckedAppend {
public:
    UncheckedAppend(RunningJoin* join, std::u16string_view chunkPath)
        : join_(join), chunkPath_(chunkPath) {}
    ~UncheckedAppend() {
        if (join_ != nullptr) {
            join_->Withdraw(chunkPath_);
        }
    }
    UncheckedAppend(const UncheckedAppend&) = delete;
    UncheckedAppend& operator=(const UncheckedAppend&) = delete;

private:
    RunningJoin* join_;
    std::u16string_view chunkPath_;
};

}  // namespace

void WorkerPool::WorkerThread(int slot) {
    Worker& w = *workers_[static_cast<size_t>(slot)];
    for (;;) {
        if (WaitAny({&w.terminate, &w.breakTask, &queue_.NotEmpty()}) == 0) {
            break;
        }
        w.idle.Set();
        if (WaitAny({&w.enabled, &w.terminate}) == 1) {
            break;
        }
        if (WaitAny({gates_.loggedIn, gates_.shutdown, &w.breakTask}) == 1) {
            break;
        }
        if (WaitAny({gates_.online, gates_.shutdown, &w.breakTask}) == 1) {
            break;
        }
        // Held here while paused, so that no new task starts; a stop event ends the wait.
        if (!pauseGate_.PassOrStop({&w.terminate, &w.breakTask}) && w.terminate.IsSet()) {
            break;
        }
        if (!TakeTaskNow(w)) {
            // During an abort, stay idle until it has finished with the workers rather than
            // circling through the waits above.
            if (w.breakTask.IsSet() && WaitAny({&abortDone_, &w.terminate, gates_.shutdown}) != 0) {
                break;
            }
            continue;
        }

        std::unique_ptr<WorkerTask> task = queue_.TakeFirst();
        bool terminate = false;
        if (task) {
            task->attempt = Attempt{};
            SetSpeed(slot, 0);
            try {
                RunTask(*task, slot);
                PushResult(std::move(task));
                ThrowIfStopped(slot);
            } catch (const TerminateWorkerException&) {
                task.reset();
                terminate = true;
            } catch (const BreakWorkerTaskException&) {
                if (task) {
                    task->attempt.end = AttemptEnd::kStopped;
                    PushResult(std::move(task));
                }
            }
        }
        SetSpeed(slot, 0);
        w.idle.Set();
        if (terminate) {
            break;
        }
    }
    SetSpeed(slot, 0);
    w.idle.Set();
    w.exited.Set();
}

bool WorkerPool::TakeTaskNow(Worker& w) {
    // A break event ends the waits before this early, so a gate may have been passed while it
    // was closed: every condition is looked at again, together, before leaving idle.
    std::lock_guard<std::mutex> guard(idleLock_);
    const bool take = !w.breakTask.IsSet() && w.enabled.IsSet() && gates_.loggedIn->IsSet() &&
                      gates_.online->IsSet() && !pauseGate_.IsPaused();
    if (take) {
        w.idle.Reset();
    }
    return take;
}

void WorkerPool::RunTask(WorkerTask& task, int slot) {
    if (task.kind == WorkerTask::kDownloadChunk) {
        RunChunkTask(static_cast<DownloadChunkTask&>(task), slot);
    } else {
        RunCombineTask(static_cast<CombineChunksTask&>(task), slot);
    }
}

void WorkerPool::ThrowIfStopped(int slot) const {
    const Worker& w = *workers_[static_cast<size_t>(slot)];
    if (w.terminate.IsSet()) {
        throw TerminateWorkerException();
    }
    if (w.breakTask.IsSet()) {
        throw BreakWorkerTaskException();
    }
}

bool WorkerPool::AwaitLink(DownloadChunkTask& task, int slot) {
    Worker& w = *workers_[static_cast<size_t>(slot)];
    // Numbered per worker, so that the answer to a request of a task that was broken off can't
    // be taken for the answer to this one.
    const uint32_t number = links_.Open(static_cast<size_t>(slot));
    window_.Post(LinkNeeded{.gameName = task.downloadName,
                            .fileId = static_cast<uint64_t>(static_cast<int64_t>(task.fileId)),
                            .passThrough = number,
                            .workerSlot = static_cast<uint32_t>(slot)});
    std::optional<std::u16string> link =
        links_.Await(static_cast<size_t>(slot), number, {&w.terminate, &w.breakTask});
    ThrowIfStopped(slot);
    task.link = link.value_or(std::u16string());
    return !task.link.empty();
}

void WorkerPool::PostChunkProgress(const DownloadChunkTask& task, uint64_t bytes) {
    window_.Post(ChunkProgress{.gameName = task.downloadName,
                               .fileId = static_cast<uint64_t>(static_cast<int64_t>(task.fileId)),
                               .chunkId = static_cast<uint64_t>(static_cast<int64_t>(task.chunkId)),
                               .byteCount = bytes});
}

void WorkerPool::RunChunkTask(DownloadChunkTask& task, int slot) {
    Worker& w = *workers_[static_cast<size_t>(slot)];
    Attempt& attempt = task.attempt;
    attempt.digestsAllSame = task.DigestsAllSame();
    attempt.linkReused = !task.link.empty();
    if (!attempt.linkReused && !AwaitLink(task, slot)) {
        attempt.end = AttemptEnd::kNoLink;
        return;
    }
    const std::u16string partialPath = task.PartialPath();
    if (!FittingPath(partialPath) || !FittingPath(task.chunkPath)) {
        Logger().Warning(u"Chunk file path does not fit in a file name: %s", partialPath);
        attempt.end = AttemptEnd::kDiskProblem;
        return;
    }
    // A server that asked to be left alone is not asked again before its time, by any worker.
    const std::string origin = TransferSession::OriginOf(WideToUtf8(task.link));
    if (!holds_.WaitOut(origin, {&w.terminate, &w.breakTask})) {
        ThrowIfStopped(slot);
    }
    {
        // The stop events end the transfer at any step, connection set-up included.
        Download transfer(partialPath, task.link, task.restart, task.from, task.to, *options_.clock,
                          {&w.terminate, &w.breakTask}, options_.problemReported);
        if (transfer.Ready()) {
            // The file now holds only bytes of this download: a later attempt resumes them.
            task.restart = false;
            TransferChunk(task, transfer, w, slot);
        }
        if (attempt.end == AttemptEnd::kTransferFailed || !transfer.Ready()) {
            ThrowIfStopped(slot);
            attempt.end = transfer.Error() == TransferError::kLocalFile
                              ? AttemptEnd::kDiskProblem
                              : AttemptEnd::kTransferFailed;
            attempt.transfer = transfer.Error();
            attempt.httpStatus = transfer.HttpStatus();
            attempt.retryAfterSeconds = transfer.RetryAfterSeconds();
            attempt.bytesReceived = transfer.Transferred();
            if (attempt.retryAfterSeconds) {
                holds_.Hold(origin, ServerAskedWait(attempt, options_.retry));
            }
        }
    }
    // With the connection back in the pool, the chunks that are now next in file order go into
    // the file's working file while the other workers keep downloading.
    if (attempt.end == AttemptEnd::kCompleted && task.runningJoin) {
        task.runningJoin->Advance(CheckPointOf(w));
    }
    ThrowIfStopped(slot);
}

void WorkerPool::TransferChunk(DownloadChunkTask& task, Download& transfer, Worker& w, int slot) {
    const WorkerCheckPoint checkPoint = CheckPointOf(w);
    const std::u16string partialPath = task.PartialPath();
    // The chunk's digest is built while its bytes are written; the bytes a resumed transfer
    // found on disk are read once, up front. When that read fails, the check reads the file.
    // A chunk of a file that is joined while its chunks arrive waits for its end instead when
    // the worker's connection is fast (judged by its last chunk; a first chunk counts as fast,
    // since most connections are and the chunks of a start arrive close together): then, when
    // it is the next one in file order, one pass over it appends it and computes both its
    // digest and the file's. A fast connection keeps the processor busy, so the pass saved
    // counts; on a slower one the processor has time to spare, while the digest pass and the
    // short wait for the chunks before it at the chunk's end would cost the connection transfer
    // time.
    const bool joinAtEnd = w.fastTransfers && task.runningJoin && !task.runningJoin->Abandoned();
    Md5Context digest;
    bool digestUsable = !joinAtEnd;
    if (digestUsable && transfer.Existing() > 0) {
        const std::optional<uint64_t> fed =
            digest.UpdateFromFile(partialPath, transfer.Existing(),
                                  [&checkPoint] { return checkPoint.Pass() == WorkerStop::kNone; });
        ThrowIfStopped(slot);
        digestUsable = fed && *fed == transfer.Existing();
    }
    if (digestUsable) {
        transfer.SetBlockObserver(&FeedDigest, &digest);
    }

    const uint32_t started = options_.clock->TickCount();
    uint32_t noted = started;
    for (;;) {
        // What a paused or stopped worker has received is on disk while it waits.
        if (pauseGate_.IsPaused() || checkPoint.Peek() != WorkerStop::kNone) {
            transfer.WritePending();
        }
        const uint64_t before = transfer.Transferred();
        if (checkPoint.Pass() != WorkerStop::kNone || !transfer.ReadSegment()) {
            break;
        }
        // Under a speed limit, the worker waits here until the bytes it moved are its share.
        rateLimiter_.Take(transfer.Transferred() - before, &w.terminate, &w.breakTask);
        const uint32_t now = options_.clock->TickCount();
        if (now - noted > options_.progressIntervalMs) {
            PostChunkProgress(task, transfer.Existing() + transfer.Transferred());
            SetSpeed(slot, transfer.Speed());
            noted = now;
        }
    }
    ThrowIfStopped(slot);
    const uint32_t elapsed = options_.clock->TickCount() - started;
    w.fastTransfers = elapsed == 0 || transfer.Transferred() / elapsed >= kFastTransferBytesPerMs;

    if (!transfer.Complete()) {
        task.attempt.end = AttemptEnd::kTransferFailed;
        return;
    }
    std::u16string written;
    if (digestUsable) {
        digest.Finalize();
        written = digest.HexDigest();
    }
    // An append that the check does not confirm is taken back, whichever way this scope is
    // left.
    UncheckedAppend unchecked(joinAtEnd ? task.runningJoin.get() : nullptr, task.chunkPath);
    if (joinAtEnd) {
        std::optional<std::u16string> digestOfJoined =
            task.runningJoin->AppendUnchecked(task.chunkPath, partialPath, checkPoint);
        if (digestOfJoined) {
            written = std::move(*digestOfJoined);
            digestUsable = true;
        }
    }
    // A chunk left to the check is read in small blocks: many workers may check at once.
    const ChunkCheckResult check =
        CheckChunk(partialPath, task.chunkPath, task.expectedDigest, checkPoint,
                   digestUsable ? &written : nullptr, kCheckBlock);
    switch (check.outcome) {
        case ChunkCheckResult::Outcome::kAccepted:
            task.attempt.end = AttemptEnd::kCompleted;
            if (task.runningJoin) {
                task.runningJoin->ChunkVerified(task.chunkPath);
            }
            PostChunkProgress(task, check.bytes);
            break;
        case ChunkCheckResult::Outcome::kRejected:
            task.digestHistory.push_back(check.digest);
            task.attempt.end = AttemptEnd::kBadDigest;
            task.attempt.digestsAllSame = task.DigestsAllSame();
            PostChunkProgress(task, 0);
            break;
        case ChunkCheckResult::Outcome::kDiskProblem:
            task.attempt.end = AttemptEnd::kDiskProblem;
            break;
        case ChunkCheckResult::Outcome::kTerminated:
            throw TerminateWorkerException();
        case ChunkCheckResult::Outcome::kBroken:
            throw BreakWorkerTaskException();
    }
}

void WorkerPool::RunCombineTask(CombineChunksTask& task, int slot) {
    Worker& w = *workers_[static_cast<size_t>(slot)];
    CombineTaskOptions combineOptions;
    combineOptions.clearCurrentDownload = task.clearCurrentDownload;
    combineOptions.runningJoins = task.runningJoins;
    const CombineTaskOutcome outcome =
        ::RunCombineTask(task.downloadName, task.entries, window_, CheckPointOf(w), combineOptions);
    if (outcome.stoppedBy == WorkerStop::kTerminate) {
        throw TerminateWorkerException();
    }
    if (outcome.stoppedBy == WorkerStop::kBreak) {
        throw BreakWorkerTaskException();
    }
    task.joinResult = outcome.result;
    if (outcome.state == CombineTaskOutcome::kCompleted) {
        task.attempt.end = AttemptEnd::kCompleted;
    } else if (outcome.state == CombineTaskOutcome::kFailed) {
        task.attempt.end = outcome.result == CombineTaskOutcome::kMissingFiles
                               ? AttemptEnd::kMissingFiles
                               : AttemptEnd::kJoinFailed;
    }
}
