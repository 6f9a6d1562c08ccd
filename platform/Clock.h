#pragma once
// Time sources: a 32-bit millisecond tick count that wraps like the one the log stamps use,
// and the local calendar time. Everything timed takes a Clock so tests can inject one.
#include <cstdint>

struct LocalTime {
    int year = 0;    // full year, e.g. 2011
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..60
    int milliseconds = 0;
};

// Milliseconds of a monotonic clock, truncated to 32 bits (wraps after about 49.7 days).
uint32_t TickCount32();

LocalTime CurrentLocalTime();

// Injectable time source. Safe to call from any thread.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t TickCount() const = 0;
    virtual LocalTime Now() const = 0;

    // The real clock, valid for the life of the process.
    static const Clock& System();
};
