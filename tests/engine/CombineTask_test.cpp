#include "engine/CombineTask.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "core/DownloadInfo.h"
#include "core/MessageQueue.h"
#include "core/Overloaded.h"
#include "engine/Md5Context.h"
#include "support/ChunkFixtures.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"
#include "support/WaitFor.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kAll = kAllBits;
const std::u16string kGame = u"mygame";

// A posted event in a form that compares and prints well: the number log lines name it by, and
// its fields.
struct Posted {
    uint32_t id = 0;
    uint64_t file = 0;
    uint64_t chunk = 0;
    uint64_t bytes = 0;
    std::optional<FileProgressReset::Reason> reason;
    bool operator==(const Posted&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Posted& posted) {
    return out << "{0x" << std::hex << posted.id - WM_APP << std::dec << " file " << posted.file
               << " chunk " << posted.chunk << " bytes " << posted.bytes << " reason "
               << (posted.reason ? static_cast<int>(*posted.reason) : -1) << "}";
}

Posted Combine(uint64_t file, uint64_t chunk, uint64_t bytes) {
    return {WM_APP_COMBINE_PROGRESS, file, chunk, bytes, std::nullopt};
}
Posted Check(uint64_t file, uint64_t bytes) {
    return {WM_APP_CHECK_PROGRESS, file, 0, bytes, std::nullopt};
}
Posted Reset(uint64_t file) {
    return {WM_APP_FILE_PROGRESS_RESET, file, 0, 0, FileProgressReset::Reason::kFileJoined};
}
Posted Begin() {
    return {WM_APP_FILE_PROGRESS_RESET_ON_COMBINE, 0, 0, 0,
            FileProgressReset::Reason::kCombineStarting};
}
Posted Finished() {
    return {WM_APP_ITEM_FINISHED, 0, 0, 0, std::nullopt};
}

// Records every post (checking the game name in each event); `onPost` lets a test act at an
// exact point of the sequence, as a user or the engine would between two steps.
class Window final : public MessageTarget {
public:
    void Post(AppEvent event) override {
        Posted posted;
        posted.id = LogNumberOf(event);
        std::visit(Overloaded{
                       [&](const CombineProgress& e) {
                           EXPECT_EQ(e.gameName, kGame);
                           posted.file = e.fileId;
                           posted.chunk = e.chunkId;
                           posted.bytes = e.byteCount;
                       },
                       [&](const CheckProgress& e) {
                           EXPECT_EQ(e.gameName, kGame);
                           posted.file = e.fileId;
                           posted.bytes = e.byteCount;
                       },
                       [&](const FileProgressReset& e) {
                           EXPECT_EQ(e.gameName, kGame);
                           posted.file = e.fileId;
                           posted.reason = e.reason;
                       },
                       [&](const ItemFinished& e) {
                           EXPECT_EQ(e.gameName, kGame);
                           EXPECT_FALSE(e.partially);
                       },
                       [](const auto&) { ADD_FAILURE() << "an event a combine task never posts"; },
                   },
                   event);
        posts.push_back(posted);
        if (onPost) {
            onPost(posted);
        }
    }
    std::vector<Posted> posts;
    std::function<void(const Posted&)> onPost;
};

class CombineTaskTest : public ::testing::Test {
protected:
    CombineTaskOutcome Run(const std::vector<CombineEntry>& entries) {
        CombineTaskOptions options;
        options.blockSize = 4;
        options.clearCurrentDownload = [this] { clearedAt = window.posts.size(); };
        return RunCombineTask(kGame, entries, window, points, options);
    }

