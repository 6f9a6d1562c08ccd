#include "engine/RunningJoin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <utility>

#include "core/DebugPrintf.h"
#include "engine/JoinRecord.h"
#include "engine/OverlappedWrites.h"
#include "platform/CrashPoint.h"

namespace {

// Small enough to stay in the processor's cache between the digest and the write.
constexpr size_t kAppendBlock = size_t{256} << 10;
// How long a chunk that has just arrived waits for the join to move on towards it, so that it
// can be appended in the pass that computes its digest. The wait starts again whenever a chunk
// before it goes in: with many workers, many chunks arrive at about the same time and go in one
// after the other, each pass taking a while, and a queue that keeps moving is worth waiting for;
// a chunk before it that is still on its way is not, for long.
constexpr auto kWaitForEarlierChunks = std::chrono::milliseconds(300);

}  // namespace

RunningJoin::RunningJoin(CombineEntry entry, JoinedPrefix prefix) : entry_(std::move(entry)) {
    verified_.resize(entry_.chunkCount);
    checkOnAppend_.resize(entry_.chunkCount, false);
    chunkPaths_.reserve(entry_.chunkCount);
    bool fits = !entry_.finishedPath.empty() && entry_.finishedPath.front() == u'/';
    for (uint32_t position = 0; fits && position < entry_.chunkCount; ++position) {
        std::optional<std::string> path = FittingPath(ChunkFileOfEntry(entry_, position));
        fits = path.has_value();
        chunkPaths_.push_back(path ? std::move(*path) : std::string());
    }
    const std::optional<std::string> working = FittingPath(WorkingFileOfEntry(entry_));
    const std::optional<std::string> record = FittingPath(JoinRecordPath(entry_.finishedPath));
    if (fits && working && record && FittingPath(entry_.finishedPath) &&
        prefix.chunks <= entry_.chunkCount) {
        workingPath_ = *working;
        recordPath_ = *record;
        next_ = prefix.chunks;
        joinedBytes_ = prefix.bytes;
        flushedBytes_ = prefix.bytes;
        outputBytes_ = prefix.bytes;
        joinedDigest_ = prefix.digest;
        digest_ = std::move(prefix.digest);
        // From here until the join is let go of, chunk files may be renamed without a flush: a
        // later plan that finds the record unclean checks each of them.
        if (!WriteRecord(false, next_, joinedBytes_, joinedDigest_)) {
            Logger().Warning(u"Cannot write %s: %s", JoinRecordPath(entry_.finishedPath),
                             ErrorText(errno));
        }
    } else {
        abandoned_ = true;
    }
}

RunningJoin::~RunningJoin() {
    std::unique_lock lock(mutex_);
    if (!handedOver_) {
        LetGoLocked();
    }
}

bool RunningJoin::WriteRecord(bool clean, uint32_t chunks, uint64_t bytes,
                              const Md5Context& digest) {
    JoinRecord record;
    record.clean = clean;
    record.chunks = chunks;
    record.bytes = bytes;
    record.digest = digest;
    return WriteJoinRecord(recordPath_, record);
}

void RunningJoin::LetGoLocked() {
    // Called by the last holder, so no pass or flush runs. Any failure leaves the record
    // unclean, and the next plan checks what is there.
    if (recordPath_.empty() || outputBroken_) {
        return;
    }
    if (output_) {
        // Appends whose checks never confirmed them are not part of the file.
        if (::ftruncate(output_.Get(), static_cast<off_t>(joinedBytes_)) != 0) {
            return;
        }
        if (::fdatasync(output_.Get()) != 0) {
            return;
        }
        directOutput_.Reset();
        output_.Reset();
    }
    // The chunk files still waiting for their turn: on disk before the record vouches for them.
    for (uint32_t position = next_; position < chunkPaths_.size(); ++position) {
        const OpenedFile chunk = OpenForReading(chunkPaths_[position]);
        if (chunk.fd && ::fdatasync(chunk.fd.Get()) != 0) {
            return;
        }
    }
    WriteRecord(true, next_, joinedBytes_, joinedDigest_);
}

void RunningJoin::ChunkVerified(std::u16string_view chunkPath) {
    MarkVerified(chunkPath, false);
}

void RunningJoin::ChunkOnDisk(std::u16string_view chunkPath) {
    MarkVerified(chunkPath, true);
}

