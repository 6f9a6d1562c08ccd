#pragma once
// What a test reads of the record the engine keeps beside a file's working file
// (<file>.joining.state: "velkdownloader join 1", then "clean 0|1", "chunks K", "bytes B" and
// "md5 <saved digest state>", one a line). Parsed here on its own, so that a test checks the
// file on disk and does not take the engine's reader's word for it. Used from the test thread.
#include <cstdint>
#include <filesystem>
#include <optional>

struct JoinState {
    bool clean = false;
    uint32_t chunks = 0;  // chunks, from the first, that the working file holds for certain
    uint64_t bytes = 0;   // their length together
};

// The record beside the working file `working` (the path ending in ".joining"); nothing when
// there is none or it is not one whole record of that form.
std::optional<JoinState> ReadJoinState(const std::filesystem::path& working);
