#pragma once
// What the header lines of one HTTP answer say about the bytes that follow: the status, the
// content length, the content range and how long a busy server asks the client to wait. The lines
// come from the network, one at a time as libcurl hands them over (terminator included), so
// anything goes: a value that can't be read whole, or that contradicts itself, leaves its field
// unknown, and the transfer decides what an answer without it is worth. Plain data and text
// functions; each transfer owns one, on the thread that runs it.
#include <cstdint>
#include <optional>
#include <string_view>

class ResponseHeaders {
public:
    // Takes one line of the answer. A status line starts a new answer (after an interim one)
    // from nothing; lines after the end of the headers (trailers) change nothing.
    void TakeLine(std::string_view line);

    // What was read so far; fields only the owner's reads look at.
    int status = 0;            // the three-digit code; 0 while no status line held one
    bool headersDone = false;  // the blank line that ends a final (not 1xx) answer's headers
    // A number beyond 64 bits, anything but digits, or two Content-Length lines that disagree
    // leave the length unknown.
    std::optional<uint64_t> contentLength;
    // "bytes first-last/total" with first <= last < total (or total "*"), or "bytes */total".
    // Anything else, or two Content-Range lines that disagree, leave no range.
    bool hasContentRange = false;
    bool unsatisfied = false;  // "bytes */total"
    uint64_t rangeFirst = 0;
    uint64_t rangeLast = 0;
    std::optional<uint64_t> rangeTotal;  // nothing when "*"
    // "Retry-After": how long to wait before asking again, as a number of seconds or as an HTTP
    // date (seconds since 1970); at most one of the two. A value that is neither is ignored.
    std::optional<uint64_t> retryAfterSeconds;
    std::optional<int64_t> retryAfterDate;

private:
    struct Range {
        bool valid = false;
        bool unsatisfied = false;
        uint64_t first = 0;
        uint64_t last = 0;
        std::optional<uint64_t> total;
        bool operator==(const Range&) const = default;
    };
    static Range ReadRange(std::string_view value);
    void TakeLength(std::string_view value);
    void TakeRange(std::string_view value);
    void TakeRetryAfter(std::string_view value);

    // A field's lines so far: none, one value (or several the same), or values that disagree.
    enum class Seen : uint8_t { None, Once, Conflict };
    Seen lengthSeen_ = Seen::None;
    Seen rangeSeen_ = Seen::None;
    Range range_;
};
