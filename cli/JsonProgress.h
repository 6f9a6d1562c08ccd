#pragma once
// The "progress" lines of a download run with --json: for each game asked for, one JSON object on
// standard output whenever what its row shows changed - state, bytes done and in all, the speed
// while it is the game transferring, the time left and the row's text - and never twice the same.
// Main (user-interface) thread only.
#include <map>
#include <string>

#include "app/ItemLifecycle.h"
#include "cli/DownloadWatch.h"
#include "cli/TerminalRows.h"

class JsonProgress {
public:
    // Writes a line for every game of `watch` whose line differs from the last one written.
    void Update(const ItemLifecycle& lifecycle, const TerminalRows& rows,
                const DownloadWatch& watch);

    // The line of one listed game; `kilobytesPerSecond` is the speed meter's last sample.
    static std::string Line(const ItemLifecycle& lifecycle, const DownloadInfo& record,
                            const TerminalRows::Row* row, uint32_t kilobytesPerSecond);

private:
    std::map<std::u16string, std::string> last_;
};