    TempDir dir;
    Window window;
    Event terminate{true, false};
    Event breakTask{true, false};
    PauseGate gate;
    WorkerCheckPoint points{&terminate, &breakTask, &gate};
    size_t clearedAt = SIZE_MAX;
};

TEST_F(CombineTaskTest, JoinsChecksAndCleansUpWithProgressInOrder) {
    const GameFile file = MakeGameFile(dir.Path() / "game.bin", {6, 4, 3}, 1);
    const CombineTaskOutcome outcome = Run({file.entry});

    EXPECT_EQ(outcome.state, CombineTaskOutcome::kCompleted);
    EXPECT_EQ(outcome.result, CombineTaskOutcome::kNoResult);
    EXPECT_EQ(outcome.stoppedBy, WorkerStop::kNone);
    const std::vector<Posted> expected = {
        Begin(),          Combine(0, 0, 4), Combine(0, 0, 6), Combine(0, 1, 0),
        Combine(0, 1, 4), Combine(0, 2, 0), Combine(0, 2, 3), Combine(0, kAll, kAll),
        Reset(0),         Check(0, 13),     Check(0, kAll),   Finished(),
    };
    EXPECT_EQ(window.posts, expected);
    EXPECT_EQ(clearedAt, expected.size() - 1) << "current download cleared before the report";
    EXPECT_EQ(ReadFile(file.finished), file.content);
    EXPECT_EQ(file.ChunksLeft(), 0u);
    EXPECT_FALSE(fs::exists(file.finished.string() + ".joining"));
}

TEST_F(CombineTaskTest, AnAlreadyJoinedFileIsReadForItsCheck) {
    const GameFile file = MakeGameFile(dir.Path() / "game.bin", {5, 5}, 2);
    WriteFile(file.finished, file.content);

    EXPECT_EQ(Run({file.entry}).state, CombineTaskOutcome::kCompleted);
    const std::vector<Posted> expected = {
        Begin(),     Combine(0, kAll, kAll), Reset(0),       Check(0, 4),
        Check(0, 8), Check(0, 10),           Check(0, kAll), Finished(),
    };
    EXPECT_EQ(window.posts, expected);
    EXPECT_EQ(file.ChunksLeft(), 0u);
    EXPECT_EQ(ReadFile(file.finished), file.content);
}

TEST_F(CombineTaskTest, FailuresGiveTheirResultsAndLeaveTheRightFiles) {
    struct Case {
        const char* what;
        void (*spoil)(GameFile& file);
        uint32_t result;
        size_t chunksLeft;
        // Bytes of the working file kept for the next attempt (its chunks that passed); -1: none.
        int kept;
    };
    // The first chunk passes in each case: it stays joined in the working file, its chunk file
    // gone; the chunks after the failure wait as chunk files.
    const Case cases[] = {
        {"chunk with a wrong digest",
         [](GameFile& file) { file.entry.chunkDigests[1] = Md5Hex("x"); },
         CombineTaskOutcome::kBadDigest, 1, 5},
        {"missing chunk file", [](GameFile& file) { fs::remove(file.Chunk(1)); },
         CombineTaskOutcome::kMissingFiles, 1, 5},
        {"chunk file that cannot be opened",
         [](GameFile& file) {
             fs::remove(file.Chunk(1));
             fs::create_directory(file.Chunk(1));
         },
         CombineTaskOutcome::kDiskProblem, 2, 5},
        // Every chunk right but the index's whole-file digest wrong: the index contradicts
        // itself, nothing goes under the finished name and nothing joined is kept.
        {"wrong whole-file digest", [](GameFile& file) { file.entry.fileDigest = Md5Hex("x"); },
         CombineTaskOutcome::kBadDigest, 0, -1},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        TempDir game;
        Window quiet;
        GameFile file = MakeGameFile(game.Path() / "game.bin", {5, 5, 5}, 3);
        test.spoil(file);
        CombineTaskOptions options;
        options.blockSize = 4;
        bool cleared = false;
        options.clearCurrentDownload = [&] { cleared = true; };
        const CombineTaskOutcome outcome =
            RunCombineTask(kGame, std::vector<CombineEntry>{file.entry}, quiet, points, options);

        EXPECT_EQ(outcome.state, CombineTaskOutcome::kFailed);
        EXPECT_EQ(outcome.result, test.result);
        EXPECT_FALSE(cleared);
        ASSERT_FALSE(quiet.posts.empty());
        EXPECT_NE(quiet.posts.back().id, static_cast<uint32_t>(WM_APP_ITEM_FINISHED));
        EXPECT_FALSE(fs::exists(file.finished));
        if (test.kept < 0) {
            EXPECT_FALSE(fs::exists(file.Working()));
            EXPECT_FALSE(fs::exists(file.Record()));
        } else {
            EXPECT_EQ(ReadFile(file.Working()),
                      file.content.substr(0, static_cast<size_t>(test.kept)));
            EXPECT_TRUE(fs::exists(file.Record()));
        }
        EXPECT_EQ(file.ChunksLeft(), test.chunksLeft);
    }
}

// A finished file that fails its check must not stay: the next plan would take a file of the
// right size for done. Its chunk files stay.
TEST_F(CombineTaskTest, AFinishedFileThatFailsItsCheckIsDeleted) {
    const GameFile file = MakeGameFile(dir.Path() / "game.bin", {5, 5}, 4);
    std::string corrupt = file.content;
    corrupt[3] ^= 1;
    WriteFile(file.finished, corrupt);

    const CombineTaskOutcome outcome = Run({file.entry});
    EXPECT_EQ(outcome.state, CombineTaskOutcome::kFailed);
    EXPECT_EQ(outcome.result, CombineTaskOutcome::kBadDigest);
    EXPECT_EQ(window.posts.back(), Check(0, kAll));
    EXPECT_FALSE(fs::exists(file.finished));
    EXPECT_EQ(file.ChunksLeft(), 2u);

    // The next attempt joins again from the chunks and passes.
    window.posts.clear();
    EXPECT_EQ(Run({file.entry}).state, CombineTaskOutcome::kCompleted);
    EXPECT_EQ(ReadFile(file.finished), file.content);
}

TEST_F(CombineTaskTest, BreakDuringJoiningStopsAtTheNextCheckPoint) {
    const GameFile file = MakeGameFile(dir.Path() / "game.bin", {6, 6}, 5);
    window.onPost = [this](const Posted& posted) {
        if (posted.id == WM_APP_COMBINE_PROGRESS) {
            breakTask.Set();
        }
    };
    const CombineTaskOutcome outcome = Run({file.entry});

    EXPECT_EQ(outcome.stoppedBy, WorkerStop::kBreak);
    EXPECT_EQ(outcome.state, CombineTaskOutcome::kRunning) << "handed back unfinished";
    const std::vector<Posted> expected = {Begin(), Combine(0, 0, 4), Combine(0, kAll, kAll)};
    EXPECT_EQ(window.posts, expected);
    EXPECT_EQ(clearedAt, SIZE_MAX);
    // Nothing of a chunk half joined is kept; the chunks stay.
    EXPECT_FALSE(fs::exists(file.finished));
    EXPECT_EQ(ReadFile(file.Working()), "");
    EXPECT_EQ(file.ChunksLeft(), 2u);
}

TEST_F(CombineTaskTest, StopsBetweenJoiningAndCheckingAndBetweenFiles) {
    const GameFile first = MakeGameFile(dir.Path() / "a.bin", {3}, 6);
    const GameFile second = MakeGameFile(dir.Path() / "b.bin", {3}, 7);

    // Terminate wins over break; seen right after the first file's joining ended.
    window.onPost = [this](const Posted& posted) {
        if (posted == Combine(0, kAll, kAll)) {
            breakTask.Set();
            terminate.Set();
        }
    };
    CombineTaskOutcome outcome = Run({first.entry, second.entry});
    EXPECT_EQ(outcome.stoppedBy, WorkerStop::kTerminate);
    EXPECT_EQ(window.posts.back(), Check(0, kAll)) << "the check never started";
    EXPECT_FALSE(fs::exists(first.finished)) << "joined but unchecked: not under its name";
    EXPECT_EQ(ReadFile(first.Working()), first.content) << "kept for the next attempt";
    EXPECT_EQ(first.ChunksLeft(), 0u);

    // Seen after the first file was finished and cleaned up: the second is not started.
    breakTask.Reset();
    terminate.Reset();
    window.posts.clear();
    window.onPost = [this](const Posted& posted) {
        if (posted == Check(0, kAll)) {
            breakTask.Set();
        }
    };
    outcome = Run({first.entry, second.entry});
    EXPECT_EQ(outcome.stoppedBy, WorkerStop::kBreak);
    EXPECT_EQ(window.posts.back(), Check(0, kAll));
    EXPECT_EQ(ReadFile(first.finished), first.content);
    EXPECT_EQ(first.ChunksLeft(), 0u);
    EXPECT_FALSE(fs::exists(second.finished));
    EXPECT_EQ(second.ChunksLeft(), 1u);
}

TEST_F(CombineTaskTest, AGameOfTwoFilesIsReportedOnceAtTheEnd) {
    const GameFile first = MakeGameFile(dir.Path() / "a.bin", {3, 2}, 8);
    const GameFile second = MakeGameFile(dir.Path() / "b.bin", {4}, 9);
    EXPECT_EQ(Run({first.entry, second.entry}).state, CombineTaskOutcome::kCompleted);
    const std::vector<Posted> expected = {
        Begin(),  Combine(0, 0, 3), Combine(0, 1, 0), Combine(0, 1, 2), Combine(0, kAll, kAll),
        Reset(0), Check(0, 5),      Check(0, kAll),   Combine(1, 0, 4), Combine(1, kAll, kAll),
        Reset(1), Check(1, 4),      Check(1, kAll),   Finished(),
    };
    EXPECT_EQ(window.posts, expected);
    EXPECT_EQ(ReadFile(first.finished), first.content);
    EXPECT_EQ(ReadFile(second.finished), second.content);
    EXPECT_EQ(first.ChunksLeft() + second.ChunksLeft(), 0u);
}

TEST_F(CombineTaskTest, AFailedFileDoesNotStopTheNext) {
    GameFile first = MakeGameFile(dir.Path() / "a.bin", {3, 3}, 10);
    first.entry.fileDigest = Md5Hex("not this file");
    const GameFile second = MakeGameFile(dir.Path() / "b.bin", {3, 3}, 11);

    const CombineTaskOutcome outcome = Run({first.entry, second.entry});
    EXPECT_EQ(outcome.state, CombineTaskOutcome::kFailed);
    EXPECT_EQ(outcome.result, CombineTaskOutcome::kBadDigest);
    EXPECT_EQ(window.posts.back(), Check(1, kAll));
    EXPECT_EQ(clearedAt, SIZE_MAX);
    EXPECT_FALSE(fs::exists(first.finished));
    EXPECT_EQ(first.ChunksLeft(), 0u);
    EXPECT_FALSE(fs::exists(first.Working()));
    EXPECT_EQ(ReadFile(second.finished), second.content);
    EXPECT_EQ(second.ChunksLeft(), 0u);

    // The last failure is the task's result.
    fs::remove(second.Chunk(0));
    fs::remove(second.finished);
    EXPECT_EQ(Run({first.entry, second.entry}).result, CombineTaskOutcome::kMissingFiles);
}

TEST_F(CombineTaskTest, RunsTheFilesOfADownloadRecord) {
    fs::create_directories(dir.Path() / "setup");
    const GameFile installer = MakeGameFile(dir.Path() / "setup" / "game.exe", {4, 4}, 12);
    DownloadInfo download(Wide(dir.Path()) + u"/");
    download.name = kGame;
    FileInfo file;
    file.name = u"setup/game.exe";
    file.md5 = installer.entry.fileDigest;
    for (uint32_t i = 0; i < installer.entry.chunkCount; ++i) {
        ChunkInfo chunk;
        chunk.id = static_cast<int32_t>(i);
        chunk.md5 = installer.entry.chunkDigests[i];
        file.chunks.push_back(chunk);
    }
    download.files.push_back(file);

    EXPECT_EQ(RunCombineTask(download, window, points).state, CombineTaskOutcome::kCompleted);
    EXPECT_EQ(ReadFile(installer.finished), installer.content);
    EXPECT_EQ(window.posts.back(), Finished());

    // A name that would leave the downloads folder is refused as a disk problem; nothing is
    // written outside.
    download.files[0].name = u"../escaped.exe";
    window.posts.clear();
    const CombineTaskOutcome refused = RunCombineTask(download, window, points);
    EXPECT_EQ(refused.state, CombineTaskOutcome::kFailed);
    EXPECT_EQ(refused.result, CombineTaskOutcome::kDiskProblem);
    EXPECT_FALSE(fs::exists(dir.Path().parent_path() / "escaped.exe"));
    EXPECT_FALSE(fs::exists(dir.Path().parent_path() / "escaped.exe.joining"));
}

TEST_F(CombineTaskTest, APausedWorkerHoldsBeforeItsFirstStepAndStillHearsABreak) {
    const GameFile file = MakeGameFile(dir.Path() / "game.bin", {4}, 13);
    MessageQueue queue;
    gate.Pause();
    auto running = std::async(std::launch::async, [&] {
        return RunCombineTask(kGame, std::vector<CombineEntry>{file.entry}, queue, points);
    });
    std::optional<AppEvent> first = queue.Take(std::chrono::seconds(10));
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(std::holds_alternative<FileProgressReset>(*first));
    EXPECT_EQ(std::get<FileProgressReset>(*first).reason,
              FileProgressReset::Reason::kCombineStarting);
    breakTask.Set();
    EXPECT_EQ(running.get().stoppedBy, WorkerStop::kBreak);
    EXPECT_EQ(queue.Size(), 0u) << "no step was taken while paused";
    EXPECT_EQ(file.ChunksLeft(), 1u);

    // Resumed, the same task runs to its end.
    breakTask.Reset();
    auto resumed = std::async(std::launch::async, [&] {
        return RunCombineTask(kGame, std::vector<CombineEntry>{file.entry}, queue, points);
    });
    ASSERT_TRUE(queue.Take(std::chrono::seconds(10)).has_value());
    gate.Resume();
    EXPECT_EQ(resumed.get().state, CombineTaskOutcome::kCompleted);
    EXPECT_EQ(ReadFile(file.finished), file.content);
}

}  // namespace
