#include <unistd.h>

#include <algorithm>
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
#include "engine/FinishedFileCheck.h"
#include "engine/JoinRecord.h"
#include "engine/JoinedPrefix.h"
#include "engine/RemovalFiles.h"
#include "engine/RunningJoin.h"
#include "engine/Scheduler.h"

namespace {

namespace fs = std::filesystem;

void DeleteFile(const std::u16string& path) {
    if (const std::optional<std::string> spelled = FittingPath(path)) {
        std::error_code ignored;
        fs::remove(*spelled, ignored);
    }
}

// The longest name among the file's chunk files; it decides whether all of them fit.
std::u16string LongestChunkPath(const DownloadInfo& download, const FileInfo& file) {
    int32_t largestId = 0;
    for (const ChunkInfo& chunk : file.chunks) {
        largestId = std::max(largestId, chunk.id);
    }
    return PartialChunkPath(download.folder, file.name, largestId);
}

}  // namespace

Scheduler::Scheduler(MessageTarget& window, WorkerPool& pool, Events events, RetryLimits limits)
    : window_(window), pool_(pool), events_(events), limits_(limits) {}

void Scheduler::RequestDownload(const DownloadInfo& info, bool force) {
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

std::optional<DownloadInfo> Scheduler::TakeRequest() {
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

void Scheduler::RequestRemoval(const DownloadInfo& record, bool deleteFiles,
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

void Scheduler::ProcessRemovals() {
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
            AbortCurrent();
        }
        if (removal.deleteFiles) {
            DeleteDownloadFiles(removal.record);
        }
        window_.Post(ItemReleased{removal.name});
    }
}

void Scheduler::Run() {
    for (;;) {
        WaitAny({&newRequest_, &removalRequest_, events_.shutdown});
        if (events_.shutdown->IsSet()) {
            break;
        }
        AbortCurrent();
        if (newRequest_.IsSet()) {
            if (std::optional<DownloadInfo> download = TakeRequest()) {
                ForgetRestartsCarriedOut(*download);
                if (std::optional<Plan> plan = MakePlan(*download)) {
                    FollowPlan(*plan);
                }
                waits_.Clear();
            }
        }
        if (events_.noInternet->IsSet()) {
            AbortCurrent();
        }
        if (removalRequest_.IsSet()) {
            ProcessRemovals();
        }
    }
}

void Scheduler::AbortCurrent() {
    Logger().Log(u"Aborting worker tasks");
    {
        std::lock_guard<std::mutex> guard(currentLock_);
        abortingCurrent_ = true;
    }
    pool_.StopAllTasks();
    waits_.Clear();
    std::lock_guard<std::mutex> guard(currentLock_);
    if (current_) {
        window_.Post(ItemPaused{current_->name});
    }
    current_.reset();
    abortingCurrent_ = false;
}

std::u16string Scheduler::CurrentDownloadName() const {
    std::lock_guard<std::mutex> guard(currentLock_);
    return current_ ? current_->name : std::u16string();
}

void Scheduler::ClearCurrentDownload() {
    std::lock_guard<std::mutex> guard(currentLock_);
    current_.reset();
}

void Scheduler::PostChunkOnDisk(const std::u16string& name, int64_t fileId, int32_t chunkId,
                                uint64_t bytes) {
    window_.Post(ChunkProgress{.gameName = name,
                               .fileId = static_cast<uint64_t>(fileId),
                               .chunkId = static_cast<uint64_t>(static_cast<int64_t>(chunkId)),
                               .byteCount = bytes});
}

namespace {

// What names one version of one file of one download: a restart is owed once per version.
std::u16string RestartKey(const DownloadInfo& download, const FileInfo& file) {
    std::u16string key = download.name;
    key += u'\0';
    key += file.name;
    key += u'\0';
    key += file.timestamp;
    return key;
}

}  // namespace

void Scheduler::ForgetRestartsCarriedOut(DownloadInfo& download) const {
    // The window's record may still carry a flag that a plan of this run has carried out: its
    // news of that is posted, not awaited, and a request can overtake it.
    for (FileInfo& file : download.files) {
        if (file.restart && restartsDone_.count(RestartKey(download, file)) != 0) {
            file.restart = false;
        }
    }
}

void Scheduler::CarryOutRestart(const DownloadInfo& download, FileInfo& file) {
    // The file changed at the store: nothing of the old one may be joined into the new one.
    DeleteFile(FinishedFilePath(download.folder, file.name));
    RemoveLeftovers(download, file);
    Logger().Log(u"File %s of %s changed at the store; it is downloaded again from its start.",
                 file.name, download.name);
    // Done once: every later plan keeps what was verified since. The window's record is told
    // through the file's progress reset, the current copy here at once.
    file.restart = false;
    restartsDone_.insert(RestartKey(download, file));
    {
        std::lock_guard<std::mutex> guard(currentLock_);
        if (current_ && current_->name == download.name) {
            for (FileInfo& held : current_->files) {
                if (held.name == file.name) {
                    held.restart = false;
                }
            }
        }
    }
    window_.Post(FileProgressReset{.gameName = download.name,
                                   .fileId = file.id,
                                   .reason = FileProgressReset::Reason::kRestartCarriedOut});
}

bool Scheduler::CanStart(const DownloadInfo& download) {
    // Folders are made inside the downloads folder, never the folder itself: a missing one may be
    // a drive that is not mounted now, and making it would fill another disk.
    const std::u16string folder = NormaliseFolder(download.folder);
    const std::optional<std::string> spelled = FittingPath(folder);
    std::error_code error;
    if (!spelled || !fs::is_directory(*spelled, error)) {
        Logger().Warning(u"Cannot download %s: the downloads folder %s does not exist.",
                         download.name, folder);
        window_.Post(ItemFailed{.gameName = download.name,
                                .fileId = std::nullopt,
                                .kind = ErrorKind::DiskWrite,
                                .bytesShort = 0});
        return false;
    }
    if (::access(spelled->c_str(), W_OK) != 0) {
        const std::u16string why = ErrorText(errno);
        Logger().Warning(u"Cannot download %s: the downloads folder %s can't be written: %s",
                         download.name, folder, why);
        window_.Post(ItemFailed{.gameName = download.name,
                                .fileId = std::nullopt,
                                .kind = ErrorKind::DiskWrite,
                                .bytesShort = 0});
        return false;
    }
    const uint64_t needed = SpaceStillNeeded(download, pool_.EnabledWorkers());
    const std::optional<uint64_t> free = FreeSpace(folder);
    if (free && *free < needed) {
        constexpr uint64_t kMegabyte = 1048576;
        Logger().Warning(
            u"Not enough free disk space for %s in %s: %I64u MB more needed, %I64u MB free.",
            download.name, folder, (needed - *free + kMegabyte - 1) / kMegabyte, *free / kMegabyte);
        window_.Post(ItemFailed{.gameName = download.name,
                                .fileId = std::nullopt,
                                .kind = ErrorKind::DiskSpace,
                                .bytesShort = needed - *free});
        return false;
    }
    return true;
}

std::optional<bool> Scheduler::FinishedFileVerified(const DownloadInfo& download,
                                                    const FileInfo& file) {
    const std::u16string& name = download.name;
    // Reading a game-sized file takes a while: a new request, shut-down or a removal is not kept
    // waiting for it. A removal of another download is carried out and the check goes on.
    const auto proceed = [this, &name] {
        if (events_.shutdown->IsSet() || newRequest_.IsSet()) {
            return false;
        }
        if (removalRequest_.IsSet()) {
            ProcessRemovals();
            return CurrentDownloadName() == name;
        }
        return true;
    };
    const auto progress = [this, &name, &file](uint64_t bytes) {
        window_.Post(CheckProgress{.gameName = name, .fileId = file.id, .byteCount = bytes});
    };
    switch (finishedChecks_.Check(file, FinishedFilePath(download.folder, file.name), proceed,
                                  progress)) {
        case FinishedFileCheck::kDone:
            return true;
        case FinishedFileCheck::kNotDone:
            return false;
        case FinishedFileCheck::kStopped:
            break;
    }
    return std::nullopt;
}

std::optional<Scheduler::Plan> Scheduler::MakePlan(DownloadInfo& download) {
    const std::optional<std::vector<bool>> finishedDone = VerifyFinishedFiles(download);
    if (!finishedDone) {
        return std::nullopt;  // stopped: shut-down, a new request, or this one was removed
    }
    if (std::all_of(finishedDone->begin(), finishedDone->end(), [](bool done) { return done; })) {
        ReportAllDone(download);
        return std::nullopt;
    }
    if (!CanStart(download)) {
        AbortCurrent();
        return std::nullopt;
    }
    Plan plan = StartPlan(download);
    for (size_t position = 0; position < download.files.size(); ++position) {
        if (events_.shutdown->IsSet()) {
            break;
        }
        if (!PlaceFile(download, position, (*finishedDone)[position], plan)) {
            AbortCurrent();
            return std::nullopt;
        }
    }
    return plan;
}

std::optional<std::vector<bool>> Scheduler::VerifyFinishedFiles(const DownloadInfo& download) {
    // A finished file counts only once its bytes matched the file's digest in this run. Every
    // file is looked at (not only up to the first that is not done), so that one failing its
    // check is gone before the free space is reckoned.
    std::vector<bool> finishedDone(download.files.size(), false);
    for (size_t position = 0; position < download.files.size(); ++position) {
        const FileInfo& file = download.files[position];
        if (events_.shutdown->IsSet()) {
            return std::nullopt;
        }
        // A name whose folders lead out of the record's folder is neither read nor deleted.
        if (!IsSafeRelativeName(file.name) ||
            !FoldersOfNameStayInside(download.folder, file.name)) {
            continue;
        }
        const std::optional<bool> done = FinishedFileVerified(download, file);
        if (!done) {
            return std::nullopt;
        }
        finishedDone[position] = *done;
    }
    return finishedDone;
}

void Scheduler::ReportAllDone(const DownloadInfo& download) {
    const std::u16string& name = download.name;
    for (const FileInfo& file : download.files) {
        RemoveLeftovers(download, file);
    }
    ClearCurrentDownload();
    window_.Post(ItemFinished{.gameName = name, .partially = false});
    AbortCurrent();
}

Scheduler::Plan Scheduler::StartPlan(const DownloadInfo& download) const {
    Plan plan;
    plan.name = download.name;
    for (const FileInfo& file : download.files) {
        plan.totalChunks += file.chunks.size();
    }
    plan.entries = MakeCombineEntries(download);
    plan.runningJoins.resize(plan.entries.size());
    return plan;
}

bool Scheduler::Fetchable(const DownloadInfo& download, const FileInfo& file,
                          std::u16string* reason) const {
    // Names and chunk lists come from the network. A file that would leave the record's folder,
    // or whose chunks do not cover it, can't be fetched: it is treated as one that the store does
    // not offer, so it is neither downloaded nor joined.
    if (!IsSafeRelativeName(file.name)) {
        *reason = u"unsafe file name";
        return false;
    }
    if (!FoldersOfNameStayInside(download.folder, file.name)) {
        *reason = u"a folder on its way is a symbolic link or not a folder";
        return false;
    }
    return ValidateChunkPlan(file, reason);
}

bool Scheduler::PlaceFile(DownloadInfo& download, size_t position, bool finishedDone, Plan& plan) {
    FileInfo& file = download.files[position];
    const std::u16string& name = download.name;
    const int64_t fileId = static_cast<int64_t>(file.id);
    if (!file.available) {
        window_.Post(FileUnavailable{name, static_cast<uint64_t>(fileId)});
        plan.anyUnavailable = true;
        return true;
    }
    std::u16string reason;
    if (!Fetchable(download, file, &reason)) {
        Logger().Warning(u"File %s of %s can't be downloaded: %s", file.name, name, reason);
        window_.Post(FileUnavailable{name, static_cast<uint64_t>(fileId)});
        plan.anyUnavailable = true;
        return true;
    }
    if (finishedDone) {
        RemoveLeftovers(download, file);
        for (const ChunkInfo& chunk : file.chunks) {
            PostChunkOnDisk(name, fileId, chunk.id, chunk.Length());
        }
        return true;
    }
    // A chunk file name the file system can't hold would fail at every attempt: refuse the
    // download at once, as a disk problem of this file.
    const std::u16string finishedPath = FinishedFilePath(download.folder, file.name);
    const std::u16string longest = LongestChunkPath(download, file);
    // The working file's record passes through the longest name beside the finished file.
    if (!FittingPath(longest) || !FittingPath(JoinRecordPath(finishedPath) + u".new")) {
        Logger().Warning(u"Chunk file path does not fit in a file name: %s", longest);
        window_.Post(ItemFailed{.gameName = name,
                                .fileId = static_cast<uint64_t>(fileId),
                                .kind = ErrorKind::DiskWrite,
                                .bytesShort = 0});
        return false;
    }
    PlanFile(download, position, plan);
    return true;
}

void Scheduler::PlanFile(DownloadInfo& download, size_t position, Plan& plan) {
    FileInfo& file = download.files[position];
    const std::u16string& name = download.name;
    const int64_t fileId = static_cast<int64_t>(file.id);
    PrepareFileFolder(download, file);

    // The chunks an earlier run joined count first; the join carries on after them. Chunks
    // verified in an earlier run or plan are handed to it, so that it appends them in order and
    // no later chunk waits for them.
    const CombineEntry& entry = plan.entries[position];
    JoinedPrefix prefix = RecoverJoinedPrefix(entry, [this] { return !events_.shutdown->IsSet(); });
    const uint32_t joined = prefix.chunks;
    const bool chunkFilesTrusted = prefix.chunkFilesTrusted;
    // A file without chunks is made by the combine task alone.
    std::shared_ptr<RunningJoin> join;
    if (!file.chunks.empty()) {
        join = std::make_shared<RunningJoin>(entry, std::move(prefix));
        plan.runningJoins[position] = join;
    }
    for (size_t at = 0; at < file.chunks.size(); ++at) {
        const ChunkInfo& chunk = file.chunks[at];
        if (events_.shutdown->IsSet() || events_.noInternet->IsSet()) {
            break;
        }
        if (at < joined) {
            PostChunkOnDisk(name, fileId, chunk.id, chunk.Length());
            continue;
        }
        const std::u16string chunkPath = VerifiedChunkPath(download.folder, file.name, chunk.id);
        const std::optional<uint64_t> size = RegularFileSize(chunkPath);
        bool onDisk = size && *size == chunk.Length();
        if (onDisk && !chunkFilesTrusted) {
            // The run that wrote it ended abruptly, and chunk files are not flushed one by one.
            onDisk = ChunkFileMatches(*FittingPath(chunkPath), chunk.Length(), chunk.md5);
            if (!onDisk) {
                Logger().Warning(
                    u"Chunk file %s did not survive the end of the last run; it is "
                    u"downloaded again.",
                    chunkPath);
            }
        }
        if (onDisk) {
            PostChunkOnDisk(name, fileId, chunk.id, *size);
            join->ChunkOnDisk(chunkPath);
            continue;
        }
        if (size) {
            DeleteFile(chunkPath);
        }
        std::unique_ptr<DownloadChunkTask> task = MakeChunkTask(name, file, chunk, chunkPath);
        task->runningJoin = join;
        ++plan.outstanding;
        pool_.Queue(std::move(task), false);
        Logger().Log(u"Adding new download task for: %s", file.name);
    }
}

void Scheduler::PrepareFileFolder(const DownloadInfo& download, FileInfo& file) {
    const std::u16string finishedPath = FinishedFilePath(download.folder, file.name);
    if (file.restart) {
        CarryOutRestart(download, file);
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
}

std::unique_ptr<DownloadChunkTask> Scheduler::MakeChunkTask(const std::u16string& name,
                                                            const FileInfo& file,
                                                            const ChunkInfo& chunk,
                                                            const std::u16string& chunkPath) {
    auto task = std::make_unique<DownloadChunkTask>();
    task->downloadName = name;
    task->fileId = static_cast<int32_t>(file.id);
    task->restart = file.restart;
    task->chunkId = chunk.id;
    task->expectedDigest = chunk.md5;
    task->chunkPath = chunkPath;
    task->from = chunk.from;
    task->to = chunk.to;
    return task;
}

void Scheduler::FollowPlan(Plan& plan) {
    Event nothingOutstanding(true, plan.outstanding == 0);
    for (;;) {
        WaitAny({&nothingOutstanding, &removalRequest_, &pool_.ResultsAvailable(), &newRequest_,
                 events_.shutdown, events_.noInternet},
                waits_.MillisecondsToNext());
        if (events_.noInternet->IsSet()) {
            AbortCurrent();
            return;
        }
        if (events_.shutdown->IsSet() || newRequest_.IsSet()) {
            return;
        }
        for (std::unique_ptr<WorkerTask>& task : waits_.TakeDue()) {
            pool_.Queue(std::move(task), false);
        }
        if (pool_.ResultsAvailable().IsSet() && !ProcessResults(plan)) {
            return;
        }
        if (plan.outstanding == 0) {
            QueueJoin(plan);
            nothingOutstanding.Reset();
        }
        if (removalRequest_.IsSet()) {
            ProcessRemovals();
        }
    }
}

void Scheduler::QueueJoin(Plan& plan) {
    // From here on only the combine task holds the running joins: a join it does not take over
    // goes with it. With no combine task they go at once, working files included, before the
    // download is reported finished.
    std::vector<std::shared_ptr<RunningJoin>> joins = std::move(plan.runningJoins);
    plan.runningJoins.clear();
    if (plan.anyUnavailable) {
        joins.clear();
        window_.Post(ItemFinished{.gameName = plan.name, .partially = true});
    } else {
        auto task = std::make_unique<CombineChunksTask>();
        task->downloadName = plan.name;
        task->entries = plan.entries;
        task->runningJoins = std::move(joins);
        task->clearCurrentDownload = [this] { ClearCurrentDownload(); };
        pool_.Queue(std::move(task), false);
        Logger().Log(u"Adding new combine task for: %s", plan.name);
    }
    // Nothing can bring a count of 0 down again; a non-zero count keeps the plan from being
    // joined a second time.
    plan.outstanding = std::max<uint64_t>(plan.totalChunks, 1);
}
