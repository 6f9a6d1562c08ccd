#include "core/HeldLogLines.h"

namespace {

thread_local HeldLogLines* currentHold = nullptr;

}  // namespace

void HeldLogLines::WriteOut() {
    std::vector<Line> lines = std::move(lines_);
    lines_.clear();
    for (Line& line : lines) {
        line.logger->WriteLine(line.level, line.message);
    }
}

LogHold::LogHold(HeldLogLines& into) : previous_(currentHold) {
    currentHold = &into;
}

LogHold::~LogHold() {
    currentHold = previous_;
}

HeldLogLines* LogHold::Current() {
    return currentHold;
}
