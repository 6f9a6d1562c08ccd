// The join that runs while a file's chunks arrive, and the combiner that takes it over: what ends
// up in the working file and the digest, and what happens to the working file whenever the
// running join cannot be trusted.
#include "engine/RunningJoin.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/ChunksCombiner.h"
#include "engine/Md5Context.h"
#include "support/ChunkFixtures.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"

namespace {

namespace fs = std::filesystem;

std::u16string Wide(const fs::path& path) {
    const std::string text = path.string();
    return std::u16string(text.begin(), text.end());  // the test folders are ASCII
}

// Runs a combiner to its end; the (position, joined in chunk) of every step that said more.
std::vector<std::pair<uint32_t, uint64_t>> RunToEnd(ChunksCombiner& combiner) {
    std::vector<std::pair<uint32_t, uint64_t>> steps;
    while (combiner.Step()) {
        steps.emplace_back(combiner.ChunkPosition(), combiner.JoinedInChunk());
    }
    return steps;
}

const WorkerCheckPoint kNoStops{};

TEST(RunningJoin, AppendsOnlyTheChunksNextInOrderThenHandsAllOver) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {6, 5, 3});
    RunningJoin join(file.entry);

    // Chunk 1 alone can't be appended: chunk 0 is not in yet.
    join.ChunkVerified(Wide(file.Chunk(1)));
    join.Advance(kNoStops);
    EXPECT_EQ(join.JoinedChunks(), 0u);
    EXPECT_FALSE(fs::exists(file.Working()));

    join.ChunkVerified(Wide(file.Chunk(0)));
    join.Advance(kNoStops);
    EXPECT_EQ(join.JoinedChunks(), 2u);
    EXPECT_EQ(ReadFile(file.Working()), file.content.substr(0, 11));

    join.ChunkVerified(Wide(file.Chunk(2)));
    join.Advance(kNoStops);
    ASSERT_EQ(join.JoinedChunks(), 3u);

    ChunksCombiner combiner(file.entry, 4, &join);
    const std::vector<std::pair<uint32_t, uint64_t>> expected = {{0, 6}, {1, 5}, {2, 3}};
    EXPECT_EQ(RunToEnd(combiner), expected);
    ASSERT_TRUE(combiner.Done());
    EXPECT_TRUE(combiner.JoinedHere());
    EXPECT_EQ(combiner.JoinedDigest(), file.entry.fileDigest);
    EXPECT_EQ(combiner.JoinedInFile(), file.content.size());
    ASSERT_TRUE(combiner.Commit());
    EXPECT_EQ(ReadFile(file.finished), file.content);
    EXPECT_FALSE(fs::exists(file.Working()));
}

TEST(RunningJoin, CombinerJoinsTheChunksTheRunningJoinDidNotReach) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {4, 4, 4, 2});
    RunningJoin join(file.entry);
    join.ChunkVerified(Wide(file.Chunk(0)));
    join.ChunkVerified(Wide(file.Chunk(2)));  // after a gap: stays out
    join.Advance(kNoStops);
    ASSERT_EQ(join.JoinedChunks(), 1u);

    ChunksCombiner combiner(file.entry, 4, &join);
    const std::vector<std::pair<uint32_t, uint64_t>> expected = {{0, 4}, {1, 0}, {1, 4}, {2, 0},
                                                                 {2, 4}, {3, 0}, {3, 2}};
    EXPECT_EQ(RunToEnd(combiner), expected);
    ASSERT_TRUE(combiner.Done());
    EXPECT_EQ(combiner.JoinedDigest(), file.entry.fileDigest);
    ASSERT_TRUE(combiner.Commit());
    EXPECT_EQ(ReadFile(file.finished), file.content);
}

// Whatever makes the running join untrustworthy leaves no working file of its own behind, and the
// combiner then joins every chunk itself, checking each one: a bad chunk is found as before.
TEST(RunningJoin, AChangedChunkOrAStopLeavesTheWholeJoinToTheCombiner) {
    struct Case {
        const char* what;
        bool changeAfterAppend;  // rewrite chunk 0 (wrong bytes) after it was appended
        bool changeBeforeAppend;
        bool stop;
        bool working;  // the running join's working file removed behind its back
    };
    const Case cases[] = {
        {"chunk changed after it was appended", true, false, false, false},
        {"chunk changed between its check and the append", false, true, false, false},
        {"stopped while appending", false, false, true, false},
        {"working file replaced", false, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        GameFile file = MakeGameFile(dir.Path() / "game.bin", {6, 6});
        RunningJoin join(file.entry);
        join.ChunkVerified(Wide(file.Chunk(0)));
        join.ChunkVerified(Wide(file.Chunk(1)));
        if (c.changeBeforeAppend) {
            usleep(2000);
            WriteFile(file.Chunk(0), "XXXXXX");
        }
        Event stop(true, c.stop);
        join.Advance(WorkerCheckPoint{nullptr, &stop, nullptr});
        if (c.changeAfterAppend) {
            ASSERT_EQ(join.JoinedChunks(), 2u);
            usleep(2000);
            WriteFile(file.Chunk(0), "XXXXXX");
        }
        if (c.working) {
            ASSERT_TRUE(fs::exists(file.Working()));
            fs::remove(file.Working());
            WriteFile(file.Working(), file.content);
        }
        if (c.stop || c.changeBeforeAppend) {
            EXPECT_TRUE(join.Abandoned());
            EXPECT_FALSE(fs::exists(file.Working()));
        }

        ChunksCombiner combiner(file.entry, 4, &join);
        RunToEnd(combiner);
        if (c.changeAfterAppend || c.changeBeforeAppend) {
            EXPECT_FALSE(combiner.Done());
            EXPECT_EQ(combiner.Error(), ChunksCombiner::kBadChunkDigest);
            EXPECT_FALSE(fs::exists(file.Chunk(0))) << "the bad chunk goes, as always";
            EXPECT_FALSE(fs::exists(file.Working()));
        } else {
            ASSERT_TRUE(combiner.Done());
            EXPECT_EQ(combiner.JoinedDigest(), file.entry.fileDigest);
            ASSERT_TRUE(combiner.Commit());
            EXPECT_EQ(ReadFile(file.finished), file.content);
        }
    }
}

TEST(RunningJoin, AJoinNotTakenOverTakesItsWorkingFileWithIt) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {5, 5});
    {
        RunningJoin join(file.entry);
        join.ChunkVerified(Wide(file.Chunk(0)));
        join.Advance(kNoStops);
        ASSERT_TRUE(fs::exists(file.Working()));
    }
    EXPECT_FALSE(fs::exists(file.Working()));
    EXPECT_EQ(file.ChunksLeft(), 2u);
}

}  // namespace
