// How the scheduler follows up what the workers hand back: every finished attempt is judged by
// the retry policy (engine/RetryPolicy.h), and the scheduler does what the decision says — count
// the chunk done, queue the task again (now, or once its pause has passed), or give up on the
// download. Scheduler thread only; the results list is taken in one move.
#include <memory>
#include <vector>

#include "core/DebugPrintf.h"
#include "core/WideFormat.h"
#include "engine/CombineTask.h"
#include "engine/Scheduler.h"

namespace {

constexpr char16_t kWillTryAgain[] =
    u"Downloaded chunk %s had invalid md5. Will try to download it again %d more times before "
    u"giving up.";

// "1.5" for 1500 ms: pauses are read by people.
std::u16string Seconds(std::chrono::milliseconds wait) {
    return FormatWide(u"%d.%d", static_cast<int>(wait.count() / 1000),
                      static_cast<int>(wait.count() % 1000 / 100));
}

// What the server did that asking again will not change.
std::u16string Refusal(const Attempt& attempt) {
    if (attempt.transfer == TransferError::kHttpStatus) {
        return FormatWide(u"status %d", attempt.httpStatus);
    }
    return u"not the bytes asked for";
}

}  // namespace

bool Scheduler::ProcessResults(Plan& plan) {
    std::vector<std::unique_ptr<WorkerTask>> taken = pool_.TakeResults();
    for (std::unique_ptr<WorkerTask>& owned : taken) {
        WorkerTask& task = *owned;
        if (task.downloadName != plan.name) {
            continue;  // a leftover of an earlier download; freed with the list
        }
        // xorshift64: a spread, not a secret.
        jitterState_ ^= jitterState_ << 13;
        jitterState_ ^= jitterState_ >> 7;
        jitterState_ ^= jitterState_ << 17;
        const double jitter = static_cast<double>(jitterState_ >> 11) / 9007199254740992.0;
        const RetryDecision decision = Judge(task.attempt, task.history, limits_, jitter);
        LogDecision(task, decision);
        switch (decision.action) {
            case RetryAction::kDone:
                if (task.kind == WorkerTask::kDownloadChunk && plan.outstanding > 0) {
                    --plan.outstanding;
                }
                break;
            case RetryAction::kGiveUp:
                // The download is aborted: requeueing the rest of the batch would only start
                // tasks of a download that no longer runs.
                GiveUp(task, decision);
                return false;
            case RetryAction::kRetry:
                task.history = decision.history;
                if (task.kind == WorkerTask::kDownloadChunk && !decision.keepLink) {
                    static_cast<DownloadChunkTask&>(task).link.clear();
                }
                if (task.kind == WorkerTask::kCombineChunks) {
                    window_.Post(CombineReset{task.downloadName});
                }
                if (decision.wait.count() > 0) {
                    waits_.Add(std::move(owned), decision.wait);
                } else {
                    pool_.Queue(std::move(owned), decision.atFront);
                }
                break;
        }
    }
    return true;
}

void Scheduler::LogDecision(const WorkerTask& task, const RetryDecision& decision) const {
    const bool chunk = task.kind == WorkerTask::kDownloadChunk;
    const std::u16string& path =
        chunk ? static_cast<const DownloadChunkTask&>(task).chunkPath : task.downloadName;
    const bool givingUp = decision.action == RetryAction::kGiveUp;
    const Attempt& attempt = task.attempt;
    switch (decision.reason) {
        case RetryReason::kCompleted:
            Logger().Log(chunk ? u"Download task (%s) completed." : u"Combine task (%s) completed.",
                         path);
            return;
        case RetryReason::kStopped:
            Logger().Log(chunk ? u"Download task (%s) interrupted. Will retry."
                               : u"Combine task (%s) interrupted. Will retry.",
                         path);
            return;
        case RetryReason::kNoLink:
            Logger().Warning(u"Download task (%s) got no download link. Will retry in %s s.", path,
                             Seconds(decision.wait));
            return;
        case RetryReason::kNetwork:
            Logger().Warning(
                u"Download task (%s) aborted due to internet problem. Will retry. Next attempt in "
                u"%s "
                u"s.",
                path, Seconds(decision.wait));
            return;
        case RetryReason::kServerBusy:
            Logger().Warning(
                u"Download task (%s): the server is busy (status %d). Will retry in "
                u"%s s.",
                path, attempt.httpStatus, Seconds(decision.wait));
            return;
        case RetryReason::kStaleLink:
            Logger().Warning(
                u"Download task (%s): its link was refused (%s). Asking for a fresh "
                u"one.",
                path, Refusal(attempt));
            return;
        case RetryReason::kRefused:
            if (givingUp) {
                Logger().Warning(
                    u"Download task (%s) was refused by the server (%s) %d times. "
                    u"Permanent failure.",
                    path, Refusal(attempt), static_cast<int>(kRefusalLimit));
            } else {
                Logger().Warning(
                    u"Download task (%s) was refused by the server (%s). Will retry "
                    u"%d more times with a fresh link.",
                    path, Refusal(attempt), decision.retriesLeft);
            }
            return;
        case RetryReason::kSameDigest:
            if (givingUp) {
                Logger().Warning(
                    u"Downloaded chunk %s had invalid md5. It was always the same md5. Probably "
                    u"invalid file on server. Permanent failure.",
                    path);
            } else {
                Logger().Warning(kWillTryAgain, path, decision.retriesLeft);
            }
            return;
        case RetryReason::kChangingDigest:
            if (givingUp) {
                Logger().Warning(u"Downloaded chunk %s had invalid md5. Permanent failure.", path);
            } else {
                Logger().Warning(kWillTryAgain, path, decision.retriesLeft);
            }
            return;
        case RetryReason::kDiskProblem:
            if (givingUp) {
                Logger().Warning(
                    u"Download task (%s) aborted due to disk problem. Permanent failure.", path);
            } else {
                Logger().Warning(
                    u"Download task (%s) aborted due to disk problem. Will retry %d times.", path,
                    decision.retriesLeft);
            }
            return;
        case RetryReason::kMissingFiles:
            Logger().Warning(
                u"Combine task (%s) failed due missing files. Will schedule redownload.", path);
            return;
        case RetryReason::kJoinFailed:
            if (givingUp) {
                Logger().Warning(
                    u"Combine task (%s) failed due to disk/crc problem. Permanent failure.", path);
            } else {
                Logger().Warning(
                    u"Combine task (%s) failed due to disk/crc problem. Will retry %d "
                    u"times before giving up.",
                    path, decision.retriesLeft);
            }
            return;
    }
}

void Scheduler::GiveUp(const WorkerTask& task, const RetryDecision& decision) {
    // Aborted before the window is told, in both cases. A failure makes the window hand the
    // next game over at once; an abort that came after would take that game for the failed one
    // and drop it, leaving it waiting for ever. A resubmission is answered with a new request
    // for the same download, which is ignored while that download is still the current one.
    if (task.kind == WorkerTask::kDownloadChunk) {
        AbortCurrent();
        window_.Post(ItemFailed{.gameName = task.downloadName,
                                .fileId = static_cast<uint64_t>(static_cast<int64_t>(task.fileId)),
                                .kind = decision.errorKind,
                                .bytesShort = 0});
        return;
    }
    // The join's progress is taken back before anything else is said about the download.
    window_.Post(CombineReset{task.downloadName});
    AbortCurrent();
    window_.Post(
        ItemResubmit{.gameName = task.downloadName,
                     .diskProblem = static_cast<const CombineChunksTask&>(task).joinResult ==
                                    CombineTaskOutcome::kDiskProblem});
}
