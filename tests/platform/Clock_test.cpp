#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

namespace {

// Sets TZ for the life of the object and puts the old value back after.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            saved_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

std::time_t RealtimeSeconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

TEST(ClockTest, TickCountCountsMilliseconds) {
    const uint32_t before = TickCount32();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    // Unsigned difference, so a wrap in between does no harm.
    const uint32_t elapsed = TickCount32() - before;
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 10000u);
}

// Local time in a zone 5:30 east of UTC, checked against the C library's own UTC breakdown:
// catches month and year offsets and a zone that is ignored.
TEST(ClockTest, LocalTimeFollowsTheZone) {
    ScopedTimeZone zone("<+0530>-5:30");
    for (int attempt = 0; attempt < 5; ++attempt) {
        // The same clock as the one read inside (time() may read a coarser one that lags).
        const std::time_t first = RealtimeSeconds();
        const LocalTime now = CurrentLocalTime();
        if (RealtimeSeconds() != first) {
            continue;  // a second boundary passed in between; look again
        }
        const std::time_t shifted = first + 5 * 3600 + 30 * 60;
        std::tm expected{};
        gmtime_r(&shifted, &expected);
        EXPECT_EQ(now.year, expected.tm_year + 1900);
        EXPECT_EQ(now.month, expected.tm_mon + 1);
        EXPECT_EQ(now.day, expected.tm_mday);
        EXPECT_EQ(now.hour, expected.tm_hour);
        EXPECT_EQ(now.minute, expected.tm_min);
        EXPECT_EQ(now.second, expected.tm_sec);
        EXPECT_GE(now.milliseconds, 0);
        EXPECT_LE(now.milliseconds, 999);
        return;
    }
    FAIL() << "the clock kept crossing second boundaries";
}

}  // namespace
