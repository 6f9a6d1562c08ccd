// The scheduler thread of DownloadsManager: takes the requested download, plans it (what is on
// disk already, one task per missing chunk), follows the plan by judging the workers' results,
// queues the combine task at the end, and carries out removals. RequestDownload and
// RequestRemoval run on the user-interface thread; everything else here on the scheduler thread.
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <system_error>

#include "core/DebugPrintf.h"
#include "core/NormalisePath.h"
#include "core/TextUtil.h"
#include "engine/BlockFile.h"
#include "engine/ChunkFiles.h"
#include "engine/ChunkIndex.h"
#include "engine/DiskSpace.h"
#include "engine/DownloadsManager.h"
#include "engine/FinishedFileCheck.h"
#include "engine/RemovalFiles.h"
#include "engine/RunningJoin.h"

namespace {

namespace fs = std::filesystem;

void DeleteFile(const std::u16string& path) {
    if (const std::optional<std::string> spelled = FittingPath(path)) {
        std::error_code ignored;
        fs::remove(*spelled, ignored);
    }
}

// The longest name among the file's chunk files; it decides whether all of them fit.
std::u16string LongestChunkPath(const DownloadInfo& plan, const FileInfo& file) {
    int32_t largestId = 0;
    for (const ChunkInfo& chunk : file.chunks) {
        largestId = std::max(largestId, chunk.id);
    }
    return PartialChunkPath(plan.folder, file.name, largestId);
}

}  // namespace

void DownloadsManager::RequestDownload(const DownloadInfo& info, bool force) {
    if (!info.detailsReceived) {
        return;
    }
    std::lock_guard<std::mutex> guard(currentLock_);
    if (!force && !abortingCurrent_ && current_ && current_->name == info.name) {
        return;
    }
    pending_ = info;
    newRequest_.Set();
}

