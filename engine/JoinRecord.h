#pragma once
// The record kept beside a file's working file (finished path + ".joining.state"): how many of
// the file's chunks, from the first, the working file holds on disk for certain, how many bytes
// that is, the whole-file digest's progress over them, and whether the engine let go of the file
// in an orderly way ("clean").
//
// The working file is where a file's bytes live while it downloads: a chunk's own file goes once
// its bytes are appended. Nothing is flushed per chunk; instead the working file is flushed at
// intervals and after each flush the record is written anew, so that after a power cut the
// record's bytes are known to be there. A record marked unclean (the engine wrote it when it took
// up the file and did not get to mark it clean) says the run before ended abruptly: the bytes past
// the record and every chunk file are then checked against their digests before they count.
// Written whole to a temporary file, flushed and renamed over the old one, so a record is always
// one complete version. Free functions; any thread, one writer per file at a time.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/Md5Context.h"

struct JoinRecord {
    bool clean = false;
    uint32_t chunks = 0;  // the first `chunks` chunks of the file are in the working file
    uint64_t bytes = 0;   // their length together
    Md5Context digest;    // of those bytes, not finalized
};

// finished path + ".joining.state"; the record goes through a file of this name + ".new".
std::u16string JoinRecordPath(std::u16string_view finishedPath);

// The record at `path` (file-system spelling), or nothing when there is none or it is not one
// whole record of this form.
std::optional<JoinRecord> ReadJoinRecord(const std::string& path);
// Replaces the record at `path` durably; false (errno set) when it could not be written.
bool WriteJoinRecord(const std::string& path, const JoinRecord& record);
// Deletes the record and a temporary left beside it.
void RemoveJoinRecord(const std::string& path);

// How many chunks, from the first, the working file of the file at `finishedPath` holds by its
// record, for showing progress (a plan checks more closely); 0 without a record that fits.
// Reads only.
uint32_t RecordedChunks(std::u16string_view finishedPath);

// How many appended bytes a working file may hold beyond its last flush before it is flushed
// again: 256 MiB, or the number of MiB in VELKDOWNLOADER_JOIN_FLUSH_MIB (read once; for tests
// that want flushes within a small game).
uint64_t JoinFlushInterval();
