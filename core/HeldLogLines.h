#pragma once
// Log lines kept back instead of written, so that work spread over several threads can still be
// logged in the order one thread doing it step by step would have logged it. While a LogHold lives
// on a thread, every line that thread logs (through any CDebugPrintf) goes into its HeldLogLines;
// the owner writes them out later, in the order they were logged, stamped with the time they are
// written out. Lines never written out are dropped with their HeldLogLines. A HeldLogLines is used
// by one thread at a time: the holding thread, then (after a hand-over that orders the two) the
// thread that writes it out.
#include <string>
#include <vector>

#include "core/DebugPrintf.h"

class HeldLogLines {
public:
    HeldLogLines() = default;
    HeldLogLines(HeldLogLines&&) = default;
    HeldLogLines& operator=(HeldLogLines&&) = default;
    HeldLogLines(const HeldLogLines&) = delete;
    HeldLogLines& operator=(const HeldLogLines&) = delete;

    // Writes the held lines to the loggers they were meant for, in order, and forgets them.
    void WriteOut();
    bool Empty() const { return lines_.empty(); }

private:
    friend class CDebugPrintf;
    struct Line {
        CDebugPrintf* logger;
        CDebugPrintf::Level level;
        std::u16string message;  // formatted and escaped, without the prefix
    };
    std::vector<Line> lines_;
};

// Diverts the lines of the thread that makes it into `into` until it is destroyed; holds nest.
class LogHold {
public:
    explicit LogHold(HeldLogLines& into);
    ~LogHold();
    LogHold(const LogHold&) = delete;
    LogHold& operator=(const LogHold&) = delete;

    // The hold of the calling thread, or null when its lines are written as they come.
    static HeldLogLines* Current();

private:
    HeldLogLines* previous_;
};
