// The worker threads of DownloadsManager: the gates a worker passes before it takes a task, and
// how it runs a chunk task and a combine task. Each function here runs on worker `slot`'s own
// thread; shared state is reached only through the manager's locked operations.
#include <optional>
#include <string_view>
#include <utility>

#include "core/DebugPrintf.h"
#include "engine/BlockFile.h"
#include "engine/ChunkCheck.h"
#include "engine/CombineTask.h"
#include "engine/Download.h"
#include "engine/DownloadsManager.h"
#include "engine/Md5Context.h"
#include "engine/RunningJoin.h"

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

void DownloadsManager::WorkerThread(int slot) {
    Worker& w = *workers_[static_cast<size_t>(slot)];
    Event& breakTask = *w.breakTask;
    Event& idle = *w.idle;
    for (;;) {
        if (WaitAny({&w.terminate, &breakTask, &queue_.NotEmpty()}) == 0) {
            break;
        }
        idle.Set();
        if (WaitAny({&w.enabled, &w.terminate}) == 1) {
            break;
        }
        if (WaitAny({loggedIn_.get(), &shutdown_, &breakTask}) == 1) {
            break;
        }
        if (WaitAny({connectivity_.connectionEstablished.get(), &shutdown_, &breakTask}) == 1) {
            break;
        }
        // Held here while paused, so that no new task starts; a stop event ends the wait.
        if (!pauseGate_.PassOrStop({&w.terminate, &breakTask}) && w.terminate.IsSet()) {
            break;
        }
        // A break event ends the waits above early, so a gate may have been passed while it
        // was closed: every condition is looked at again, together, before leaving idle.
        bool take = false;
        {
            std::lock_guard<std::mutex> guard(idleLock_);
            take = !breakTask.IsSet() && w.enabled.IsSet() && loggedIn_->IsSet() &&
                   connectivity_.connectionEstablished->IsSet() && !pauseGate_.IsPaused();
            if (take) {
                idle.Reset();
            }
        }
        if (!take) {
            // During an abort, stay idle until it has finished with the workers rather than
            // circling through the waits above.
            if (breakTask.IsSet() && WaitAny({&abortDone_, &w.terminate, &shutdown_}) != 0) {
                break;
            }
            continue;
        }

        std::unique_ptr<WorkerTask> task = PopTask();
        bool terminate = false;
        if (task) {
            task->state = WorkerTask::kRunning;
            task->result = WorkerTask::kNoResult;
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
                    PushResult(std::move(task));
                }
            }
        }
        SetSpeed(slot, 0);
        idle.Set();
        if (terminate) {
            break;
        }
    }
    SetSpeed(slot, 0);
    idle.Set();
    w.exited.Set();
}

void DownloadsManager::RunTask(WorkerTask& task, int slot) {
    if (task.kind == WorkerTask::kDownloadChunk) {
        RunChunkTask(static_cast<DownloadChunkTask&>(task), slot);
    } else {
        RunCombineTask(static_cast<CombineChunksTask&>(task), slot);
    }
}

void DownloadsManager::ThrowIfStopped(int slot) const {
    const Worker& w = *workers_[static_cast<size_t>(slot)];
    if (w.terminate.IsSet()) {
        throw TerminateWorkerException();
    }
    if (w.breakTask->IsSet()) {
        throw BreakWorkerTaskException();
    }
}

