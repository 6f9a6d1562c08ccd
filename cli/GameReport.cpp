#include "cli/GameReport.h"

#include <cstdio>

#include "cli/ExitCodes.h"
#include "core/EscapeControls.h"
#include "core/JsonText.h"
#include "core/TextUtil.h"

namespace {

using Digest = DownloadWatch::FileCheck::Digest;

// A completed record's files, looked up (and read, when `readDigests`) on disk.
void JudgeFiles(const DownloadInfo& item, bool readDigests, const std::function<bool()>& proceed,
                GameResult& result) {
    std::vector<DownloadWatch::FileCheck> files =
        DownloadWatch::CheckFiles(item, readDigests, proceed);
    for (const DownloadWatch::FileCheck& file : files) {
        if (file.digest == Digest::kStopped) {
            result.outcome = GameResult::Outcome::Interrupted;
            return;
        }
    }
    for (const DownloadWatch::FileCheck& file : files) {
        if (!file.present || file.sizeOnDisk != file.expectedSize) {
            result.outcome = GameResult::Outcome::Failed;
            result.message = "completed, but " + file.path + " is not on disk at its size";
            return;
        }
    }
    for (const DownloadWatch::FileCheck& file : files) {
        if (readDigests && file.digest != Digest::kMatches) {
            result.outcome = GameResult::Outcome::Failed;
            result.message = "completed in an earlier run, but " + file.path +
                             " does not match its digest; remove the game with its files and "
                             "download it again";
            return;
        }
    }
    result.outcome = GameResult::Outcome::Completed;
    result.files = std::move(files);
}

GameResult JudgeGame(const ItemLifecycle& lifecycle, const DownloadWatch::Game& game,
                     const std::function<bool()>& proceed, bool stopped) {
    GameResult result;
    result.name = game.name;
    const DownloadInfo* item = lifecycle.FindItem(game.name);
    if (item != nullptr) {
        result.title = item->title;
        result.folder = item->folder;
    }
    if (game.outcome == DownloadWatch::Outcome::Failed) {
        result.outcome = GameResult::Outcome::Failed;
        result.message = game.message;
    } else if (game.outcome == DownloadWatch::Outcome::Pending ||
               (stopped && !game.checkedThisRun)) {
        result.outcome = stopped ? GameResult::Outcome::Interrupted : GameResult::Outcome::Failed;
        result.message = stopped ? "interrupted" : "not finished";
    } else if (item == nullptr) {
        result.outcome = GameResult::Outcome::Failed;
        result.message = "the record is gone";
    } else {
        JudgeFiles(*item, !game.checkedThisRun, proceed, result);
    }
    if (result.outcome == GameResult::Outcome::Interrupted && result.message.empty()) {
        result.message = "interrupted";
    }
    return result;
}

}  // namespace

std::vector<GameResult> JudgeGames(const ItemLifecycle& lifecycle, const DownloadWatch& watch,
                                   const std::function<bool()>& proceed, bool stopped,
                                   bool& interrupted) {
    std::vector<GameResult> results;
    for (const DownloadWatch::Game& game : watch.Games()) {
        if (interrupted) {
            GameResult result;
            result.name = game.name;
            result.message = "interrupted";
            results.push_back(std::move(result));
            continue;
        }
        results.push_back(JudgeGame(lifecycle, game, proceed, stopped));
        interrupted = !stopped && results.back().outcome == GameResult::Outcome::Interrupted;
    }
    return results;
}

std::vector<GameResult> FailAll(const std::vector<std::u16string>& names, const std::string& why) {
    std::vector<GameResult> results;
    for (const std::u16string& name : names) {
        GameResult result;
        result.name = name;
        result.outcome = GameResult::Outcome::Failed;
        result.message = why;
        results.push_back(std::move(result));
    }
    return results;
}

bool PrintResultsAsText(const std::vector<GameResult>& results) {
    bool allDone = true;
    for (const GameResult& result : results) {
        const std::string name = WideToUtf8(result.name);
        if (result.outcome != GameResult::Outcome::Completed) {
            allDone = false;
            if (result.outcome == GameResult::Outcome::Failed) {
                PrintError(name + ": " + result.message);
            }
            continue;
        }
        std::string lines;
        for (const DownloadWatch::FileCheck& file : result.files) {
            lines += "  " + EscapeControlsUtf8(file.path) + "  " + std::to_string(file.sizeOnDisk) +
                     " bytes\n";
        }
        std::printf("%s (%s): completed and verified, %zu file(s) in %s\n%s",
                    EscapeControlsUtf8(name).c_str(),
                    EscapeControlsUtf8(WideToUtf8(result.title)).c_str(), result.files.size(),
                    EscapeControlsUtf8(WideToUtf8(result.folder)).c_str(), lines.c_str());
    }
    std::fflush(stdout);
    return allDone;
}

void PrintResultsAsJson(const std::vector<GameResult>& results) {
    for (const GameResult& result : results) {
        const char* outcome = result.outcome == GameResult::Outcome::Completed ? "completed"
                              : result.outcome == GameResult::Outcome::Failed  ? "failed"
                                                                               : "interrupted";
        std::vector<std::string> files;
        for (const DownloadWatch::FileCheck& file : result.files) {
            files.push_back(
                JsonObject().String("path", file.path).Number("size", file.sizeOnDisk).Text());
        }
        const std::string line = JsonObject()
                                     .String("type", "result")
                                     .String("name", WideToUtf8(result.name))
                                     .String("outcome", outcome)
                                     .String("message", result.message)
                                     .String("folder", WideToUtf8(result.folder))
                                     .Raw("files", JsonArray(files))
                                     .Text();
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}
