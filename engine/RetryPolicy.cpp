#include "engine/RetryPolicy.h"

#include <algorithm>

namespace {

using std::chrono::milliseconds;

// The pause before the n-th network-class failure in a row is retried (n from 1): firstPause
// doubled n - 1 times, capped, then shortened by the jitter to between half and all of it.
milliseconds GrowingPause(uint16_t inARow, const RetryLimits& limits, double jitter) {
    milliseconds pause = limits.firstPause;
    for (uint16_t i = 1; i < inARow && pause < limits.longestPause; ++i) {
        pause *= 2;
    }
    pause = std::min(pause, limits.longestPause);
    const double share = 0.5 + 0.5 * std::clamp(jitter, 0.0, 1.0);
    return milliseconds(static_cast<int64_t>(static_cast<double>(pause.count()) * share));
}

bool ServerBusy(int status) {
    return status == 408 || status == 429 || (status >= 500 && status <= 599);
}

RetryDecision Retry(RetryReason reason, const RetryHistory& history) {
    RetryDecision decision;
    decision.action = RetryAction::kRetry;
    decision.reason = reason;
    decision.history = history;
    return decision;
}

RetryDecision GiveUp(RetryReason reason, const RetryHistory& history, ErrorKind kind) {
    RetryDecision decision;
    decision.action = RetryAction::kGiveUp;
    decision.reason = reason;
    decision.history = history;
    decision.errorKind = kind;
    return decision;
}

// A failure that asking again may mend by itself: retried after a growing pause, never counted.
RetryDecision AfterAPause(RetryReason reason, const Attempt& attempt, RetryHistory history,
                          const RetryLimits& limits, double jitter) {
    if (attempt.bytesReceived > 0) {
        history.pausesInARow = 0;
    }
    if (history.pausesInARow < UINT16_MAX) {
        ++history.pausesInARow;
    }
    RetryDecision decision = Retry(reason, history);
    decision.wait = std::max(GrowingPause(history.pausesInARow, limits, jitter),
                             ServerAskedWait(attempt, limits));
    return decision;
}

RetryDecision JudgeTransfer(const Attempt& attempt, RetryHistory history, const RetryLimits& limits,
                            double jitter) {
    switch (attempt.transfer) {
        case TransferError::kInterrupted:
            return Retry(RetryReason::kStopped, history);
        case TransferError::kLocalFile:
            break;  // a disk problem, below
        case TransferError::kBodyCutShort: {
            // The server sent the right bytes over this link: the retry resumes with it.
            RetryDecision decision =
                AfterAPause(RetryReason::kNetwork, attempt, history, limits, jitter);
            decision.keepLink = true;
            return decision;
        }
        case TransferError::kNone:
        case TransferError::kSession:
        case TransferError::kConnection:
            return AfterAPause(RetryReason::kNetwork, attempt, history, limits, jitter);
        case TransferError::kHttpStatus:
            if (ServerBusy(attempt.httpStatus)) {
                RetryDecision decision =
                    AfterAPause(RetryReason::kServerBusy, attempt, history, limits, jitter);
                decision.keepLink = true;
                return decision;
            }
            [[fallthrough]];
        case TransferError::kWrongAnswer: {
            if (attempt.linkReused) {
                return Retry(RetryReason::kStaleLink, history);
            }
            ++history.refusals;
            if (history.refusals >= kRefusalLimit) {
                return GiveUp(RetryReason::kRefused, history, ErrorKind::FileGaveUp);
            }
            RetryDecision decision =
                AfterAPause(RetryReason::kRefused, attempt, history, limits, jitter);
            decision.retriesLeft = kRefusalLimit - history.refusals;
            return decision;
        }
    }
    ++history.diskProblems;
    if (history.diskProblems >= kDiskProblemLimit) {
        return GiveUp(RetryReason::kDiskProblem, history, ErrorKind::DiskWrite);
    }
    RetryDecision decision = Retry(RetryReason::kDiskProblem, history);
    decision.retriesLeft = kDiskProblemLimit - history.diskProblems;
    return decision;
}

}  // namespace

RetryDecision Judge(const Attempt& attempt, const RetryHistory& history, const RetryLimits& limits,
                    double jitter) {
    RetryHistory next = history;
    switch (attempt.end) {
        case AttemptEnd::kCompleted: {
            RetryDecision decision;
            decision.history = history;
            return decision;
        }
        case AttemptEnd::kStopped:
            return Retry(RetryReason::kStopped, history);
        case AttemptEnd::kNoLink:
            return AfterAPause(RetryReason::kNoLink, attempt, history, limits, jitter);
        case AttemptEnd::kTransferFailed:
            return JudgeTransfer(attempt, history, limits, jitter);
        case AttemptEnd::kBadDigest: {
            ++next.badDigests;
            if (attempt.digestsAllSame) {
                if (next.badDigests > kSameDigestLimit) {
                    return GiveUp(RetryReason::kSameDigest, next, ErrorKind::FileGaveUp);
                }
                RetryDecision decision = Retry(RetryReason::kSameDigest, next);
                decision.atFront = true;
                decision.retriesLeft = kSameDigestLimit - next.badDigests;
                return decision;
            }
            if (next.badDigests >= kChangingDigestLimit) {
                return GiveUp(RetryReason::kChangingDigest, next, ErrorKind::FileGaveUp);
            }
            RetryDecision decision = Retry(RetryReason::kChangingDigest, next);
            decision.retriesLeft = kChangingDigestLimit - next.badDigests;
            return decision;
        }
        case AttemptEnd::kDiskProblem: {
            Attempt asTransfer = attempt;
            asTransfer.transfer = TransferError::kLocalFile;
            return JudgeTransfer(asTransfer, history, limits, jitter);
        }
        case AttemptEnd::kMissingFiles:
            return GiveUp(RetryReason::kMissingFiles, next, ErrorKind::None);
        case AttemptEnd::kJoinFailed: {
            ++next.joinFailures;
            if (next.joinFailures >= kJoinLimit) {
                return GiveUp(RetryReason::kJoinFailed, next, ErrorKind::None);
            }
            RetryDecision decision = Retry(RetryReason::kJoinFailed, next);
            decision.retriesLeft = kJoinLimit - next.joinFailures;
            return decision;
        }
    }
    return Retry(RetryReason::kStopped, history);
}

std::chrono::milliseconds ServerAskedWait(const Attempt& attempt, const RetryLimits& limits) {
    if (!attempt.retryAfterSeconds) {
        return std::chrono::milliseconds(0);
    }
    const auto cap = std::chrono::duration_cast<std::chrono::seconds>(limits.longestServerWait);
    if (*attempt.retryAfterSeconds >= static_cast<uint64_t>(cap.count())) {
        return limits.longestServerWait;
    }
    return std::chrono::seconds(*attempt.retryAfterSeconds);
}
