#pragma once
// One installer file of a combine task: what the joiner, the whole-file check and the clean-up
// need to know about it. A plain value, built by the scheduler when every chunk is on disk and
// read by the worker that runs the task.
#include <cstdint>
#include <string>
#include <vector>

class DownloadInfo;

struct CombineEntry {
    std::u16string fileDigest;                 // whole-file MD5 from the chunk index
    std::u16string finishedPath;               // record folder + file name, normalised
    uint32_t chunkCount = 0;                   // chunks of the file in its index
    std::vector<std::u16string> chunkDigests;  // per chunk, in index order
    std::vector<uint64_t> chunkLengths;        // per chunk, in index order

    // The expected digest of the chunk at `position`; empty (which no digest equals) when the
    // index gave fewer digests than chunks.
    const std::u16string& ChunkDigest(uint32_t position) const;
    // The length of the chunk at `position`; 0 when the index gave no such chunk.
    uint64_t ChunkLength(uint32_t position) const;
};

// The chunk file that the joiner reads for the chunk at `position`: finished path + ".chunk" +
// the position. These are the chunk files' names as long as an index numbers its chunks 0, 1, 2.
std::u16string ChunkFileOfEntry(const CombineEntry& entry, uint32_t position);
// Where the joiner builds the file before it has passed its check: finished path + ".joining".
// Only a file that passed is ever found under the finished path.
std::u16string WorkingFileOfEntry(const CombineEntry& entry);

// One entry per file of the record, in file order. A file whose name would leave the record's
// folder gets an empty finished path, which the joiner refuses as a disk problem.
std::vector<CombineEntry> MakeCombineEntries(const DownloadInfo& info);
