// The judging of the tasks that workers hand back, and the retry policy: which failures are
// tried again, how often, and where in the queue. Runs on the scheduler thread only; it takes
// the whole results list in one move and requeues through the locked QueueTask.
#include <memory>
#include <vector>

#include "core/DebugPrintf.h"
#include "engine/DownloadsManager.h"

namespace {

constexpr uint16_t kSameDigestLimit = 3;       // given up when attempts exceed it
constexpr uint16_t kChangingDigestLimit = 10;  // given up when attempts reach it
constexpr uint16_t kDiskProblemLimit = 3;      // given up when attempts reach it
constexpr uint16_t kCombineLimit = 3;          // given up when attempts reach it

constexpr char16_t kWillTryAgain[] =
    u"Downloaded chunk %s had invalid md5. Will try to download it again %d more times before "
    u"giving up.";

}  // namespace

void DownloadsManager::ProcessResults(const std::u16string& downloadName, uint64_t& outstanding) {
    std::vector<std::unique_ptr<WorkerTask>> taken = TakeResults();
    for (std::unique_ptr<WorkerTask>& owned : taken) {
        WorkerTask& t = *owned;
        if (t.downloadName != downloadName) {
            continue;  // a leftover of an earlier download; freed with the list
        }
        const auto requeue = [&](bool atFront) { QueueTask(std::move(owned), atFront); };

        if (t.kind == WorkerTask::kDownloadChunk) {
            auto& chunk = static_cast<DownloadChunkTask&>(t);
            const std::u16string& path = chunk.chunkPath;
            if (t.state == WorkerTask::kFailed) {
                if (t.result == WorkerTask::kBadDigest) {
                    ++t.attempts;
                    const int attempts = t.attempts;
                    if (chunk.DigestsAllSame()) {
                        if (t.attempts > kSameDigestLimit) {
                            Logger().Warning(
                                u"Downloaded chunk %s had invalid md5. It was always the same "
                                u"md5. Probably invalid file on server. Permanent failure.",
                                path);
                            PermanentFailure(t);
                            // The download is aborted: requeueing the rest of the batch would
                            // only start tasks of a download that no longer runs.
                            return;
                        }
                        Logger().Warning(kWillTryAgain, path, kSameDigestLimit - attempts);
                        requeue(true);
                    } else {
                        if (t.attempts >= kChangingDigestLimit) {
                            Logger().Warning(
                                u"Downloaded chunk %s had invalid md5. Permanent failure.", path);
                            PermanentFailure(t);
                            return;
                        }
                        Logger().Warning(kWillTryAgain, path, kChangingDigestLimit - attempts);
                        requeue(false);
                    }
                } else if (t.result == WorkerTask::kNetworkProblem) {
                    Logger().Warning(
                        u"Download task (%s) aborted due to internet problem. Will retry.", path);
                    requeue(false);
                } else {
                    // A disk problem; a failure without a result is taken as one too, so that
                    // nothing can retry for ever unnoticed.
                    ++t.attempts;
                    if (t.attempts >= kDiskProblemLimit) {
                        t.result = WorkerTask::kDiskProblem;
                        Logger().Warning(
                            u"Download task (%s) aborted due to disk problem. Permanent failure.",
                            path);
                        PermanentFailure(t);
                        return;
                    }
                    Logger().Warning(
                        u"Download task (%s) aborted due to disk problem. Will retry %d times.",
                        path, kDiskProblemLimit - static_cast<int>(t.attempts));
                    requeue(false);
                }
            } else if (t.state == WorkerTask::kCompleted) {
                Logger().Log(u"Download task (%s) completed.", path);
                if (outstanding > 0) {
                    --outstanding;
                }
            } else {
                Logger().Log(u"Download task (%s) interrupted. Will retry.", path);
                t.Reset();
                requeue(false);
            }
            continue;
        }

        // A combine task.
        if (t.state == WorkerTask::kFailed) {
            PostName(WM_APP_COMBINE_RESET, t.downloadName);
            if (t.result == WorkerTask::kMissingFiles) {
                Logger().Warning(
                    u"Combine task (%s) failed due missing files. Will schedule redownload.",
                    t.downloadName);
                PermanentFailure(t);
                return;
            }
            ++t.attempts;
            if (t.attempts >= kCombineLimit) {
                Logger().Warning(
                    u"Combine task (%s) failed due to disk/crc problem. Permanent failure.",
                    t.downloadName);
                PermanentFailure(t);
                return;
            }
            Logger().Warning(
                u"Combine task (%s) failed due to disk/crc problem. Will retry %d times before "
                u"giving up.",
                t.downloadName, kCombineLimit - static_cast<int>(t.attempts));
            requeue(false);
        } else if (t.state == WorkerTask::kCompleted) {
            Logger().Log(u"Combine task (%s) completed.", t.downloadName);
        } else {
            Logger().Log(u"Combine task (%s) interrupted. Will retry.", t.downloadName);
            PostName(WM_APP_COMBINE_RESET, t.downloadName);
            t.Reset();
            requeue(false);
        }
    }
}

void DownloadsManager::PermanentFailure(const WorkerTask& task) {
    // Aborted before the window is told, in both cases. A failure makes the window hand the
    // next game over at once; an abort that came after would take that game for the failed one
    // and drop it, leaving it waiting for ever. A resubmission is answered with a new request
    // for the same download, which is ignored while that download is still the current one.
    AbortWorkerTasks();
    if (task.kind == WorkerTask::kDownloadChunk) {
        PostFileEvent(WM_APP_ITEM_FAILED, task.downloadName, task.fileId, task.result);
        return;
    }
    PostFileEvent(WM_APP_ITEM_RESUBMIT, task.downloadName, -1, task.result);
}