void RunningJoin::MarkVerified(std::u16string_view chunkPath, bool fromEarlier) {
    const std::optional<std::string> path = FittingPath(chunkPath);
    if (!path) {
        return;
    }
    // Taken after the rename to the verified name, which changes the file's change time.
    const std::optional<Identity> identity = IdentityOfPath(*path);
    std::unique_lock lock(mutex_);
    for (uint32_t position = 0; position < chunkPaths_.size(); ++position) {
        if (chunkPaths_[position] != *path) {
            continue;
        }
        verified_[position] = identity;
        checkOnAppend_[position] = fromEarlier;
        changed_.notify_all();
        for (size_t index = 0; index < unchecked_.size(); ++index) {
            Unchecked& appended = unchecked_[index];
            if (appended.position != position) {
                continue;
            }
            // The bytes appended must be the ones of the file that now bears the name.
            if (identity && identity->device == appended.device &&
                identity->inode == appended.inode && identity->size == appended.size) {
                appended.confirmed = true;
                SettleLocked();
                AfterSettleLocked(lock);
            } else {
                WaitForPassLocked(lock);
                AbandonLocked();
            }
            break;
        }
        return;
    }
}

void RunningJoin::SettleLocked() {
    while (!unchecked_.empty() && unchecked_.front().confirmed) {
        Unchecked& settled = unchecked_.front();
        settled_.push_back(settled.position);
        joinedBytes_ = settled.outputAfter;
        joinedDigest_ = std::move(settled.digestAfter);
        ++next_;
        unchecked_.pop_front();
    }
}

void RunningJoin::AfterSettleLocked(std::unique_lock<std::mutex>& lock) {
    std::vector<std::pair<std::string, Identity>> chunkFiles;
    for (const uint32_t position : settled_) {
        if (verified_[position]) {
            chunkFiles.emplace_back(chunkPaths_[position], *verified_[position]);
        }
    }
    settled_.clear();
    const bool flush = !flushing_ && output_ && !outputBroken_ &&
                       joinedBytes_ - flushedBytes_ >= JoinFlushInterval();
    if (chunkFiles.empty() && !flush) {
        return;
    }
    const uint32_t chunks = next_;
    const uint64_t bytes = joinedBytes_;
    const Md5Context digest = joinedDigest_;
    const int output = output_ ? output_.Get() : -1;
    flushing_ = flushing_ || flush;
    lock.unlock();
    if (!chunkFiles.empty()) {
        CrashPoint("chunk-joined");
    }
    // The bytes are in the working file now (in the page cache at least); deleted soon enough,
    // the chunk file's own pages never reach the disk.
    for (const auto& [path, identity] : chunkFiles) {
        UnlinkIfSame(path, identity.device, identity.inode);
    }
    bool flushed = false;
    if (flush) {
        flushed = ::fdatasync(output) == 0;
        CrashPoint("join-flushed");
        flushed = flushed && WriteRecord(false, chunks, bytes, digest);
    }
    lock.lock();
    if (flush) {
        flushing_ = false;
        if (flushed) {
            flushedBytes_ = bytes;
        }
        changed_.notify_all();
    }
}

void RunningJoin::WaitForPassLocked(std::unique_lock<std::mutex>& lock) {
    changed_.wait(lock, [this] { return !passing_; });
}

