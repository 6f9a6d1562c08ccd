#include "engine/RunningJoin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "platform/CrashPoint.h"

namespace {

// Small enough to stay in the processor's cache between the digest and the write.
constexpr size_t kAppendBlock = size_t{256} << 10;

int64_t Nanoseconds(const timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

}  // namespace

RunningJoin::RunningJoin(CombineEntry entry) : entry_(std::move(entry)) {
    verified_.resize(entry_.chunkCount);
    chunkPaths_.reserve(entry_.chunkCount);
    bool fits = !entry_.finishedPath.empty() && entry_.finishedPath.front() == u'/';
    for (uint32_t position = 0; fits && position < entry_.chunkCount; ++position) {
        std::optional<std::string> path = FittingPath(ChunkFileOfEntry(entry_, position));
        fits = path.has_value();
        chunkPaths_.push_back(path ? std::move(*path) : std::string());
    }
    const std::optional<std::string> working = FittingPath(WorkingFileOfEntry(entry_));
    if (fits && working && FittingPath(entry_.finishedPath)) {
        workingPath_ = *working;
    } else {
        abandoned_ = true;
    }
}

RunningJoin::~RunningJoin() {
    std::lock_guard lock(mutex_);
    if (!handedOver_) {
        RemoveOutputLocked();
    }
}

std::optional<RunningJoin::Identity> RunningJoin::IdentityOfFd(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return Identity{info.st_dev, info.st_ino, static_cast<uint64_t>(info.st_size),
                    Nanoseconds(info.st_mtim), Nanoseconds(info.st_ctim)};
}

std::optional<RunningJoin::Identity> RunningJoin::IdentityOfPath(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return Identity{info.st_dev, info.st_ino, static_cast<uint64_t>(info.st_size),
                    Nanoseconds(info.st_mtim), Nanoseconds(info.st_ctim)};
}

void RunningJoin::ChunkVerified(std::u16string_view chunkPath) {
    const std::optional<std::string> path = FittingPath(chunkPath);
    if (!path) {
        return;
    }
    // Taken after the rename to the verified name, which changes the file's change time.
    const std::optional<Identity> identity = IdentityOfPath(*path);
    std::lock_guard lock(mutex_);
    for (size_t position = 0; position < chunkPaths_.size(); ++position) {
        if (chunkPaths_[position] == *path) {
            verified_[position] = identity;
            return;
        }
    }
}

void RunningJoin::Advance(const WorkerCheckPoint& checkPoint) {
    {
        std::lock_guard lock(mutex_);
        if (advancing_ || abandoned_ || handedOver_) {
            return;
        }
        advancing_ = true;
    }
    for (;;) {
        uint32_t position = 0;
        Identity verified;
        {
            std::lock_guard lock(mutex_);
            if (abandoned_ || next_ >= verified_.size() || !verified_[next_]) {
                advancing_ = false;
                return;
            }
            position = next_;
            verified = *verified_[next_];
        }
        const bool appended = Append(position, verified, checkPoint);
        std::lock_guard lock(mutex_);
        if (!appended) {
            abandoned_ = true;
            advancing_ = false;
            RemoveOutputLocked();
            return;
        }
        joined_.push_back(verified);
        ++next_;
        if (next_ == verified_.size()) {
            break;
        }
    }
    // The whole file is in: its sync happens here, while the other workers still download,
    // rather than in the combine task after the last chunk (which syncs again, finding nothing
    // left to write, and is the one to report a failure).
    ::fdatasync(output_.Get());
    std::lock_guard lock(mutex_);
    advancing_ = false;
}

bool RunningJoin::Append(uint32_t position, const Identity& verified,
                         const WorkerCheckPoint& checkPoint) {
    OpenedFile chunk = OpenForReading(chunkPaths_[position]);
    if (!chunk.fd || IdentityOfFd(chunk.fd.Get()) != verified) {
        return false;
    }
    if (!output_) {
        OpenedFile output = CreateForWriting(workingPath_);
        if (!output.fd) {
            return false;
        }
        output_ = std::move(output.fd);
        outputDevice_ = output.device;
        outputInode_ = output.inode;
        outputExists_ = true;
    }
    const auto buffer = std::make_unique<uint8_t[]>(kAppendBlock);
    const uint64_t start = outputBytes_;
    uint64_t copied = 0;
    for (;;) {
        if (copied > 0 && checkPoint.Pass() != WorkerStop::kNone) {
            return false;
        }
        const ssize_t got = ReadFull(chunk.fd.Get(), buffer.get(), kAppendBlock);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        const auto count = static_cast<size_t>(got);
        digest_.Update(buffer.get(), count);
        if (!WriteAll(output_.Get(), buffer.get(), count)) {
            return false;
        }
        CrashPoint("file-joining");
        copied += count;
    }
    if (copied != verified.size) {
        return false;
    }
    outputBytes_ += copied;
    // Starts writing the appended bytes to the disk now, so that the sync before the file goes
    // under its finished name finds little left to do.
    ::sync_file_range(output_.Get(), static_cast<off_t>(start), static_cast<off_t>(copied),
                      SYNC_FILE_RANGE_WRITE);
    return true;
}

std::optional<RunningJoin::Handover> RunningJoin::TakeOver() {
    std::lock_guard lock(mutex_);
    if (handedOver_ || advancing_) {
        return std::nullopt;
    }
    bool usable = !abandoned_ && next_ > 0 && output_;
    for (uint32_t position = 0; usable && position < next_; ++position) {
        usable = IdentityOfPath(chunkPaths_[position]) == joined_[position];
    }
    if (usable) {
        const std::optional<Identity> working = IdentityOfPath(workingPath_);
        usable = working && working->device == outputDevice_ && working->inode == outputInode_ &&
                 working->size == outputBytes_;
    }
    if (!usable) {
        abandoned_ = true;
        RemoveOutputLocked();
        return std::nullopt;
    }
    handedOver_ = true;
    outputExists_ = false;
    Handover handover;
    handover.output = std::move(output_);
    handover.device = outputDevice_;
    handover.inode = outputInode_;
    handover.chunks = next_;
    for (uint32_t position = 0; position < next_; ++position) {
        handover.chunkSizes.push_back(joined_[position].size);
    }
    handover.digest = std::move(digest_);
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

void RunningJoin::RemoveOutputLocked() {
    output_.Reset();
    if (outputExists_) {
        UnlinkIfSame(workingPath_, outputDevice_, outputInode_);
        outputExists_ = false;
    }
}
