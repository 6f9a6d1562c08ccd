#pragma once
// Joining a file while its chunks arrive: whenever the chunk that comes next in file order has
// passed its check, a worker appends it to the entry's working file (finished path + ".joining")
// and feeds the whole-file digest with it. The working file is where the file's bytes live: once
// a chunk's bytes are in it for good, the chunk's own file is deleted, so chunk files exist only
// for chunks that arrived ahead of the append point and the download needs room for about one
// copy of the game. Nothing is flushed per chunk; the working file is flushed every
// JoinFlushInterval bytes and the record beside it (JoinRecord.h) says how far it is on disk for
// certain. When the last chunk is in, the combine task takes the working file over (TakeOver)
// and only the sync and the check are left.
//
// A plan starts the join where an earlier run left it (JoinedPrefix.h) and marks the record
// unclean; letting go of the join (its destruction without a take-over) flushes the working file
// and the chunk files left beside it and marks the record clean. Anything unexpected — a chunk
// file that changed, a failed read or write, a stop while appending — gives up appending: the
// working file is cut back to its last chunk that counts and kept, and the combine task joins
// the rest from the chunk files.
//
// Shared by the scheduler (which makes one per file it plans) and the tasks of that file; the
// worker threads call ChunkVerified and Advance concurrently, and only one of them appends at a
// time.
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BlockFile.h"
#include "engine/CombineEntry.h"
#include "engine/JoinedPrefix.h"
#include "engine/Md5Context.h"
#include "engine/WorkerCheckPoint.h"
#include "platform/FileIdentity.h"

class OverlappedWrites;

class RunningJoin {
public:
    // What the combine task takes over: the working file, open for appending at its end, the
    // digest of its bytes so far, and how many chunks (from the first) it holds.
    struct Handover {
        UniqueFd output;
        dev_t device = 0;
        ino_t inode = 0;
        uint32_t chunks = 0;
        std::vector<uint64_t> chunkSizes;  // of each chunk it holds, in order
        Md5Context digest;
        uint64_t flushedBytes = 0;  // on disk for certain, as the record says
    };

    // `prefix`: what an earlier run left joined (RecoverJoinedPrefix). Marks the file's record
    // unclean until the join is let go of.
    explicit RunningJoin(CombineEntry entry, JoinedPrefix prefix = {});
    ~RunningJoin();
    RunningJoin(const RunningJoin&) = delete;
    RunningJoin& operator=(const RunningJoin&) = delete;

    const CombineEntry& Entry() const { return entry_; }

    // The chunk file at `chunkPath` (its verified name) has just passed its check. A path that
    // is not one of the entry's chunk files is ignored.
    void ChunkVerified(std::u16string_view chunkPath);
    // The chunk file at `chunkPath` was on disk under its verified name when the download was
    // planned (an earlier run or plan checked it). It is appended in its turn like a chunk that
    // passed its check now, its digest checked against the entry's in the same pass; a mismatch
    // abandons the join, and the combine task then finds the bad chunk itself.
    void ChunkOnDisk(std::u16string_view chunkPath);
    // The chunk that goes to `chunkPath` has just been downloaded to `partialPath` and is not
    // checked yet. When it comes next in file order after every chunk appended so far (checked
    // or not; a pass that runs and the chunks before it are waited for a moment), it is
    // appended from the partial file while its own digest and the file's are computed in the
    // same pass (about the cost of one), and its digest comes back; the append then stands once
    // ChunkVerified names that chunk, and Withdraw takes it back, together with every append after
    // it (a failed check or a stop). Otherwise nothing happens and nothing comes back: the caller
    // digests the chunk itself.
    std::optional<std::u16string> AppendUnchecked(std::u16string_view chunkPath,
                                                  std::u16string_view partialPath,
                                                  const WorkerCheckPoint& checkPoint);
    // Takes back the append of AppendUnchecked for the chunk at `chunkPath`, and those after it,
    // while ChunkVerified has not confirmed it; does nothing otherwise.
    void Withdraw(std::u16string_view chunkPath);
    // Appends every chunk that is next in order and has passed its check, unless another worker
    // is doing so already. Looks at the check point between blocks; a stop abandons the join.
    void Advance(const WorkerCheckPoint& checkPoint);
    // For the combine task, once no chunk task of the file runs any more: the working file and
    // its digest, or nothing when it holds no chunk or cannot be trusted (the combine task then
    // starts from the record on disk).
    std::optional<Handover> TakeOver();

