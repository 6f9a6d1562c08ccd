// The retry policy on its own: every kind of attempt end, with the history it meets, against the
// decision it must give. No threads, no store.
#include "engine/RetryPolicy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

Attempt Ended(AttemptEnd end) {
    Attempt attempt;
    attempt.end = end;
    return attempt;
}

Attempt Failed(TransferError error, int status = 0) {
    Attempt attempt = Ended(AttemptEnd::kTransferFailed);
    attempt.transfer = error;
    attempt.httpStatus = status;
    return attempt;
}

Attempt With(Attempt attempt, void (*change)(Attempt&)) {
    change(attempt);
    return attempt;
}

RetryHistory History(void (*change)(RetryHistory&)) {
    RetryHistory history;
    change(history);
    return history;
}

struct Expected {
    RetryAction action;
    RetryReason reason;
    milliseconds wait{0};
    bool atFront = false;
    bool keepLink = false;
    int retriesLeft = 0;
    ErrorKind errorKind = ErrorKind::None;
};

struct JudgeCase {
    std::string label;
    Attempt attempt;
    RetryHistory history;
    Expected expected;
    RetryHistory after;
};

std::vector<JudgeCase> Cases() {
    using A = RetryAction;
    using R = RetryReason;
    using T = TransferError;
    const RetryHistory none;
    std::vector<JudgeCase> cases = {
        {"a verified chunk is done",
         Ended(AttemptEnd::kCompleted),
         none,
         {A::kDone, R::kCompleted},
         none},
        {"a task the engine broke off goes back as it was",
         Ended(AttemptEnd::kStopped),
         History([](RetryHistory& h) { h.pausesInARow = 3; }),
         {A::kRetry, R::kStopped},
         History([](RetryHistory& h) { h.pausesInARow = 3; })},
        {"no link: a pause, then ask again",
         Ended(AttemptEnd::kNoLink),
         none,
         {A::kRetry, R::kNoLink, seconds(1)},
         History([](RetryHistory& h) { h.pausesInARow = 1; })},
        {"a failed connection waits 1 s and asks for a fresh link",
         Failed(T::kConnection),
         none,
         {A::kRetry, R::kNetwork, seconds(1)},
         History([](RetryHistory& h) { h.pausesInARow = 1; })},
        {"the pause doubles with each failure in a row",
         Failed(T::kConnection),
         History([](RetryHistory& h) { h.pausesInARow = 3; }),
         {A::kRetry, R::kNetwork, seconds(8)},
         History([](RetryHistory& h) { h.pausesInARow = 4; })},
        {"and stops growing at a minute",
         Failed(T::kSession),
         History([](RetryHistory& h) { h.pausesInARow = 40; }),
         {A::kRetry, R::kNetwork, seconds(60)},
         History([](RetryHistory& h) { h.pausesInARow = 41; })},
        {"bytes that arrived reset the row; a cut body keeps its link",
         With(Failed(T::kBodyCutShort), [](Attempt& a) { a.bytesReceived = 1; }),
         History([](RetryHistory& h) { h.pausesInARow = 6; }),
         {A::kRetry, R::kNetwork, seconds(1), false, true},
         History([](RetryHistory& h) { h.pausesInARow = 1; })},
        {"a busy server's Retry-After is waited out with the link kept",
         With(Failed(T::kHttpStatus, 503), [](Attempt& a) { a.retryAfterSeconds = 2; }),
         none,
         {A::kRetry, R::kServerBusy, seconds(2), false, true},
         History([](RetryHistory& h) { h.pausesInARow = 1; })},
        {"a Retry-After shorter than the pause does not shorten it",
         With(Failed(T::kHttpStatus, 429), [](Attempt& a) { a.retryAfterSeconds = 1; }),
         History([](RetryHistory& h) { h.pausesInARow = 2; }),
         {A::kRetry, R::kServerBusy, seconds(4), false, true},
         History([](RetryHistory& h) { h.pausesInARow = 3; })},
        {"a Retry-After of days is cut to a quarter of an hour",
         With(Failed(T::kHttpStatus, 503), [](Attempt& a) { a.retryAfterSeconds = UINT64_MAX; }),
         none,
         {A::kRetry, R::kServerBusy, std::chrono::minutes(15), false, true},
         History([](RetryHistory& h) { h.pausesInARow = 1; })},
        {"a 500 is a busy server, never counted against the file",
         Failed(T::kHttpStatus, 500),
         History([](RetryHistory& h) { h.refusals = 4; }),
         {A::kRetry, R::kServerBusy, seconds(1), false, true},
         History([](RetryHistory& h) {
             h.refusals = 4;
             h.pausesInARow = 1;
         })},
        {"a 404 is a refusal: counted, a pause, a fresh link",
         Failed(T::kHttpStatus, 404),
         none,
         {A::kRetry, R::kRefused, seconds(1), false, false, 4},
         History([](RetryHistory& h) {
             h.refusals = 1;
             h.pausesInARow = 1;
         })},
        {"the fifth refusal gives the file up",
         Failed(T::kWrongAnswer),
         History([](RetryHistory& h) { h.refusals = 4; }),
         {A::kGiveUp, R::kRefused, milliseconds(0), false, false, 0, ErrorKind::FileGaveUp},
         History([](RetryHistory& h) { h.refusals = 5; })},
        {"a reused link that is refused is replaced at once, uncounted",
         With(Failed(T::kHttpStatus, 403), [](Attempt& a) { a.linkReused = true; }),
         History([](RetryHistory& h) { h.refusals = 4; }),
         {A::kRetry, R::kStaleLink},
         History([](RetryHistory& h) { h.refusals = 4; })},
        {"the same wrong digest is retried first in the queue",
         Ended(AttemptEnd::kBadDigest),
         none,
         {A::kRetry, R::kSameDigest, {}, true, false, 2},
         History([](RetryHistory& h) { h.badDigests = 1; })},
        {"the same wrong digest a fourth time gives up",
         Ended(AttemptEnd::kBadDigest),
         History([](RetryHistory& h) { h.badDigests = 3; }),
         {A::kGiveUp, R::kSameDigest, {}, false, false, 0, ErrorKind::FileGaveUp},
         History([](RetryHistory& h) { h.badDigests = 4; })},
        {"changing digests get ten attempts",
         With(Ended(AttemptEnd::kBadDigest), [](Attempt& a) { a.digestsAllSame = false; }),
         History([](RetryHistory& h) { h.badDigests = 8; }),
         {A::kRetry, R::kChangingDigest, {}, false, false, 1},
         History([](RetryHistory& h) { h.badDigests = 9; })},
        {"the tenth changing digest gives up",
         With(Ended(AttemptEnd::kBadDigest), [](Attempt& a) { a.digestsAllSame = false; }),
         History([](RetryHistory& h) { h.badDigests = 9; }),
         {A::kGiveUp, R::kChangingDigest, {}, false, false, 0, ErrorKind::FileGaveUp},
         History([](RetryHistory& h) { h.badDigests = 10; })},
        {"a disk problem is retried at once",
         Failed(T::kLocalFile),
         none,
         {A::kRetry, R::kDiskProblem, {}, false, false, 2},
         History([](RetryHistory& h) { h.diskProblems = 1; })},
        {"the third disk problem fails the item as a disk error",
         Ended(AttemptEnd::kDiskProblem),
         History([](RetryHistory& h) { h.diskProblems = 2; }),
         {A::kGiveUp, R::kDiskProblem, {}, false, false, 0, ErrorKind::DiskWrite},
         History([](RetryHistory& h) { h.diskProblems = 3; })},
        {"a join missing a chunk file hands the download back at once",
         Ended(AttemptEnd::kMissingFiles),
         none,
         {A::kGiveUp, R::kMissingFiles},
         none},
        {"a failed join is tried three times",
         Ended(AttemptEnd::kJoinFailed),
         History([](RetryHistory& h) { h.joinFailures = 1; }),
         {A::kRetry, R::kJoinFailed, {}, false, false, 1},
         History([](RetryHistory& h) { h.joinFailures = 2; })},
        {"and then handed back",
         Ended(AttemptEnd::kJoinFailed),
         History([](RetryHistory& h) { h.joinFailures = 2; }),
         {A::kGiveUp, R::kJoinFailed},
         History([](RetryHistory& h) { h.joinFailures = 3; })},
        {"an interrupted transfer goes back as it was",
         Failed(T::kInterrupted),
         none,
         {A::kRetry, R::kStopped},
         none},
    };
    return cases;
}

