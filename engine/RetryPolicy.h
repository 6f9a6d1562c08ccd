#pragma once
// How the engine answers the end of one attempt at a task: done, try again (at once or after a
// pause, at the front or the back of the queue, with the same link or a fresh one), or give up
// on the download. A pure function of what the attempt ended in and what the task went through
// before: no threads, no clock, no network. The scheduler feeds it and does what it says.
//
// The rules, and why:
// - A network-class failure (no connection, a body cut short, a server that says it is busy)
//   is retried after a pause that starts at `firstPause` and doubles with each such failure in
//   a row, up to `longestPause`; any bytes that arrived reset the row. A busy server's
//   Retry-After is waited out (up to `longestServerWait`). These are never counted against the
//   file: connections come back, and losing the whole connection is the connectivity check's
//   business (wait until online, then resume).
// - An answer that asking again will not change (a 4xx status, a range ignored or misnamed) is
//   retried with a fresh link, after the same growing pause, kRefusalLimit times in all: enough
//   for a content server that is being switched over or a link that was refused for a moment,
//   few enough that a file the server never serves right fails within a quarter of a minute
//   with the reason on its row, instead of retrying for ever unseen. A refusal of a link that
//   an earlier attempt got is not counted: links expire, and a fresh one is asked for first.
// - A digest that does not match: the same wrong digest every time is the server's file and
//   gives up after kSameDigestLimit retries; digests that change are a flaky path and get
//   kChangingDigestLimit attempts. The same wrong digest is retried first in the queue.
// - Disk problems get kDiskProblemLimit attempts, joins kJoinLimit; a join that finds a chunk
//   file gone hands the download back for a fresh plan at once.
#include <chrono>
#include <cstdint>
#include <optional>

#include "core/ItemState.h"
#include "engine/TransferError.h"

// What an attempt at a task ended in.
enum class AttemptEnd : uint8_t {
    kCompleted,       // the chunk is verified, or the files are joined
    kStopped,         // the engine broke it off (an abort, a pause, a shut-down)
    kNoLink,          // the store gave no link for the chunk's file
    kTransferFailed,  // the transfer failed: see Attempt::transfer
    kBadDigest,       // the bytes arrived but their digest does not match
    kDiskProblem,     // a local file could not be written or read
    kMissingFiles,    // a join found a chunk file gone
    kJoinFailed,      // a join failed on the disk or on the file's digest
};

struct Attempt {
    AttemptEnd end = AttemptEnd::kStopped;
    TransferError transfer = TransferError::kNone;
    int httpStatus = 0;                         // the server's last status; 0 for none
    std::optional<uint64_t> retryAfterSeconds;  // what a busy server asked for
    uint64_t bytesReceived = 0;                 // bytes this attempt added to the chunk
    bool digestsAllSame = true;  // every rejected download of the chunk had one digest
    bool linkReused = false;     // the attempt used the link of an earlier one
};

// What a task went through before; travels with it through every requeue.
struct RetryHistory {
    uint16_t badDigests = 0;
    uint16_t diskProblems = 0;
    uint16_t refusals = 0;
    uint16_t joinFailures = 0;
    uint16_t pausesInARow = 0;  // network-class failures since the last attempt that got bytes
    bool operator==(const RetryHistory&) const = default;
};

enum class RetryAction : uint8_t { kDone, kRetry, kGiveUp };

// Why; the scheduler's log line and the item's error follow from it.
enum class RetryReason : uint8_t {
    kCompleted,
    kStopped,     // requeued as it was, at once
    kNoLink,      // no link: asked again after a pause
    kNetwork,     // a network-class failure
    kServerBusy,  // 408, 429 or 5xx
    kStaleLink,   // a reused link was refused: a fresh one, at once, not counted
    kRefused,     // an answer asking again will not change
    kSameDigest,  // a wrong digest, the same each time
    kChangingDigest,
    kDiskProblem,
    kMissingFiles,
    kJoinFailed,
};

struct RetryDecision {
    RetryAction action = RetryAction::kDone;
    RetryReason reason = RetryReason::kCompleted;
    std::chrono::milliseconds wait{0};  // before the retry joins the queue
    bool atFront = false;
    bool keepLink = false;                  // the retry may use the attempt's link again
    int retriesLeft = 0;                    // for the log line of a counted failure
    ErrorKind errorKind = ErrorKind::None;  // the item's error when giving up
    RetryHistory history;                   // the task's history from now on
};

struct RetryLimits {
    std::chrono::milliseconds firstPause{1000};
    std::chrono::milliseconds longestPause{60000};
    // A Retry-After longer than this is cut to it: a server's word is no reason to sit out days.
    std::chrono::milliseconds longestServerWait{std::chrono::minutes(15)};
};

inline constexpr uint16_t kSameDigestLimit = 3;       // retries; the next failure gives up
inline constexpr uint16_t kChangingDigestLimit = 10;  // attempts in all
inline constexpr uint16_t kDiskProblemLimit = 3;      // attempts in all
inline constexpr uint16_t kRefusalLimit = 5;          // attempts in all
inline constexpr uint16_t kJoinLimit = 3;             // attempts in all

// `jitter` in [0, 1) spreads the pauses of tasks that failed together: a pause is taken as
// between half and all of its nominal length.
RetryDecision Judge(const Attempt& attempt, const RetryHistory& history, const RetryLimits& limits,
                    double jitter);

// The wait the server asked for with its Retry-After, capped at limits.longestServerWait; 0 when
// it asked for none.
std::chrono::milliseconds ServerAskedWait(const Attempt& attempt, const RetryLimits& limits);
