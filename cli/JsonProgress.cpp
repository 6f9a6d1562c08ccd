#include "cli/JsonProgress.h"

#include <cstdio>

#include "cli/GameFacts.h"
#include "core/JsonText.h"
#include "core/TextUtil.h"

std::string JsonProgress::Line(const ItemLifecycle& lifecycle, const DownloadInfo& record,
                               const TerminalRows::Row* row, uint32_t kilobytesPerSecond) {
    // The speed meter measures the one transfer under way: the active game's, while it downloads.
    const bool transferring =
        record.state == ItemState::Downloading && lifecycle.ActiveName() == record.name;
    JsonObject line;
    line.String("type", "progress")
        .String("name", WideToUtf8(record.name))
        .String("title", WideToUtf8(record.title))
        .String("state", StateWord(record.state))
        .Number("bytes", BytesDone(record))
        .Number("total", record.total)
        .Number("speed", transferring ? uint64_t{kilobytesPerSecond} * 1024 : 0);
    // The row's estimate, 0 while it is unknown.
    if (transferring && record.remainingSeconds > 0) {
        line.Number("eta", record.remainingSeconds);
    } else {
        line.Null("eta");
    }
    line.String("text", row != nullptr ? TerminalRows::StatusText(*row) : std::string());
    return line.Text();
}

void JsonProgress::Update(const ItemLifecycle& lifecycle, const TerminalRows& rows,
                          const DownloadWatch& watch) {
    std::string out;
    for (const DownloadWatch::Game& game : watch.Games()) {
        const DownloadInfo* record = lifecycle.FindItem(game.name);
        if (record == nullptr) {
            continue;
        }
        std::string line = Line(lifecycle, *record, rows.FindRowById(game.name), rows.Speed());
        std::string& last = last_[game.name];
        if (line != last) {
            out += line + "\n";
            last = std::move(line);
        }
    }
    if (!out.empty()) {
        std::fputs(out.c_str(), stdout);
        std::fflush(stdout);
    }
}
