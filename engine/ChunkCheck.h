#pragma once
// The check of a chunk after its transfer ended complete: the partial file's digest against the
// index's, then the partial file is either moved to the verified chunk file's name or deleted.
// Runs on the worker thread that made the transfer; it deletes or moves nothing but the partial
// file it was given. The worker keeps the task's fields (digest history, state, result) and posts
// the chunk's progress from the outcome.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/BlockFile.h"
#include "engine/WorkerCheckPoint.h"

struct ChunkCheckResult {
    enum class Outcome {
        kAccepted,     // moved to the verified name: task completed
        kRejected,     // wrong digest, partial file deleted: result 3 (bad digest), state failed
        kDiskProblem,  // the partial file could not be read or moved: result 2, state failed
        kTerminated,   // the terminate event was seen between blocks: the worker ends
        kBroken,       // the break event was seen between blocks: the task goes back unfinished
    };
    Outcome outcome = Outcome::kDiskProblem;
    // The computed digest (accepted or rejected); a rejected one joins the task's history.
    std::u16string digest;
    // The chunk's bytes on disk to report: the file's size when accepted, else 0.
    uint64_t bytes = 0;
};

// Reads the partial file block by block, looking at the check point before every block after
// the first. `digestOfWrittenBytes`, when given, is the digest that the worker computed while
// the transfer wrote the file (a resumed transfer first fed the bytes it found on disk): the file
// is then not read again. A chunk that passes takes its verified name without being flushed:
// its bytes reach the disk in the file's working file (RunningJoin.h), and a chunk file found
// after a crash is checked again before it counts. Logs as the engine's other chunk messages do.
ChunkCheckResult CheckChunk(std::u16string_view partialPath, std::u16string_view verifiedPath,
                            std::u16string_view expectedDigest, const WorkerCheckPoint& checkPoint,
                            const std::u16string* digestOfWrittenBytes = nullptr,
                            size_t blockSize = kDiskBlockSize);
