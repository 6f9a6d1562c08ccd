#include "engine/ChunksCombiner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/DebugPrintf.h"
#include "engine/JoinRecord.h"
#include "engine/JoinedPrefix.h"
#include "engine/RunningJoin.h"
#include "platform/CrashPoint.h"

ChunksCombiner::ChunksCombiner(const CombineEntry& entry, size_t blockSize,
                               RunningJoin* runningJoin)
    : entry_(entry), blockSize_(blockSize == 0 ? 1 : blockSize), runningJoin_(runningJoin) {}

ChunksCombiner::~ChunksCombiner() {
    CloseChunk();
    KeepJoinedChunks();
}

bool ChunksCombiner::Step() {
    if (finished_) {
        return false;
    }
    try {
        if (!started_) {
            started_ = true;
            joinedInFile_ = 0;
            // Only a whole path names a place in the downloads folder; a relative one would land
            // wherever the process happens to stand.
            if (entry_.finishedPath.empty() || entry_.finishedPath.front() != u'/') {
                Logger().Warning(u"Cannot join \"%s\": not a path in the downloads folder.",
                                 entry_.finishedPath);
                throw CombineFailException(kDiskProblem);
            }
            const std::optional<std::string> finished = FittingPath(entry_.finishedPath);
            const std::optional<std::string> working = FittingPath(WorkingFileOfEntry(entry_));
            const std::optional<std::string> record =
                FittingPath(JoinRecordPath(entry_.finishedPath));
            if (!finished || !working || !record) {
                Logger().Warning(u"Cannot join %s: the path is too long for the file system.",
                                 entry_.finishedPath);
                throw CombineFailException(kDiskProblem);
            }
            finishedPath_ = *finished;
            workingPath_ = *working;
            recordPath_ = *record;

            OpenedFile existing = OpenForReading(finishedPath_);
            if (existing.status == OpenedFile::Status::kOpened) {
                // Joined and checked by an earlier run: only count it.
                done_ = error_ == kNoError;
                joinedInTotal_ += existing.size;
                joinedInFile_ = existing.size;
                joinedInChunk_ = 0;
                finished_ = true;
                return false;
            }
            if (existing.status == OpenedFile::Status::kFailed) {
                Logger().Warning(u"Cannot open %s: %s", entry_.finishedPath,
                                 ErrorText(existing.error));
                throw CombineFailException(kDiskProblem);
            }
            if (!TakeOverRunningJoin() && !ResumeFromRecord()) {
                OpenOutput();
            }
            if (entry_.chunkCount == 0) {
                // An index without chunks describes an empty file; the whole-file check decides
                // whether that is right.
                if (!FinishOutput()) {
                    throw CombineFailException(kDiskProblem);
                }
                done_ = error_ == kNoError;
                finished_ = true;
                return false;
            }
        }
        if (takenOverStepped_ < takenOverSizes_.size()) {
            return StepTakenOverChunk();
        }
        if (!takenOverSizes_.empty() && !takenOverDone_) {
            takenOverDone_ = true;
            if (takenOverSizes_.size() >= entry_.chunkCount) {
                if (!FinishOutput()) {
                    throw CombineFailException(kDiskProblem);
                }
                done_ = error_ == kNoError;
                finished_ = true;
                return false;
            }
            // The remaining chunks are joined here, from the first one the running join did not
            // reach.
            chunkPosition_ = static_cast<uint32_t>(takenOverSizes_.size());
            OpenChunk();
            return true;
        }
        if (!input_) {
            OpenChunk();
        }
        if (!buffer_) {
            buffer_ = std::make_unique<uint8_t[]>(blockSize_);
        }

        const ssize_t got = ReadFull(input_.Get(), buffer_.get(), blockSize_);
        if (got < 0) {
            const std::u16string why = ErrorText(errno);
            Logger().Warning(u"Cannot read %s: %s", ChunkFileOfEntry(entry_, chunkPosition_), why);
            throw CombineFailException(kDiskProblem);
        }
        const size_t count = static_cast<size_t>(got);
        chunkDigest_.Update(buffer_.get(), count);
        if (count > 0) {
            // After a bad chunk the output is lost anyway; the remaining chunks are still read so
            // that one pass finds every bad chunk, but writing them would only fill the disk.
            if (!badChunkSeen_) {
                if (!WriteAll(output_.Get(), buffer_.get(), count)) {
                    const std::u16string why = ErrorText(errno);
                    Logger().Warning(u"Cannot write %s: %s", WorkingFileOfEntry(entry_), why);
                    throw CombineFailException(kDiskProblem);
                }
                fileDigest_.Update(buffer_.get(), count);
                CrashPoint("file-joining");
            }
            joinedInTotal_ += count;
            joinedInFile_ += count;
            joinedInChunk_ += count;
            return true;
        }

        CloseChunk();
        chunkDigest_.Finalize();
        const std::u16string computed = chunkDigest_.HexDigest();
        const std::u16string& expected = entry_.ChunkDigest(chunkPosition_);
        if (computed != expected) {
            Logger().Warning(u"MD5 for %s (%s) does not match xml (%s). Deleting file.",
                             ChunkFileOfEntry(entry_, chunkPosition_), computed, expected);
            UnlinkIfSame(chunkPath_, chunkDevice_, chunkInode_);
            if (!badChunkSeen_) {
                // Its bytes went into the working file: they go again, so that the file ends
                // with the chunks that passed.
                if (::ftruncate(output_.Get(), static_cast<off_t>(keptBytes_)) != 0 ||
                    ::lseek(output_.Get(), static_cast<off_t>(keptBytes_), SEEK_SET) < 0) {
                    const std::u16string why = ErrorText(errno);
                    Logger().Warning(u"Cannot write %s: %s", WorkingFileOfEntry(entry_), why);
                    throw CombineFailException(kDiskProblem);
                }
            }
            badChunkSeen_ = true;
            error_ = kBadChunkDigest;
        } else if (!badChunkSeen_) {
            ChunkJoined();
        }
        chunkDigest_.Restart();

        if (chunkPosition_ + 1 >= entry_.chunkCount) {
            if (badChunkSeen_) {
                badChunkSeen_ = false;
                KeepJoinedChunks();
            } else if (!FinishOutput()) {
                throw CombineFailException(kDiskProblem);
            }
            done_ = error_ == kNoError;
            finished_ = true;
            return false;
        }
        ++chunkPosition_;
        OpenChunk();
        return true;
    } catch (const CombineFailException& failure) {
        CloseChunk();
        KeepJoinedChunks();
        error_ = failure.Code();
        done_ = false;
        finished_ = true;
        return false;
    }
}

