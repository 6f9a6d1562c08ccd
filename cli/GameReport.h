#pragma once
// What became of each game a download run was asked for, judged once at the end and then printed
// as text or as JSON lines. A game counts as completed only with every finished file on disk at
// its size and checked against its digest in this run: one the engine finished now was checked
// by it; one completed in an earlier run has its files read and compared here. Main thread only.
#include <functional>
#include <string>
#include <vector>

#include "cli/DownloadWatch.h"

struct GameResult {
    enum class Outcome { Completed, Failed, Interrupted };

    std::u16string name;
    std::u16string title;
    std::u16string folder;
    Outcome outcome = Outcome::Interrupted;
    std::string message;                          // why it failed; empty otherwise
    std::vector<DownloadWatch::FileCheck> files;  // completed: its files as found on disk
};

// The games of `watch`, in its order. `proceed` is asked while files are read; when it says no,
// that game and the ones after it are Interrupted and `interrupted` is set. With `stopped` (the
// run was interrupted) no file is read: only a game the engine finished and checked in this run
// can be completed; the others that did not fail are Interrupted.
std::vector<GameResult> JudgeGames(const ItemLifecycle& lifecycle, const DownloadWatch& watch,
                                   const std::function<bool()>& proceed, bool stopped,
                                   bool& interrupted);

// Every game failed for one reason of the run's (a refused sign-in, say).
std::vector<GameResult> FailAll(const std::vector<std::u16string>& names, const std::string& why);

// Completed games on standard output with their files, failed ones on standard error; nothing for
// an interrupted one (the run says so once). True when every game completed.
bool PrintResultsAsText(const std::vector<GameResult>& results);

// One "result" line a game on standard output.
void PrintResultsAsJson(const std::vector<GameResult>& results);
