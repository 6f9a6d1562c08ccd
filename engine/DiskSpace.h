#pragma once
// What a download still needs on the disk before it can complete, what the disk has free, and
// the clean-up of files that a finished file no longer needs. Run by the scheduler thread while
// it plans a download; it reads the record's folder and deletes only the record's own chunk,
// partial chunk and working files.
#include <cstdint>
#include <optional>
#include <string_view>

class DownloadInfo;
class FileInfo;

// Bytes the download still has to put on the disk before it completes: every byte of its
// unfinished files that neither their working files nor their chunk files hold yet, plus room
// for one chunk per connection twice over: a chunk's bytes are in its file's working file a
// moment before its chunk file goes. Files that can't be downloaded (unavailable, unsafe names,
// bad chunk lists) count for nothing.
uint64_t SpaceStillNeeded(const DownloadInfo& plan, uint32_t connections);

// The bytes that the file system holding `folder` has free for the user; nullopt when unknown.
std::optional<uint64_t> FreeSpace(std::u16string_view folder);

// Deletes what is left of a finished file's chunk, partial chunk and working files. A crash
// between the file's commit and the end of its clean-up leaves some behind, and no later pass
// over a finished file would ever take them. Returns how many files went.
size_t RemoveLeftovers(const DownloadInfo& plan, const FileInfo& file);