TEST(RetryPolicy, JudgesEveryKindOfEnd) {
    RetryLimits limits;  // 1 s doubling to 60 s
    for (const JudgeCase& c : Cases()) {
        SCOPED_TRACE(c.label);
        // The greatest jitter keeps a pause at its full length, so that the table can name it.
        const RetryDecision got = Judge(c.attempt, c.history, limits, 1.0);
        EXPECT_EQ(got.action, c.expected.action);
        EXPECT_EQ(got.reason, c.expected.reason);
        EXPECT_EQ(got.wait.count(), c.expected.wait.count());
        EXPECT_EQ(got.atFront, c.expected.atFront);
        EXPECT_EQ(got.keepLink, c.expected.keepLink);
        EXPECT_EQ(got.retriesLeft, c.expected.retriesLeft);
        EXPECT_EQ(got.errorKind, c.expected.errorKind);
        EXPECT_TRUE(got.history == c.after);
    }
}

TEST(RetryPolicy, JitterShortensAPauseToBetweenHalfAndAllOfIt) {
    const RetryLimits limits;
    RetryHistory history;
    history.pausesInARow = 2;  // the next pause is nominally 4 s
    const Attempt attempt = Failed(TransferError::kConnection);
    EXPECT_EQ(Judge(attempt, history, limits, 0.0).wait, milliseconds(2000));
    EXPECT_EQ(Judge(attempt, history, limits, 0.5).wait, milliseconds(3000));
    EXPECT_EQ(Judge(attempt, history, limits, 1.0).wait, milliseconds(4000));
    // A server's own wait is never shortened.
    Attempt busy = Failed(TransferError::kHttpStatus, 503);
    busy.retryAfterSeconds = 30;
    EXPECT_EQ(Judge(busy, history, limits, 0.0).wait, seconds(30));
}

}  // namespace
