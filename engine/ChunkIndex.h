#pragma once
// Reading a file's stored chunk index (data folder + name + ".crc", an XML document) into its
// FileInfo, measuring on the way what of the file and of each chunk is already on disk.
// No shared state: each call works on the caller's own record and only reads files, except that
// an index found corrupt or oversized is deleted (when asked to) so that a fresh one gets fetched.
// Any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/DownloadInfo.h"
#include "core/FileInfo.h"

// An index larger than this is refused as corrupt: real indexes are a few hundred KiB at most,
// and the parser needs many times the document's size in memory.
inline constexpr uint64_t kMaxChunkIndexSize = 16u * 1024u * 1024u;

// Fills `file` from its stored index: availability, message, timestamp, size, digest and one
// appended ChunkInfo per "chunk" entry with method "md5" that holds a byte (an empty file lists
// none, or one from 0 to -1; the chunk sequence is expected to be empty), plus the on-disk counts
// of the file and its chunks. False when there is no index (no log line), when it has no "file"
// element, when the name is unsafe, or when the index can't be read or parsed (a Warning line; a
// corrupt or oversized index is deleted, unless `broken` says to keep it). On false `file` is
// untouched.
enum class BrokenIndex {
    kRemove,  // so that a fresh one is fetched: the program that owns the data folder
    kKeep,    // a mere reader (a listing beside a running instance) changes nothing
};
bool ReadChunkIndex(FileInfo& file, std::u16string_view recordFolder,
                    std::u16string_view dataFolder, BrokenIndex broken = BrokenIndex::kRemove);

// Reads every file's index of a record loaded from the registry (whose files carry no chunks),
// in order, and sums downloaded, total and available (joined and verified are kept); then
// recomputes the state. Stops with false at the first file whose index can't be read; the files
// before it keep what they read.
bool LoadChunkIndexes(DownloadInfo& record, std::u16string_view dataFolder,
                      BrokenIndex broken = BrokenIndex::kRemove);

// Whether the chunks of an available file form a plan the engine can follow: ids 0, 1, 2, ... in
// list order, each to >= from, contiguous from offset 0 without overlap, the last ending at
// size - 1 (so their lengths add up to the size), a size below 2^63, and the file's and every
// chunk's digest 32 lower-case hexadecimal digits. A file that is not available is never
// downloaded and passes as it is. On false, `reason` (when given) says what is wrong.
bool ValidateChunkPlan(const FileInfo& file, std::u16string* reason = nullptr);

// The size of the regular file at `path`, or nothing when there is none or it can't be opened
// for reading. The last path element is never followed as a symbolic link, and a FIFO, device or
// folder counts as no file. A file that opens but whose size can't be read has size 0.
std::optional<uint64_t> RegularFileSize(std::u16string_view path);
