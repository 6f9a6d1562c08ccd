#include "engine/RateLimiter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Event.h"

namespace {

using Clock = RateLimiter::Clock;
using namespace std::chrono_literals;

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kBlock = 10240;  // what a worker moves at a time

// A limiter on a clock of its own that waits by moving its clock on.
struct FakeTime {
    Clock::time_point now = Clock::time_point{} + 1h;
    RateLimiter limiter{[this] { return now; },
                        [this](std::unique_lock<std::mutex>&, Clock::time_point until) {
                            now = std::max(now, until);
                        }};
    double Seconds(Clock::time_point since) const {
        return std::chrono::duration<double>(now - since).count();
    }
};

// Taken in blocks, the bytes come at the limit (after the first tenth of a second's worth), a
// new limit applies to the next bytes, and without a limit nothing waits.
TEST(RateLimiter, BytesTakenKeepToTheLimitAndANewLimitAppliesAtOnce) {
    for (const uint64_t rate : {kMiB, 8 * kMiB, 50 * kMiB}) {
        SCOPED_TRACE(rate);
        FakeTime time;
        time.limiter.SetRate(rate);
        const Clock::time_point start = time.now;
        uint64_t taken = 0;
        while (taken < 10 * rate) {  // ten seconds' worth
            time.limiter.Take(kBlock);
            taken += kBlock;
        }
        // Paid for but the burst, and but the last debt a taker need not wait for (20 ms worth,
        // at least 64 KiB).
        const double burst = static_cast<double>(rate) / 10;
        const double slack = std::max(static_cast<double>(rate) / 50, 65536.0);
        const double expected = (static_cast<double>(taken) - burst) / static_cast<double>(rate);
        EXPECT_LE(time.Seconds(start), expected + 0.001);
        EXPECT_GE(time.Seconds(start), expected - slack / static_cast<double>(rate) - 0.001);
        // Over the ten seconds: within 2 % of the limit.
        EXPECT_NEAR(static_cast<double>(taken) / time.Seconds(start) / static_cast<double>(rate),
                    1.0, 0.02);

        // Four times the limit from now on: the next 4 s worth of it take 1 s.
        time.limiter.SetRate(4 * rate);
        const Clock::time_point raised = time.now;
        for (uint64_t more = 0; more < 4 * rate; more += kBlock) {
            time.limiter.Take(kBlock);
        }
        EXPECT_NEAR(time.Seconds(raised), 1.0, 0.03);

        time.limiter.SetRate(0);
        const Clock::time_point unlimited = time.now;
        time.limiter.Take(100 * rate);
        EXPECT_EQ(time.now, unlimited);
    }
}

// A quiet spell buys no more than a tenth of a second above the limit.
TEST(RateLimiter, AQuietSpellBuysOnlyABurst) {
    FakeTime time;
    time.limiter.SetRate(kMiB);
    time.now += 60s;
    const Clock::time_point start = time.now;
    time.limiter.Take(kMiB / 10);
    EXPECT_EQ(time.now, start) << "a burst is in hand";
    time.limiter.Take(kMiB);
    EXPECT_NEAR(time.Seconds(start), 1.0, 0.001) << "a wait pays the taker's bytes in full";
}

// Many workers at once share the one limit; a lower limit or a stop ends the waits of those
// already waiting.
TEST(RateLimiter, WorkersShareTheLimitAndAStopOrNoLimitEndsTheirWaits) {
    RateLimiter limiter;
    constexpr uint64_t kRate = 8 * kMiB;
    limiter.SetRate(kRate);
    std::atomic<uint64_t> total{0};
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (int i = 0; i < 6; ++i) {
        workers.emplace_back([&] {
            while (total.fetch_add(kBlock) < 4 * kMiB) {
                limiter.Take(kBlock);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Never faster than the limit (with the burst); slower only as the machine makes it.
    EXPECT_LE(4.0 * kMiB - kRate / 10.0, seconds * kRate * 1.05);

    limiter.SetRate(1024);  // a kilobyte a second: a megabyte would take 17 minutes
    Event stop(true, false);
    std::thread waiting([&] { limiter.Take(kMiB, &stop); });
    std::thread second([&] { limiter.Take(kMiB); });
    std::this_thread::sleep_for(100ms);
    const auto asked = Clock::now();
    stop.Set();
    waiting.join();
    limiter.SetRate(0);
    second.join();
    EXPECT_LT(Clock::now() - asked, 5s);
}

}  // namespace