void ChunksCombiner::OpenOutput() {
    OpenedFile output = CreateForWriting(workingPath_);
    if (!output.fd) {
        Logger().Warning(u"Cannot create %s: %s", WorkingFileOfEntry(entry_),
                         ErrorText(output.error));
        throw CombineFailException(kDiskProblem);
    }
    output_ = std::move(output.fd);
    workingDevice_ = output.device;
    workingInode_ = output.inode;
    workingExists_ = true;
    fileDigest_.Restart();
}

bool ChunksCombiner::TakeOverRunningJoin() {
    if (runningJoin_ == nullptr) {
        return false;
    }
    // Asked even for a file without chunks: the join must know it is over.
    std::optional<RunningJoin::Handover> handover = runningJoin_->TakeOver();
    if (!handover || entry_.chunkCount == 0) {
        return false;
    }
    output_ = std::move(handover->output);
    workingDevice_ = handover->device;
    workingInode_ = handover->inode;
    workingExists_ = true;
    fileDigest_ = std::move(handover->digest);
    takenOverSizes_ = std::move(handover->chunkSizes);
    keptChunks_ = handover->chunks;
    keptBytes_ = fileDigest_.Length();
    keptDigest_ = fileDigest_;
    flushedBytes_ = handover->flushedBytes;
    return true;
}

bool ChunksCombiner::ResumeFromRecord() {
    if (entry_.chunkCount == 0) {
        return false;
    }
    // The running join could not hand its working file over (or there was none): what it holds
    // counts as a new plan would count it, the record's bytes as they are and every whole chunk
    // past them that matches its digest, since their chunk files are gone.
    JoinedPrefix prefix = RecoverJoinedPrefix(entry_);
    if (prefix.chunks == 0) {
        return false;
    }
    OpenedFile output = OpenForUpdating(workingPath_);
    if (!output.fd || output.size != prefix.bytes ||
        ::lseek(output.fd.Get(), static_cast<off_t>(prefix.bytes), SEEK_SET) < 0) {
        return false;
    }
    std::vector<uint64_t> sizes;
    for (uint32_t position = 0; position < prefix.chunks; ++position) {
        sizes.push_back(entry_.ChunkLength(position));
    }
    output_ = std::move(output.fd);
    workingDevice_ = output.device;
    workingInode_ = output.inode;
    workingExists_ = true;
    fileDigest_ = std::move(prefix.digest);
    takenOverSizes_ = std::move(sizes);
    keptChunks_ = prefix.chunks;
    keptBytes_ = prefix.bytes;
    keptDigest_ = fileDigest_;
    flushedBytes_ = prefix.bytes;  // flushed before its record was written
    return true;
}

void ChunksCombiner::ChunkJoined() {
    // Its bytes are in the working file: the chunk file has done its part.
    UnlinkIfSame(chunkPath_, chunkDevice_, chunkInode_);
    keptChunks_ = chunkPosition_ + 1;
    keptBytes_ = fileDigest_.Length();
    keptDigest_ = fileDigest_;
    if (keptBytes_ - flushedBytes_ < JoinFlushInterval()) {
        return;
    }
    JoinRecord record;
    record.chunks = keptChunks_;
    record.bytes = keptBytes_;
    record.digest = keptDigest_;
    const bool flushed = ::fdatasync(output_.Get()) == 0;
    CrashPoint("join-flushed");
    if (flushed && WriteJoinRecord(recordPath_, record)) {
        flushedBytes_ = keptBytes_;
    }
}