std::optional<std::u16string> RunningJoin::AppendUnchecked(std::u16string_view chunkPath,
                                                           std::u16string_view partialPath,
                                                           const WorkerCheckPoint& checkPoint) {
    const std::optional<std::string> chunk = FittingPath(chunkPath);
    const std::optional<std::string> partial = FittingPath(partialPath);
    if (!chunk || !partial) {
        return std::nullopt;
    }
    const auto found = std::find(chunkPaths_.begin(), chunkPaths_.end(), *chunk);
    if (found == chunkPaths_.end()) {
        return std::nullopt;
    }
    const auto target = static_cast<uint32_t>(found - chunkPaths_.begin());
    uint32_t position = 0;
    Unchecked unchecked;
    {
        // A pass that runs ends soon (one chunk), and so, mostly, does the download of a chunk
        // before this one that other workers started earlier: waiting a little for them costs
        // far less than a second pass over this chunk.
        auto deadline = std::chrono::steady_clock::now() + kWaitForEarlierChunks;
        std::unique_lock lock(mutex_);
        uint32_t reached = AppendedLocked();
        for (;;) {
            WaitForPassLocked(lock);
            position = AppendedLocked();
            if (abandoned_ || handedOver_ || position > target) {
                return std::nullopt;
            }
            if (position == target) {
                break;
            }
            if (position > reached) {
                reached = position;
                deadline = std::chrono::steady_clock::now() + kWaitForEarlierChunks;
            }
            // Checked chunks before this one that wait for their append go first, in order.
            if (AppendVerifiedLocked(lock, checkPoint)) {
                continue;
            }
            if (abandoned_ || checkPoint.Peek() != WorkerStop::kNone ||
                changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
                return std::nullopt;
            }
        }
        passing_ = true;
        unchecked.position = position;
        unchecked.outputBefore = outputBytes_;
        unchecked.digestBefore = digest_;
    }
    const auto endPass = [this](bool abandon) {
        std::lock_guard lock(mutex_);
        passing_ = false;
        if (abandon) {
            AbandonLocked();
        }
        changed_.notify_all();
    };
    OpenedFile input = OpenForReading(*partial);
    if (!input.fd) {
        endPass(false);
        return std::nullopt;
    }
    if (!output_ && !OpenOutput()) {
        endPass(true);
        return std::nullopt;
    }
    unchecked.device = input.device;
    unchecked.inode = input.inode;
    Md5Context chunkDigest;
    // Two buffers: one is written while the next block is read into the other and digested.
    const AlignedBuffer buffers[2] = {MakeAlignedBuffer(kAppendBlock),
                                      MakeAlignedBuffer(kAppendBlock)};
    OverlappedWrites writes;
    for (size_t turn = 0;; ++turn) {
        uint8_t* const buffer = buffers[turn % 2].get();
        if (unchecked.size > 0 && checkPoint.Pass() != WorkerStop::kNone) {
            writes.Wait();  // before the file is cut back
            std::lock_guard lock(mutex_);
            passing_ = false;
            unchecked_.push_back(std::move(unchecked));
            RestoreLocked(unchecked_.size() - 1);
            changed_.notify_all();
            return std::nullopt;
        }
        const ssize_t got = ReadFull(input.fd.Get(), buffer, kAppendBlock);
        if (got == 0 && writes.Wait()) {
            break;
        }
        if (got <= 0 || !WriteOutput(writes, outputBytes_, buffer, static_cast<size_t>(got))) {
            // Whatever went wrong, the working file no longer matches its digest.
            writes.Wait();
            endPass(true);
            return std::nullopt;
        }
        Md5Context::UpdateBoth(chunkDigest, digest_, buffer, static_cast<size_t>(got));
        CrashPoint("file-joining");
        unchecked.size += static_cast<uint64_t>(got);
        outputBytes_ += static_cast<uint64_t>(got);
    }
    ::sync_file_range(output_.Get(), static_cast<off_t>(unchecked.outputBefore),
                      static_cast<off_t>(unchecked.size), SYNC_FILE_RANGE_WRITE);
    chunkDigest.Finalize();
    unchecked.outputAfter = outputBytes_;
    unchecked.digestAfter = digest_;
    std::lock_guard lock(mutex_);
    passing_ = false;
    unchecked_.push_back(std::move(unchecked));
    changed_.notify_all();
    return chunkDigest.HexDigest();
}

void RunningJoin::Withdraw(std::u16string_view chunkPath) {
    const std::optional<std::string> path = FittingPath(chunkPath);
    if (!path) {
        return;
    }
    std::unique_lock lock(mutex_);
    for (size_t index = 0; index < unchecked_.size(); ++index) {
        if (chunkPaths_[unchecked_[index].position] == *path) {
            if (!unchecked_[index].confirmed) {
                WaitForPassLocked(lock);
                RestoreLocked(index);
            }
            return;
        }
    }
}

void RunningJoin::RestoreLocked(size_t index) {
    if (index >= unchecked_.size()) {
        return;
    }
    const Unchecked& first = unchecked_[index];
    if (!output_ || ::ftruncate(output_.Get(), static_cast<off_t>(first.outputBefore)) != 0 ||
        ::lseek(output_.Get(), static_cast<off_t>(first.outputBefore), SEEK_SET) < 0) {
        AbandonLocked();
        return;
    }
    outputBytes_ = first.outputBefore;
    digest_ = first.digestBefore;
    unchecked_.erase(unchecked_.begin() + static_cast<std::ptrdiff_t>(index), unchecked_.end());
}

