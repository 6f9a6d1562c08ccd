#pragma once
// Joining a file while its chunks still arrive: whenever the chunk that comes next in file order
// has passed its check, a worker appends it to the entry's working file (finished path +
// ".joining") and feeds the whole-file digest with it, so that when the last chunk is in, the
// combine task finds nearly all of the file joined and digested and only the remainder, the sync
// and the check are left. The chunk files stay where they are; the combine task takes the working
// file over (TakeOver), checks that every chunk file is still the one that was appended, and
// carries on from there, reporting and logging as it always does. Anything unexpected — a chunk
// file that changed, a failed read or write, a stop while appending — abandons the running join
// and deletes its working file; the combine task then joins the whole file itself, as it would
// have without one.
//
// Shared by the scheduler (which makes one per file it downloads) and the tasks of that file;
// the worker threads call ChunkVerified and Advance concurrently, and only one of them appends
// at a time. The working file goes with the object unless it was taken over.
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
#include "engine/Md5Context.h"
#include "engine/WorkerCheckPoint.h"
#include "platform/FileIdentity.h"

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
    };

    explicit RunningJoin(CombineEntry entry);
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
    // its digest, or nothing (then nothing of the running join is left on disk).
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
    void AbandonLocked();
    void RemoveOutputLocked();

    const CombineEntry entry_;
    std::string workingPath_;              // empty when a path does not fit: never joins
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
    std::vector<Identity> joined_;     // by position < next_: the file appended
    std::deque<Unchecked> unchecked_;  // appended after the first next_ chunks, in order
    bool synced_ = false;              // the whole file is in and was synced

    // Touched only by the worker whose pass runs, or under the lock while none does.
    UniqueFd output_;
    dev_t outputDevice_ = 0;
    ino_t outputInode_ = 0;
    bool outputExists_ = false;
    uint64_t outputBytes_ = 0;
    Md5Context digest_;
};
