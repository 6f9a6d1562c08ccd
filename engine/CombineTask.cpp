#include "engine/CombineTask.h"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/DebugPrintf.h"
#include "core/DownloadInfo.h"
#include "engine/ChunksCombiner.h"
#include "engine/ChunksRemover.h"
#include "engine/FileVerifier.h"
#include "engine/RunningJoin.h"
#include "platform/CrashPoint.h"

namespace {

// A file found under the finished name that fails its check must not stay there: the next plan
// would take a finished file of the right size for done and report the download complete.
// Chunk files or a working file of it, if any are left, stay for the next attempt.
void RemoveFailedFinishedFile(const CombineEntry& entry) {
    const std::optional<std::string> path = FittingPath(entry.finishedPath);
    if (!path) {
        return;
    }
    const OpenedFile file = OpenForReading(*path);
    if (file.fd && UnlinkIfSame(*path, file.device, file.inode)) {
        Logger().Warning(u"Deleted %s: it does not match its digest.", entry.finishedPath);
    }
}

}  // namespace

CombineTaskOutcome RunCombineTask(std::u16string_view downloadName,
                                  std::span<const CombineEntry> entries, MessageTarget& window,
                                  const WorkerCheckPoint& checkPoint,
                                  const CombineTaskOptions& options) {
    CombineTaskOutcome outcome;
    bool anyFailed = false;
    const auto fail = [&](uint32_t result) {
        outcome.state = CombineTaskOutcome::kFailed;
        outcome.result = result;
        anyFailed = true;
    };

    const std::u16string name(downloadName);
    window.Post(FileProgressReset{
        .gameName = name, .fileId = 0, .reason = FileProgressReset::Reason::kCombineStarting});
    for (size_t position = 0; position < entries.size(); ++position) {
        const CombineEntry& entry = entries[position];
        const uint64_t fileId = position;
        WorkerStop stop = checkPoint.Pass();
        if (stop != WorkerStop::kNone) {
            outcome.stoppedBy = stop;
            return outcome;
        }

        // Leaving this scope without a commit deletes what the combiner joined: a file that
        // was not checked never stays behind.
        RunningJoin* runningJoin =
            position < options.runningJoins.size() ? options.runningJoins[position].get() : nullptr;
        ChunksCombiner combiner(entry, options.blockSize, runningJoin);
        for (;;) {
            stop = checkPoint.Pass();
            if (stop != WorkerStop::kNone || !combiner.Step()) {
                break;
            }
            window.Post(CombineProgress{.gameName = name,
                                        .fileId = fileId,
                                        .chunkId = combiner.ChunkPosition(),
                                        .byteCount = combiner.JoinedInChunk()});
        }
        window.Post(CombineProgress{
            .gameName = name, .fileId = fileId, .chunkId = kAllBits, .byteCount = kAllBits});
        if (stop != WorkerStop::kNone) {
            outcome.stoppedBy = stop;
            return outcome;
        }

        if (!combiner.Done()) {
            switch (combiner.Error()) {
                case ChunksCombiner::kDiskProblem:
                    fail(CombineTaskOutcome::kDiskProblem);
                    break;
                case ChunksCombiner::kBadChunkDigest:
                    fail(CombineTaskOutcome::kBadDigest);
                    break;
                case ChunksCombiner::kMissingChunk:
                    fail(CombineTaskOutcome::kMissingFiles);
                    break;
                default:
                    break;
            }
            continue;
        }

        window.Post(FileProgressReset{
            .gameName = name, .fileId = fileId, .reason = FileProgressReset::Reason::kFileJoined});
        // The joiner digested every byte it wrote; reading them back would cost a second pass
        // over the whole game for no more certainty (they would come from the page cache). A
        // file found already joined is read.
        std::optional<FileVerifier> verifier;
        if (combiner.JoinedHere()) {
            verifier.emplace(
                entry, FileVerifier::KnownDigest{combiner.JoinedDigest(), combiner.JoinedInFile()});
        } else {
            verifier.emplace(entry, options.blockSize);
        }
        for (;;) {
            stop = checkPoint.Pass();
            if (stop != WorkerStop::kNone || !verifier->Step()) {
                break;
            }
            window.Post(CheckProgress{
                .gameName = name, .fileId = fileId, .byteCount = verifier->BytesChecked()});
        }
        window.Post(CheckProgress{.gameName = name, .fileId = fileId, .byteCount = kAllBits});
        if (stop != WorkerStop::kNone) {
            outcome.stoppedBy = stop;
            return outcome;
        }

        if (!verifier->Matches()) {
            fail(CombineTaskOutcome::kBadDigest);
            if (combiner.JoinedHere()) {
                combiner.Discard();
            } else {
                RemoveFailedFinishedFile(entry);
            }
            continue;
        }
        CrashPoint("file-checked");
        if (!combiner.Commit()) {
            fail(CombineTaskOutcome::kDiskProblem);
            continue;
        }
        // Not skipped for a stop that arrives now: the file is in place and checked, and chunk
        // files left behind by a finished download would never be cleaned up.
        ChunksRemover(entry).Step();
    }

    if (!anyFailed) {
        if (options.clearCurrentDownload) {
            options.clearCurrentDownload();
        }
        window.Post(ItemFinished{.gameName = name, .partially = false});
        outcome.state = CombineTaskOutcome::kCompleted;
    }
    return outcome;
}

CombineTaskOutcome RunCombineTask(const DownloadInfo& download, MessageTarget& window,
                                  const WorkerCheckPoint& checkPoint,
                                  const CombineTaskOptions& options) {
    const std::vector<CombineEntry> entries = MakeCombineEntries(download);
    return RunCombineTask(download.name, entries, window, checkPoint, options);
}
