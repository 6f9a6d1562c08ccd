#include "support/LogCapture.h"

LogCapture::LogCapture() {
    Logger().SetObserver([this](Level level, std::u16string_view line) {
        // The prefix ends at the first double space; the time stamp has none.
        const size_t start = line.find(u"  ");
        std::lock_guard lock(mutex_);
        lines_.push_back(
            {level,
             std::u16string(start == std::u16string_view::npos ? line : line.substr(start + 2))});
    });
}

LogCapture::~LogCapture() {
    // The logger calls its observer under its line lock, so no call is under way once this returns.
    Logger().SetObserver(nullptr);
}

std::vector<LogCapture::Line> LogCapture::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::u16string> LogCapture::Messages(Level level) const {
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> messages;
    for (const Line& line : lines_) {
        if (line.level == level) {
            messages.push_back(line.message);
        }
    }
    return messages;
}

size_t LogCapture::Count(std::u16string_view text) const {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const Line& line : lines_) {
        if (line.message.find(text) != std::u16string::npos) {
            ++count;
        }
    }
    return count;
}