void RunningJoin::AbandonLocked() {
    abandoned_ = true;
    unchecked_.clear();
    // A failed append may have written past outputBytes_: the file is cut back whatever it holds.
    if (output_) {
        if (::ftruncate(output_.Get(), static_cast<off_t>(joinedBytes_)) != 0 ||
            ::lseek(output_.Get(), static_cast<off_t>(joinedBytes_), SEEK_SET) < 0) {
            outputBroken_ = true;
            return;
        }
    }
    outputBytes_ = joinedBytes_;
    digest_ = joinedDigest_;
}

bool RunningJoin::AppendVerifiedLocked(std::unique_lock<std::mutex>& lock,
                                       const WorkerCheckPoint& checkPoint) {
    const uint32_t position = AppendedLocked();
    if (abandoned_ || passing_ || position >= verified_.size() || !verified_[position]) {
        return false;
    }
    passing_ = true;
    const Identity verified = *verified_[position];
    const bool checkDigest = checkOnAppend_[position];
    // Behind appends that wait for their checks it waits with them, already confirmed, so that
    // taking one of those back takes this one back too.
    Unchecked entry;
    entry.position = position;
    entry.confirmed = true;
    entry.device = verified.device;
    entry.inode = verified.inode;
    entry.size = verified.size;
    entry.outputBefore = outputBytes_;
    entry.digestBefore = digest_;
    lock.unlock();
    const bool appended = Append(position, verified, checkDigest, checkPoint);
    if (appended) {
        entry.outputAfter = outputBytes_;
        entry.digestAfter = digest_;
    }
    lock.lock();
    passing_ = false;
    changed_.notify_all();
    if (!appended) {
        AbandonLocked();
        return false;
    }
    unchecked_.push_back(std::move(entry));
    SettleLocked();
    AfterSettleLocked(lock);
    return true;
}

void RunningJoin::Advance(const WorkerCheckPoint& checkPoint) {
    std::unique_lock lock(mutex_);
    if (advancing_ || abandoned_ || handedOver_) {
        return;
    }
    advancing_ = true;
    while (AppendVerifiedLocked(lock, checkPoint)) {
    }
    if (abandoned_ || passing_ || synced_ || !unchecked_.empty() || next_ < verified_.size()) {
        advancing_ = false;
        return;
    }
    // The whole file is in: its sync happens here, while the other workers still download,
    // rather than in the combine task after the last chunk (which syncs again, finding nothing
    // left to write, and is the one to report a failure).
    passing_ = true;
    lock.unlock();
    if (output_) {
        ::fdatasync(output_.Get());
    }
    lock.lock();
    synced_ = true;
    passing_ = false;
    advancing_ = false;
    changed_.notify_all();
}

bool RunningJoin::Append(uint32_t position, const Identity& verified, bool checkDigest,
                         const WorkerCheckPoint& checkPoint) {
    OpenedFile chunk = OpenForReading(chunkPaths_[position]);
    if (!chunk.fd || IdentityOfFd(chunk.fd.Get()) != verified) {
        return false;
    }
    if (!output_ && !OpenOutput()) {
        return false;
    }
    const AlignedBuffer buffers[2] = {MakeAlignedBuffer(kAppendBlock),
                                      MakeAlignedBuffer(kAppendBlock)};
    // Left before the caller cuts the file back on a failure: the write in flight ends first.
    OverlappedWrites writes;
    Md5Context chunkDigest;
    const uint64_t start = outputBytes_;
    uint64_t copied = 0;
    for (size_t turn = 0;; ++turn) {
        uint8_t* const buffer = buffers[turn % 2].get();
        if (copied > 0 && checkPoint.Pass() != WorkerStop::kNone) {
            return false;
        }
        const ssize_t got = ReadFull(chunk.fd.Get(), buffer, kAppendBlock);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            if (!writes.Wait()) {
                return false;
            }
            break;
        }
        const auto count = static_cast<size_t>(got);
        if (!WriteOutput(writes, start + copied, buffer, count)) {
            return false;
        }
        if (checkDigest) {
            Md5Context::UpdateBoth(chunkDigest, digest_, buffer, count);
        } else {
            digest_.Update(buffer, count);
        }
        CrashPoint("file-joining");
        copied += count;
    }
    if (copied != verified.size) {
        return false;
    }
    if (checkDigest) {
        chunkDigest.Finalize();
        if (chunkDigest.HexDigest() != entry_.ChunkDigest(position)) {
            return false;
        }
    }
    outputBytes_ += copied;
    // Starts writing the appended bytes to the disk now, so that the sync before the file goes
    // under its finished name finds little left to do.
    ::sync_file_range(output_.Get(), static_cast<off_t>(start), static_cast<off_t>(copied),
                      SYNC_FILE_RANGE_WRITE);
    return true;
}

