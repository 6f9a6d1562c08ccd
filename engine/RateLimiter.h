#pragma once
// The speed limit the user sets for the whole program. Every worker takes the bytes it has just
// moved from one shared account that is paid off at the limit's rate, and waits until what it
// took is paid for: the sum over all connections keeps to the limit whatever their number, and
// a new limit applies at once, to the waits already under way too, without any transfer being
// restarted. Bytes held back this way stay in the connection's buffers, and the server, finding
// them full, sends no faster. Up to a tenth of a second's worth (at least 16 KiB) may be taken
// ahead after a quiet spell, and a taker only waits once the account is overdrawn by more than
// 20 ms worth (at least 64 KiB), then until its bytes are paid for. Any thread; without a limit a
// take costs one atomic read.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

class Event;

class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;
    // How a taker waits, the lock held on entry and on return: until `until` at the latest.
    using Waiter = std::function<void(std::unique_lock<std::mutex>&, Clock::time_point until)>;

    // The real clock, and waits that a new limit or a stop ends early.
    RateLimiter();
    // For tests: a clock and a way of waiting of their own.
    RateLimiter(std::function<Clock::time_point()> now, Waiter waiter);

    // Bytes per second; 0: no limit (every wait ends).
    void SetRate(uint64_t bytesPerSecond);
    uint64_t Rate() const { return rate_.load(std::memory_order_relaxed); }

    // Takes `bytes` and waits until they are paid for. A set event (null for none) ends the wait
    // early; the caller looks at why. Returns at once without a limit.
    void Take(uint64_t bytes, const Event* stopFirst = nullptr, const Event* stopSecond = nullptr);

private:
    // Brings the paid count up to now at the current rate; mutex_ held.
    void PayLocked(Clock::time_point now);

    std::function<Clock::time_point()> now_;
    Waiter waiter_;
    std::atomic<uint64_t> rate_{0};
    std::mutex mutex_;
    std::condition_variable changed_;  // a new limit
    // Guarded by mutex_: bytes taken and bytes paid for since the limit was set, and when the
    // paid count was last brought up to date.
    double taken_ = 0;
    double paid_ = 0;
    Clock::time_point paidAt_{};
};