bool DownloadsManager::AwaitLink(DownloadChunkTask& task, int slot) {
    Worker& w = *workers_[static_cast<size_t>(slot)];
    auto request = std::make_unique<LinkRequest>();
    request->gameName = task.downloadName;
    request->fileId = static_cast<uint64_t>(static_cast<int64_t>(task.fileId));
    request->workerSlot = static_cast<uint32_t>(slot);
    uint32_t awaited = 0;
    {
        // Numbered per worker, so that the answer to a request of a task that was broken off
        // cannot be taken for the answer to this one. Never 0 (the number of "no request").
        // The ready event is reset under the same lock under which DeliverLink sets it, so a
        // late answer that passed its number test before this can't wake the new request.
        std::lock_guard<std::mutex> guard(linkLock_);
        w.awaitedLink = w.awaitedLink == UINT32_MAX ? 1 : w.awaitedLink + 1;
        awaited = w.awaitedLink;
        request->passThrough = awaited;
        w.linkReady.Reset();
    }
    window_.Post(MakeMessage(WM_APP_LINK_NEEDED, std::move(request)));
    for (;;) {
        WaitAny({&w.terminate, w.breakTask.get(), &w.linkReady});
        ThrowIfStopped(slot);
        std::lock_guard<std::mutex> guard(linkLock_);
        // Only the link delivered for this very request counts; anything else that woke the
        // worker is not an answer.
        if (w.linkFor == awaited) {
            task.link = w.link;
            return !task.link.empty();
        }
        w.linkReady.Reset();
    }
}

void DownloadsManager::PostChunkProgress(const DownloadChunkTask& task, uint64_t bytes) {
    auto report = std::make_unique<ProgressReport>();
    report->gameName = task.downloadName;
    report->fileId = static_cast<uint64_t>(static_cast<int64_t>(task.fileId));
    report->chunkId = static_cast<uint64_t>(static_cast<int64_t>(task.chunkId));
    report->phase = ProgressReport::kChunkDownload;
    report->byteCount = bytes;
    window_.Post(MakeMessage(WM_APP_CHUNK_PROGRESS, std::move(report)));
}