std::optional<DownloadInfo> DownloadsManager::TakeRequest() {
    if (!newRequest_.IsSet()) {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> guard(currentLock_);
    std::optional<DownloadInfo> taken;
    if (pending_) {
        current_ = std::move(pending_);
        pending_.reset();
        taken = current_;
    }
    newRequest_.Reset();
    return taken;
}

void DownloadsManager::RequestRemoval(const DownloadInfo& record, bool deleteFiles,
                                      const std::u16string& folder) {
    std::lock_guard<std::mutex> guard(removalLock_);
    for (const Removal& removal : removals_) {
        if (removal.name == record.name) {
            return;
        }
    }
    removals_.push_back(Removal{record.name, deleteFiles, folder, record});
    removalRequest_.Set();
}

void DownloadsManager::ProcessRemovals() {
    std::vector<Removal> taken;
    {
        std::lock_guard<std::mutex> guard(removalLock_);
        removalRequest_.Reset();
        taken.swap(removals_);
    }
    if (taken.empty()) {
        return;
    }
    const std::u16string current = CurrentDownloadName();
    for (const Removal& removal : taken) {
        if (!current.empty() && removal.name == current) {
            AbortWorkerTasks();
        }
        if (removal.deleteFiles) {
            DeleteDownloadFiles(removal.record);
        }
        PostName(WM_APP_ITEM_RELEASED, removal.name);
    }
}

void DownloadsManager::SchedulerThread() {
    for (;;) {
        WaitAny({&newRequest_, &removalRequest_, &shutdown_});
        if (shutdown_.IsSet()) {
            break;
        }
        AbortWorkerTasks();
        if (newRequest_.IsSet()) {
            if (std::optional<DownloadInfo> plan = TakeRequest()) {
                ForgetRestartsCarriedOut(*plan);
                PlanDownload(*plan);
            }
        }
        if (connectivity_.noInternet->IsSet()) {
            AbortWorkerTasks();
        }
        if (removalRequest_.IsSet()) {
            ProcessRemovals();
        }
    }
    schedulerExited_.Set();
}

namespace {

// What names one version of one file of one download: a restart is owed once per version.
std::u16string RestartKey(const DownloadInfo& plan, const FileInfo& file) {
    std::u16string key = plan.name;
    key += u'\0';
    key += file.name;
    key += u'\0';
    key += file.timestamp;
    return key;
}

}  // namespace

void DownloadsManager::ForgetRestartsCarriedOut(DownloadInfo& plan) const {
    // The window's record may still carry a flag that a plan of this run has carried out: its
    // news of that is posted, not awaited, and a request can overtake it.
    for (FileInfo& file : plan.files) {
        if (file.restart && restartsDone_.count(RestartKey(plan, file)) != 0) {
            file.restart = false;
        }
    }
}

void DownloadsManager::CarryOutRestart(const DownloadInfo& plan, FileInfo& file) {
    // The file changed at the store: nothing of the old one may be joined into the new one.
    DeleteFile(FinishedFilePath(plan.folder, file.name));
    RemoveLeftovers(plan, file);
    Logger().Log(u"File %s of %s changed at the store; it is downloaded again from its start.",
                 file.name, plan.name);
    // Done once: every later plan keeps what was verified since. The window's record is told
    // through the file's progress reset, the current copy here at once.
    file.restart = false;
    restartsDone_.insert(RestartKey(plan, file));
    {
        std::lock_guard<std::mutex> guard(currentLock_);
        if (current_ && current_->name == plan.name) {
            for (FileInfo& held : current_->files) {
                if (held.name == file.name) {
                    held.restart = false;
                }
            }
        }
    }
    PostFileEvent(WM_APP_FILE_PROGRESS_RESET, plan.name, static_cast<int64_t>(file.id),
                  kRestartCarriedOut);
}

bool DownloadsManager::CanStart(const DownloadInfo& plan) {
    // Folders are made inside the downloads folder, never the folder itself: a missing one may be
    // a drive that is not mounted now, and making it would fill another disk.
    const std::u16string folder = NormaliseFolder(plan.folder);
    const std::optional<std::string> spelled = FittingPath(folder);
    std::error_code error;
    if (!spelled || !fs::is_directory(*spelled, error)) {
        Logger().Warning(u"Cannot download %s: the downloads folder %s does not exist.", plan.name,
                         folder);
        PostFileEvent(WM_APP_ITEM_FAILED, plan.name, -1, WorkerTask::kDiskProblem);
        return false;
    }
    if (::access(spelled->c_str(), W_OK) != 0) {
        const std::u16string why = ErrorText(errno);
        Logger().Warning(u"Cannot download %s: the downloads folder %s can't be written: %s",
                         plan.name, folder, why);
        PostFileEvent(WM_APP_ITEM_FAILED, plan.name, -1, WorkerTask::kDiskProblem);
        return false;
    }
    const uint64_t needed = SpaceStillNeeded(plan);
    const std::optional<uint64_t> free = FreeSpace(folder);
    if (free && *free < needed) {
        constexpr uint64_t kMegabyte = 1048576;
        Logger().Warning(
            u"Not enough free disk space for %s in %s: %I64u MB more needed, %I64u MB free.",
            plan.name, folder, (needed - *free + kMegabyte - 1) / kMegabyte, *free / kMegabyte);
        auto payload = std::make_unique<FileEvent>();
        payload->gameName = plan.name;
        payload->bytesShort = needed - *free;
        window_.Post(MakeMessage(WM_APP_ITEM_FAILED, std::move(payload), kNotEnoughSpace));
        return false;
    }
    return true;
}

std::optional<bool> DownloadsManager::FinishedFileVerified(const DownloadInfo& plan,
                                                           const FileInfo& file) {
    const std::u16string& name = plan.name;
    // Reading a game-sized file takes a while: a new request, shut-down or a removal is not kept
    // waiting for it. A removal of another download is carried out and the check goes on.
    const auto proceed = [this, &name] {
        if (shutdown_.IsSet() || newRequest_.IsSet()) {
            return false;
        }
        if (removalRequest_.IsSet()) {
            ProcessRemovals();
            return CurrentDownloadName() == name;
        }
        return true;
    };
    const auto progress = [this, &name, &file](uint64_t bytes) {
        auto report = std::make_unique<ProgressReport>();
        report->gameName = name;
        report->fileId = file.id;
        report->phase = ProgressReport::kWholeFileCheck;
        report->byteCount = bytes;
        window_.Post(MakeMessage(WM_APP_CHECK_PROGRESS, std::move(report)));
    };
    switch (
        finishedChecks_.Check(file, FinishedFilePath(plan.folder, file.name), proceed, progress)) {
        case FinishedFileCheck::kDone:
            return true;
        case FinishedFileCheck::kNotDone:
            return false;
        case FinishedFileCheck::kStopped:
            break;
    }
    return std::nullopt;
}

void DownloadsManager::PlanDownload(DownloadInfo& plan) {
    const std::u16string& name = plan.name;

    // Phase A: is everything done already? A finished file counts only once its bytes matched
    // the file's digest in this run. Every file is looked at (not only up to the first that is
    // not done), so that one failing its check is gone before the free space is reckoned.
    std::vector<bool> finishedDone(plan.files.size(), false);
    bool allDone = true;
    for (size_t position = 0; position < plan.files.size(); ++position) {
        const FileInfo& file = plan.files[position];
        if (shutdown_.IsSet()) {
            return;
        }
        // A name whose folders lead out of the record's folder is neither read nor deleted.
        if (!IsSafeRelativeName(file.name) || !FoldersOfNameStayInside(plan.folder, file.name)) {
            allDone = false;
            continue;
        }
        const std::optional<bool> done = FinishedFileVerified(plan, file);
        if (!done) {
            return;  // stopped: shut-down, a new request, or this download was removed
        }
        finishedDone[position] = *done;
        allDone = allDone && *done;
    }
    if (allDone) {
        for (const FileInfo& file : plan.files) {
            RemoveLeftovers(plan, file);
        }
        ClearCurrentDownload();
        PostName(WM_APP_ITEM_FINISHED, name, 0);
        AbortWorkerTasks();
        return;
    }

    // Phase B: preparation.
    if (!CanStart(plan)) {
        AbortWorkerTasks();
        return;
    }
    uint64_t totalChunks = 0;
    for (const FileInfo& file : plan.files) {
        totalChunks += file.chunks.size();
    }
    uint64_t outstanding = 0;
    bool anyUnavailable = false;
    // The combine entries of the plan, and beside each the join that runs while the file's
    // chunks arrive (made for a file only when some of its chunks are to be downloaded).
    const std::vector<CombineEntry> entries = MakeCombineEntries(plan);
    std::vector<std::shared_ptr<RunningJoin>> runningJoins(entries.size());

    // Phase C: one pass over the files.
    for (size_t filePosition = 0; filePosition < plan.files.size(); ++filePosition) {
        FileInfo& file = plan.files[filePosition];
        if (shutdown_.IsSet()) {
            break;
        }
        const int64_t fileId = static_cast<int64_t>(file.id);
        if (!file.available) {
            PostFileEvent(WM_APP_FILE_UNAVAILABLE, name, fileId);
            anyUnavailable = true;
            continue;
        }
        // Names and chunk lists come from the network. A file that would leave the record's
        // folder, or whose chunks do not cover it, can't be fetched: it is treated as one that
        // the store does not offer, so it is neither downloaded nor joined.
        std::u16string reason;
        bool fetchable = IsSafeRelativeName(file.name);
        if (!fetchable) {
            reason = u"unsafe file name";
        } else if (!FoldersOfNameStayInside(plan.folder, file.name)) {
            fetchable = false;
            reason = u"a folder on its way is a symbolic link or not a folder";
        } else {
            fetchable = ValidateChunkPlan(file, &reason);
        }
        if (!fetchable) {
            Logger().Warning(u"File %s of %s can't be downloaded: %s", file.name, name, reason);
            PostFileEvent(WM_APP_FILE_UNAVAILABLE, name, fileId);
            anyUnavailable = true;
            continue;
        }

        const std::u16string finishedPath = FinishedFilePath(plan.folder, file.name);
        if (finishedDone[filePosition]) {
            RemoveLeftovers(plan, file);
            for (const ChunkInfo& chunk : file.chunks) {
                auto report = std::make_unique<ProgressReport>();
                report->gameName = name;
                report->fileId = static_cast<uint64_t>(fileId);
                report->chunkId = static_cast<uint64_t>(static_cast<int64_t>(chunk.id));
                report->phase = ProgressReport::kChunkDownload;
                report->byteCount = chunk.Length();
                window_.Post(MakeMessage(WM_APP_CHUNK_PROGRESS, std::move(report)));
            }
            continue;
        }

        // A chunk file name the file system can't hold would fail at every attempt: refuse
        // the download at once, as a disk problem of this file.
        const std::u16string longest = LongestChunkPath(plan, file);
        if (!FittingPath(longest) || !FittingPath(finishedPath + u".joining")) {
            Logger().Warning(u"Chunk file path does not fit in a file name: %s", longest);
            PostFileEvent(WM_APP_ITEM_FAILED, name, fileId, WorkerTask::kDiskProblem);
            AbortWorkerTasks();
            return;
        }

        if (file.restart) {
            CarryOutRestart(plan, file);
        } else if (RegularFileSize(finishedPath)) {
            DeleteFile(finishedPath);
        }
        const fs::path folder = fs::path(*FittingPath(finishedPath)).parent_path();
        std::error_code error;
        fs::create_directories(folder, error);
        if (error) {
            Logger().Warning(u"Cannot create folder %s: %s", Utf8ToWide(folder.string()),
                             Utf8ToWide(error.message()));
        }

        // Chunks verified in an earlier run or plan are handed to the file's running join as soon
        // as it exists, so that it appends them in order and no later chunk waits for them.
        std::vector<std::u16string> onDisk;
        const auto joinOf = [&]() -> std::shared_ptr<RunningJoin> {
            if (filePosition >= entries.size()) {
                return nullptr;
            }
            std::shared_ptr<RunningJoin>& join = runningJoins[filePosition];
            if (!join) {
                join = std::make_shared<RunningJoin>(entries[filePosition]);
                for (const std::u16string& path : onDisk) {
                    join->ChunkOnDisk(path);
                }
                onDisk.clear();
            }
            return join;
        };
        for (const ChunkInfo& chunk : file.chunks) {
            if (shutdown_.IsSet() || connectivity_.noInternet->IsSet()) {
                break;
            }
            auto task = std::make_unique<DownloadChunkTask>();
            ++outstanding;
            task->downloadName = name;
            task->fileId = static_cast<int32_t>(file.id);
            task->restart = file.restart;
            task->chunkId = chunk.id;
            task->expectedDigest = chunk.md5;
            task->chunkPath = VerifiedChunkPath(plan.folder, file.name, chunk.id);
            task->from = chunk.from;
            task->to = chunk.to;

            const std::optional<uint64_t> size = RegularFileSize(task->chunkPath);
            if (size && !task->restart && *size == chunk.Length()) {
                --outstanding;
                auto report = std::make_unique<ProgressReport>();
                report->gameName = name;
                report->fileId = static_cast<uint64_t>(fileId);
                report->chunkId = static_cast<uint64_t>(static_cast<int64_t>(chunk.id));
                report->phase = ProgressReport::kChunkDownload;
                report->byteCount = *size;
                window_.Post(MakeMessage(WM_APP_CHUNK_PROGRESS, std::move(report)));
                if (filePosition < runningJoins.size() && runningJoins[filePosition]) {
                    runningJoins[filePosition]->ChunkOnDisk(task->chunkPath);
                } else {
                    onDisk.push_back(task->chunkPath);
                }
                continue;
            }
            if (size) {
                DeleteFile(task->chunkPath);
            }
            task->runningJoin = joinOf();
            QueueTask(std::move(task), false);
            Logger().Log(u"Adding new download task for: %s", file.name);
        }
    }

    // Phase D: following the plan.
    Event nothingOutstanding(true, outstanding == 0);
    for (;;) {
        WaitAny({&nothingOutstanding, &removalRequest_, &resultsAvailable_, &newRequest_,
                 &shutdown_, connectivity_.noInternet.get()});
        if (connectivity_.noInternet->IsSet()) {
            AbortWorkerTasks();
            return;
        }
        if (shutdown_.IsSet() || newRequest_.IsSet()) {
            return;
        }
        if (resultsAvailable_.IsSet()) {
            ProcessResults(name, outstanding);
        }
        if (outstanding == 0) {
            // From here on only the combine task holds the running joins: a join it does not take
            // over goes with it. With no combine task they go at once, working files included,
            // before the download is reported finished.
            std::vector<std::shared_ptr<RunningJoin>> joins = std::move(runningJoins);
            runningJoins.clear();
            if (anyUnavailable) {
                joins.clear();
                PostName(WM_APP_ITEM_FINISHED, name, 1);
            } else {
                auto task = std::make_unique<CombineChunksTask>();
                task->downloadName = name;
                task->entries = entries;
                task->runningJoins = std::move(joins);
                QueueTask(std::move(task), false);
                Logger().Log(u"Adding new combine task for: %s", name);
            }
            outstanding = totalChunks;
            nothingOutstanding.Reset();
            if (totalChunks == 0) {
                // Nothing can bring the count down again; a non-zero count keeps it from
                // planning a second time.
                outstanding = 1;
            }
        }
        if (removalRequest_.IsSet()) {
            ProcessRemovals();
        }
    }
}
