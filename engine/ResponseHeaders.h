#pragma once
// What the header lines of one HTTP answer say about the bytes that follow: the status, the
// content length and the content range. The lines come from the network, one at a time as
// libcurl hands them over (terminator included), so anything goes: a value that can't be read
// leaves its field unknown, and the transfer decides what an answer without it is worth. Plain
// data and text functions; each transfer owns one, on the thread that runs it.
#include <cstdint>
#include <optional>
#include <string_view>

struct ResponseHeaders {
    int status = 0;            // 0 while no status line was read, or when it held no readable code
    bool headersDone = false;  // the blank line that ends a final (not 1xx) answer's headers
    std::optional<uint64_t> contentLength;
    bool hasContentRange = false;  // "bytes first-last/total" or "bytes */total" was read
    bool unsatisfied = false;      // "bytes */total"
    uint64_t rangeFirst = 0;
    uint64_t rangeLast = 0;
    std::optional<uint64_t> rangeTotal;  // nothing when "*" or unreadable

    // Takes one line of the answer. A status line starts a new answer (after an interim one)
    // from nothing; lines after the end of the headers (trailers) change nothing.
    void TakeLine(std::string_view line);
};