void DownloadsManager::RunChunkTask(DownloadChunkTask& task, int slot) {
    Worker& w = *workers_[static_cast<size_t>(slot)];
    const WorkerCheckPoint checkPoint{&w.terminate, w.breakTask.get(), &pauseGate_};
    const auto fail = [&task](uint32_t result) {
        task.result = result;
        task.state = WorkerTask::kFailed;
    };

    if (!AwaitLink(task, slot)) {
        return;  // back unfinished: the retry policy asks for a link again
    }
    const std::u16string partialPath = task.PartialPath();
    if (!FittingPath(partialPath) || !FittingPath(task.chunkPath)) {
        Logger().Warning(u"Chunk file path does not fit in a file name: %s", partialPath);
        fail(WorkerTask::kDiskProblem);
        return;
    }

    {
        Download transfer(partialPath, task.link, task.restart, task.from, task.to,
                          *options_.clock);
        if (!transfer.Ready()) {
            fail(transfer.Error() == 6 ? WorkerTask::kDiskProblem : WorkerTask::kNetworkProblem);
            ThrowIfStopped(slot);
            return;
        }
        // The file now holds only bytes of this download: a later attempt resumes them.
        task.restart = false;

        // The chunk's digest is built while its bytes are written; the bytes a resumed transfer
        // found on disk are read once, up front. When that read fails, the check reads the file.
        // A chunk of a file that is joined while its chunks arrive waits for its end instead
        // when the worker's connection is fast (judged by its last chunk; a first chunk counts as
        // fast, since most connections are and the chunks of a start arrive close together):
        // then, when it is the next one in file order, one pass over it appends it and computes
        // both its digest and the file's. A fast connection keeps the processor busy, so the pass
        // saved counts; on a slower one the processor has time to spare, while the digest pass and
        // the short wait for the chunks before it at the chunk's end would cost the connection
        // transfer time.
        const bool joinAtEnd =
            w.fastTransfers && task.runningJoin && !task.runningJoin->Abandoned();
        Md5Context digest;
        bool digestUsable = !joinAtEnd;
        if (digestUsable && transfer.Existing() > 0) {
            const std::optional<uint64_t> fed = digest.UpdateFromFile(
                partialPath, transfer.Existing(),
                [&checkPoint] { return checkPoint.Pass() == WorkerStop::kNone; });
            ThrowIfStopped(slot);
            digestUsable = fed && *fed == transfer.Existing();
        }
        if (digestUsable) {
            transfer.SetBlockObserver(&FeedDigest, &digest);
        }
        transfer.SetInterruption(&w.terminate, w.breakTask.get());

        const uint32_t started = options_.clock->TickCount();
        uint32_t noted = started;
        for (;;) {
            // What a paused or stopped worker has received is on disk while it waits.
            if (pauseGate_.IsPaused() || checkPoint.Peek() != WorkerStop::kNone) {
                transfer.WritePending();
            }
            if (checkPoint.Pass() != WorkerStop::kNone || !transfer.ReadSegment()) {
                break;
            }
            const uint32_t now = options_.clock->TickCount();
            if (now - noted > options_.progressIntervalMs) {
                PostChunkProgress(task, transfer.Existing() + transfer.Transferred());
                SetSpeed(slot, transfer.Speed());
                noted = now;
            }
        }
        ThrowIfStopped(slot);
        const uint32_t elapsed = options_.clock->TickCount() - started;
        w.fastTransfers =
            elapsed == 0 || transfer.Transferred() / elapsed >= kFastTransferBytesPerMs;

        if (!transfer.Complete()) {
            fail(transfer.Error() == 6 ? WorkerTask::kDiskProblem : WorkerTask::kNetworkProblem);
        } else {
            std::u16string written;
            if (digestUsable) {
                digest.Finalize();
                written = digest.HexDigest();
            }
            // An append that the check does not confirm is taken back, whichever way this
            // scope is left.
            UncheckedAppend unchecked(joinAtEnd ? task.runningJoin.get() : nullptr, task.chunkPath);
            bool joined = false;
            if (joinAtEnd) {
                std::optional<std::u16string> digestOfJoined =
                    task.runningJoin->AppendUnchecked(task.chunkPath, partialPath, checkPoint);
                if (digestOfJoined) {
                    written = std::move(*digestOfJoined);
                    digestUsable = true;
                    joined = true;
                }
            }
            // A chunk left to the check is read in small blocks: many workers may check at once.
            const ChunkCheckResult check =
                CheckChunk(partialPath, task.chunkPath, task.expectedDigest, checkPoint,
                           digestUsable ? &written : nullptr, kCheckBlock, joined);
            switch (check.outcome) {
                case ChunkCheckResult::Outcome::kAccepted:
                    task.state = WorkerTask::kCompleted;
                    if (task.runningJoin) {
                        task.runningJoin->ChunkVerified(task.chunkPath);
                    }
                    PostChunkProgress(task, check.bytes);
                    break;
                case ChunkCheckResult::Outcome::kRejected:
                    task.digestHistory.push_back(check.digest);
                    fail(WorkerTask::kBadDigest);
                    PostChunkProgress(task, 0);
                    break;
                case ChunkCheckResult::Outcome::kDiskProblem:
                    fail(WorkerTask::kDiskProblem);
                    break;
                case ChunkCheckResult::Outcome::kTerminated:
                    throw TerminateWorkerException();
                case ChunkCheckResult::Outcome::kBroken:
                    throw BreakWorkerTaskException();
            }
        }
    }
    // With the connection back in the pool, the chunks that are now next in file order go into
    // the file's working file while the other workers keep downloading.
    if (task.state == WorkerTask::kCompleted && task.runningJoin) {
        task.runningJoin->Advance(checkPoint);
    }
    ThrowIfStopped(slot);
}

void DownloadsManager::RunCombineTask(CombineChunksTask& task, int slot) {
    Worker& w = *workers_[static_cast<size_t>(slot)];
    const WorkerCheckPoint checkPoint{&w.terminate, w.breakTask.get(), &pauseGate_};
    CombineTaskOptions combineOptions;
    combineOptions.clearCurrentDownload = [this] { ClearCurrentDownload(); };
    combineOptions.runningJoins = task.runningJoins;
    const CombineTaskOutcome outcome =
        ::RunCombineTask(task.downloadName, task.entries, window_, checkPoint, combineOptions);
    if (outcome.stoppedBy == WorkerStop::kTerminate) {
        throw TerminateWorkerException();
    }
    if (outcome.stoppedBy == WorkerStop::kBreak) {
        throw BreakWorkerTaskException();
    }
    task.state = outcome.state;
    task.result = outcome.result;
}
