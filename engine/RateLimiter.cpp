#include "engine/RateLimiter.h"

#include <algorithm>

#include "platform/Event.h"

namespace {

// How often a waiting worker looks at its stop events.
constexpr auto kLookAtStops = std::chrono::milliseconds(50);

double BurstOf(uint64_t rate) {
    return static_cast<double>(std::max<uint64_t>(rate / 10, 16384));
}

// How far the account may be overdrawn before a taker waits: 20 ms worth, at least 64 KiB. A
// wait for every block would be as short as a block takes at the limit, and a thread's wake-up
// costs about that much: the connections would run well below the limit. Waits of at least this
// much keep the wake-ups a small part of them; the debt still counts, so the average does not
// move.
double SlackOf(uint64_t rate) {
    return static_cast<double>(std::max<uint64_t>(rate / 50, 65536));
}

bool Stopped(const Event* first, const Event* second) {
    return (first != nullptr && first->IsSet()) || (second != nullptr && second->IsSet());
}

}  // namespace

RateLimiter::RateLimiter()
    : RateLimiter([] { return Clock::now(); },
                  [this](std::unique_lock<std::mutex>& lock, Clock::time_point until) {
                      changed_.wait_until(lock, std::min(until, Clock::now() + kLookAtStops));
                  }) {}

RateLimiter::RateLimiter(std::function<Clock::time_point()> now, Waiter waiter)
    : now_(std::move(now)), waiter_(std::move(waiter)) {}

void RateLimiter::PayLocked(Clock::time_point now) {
    const uint64_t rate = rate_.load(std::memory_order_relaxed);
    const double elapsed = std::chrono::duration<double>(now - paidAt_).count();
    paidAt_ = now;
    if (rate == 0 || elapsed <= 0) {
        return;
    }
    // Paying runs ahead of what was taken by no more than the burst: a quiet spell does not
    // buy a long spell above the limit.
    paid_ = std::min(paid_ + elapsed * static_cast<double>(rate), taken_ + BurstOf(rate));
}

void RateLimiter::SetRate(uint64_t bytesPerSecond) {
    {
        std::lock_guard lock(mutex_);
        const Clock::time_point now = now_();
        if (rate_.load(std::memory_order_relaxed) == 0) {
            // A limit set now starts with a burst in hand, not with whatever came before it.
            taken_ = 0;
            paid_ = BurstOf(bytesPerSecond);
            paidAt_ = now;
        } else {
            PayLocked(now);  // what the old limit paid up to now stays paid
        }
        rate_.store(bytesPerSecond, std::memory_order_relaxed);
    }
    changed_.notify_all();
}

void RateLimiter::Take(uint64_t bytes, const Event* stopFirst, const Event* stopSecond) {
    if (rate_.load(std::memory_order_relaxed) == 0 || bytes == 0) {
        return;
    }
    std::unique_lock lock(mutex_);
    PayLocked(now_());
    taken_ += static_cast<double>(bytes);
    const double mine = taken_;  // paid for once the paid count reaches this
    bool waited = false;
    for (;;) {
        const uint64_t rate = rate_.load(std::memory_order_relaxed);
        if (rate == 0 || paid_ >= mine || Stopped(stopFirst, stopSecond)) {
            return;
        }
        if (!waited && mine - paid_ <= SlackOf(rate)) {
            return;  // a small debt: paid off by whoever takes next
        }
        waited = true;
        // Rounded up, so that the wait always ends with the bytes paid for.
        const auto until = paidAt_ +
                           std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(
                               (mine - paid_) / static_cast<double>(rate))) +
                           Clock::duration(1);
        waiter_(lock, until);
        PayLocked(now_());
    }
}
