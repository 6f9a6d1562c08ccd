#pragma once
// What a new plan finds of a file that an earlier run began joining: the chunks, from the first,
// that its working file (see JoinRecord.h) holds. The record's bytes were flushed before it was
// written, so they count as they are; bytes past them count only chunk by chunk, each matching
// its digest, and the working file is cut back after the last chunk that does (a power cut can
// leave anything there). Chunk files of chunks now in the working file, left by a stop between
// an append and the chunk file's deletion, are deleted. Runs on the scheduler thread while it
// plans, before any task of the file runs.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/CombineEntry.h"
#include "engine/Md5Context.h"

struct JoinedPrefix {
    uint32_t chunks = 0;
    uint64_t bytes = 0;
    Md5Context digest;  // of the first `bytes` bytes, not finalized
    // Whether the chunk files of the file can be taken by their size: the run that wrote them
    // let go of the file in an orderly way (or was of a kind that flushed every chunk file, and
    // left no record). Otherwise each must match its digest before it counts.
    bool chunkFilesTrusted = true;
};

// `proceed`, when given, is asked between blocks of reading; when it says no, the recovery ends
// with what it has checked so far (the rest is left as it is, for the next plan).
JoinedPrefix RecoverJoinedPrefix(const CombineEntry& entry,
                                 const std::function<bool()>& proceed = {});

// Whether the file at `path` (file-system spelling) holds exactly `length` bytes whose MD5 is
// `digest`.
bool ChunkFileMatches(const std::string& path, uint64_t length, std::u16string_view digest);
