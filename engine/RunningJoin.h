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

#include <cstdint>
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
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        uint64_t size = 0;
        int64_t modifiedNs = 0;
        int64_t changedNs = 0;
        bool operator==(const Identity&) const = default;
    };
    static std::optional<Identity> IdentityOfPath(const std::string& path);
    static std::optional<Identity> IdentityOfFd(int fd);

    bool Append(uint32_t position, const Identity& verified, const WorkerCheckPoint& checkPoint);
    void RemoveOutputLocked();

    const CombineEntry entry_;
    std::string workingPath_;              // empty when a path does not fit: never joins
    std::vector<std::string> chunkPaths_;  // file-system spelling of each chunk file, by position

    mutable std::mutex mutex_;
    bool advancing_ = false;
    bool abandoned_ = false;
    bool handedOver_ = false;
    uint32_t next_ = 0;                              // chunks appended
    std::vector<std::optional<Identity>> verified_;  // by position: passed its check as this file
    std::vector<Identity> joined_;                   // by position < next_: the file appended

    // Touched only by the one worker that advances, or by TakeOver once nobody does.
    UniqueFd output_;
    dev_t outputDevice_ = 0;
    ino_t outputInode_ = 0;
    bool outputExists_ = false;
    uint64_t outputBytes_ = 0;
    Md5Context digest_;
};
