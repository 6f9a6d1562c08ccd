#pragma once
// Joins the verified chunk files of one combine entry, in index order, into the entry's file,
// checking every chunk's digest on the way. The bytes go to a working file beside the finished
// file, carrying on from what the running join or an earlier run put there (its record, see
// JoinRecord.h); only Commit, after the whole-file check passed, puts it under the finished name,
// so a file under that name is always a checked one (the scheduler takes a finished file of the
// right size for done). A chunk file goes once its bytes are in the working file; a join that
// ends early keeps the working file's chunks that passed, flushed and recorded. Owned and stepped
// by the one worker thread that runs the combine task; each Step moves one block, so the worker
// can look at its stop events and report between steps.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/BlockFile.h"
#include "engine/CombineEntry.h"
#include "engine/Md5Context.h"

class RunningJoin;

class ChunksCombiner {
public:
    // A failure of joining, with its code; thrown and caught inside the combiner only.
    class CombineFailException {
    public:
        explicit CombineFailException(int32_t code) : code_(code) {}
        int32_t Code() const { return code_; }

    private:
        int32_t code_;
    };

    enum ErrorCode : int32_t {
        kNoError = 0,
        // The output cannot be created or written (a full disk too), a chunk file exists but
        // cannot be opened or read, or a path does not fit.
        kDiskProblem = 1,
        // A chunk's digest differs from the index's; recorded, not thrown: joining goes on.
        kBadChunkDigest = 2,
        kMissingChunk = 3,
    };

    // The entry must outlive the combiner, and so must `runningJoin` when given: the join of this
    // entry that ran while its chunks arrived. Its working file is taken over at the first step
    // (the chunks it holds then count one step each); without it, or when it cannot be taken
    // over, every chunk is joined here.
    explicit ChunksCombiner(const CombineEntry& entry, size_t blockSize = kDiskBlockSize,
                            RunningJoin* runningJoin = nullptr);
    // An uncommitted working file stays, cut back to its last chunk that passed and recorded, for
    // the next attempt to carry on from.
    ~ChunksCombiner();
    ChunksCombiner(const ChunksCombiner&) = delete;
    ChunksCombiner& operator=(const ChunksCombiner&) = delete;

    // True while there is more to join; then Done and Error tell the outcome.
    bool Step();

    // The entry's file is complete: found already joined under the finished name, or joined
    // here with every chunk matching (then waiting for Commit).
    bool Done() const { return done_; }
    int32_t Error() const { return error_; }

    uint32_t ChunkPosition() const { return chunkPosition_; }
    uint64_t JoinedInChunk() const { return joinedInChunk_; }
    uint64_t JoinedInFile() const { return joinedInFile_; }
    uint64_t JoinedInTotal() const { return joinedInTotal_; }

    // Whether the bytes were joined in this run (rather than found under the finished name);
    // then JoinedDigest is the MD5 of every byte written, in order, so the whole-file check
    // need not read them back.
    bool JoinedHere() const { return joinedHere_; }
    const std::u16string& JoinedDigest() const { return joinedDigest_; }

    // Moves a joined, checked file to the finished name. False (a disk problem, logged, the
    // working file gone) when that fails. Without a joined file there is nothing to do: true.
    bool Commit();
    // Deletes the working file and its record: its check failed.
    void Discard();

private:
    void OpenOutput();
    bool TakeOverRunningJoin();
    // Carries on from what the working file holds for certain (RecoverJoinedPrefix); false when
    // that is no chunk.
    bool ResumeFromRecord();
    // The chunk at chunkPosition_ passed and is in the working file.
    void ChunkJoined();
    // Leaves the working file at its last chunk that passed, flushed, with a clean record.
    void KeepJoinedChunks();
    bool StepTakenOverChunk();
    void OpenChunk();
    void CloseChunk();
    bool FinishOutput();
    void RemoveWorkingFile();

    const CombineEntry& entry_;
    const size_t blockSize_;
    RunningJoin* const runningJoin_;
    std::unique_ptr<uint8_t[]> buffer_;
    std::vector<uint64_t> takenOverSizes_;  // chunks already in the working file when taken over
    uint32_t takenOverStepped_ = 0;
    bool takenOverDone_ = false;
    Md5Context chunkDigest_;
    Md5Context fileDigest_;
    UniqueFd output_;
    UniqueFd input_;
    std::string finishedPath_;  // file-system spellings, set by the first step
    std::string workingPath_;
    std::string chunkPath_;
    std::string recordPath_;
    dev_t chunkDevice_ = 0;
    ino_t chunkInode_ = 0;
    dev_t workingDevice_ = 0;
    ino_t workingInode_ = 0;
    bool workingExists_ = false;  // we created it and it has not been moved or deleted
    uint32_t chunkPosition_ = 0;
    uint64_t joinedInTotal_ = 0;
    uint64_t joinedInFile_ = 0;
    uint64_t joinedInChunk_ = 0;
    bool started_ = false;
    bool finished_ = false;
    bool done_ = false;
    bool joinedHere_ = false;
    bool committed_ = false;
    bool badChunkSeen_ = false;
    // The working file up to its last chunk that passed: chunks, bytes, digest; and how much of
    // it is on disk for certain.
    uint32_t keptChunks_ = 0;
    uint64_t keptBytes_ = 0;
    Md5Context keptDigest_;
    uint64_t flushedBytes_ = 0;
    int32_t error_ = kNoError;
    std::u16string joinedDigest_;
};