void ChunksCombiner::KeepJoinedChunks() {
    if (!workingExists_ || committed_) {
        return;
    }
    // Whatever fails here leaves the record as it was, unclean, and the next plan checks.
    if (output_) {
        struct stat info {};
        if (::fstat(output_.Get(), &info) != 0 ||
            (static_cast<uint64_t>(info.st_size) != keptBytes_ &&
             ::ftruncate(output_.Get(), static_cast<off_t>(keptBytes_)) != 0) ||
            ::fdatasync(output_.Get()) != 0) {
            output_.Reset();
            return;
        }
        output_.Reset();
    }
    // The chunk files still waiting: on disk before the record vouches for them by size.
    for (uint32_t position = keptChunks_; position < entry_.chunkCount; ++position) {
        if (const std::optional<std::string> path =
                FittingPath(ChunkFileOfEntry(entry_, position))) {
            const OpenedFile chunk = OpenForReading(*path);
            if (chunk.fd && ::fdatasync(chunk.fd.Get()) != 0) {
                return;
            }
        }
    }
    JoinRecord record;
    record.clean = true;
    record.chunks = keptChunks_;
    record.bytes = keptBytes_;
    record.digest = keptDigest_;
    WriteJoinRecord(recordPath_, record);
    workingExists_ = false;
}

bool ChunksCombiner::StepTakenOverChunk() {
    // Each chunk the running join appended counts as one step: checked when it arrived, in the
    // working file and in the whole-file digest already.
    chunkPosition_ = takenOverStepped_;
    joinedInChunk_ = takenOverSizes_[takenOverStepped_];
    joinedInFile_ += joinedInChunk_;
    joinedInTotal_ += joinedInChunk_;
    ++takenOverStepped_;
    return true;
}

void ChunksCombiner::OpenChunk() {
    joinedInChunk_ = 0;
    const std::u16string path = ChunkFileOfEntry(entry_, chunkPosition_);
    const std::optional<std::string> native = FittingPath(path);
    if (!native) {
        Logger().Warning(u"Cannot join %s: the path is too long for the file system.", path);
        throw CombineFailException(kDiskProblem);
    }
    OpenedFile chunk = OpenForReading(*native);
    if (chunk.status == OpenedFile::Status::kMissing) {
        Logger().Warning(u"Chunk file %s is missing.", path);
        throw CombineFailException(kMissingChunk);
    }
    if (!chunk.fd) {
        Logger().Warning(u"Cannot open %s: %s", path, ErrorText(chunk.error));
        throw CombineFailException(kDiskProblem);
    }
    input_ = std::move(chunk.fd);
    chunkPath_ = *native;
    chunkDevice_ = chunk.device;
    chunkInode_ = chunk.inode;
}

void ChunksCombiner::CloseChunk() {
    // Not told to drop its pages: for a chunk file that never reached the disk that would start
    // writing it out, and it is deleted once its bytes are joined, which frees them anyway.
    input_.Reset();
}

bool ChunksCombiner::FinishOutput() {
    // On disk before the chunk files, the only other copy, are deleted. A full disk that the
    // file system reports late shows up here too.
    if (::fdatasync(output_.Get()) != 0 || !output_.Close()) {
        const std::u16string why = ErrorText(errno);
        Logger().Warning(u"Cannot write %s: %s", WorkingFileOfEntry(entry_), why);
        return false;
    }
    fileDigest_.Finalize();
    joinedDigest_ = fileDigest_.HexDigest();
    joinedHere_ = true;
    return true;
}

void ChunksCombiner::RemoveWorkingFile() {
    if (workingExists_) {
        UnlinkIfSame(workingPath_, workingDevice_, workingInode_);
        workingExists_ = false;
    }
}

bool ChunksCombiner::Commit() {
    if (!joinedHere_ || committed_) {
        return true;
    }
    struct stat info {};
    const bool ours = workingExists_ && ::lstat(workingPath_.c_str(), &info) == 0 &&
                      info.st_dev == workingDevice_ && info.st_ino == workingInode_;
    if (!ours || std::rename(workingPath_.c_str(), finishedPath_.c_str()) != 0) {
        const std::u16string why = ErrorText(ours ? errno : ENOENT);
        Logger().Warning(u"Cannot move %s to %s: %s", WorkingFileOfEntry(entry_),
                         entry_.finishedPath, why);
        // A checked file of our own stays where it is, recorded whole, for the next attempt.
        if (!ours) {
            workingExists_ = false;
        }
        return false;
    }
    workingExists_ = false;
    committed_ = true;
    SyncParentFolder(finishedPath_);
    RemoveJoinRecord(recordPath_);
    return true;
}

void ChunksCombiner::Discard() {
    output_.Reset();
    RemoveWorkingFile();
    if (!recordPath_.empty()) {
        RemoveJoinRecord(recordPath_);
    }
}
