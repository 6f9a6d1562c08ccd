#include "platform/Clock.h"

#include <chrono>
#include <ctime>

uint32_t TickCount32() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

LocalTime CurrentLocalTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    localtime_r(&ts.tv_sec, &parts);
    LocalTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    t.milliseconds = static_cast<int>(ts.tv_nsec / 1000000);
    return t;
}

namespace {
class SystemClock final : public Clock {
public:
    uint32_t TickCount() const override { return TickCount32(); }
    LocalTime Now() const override { return CurrentLocalTime(); }
};
}  // namespace

const Clock& Clock::System() {
    static const SystemClock clock;
    return clock;
}