    // For tests: chunks appended so far; whether the join was given up.
    uint32_t JoinedChunks() const;
    bool Abandoned() const;

private:
    using Identity = FileIdentity;

    // An append of AppendUnchecked waiting for the chunk's check: the chunk file it came from
    // and where the working file and its digest stood before it.
    struct Unchecked {
        uint32_t position = 0;
        bool confirmed = false;
        dev_t device = 0;
        ino_t inode = 0;
        uint64_t size = 0;
        uint64_t outputBefore = 0;
        Md5Context digestBefore;
        uint64_t outputAfter = 0;
        Md5Context digestAfter;
    };

    bool Append(uint32_t position, const Identity& verified, bool checkDigest,
                const WorkerCheckPoint& checkPoint);
    // Marks the chunk at the path verified; `fromEarlier` when its check was not made in this
    // plan.
    void MarkVerified(std::u16string_view chunkPath, bool fromEarlier);
    // Appends the checked chunk that comes next after every append so far, when there is one and
    // no pass runs; false otherwise, or when the append failed (the join is then abandoned).
    bool AppendVerifiedLocked(std::unique_lock<std::mutex>& lock,
                              const WorkerCheckPoint& checkPoint);
    bool OpenOutput();
    // Writes appended bytes at `offset` of the working file: whole aligned blocks straight to the
    // disk, overlapping the caller's next block (the bytes must stay until the next call on
    // `writes`), the rest through the page cache. Only the worker whose pass runs.
    bool WriteOutput(OverlappedWrites& writes, uint64_t offset, const uint8_t* bytes, size_t count);
    // Chunks in the working file, from the first: the joined ones and those awaiting their check.
    uint32_t AppendedLocked() const { return next_ + static_cast<uint32_t>(unchecked_.size()); }
    // Waits until no pass writes the working file.
    void WaitForPassLocked(std::unique_lock<std::mutex>& lock);
    // Drops the unchecked appends from the one at `index` on, putting the working file and its
    // digest back to where they stood before it; abandons the join when the file can't be cut
    // back. No pass may be running.
    void RestoreLocked(size_t index);
    // Moves the confirmed unchecked appends at the front to the joined chunks.
    void SettleLocked();
    // Deletes the chunk files of the chunks settled since the last call and flushes the working
    // file when enough has been appended since its last flush; the lock is let go meanwhile.
    void AfterSettleLocked(std::unique_lock<std::mutex>& lock);
    // Gives up appending; the working file keeps the joined chunks. No pass may be running.
    void AbandonLocked();
    // Flushes the working file and the chunk files beside it, then marks the record clean.
    void LetGoLocked();
    bool WriteRecord(bool clean, uint32_t chunks, uint64_t bytes, const Md5Context& digest);

    const CombineEntry entry_;
    std::string workingPath_;  // empty when a path does not fit: never joins
    std::string recordPath_;
    std::vector<std::string> chunkPaths_;  // file-system spelling of each chunk file, by position

    mutable std::mutex mutex_;
    std::condition_variable changed_;  // a pass ended or a chunk passed its check
    bool passing_ = false;             // one worker reads a chunk into the working file
    bool advancing_ = false;
    bool abandoned_ = false;
    bool handedOver_ = false;
    uint32_t next_ = 0;                              // chunks appended
    std::vector<std::optional<Identity>> verified_;  // by position: passed its check as this file
    std::vector<bool> checkOnAppend_;  // by position: found on disk, its digest checked on append
    std::deque<Unchecked> unchecked_;  // appended after the first next_ chunks, in order
    bool synced_ = false;              // the whole file is in and was synced
    uint64_t joinedBytes_ = 0;         // the first next_ chunks' bytes
    Md5Context joinedDigest_;          // of those bytes
    uint64_t flushedBytes_ = 0;        // on disk for certain (the record's bytes)
    bool flushing_ = false;            // a worker flushes the working file, the lock let go
    bool outputBroken_ = false;        // could not be cut back: past the record it is not trusted
    std::vector<uint32_t> settled_;    // joined chunks whose chunk files are still to go

    // Touched only by the worker whose pass runs, or under the lock while none does.
    UniqueFd output_;
    UniqueFd directOutput_;      // the same file for direct writes, when the file system allows
    bool directProven_ = false;  // a direct write went through
    dev_t outputDevice_ = 0;
    ino_t outputInode_ = 0;
    uint64_t outputBytes_ = 0;
    Md5Context digest_;
};