bool RunningJoin::OpenOutput() {
    if (outputBroken_) {
        return false;
    }
    // Carries on from the bytes an earlier run joined, or starts the file afresh.
    OpenedFile output =
        joinedBytes_ > 0 ? OpenForUpdating(workingPath_) : CreateForWriting(workingPath_);
    if (!output.fd || output.size < joinedBytes_) {
        return false;
    }
    if (output.size > joinedBytes_ &&
        ::ftruncate(output.fd.Get(), static_cast<off_t>(joinedBytes_)) != 0) {
        return false;
    }
    if (::lseek(output.fd.Get(), static_cast<off_t>(joinedBytes_), SEEK_SET) < 0) {
        return false;
    }
    output_ = std::move(output.fd);
    outputDevice_ = output.device;
    outputInode_ = output.inode;
    outputBytes_ = joinedBytes_;
    // The working file is the one copy of the file's bytes, written once and not read again
    // while the download runs: direct writes spare the copy into the page cache and the memory
    // it would take, and put the bytes on the disk at once. Only when it is the same file.
    directOutput_ = OpenForDirectWriting(workingPath_);
    if (directOutput_) {
        const std::optional<Identity> direct = IdentityOfFd(directOutput_.Get());
        if (!direct || direct->device != outputDevice_ || direct->inode != outputInode_) {
            directOutput_.Reset();
        }
    }
    return true;
}

bool RunningJoin::WriteOutput(OverlappedWrites& writes, uint64_t offset, const uint8_t* bytes,
                              size_t count) {
    const bool aligned = offset % kDirectAlignment == 0 && count % kDirectAlignment == 0 &&
                         reinterpret_cast<uintptr_t>(bytes) % kDirectAlignment == 0;
    if (directOutput_ && aligned && directProven_) {
        return writes.Write(directOutput_.Get(), offset, bytes, count);
    }
    // Everything else in order, after the write in flight.
    if (!writes.Wait()) {
        return false;
    }
    if (directOutput_ && aligned) {
        // The first direct write is made here, where a refusal can still go the other way.
        if (WriteAllAt(directOutput_.Get(), offset, bytes, count)) {
            directProven_ = true;
            return true;
        }
        if (errno != EINVAL) {
            return false;
        }
        // Refused as a direct write after all: through the page cache from now on.
        directOutput_.Reset();
    }
    return WriteAllAt(output_.Get(), offset, bytes, count);
}

std::optional<RunningJoin::Handover> RunningJoin::TakeOver() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !flushing_; });
    if (handedOver_ || advancing_ || passing_ || !unchecked_.empty()) {
        return std::nullopt;
    }
    // From here on the combine task answers for the file, whether it takes the working file or
    // goes by what is on disk: letting go of the join must not write a record behind it.
    handedOver_ = true;
    if (recordPath_.empty() || outputBroken_ || next_ == 0) {
        return std::nullopt;
    }
    if (!output_ && !OpenOutput()) {
        return std::nullopt;
    }
    const std::optional<Identity> working = IdentityOfPath(workingPath_);
    if (!working || working->device != outputDevice_ || working->inode != outputInode_ ||
        working->size != joinedBytes_ || outputBytes_ != joinedBytes_) {
        // Someone else's file under the name, or not the length it should be: the combine task
        // goes by the record.
        return std::nullopt;
    }
    // The combine task appends at the descriptor's position.
    if (::lseek(output_.Get(), static_cast<off_t>(joinedBytes_), SEEK_SET) < 0) {
        return std::nullopt;
    }
    directOutput_.Reset();
    Handover handover;
    handover.output = std::move(output_);
    handover.device = outputDevice_;
    handover.inode = outputInode_;
    handover.chunks = next_;
    for (uint32_t position = 0; position < next_; ++position) {
        handover.chunkSizes.push_back(entry_.ChunkLength(position));
    }
    handover.digest = std::move(joinedDigest_);
    handover.flushedBytes = flushedBytes_;
    return handover;
}

uint32_t RunningJoin::JoinedChunks() const {
    std::lock_guard lock(mutex_);
    return next_;
}

bool RunningJoin::Abandoned() const {
    std::lock_guard lock(mutex_);
    return abandoned_;
}
