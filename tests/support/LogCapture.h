#pragma once
// Collects the lines of the process's logger while it lives, for tests that check what was
// logged. It takes the logger's one observer slot: one capture at a time, and none in a test of
// the logger's own observer. Lines may come from any thread; the queries are safe at any time.
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/DebugPrintf.h"

class LogCapture {
public:
    using Level = CDebugPrintf::Level;

    struct Line {
        Level level;
        // The message alone: the "[WRN] s.mmm MM/DD/YYYY hh:mm:ss  " prefix is cut off.
        std::u16string message;
        bool operator==(const Line&) const = default;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every line so far, in the order logged.
    std::vector<Line> Lines() const;
    // The messages logged at `level`, in order.
    std::vector<std::u16string> Messages(Level level) const;
    std::vector<std::u16string> Warnings() const { return Messages(Level::Warning); }

    // Whether some message contains `text`.
    bool Contains(std::u16string_view text) const { return Count(text) > 0; }
    // How many messages contain `text`.
    size_t Count(std::u16string_view text) const;

private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};
