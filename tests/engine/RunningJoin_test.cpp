// The join that runs while a file's chunks arrive, and the combiner that takes it over: what ends
// up in the working file and the digest, which chunk files go once their bytes are in, and what
// is kept when the running join cannot be trusted or is let go of.
#include "engine/RunningJoin.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/ChunksCombiner.h"
#include "engine/JoinRecord.h"
#include "engine/JoinedPrefix.h"
#include "engine/Md5Context.h"
#include "platform/Event.h"
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

// The combiner takes `join` over and ends with the whole file, matching its digest, under its
// finished name.
void ExpectTheCombinerFinishes(const GameFile& file, RunningJoin& join) {
    ChunksCombiner combiner(file.entry, 4, &join);
    RunToEnd(combiner);
    ASSERT_TRUE(combiner.Done());
    EXPECT_EQ(combiner.JoinedDigest(), file.entry.fileDigest);
    ASSERT_TRUE(combiner.Commit());
    EXPECT_EQ(ReadFile(file.finished), file.content);
}

// Where a chunk is while it is downloaded and not checked yet.
fs::path PartialOf(const GameFile& file, uint32_t position) {
    return fs::path(file.Chunk(position).string() + "_downloading");
}

// Every chunk of `file` under its partial name, as if all had just been downloaded.
void MakeAllPartial(const GameFile& file) {
    for (uint32_t position = 0; position < file.entry.chunkCount; ++position) {
        fs::rename(file.Chunk(position), PartialOf(file, position));
    }
}

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
    EXPECT_EQ(file.ChunksLeft(), 1u) << "a chunk file goes once its bytes are in";
    EXPECT_TRUE(fs::exists(file.Chunk(2)));

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
    EXPECT_FALSE(fs::exists(file.Record()));
    EXPECT_EQ(file.ChunksLeft(), 0u);
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

// Whatever makes the running join untrustworthy ends its appending with the working file cut back
// to the chunks that count; the combiner carries on from there, checking every chunk it joins
// itself, so a bad chunk is found as before.
TEST(RunningJoin, AChangedChunkOrAStopLeavesTheRestToTheCombiner) {
    enum class Outcome { kDone, kBadChunk, kMissingChunk };
    struct Case {
        const char* what;
        bool changeAfterAppend;  // write other bytes under chunk 0's name after it was appended
        bool changeBeforeAppend;
        bool stop;
        bool working;  // the running join's working file replaced behind its back
        Outcome outcome;
    };
    const Case cases[] = {
        // Its chunk file went with the append: what comes under the name later is no part of it.
        {"chunk changed after it was appended", true, false, false, false, Outcome::kDone},
        {"chunk changed between its check and the append", false, true, false, false,
         Outcome::kBadChunk},
        {"stopped while appending", false, false, true, false, Outcome::kDone},
        // Someone else's file: not taken over; what it holds counts only chunk by chunk, each
        // matching its digest (here it holds the right bytes).
        {"working file replaced", false, false, false, true, Outcome::kDone},
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
            WriteFile(file.Chunk(0), "XXXXXX");
        }
        if (c.working) {
            ASSERT_TRUE(fs::exists(file.Working()));
            fs::remove(file.Working());
            WriteFile(file.Working(), file.content);
            EXPECT_EQ(file.ChunksLeft(), 0u) << "their bytes were in the working file";
        }
        if (c.stop || c.changeBeforeAppend) {
            EXPECT_TRUE(join.Abandoned());
            EXPECT_EQ(join.JoinedChunks(), 0u);
            EXPECT_FALSE(fs::exists(file.Working()) && fs::file_size(file.Working()) > 0)
                << "nothing of an append that was given up stays";
        }

        ChunksCombiner combiner(file.entry, 4, &join);
        RunToEnd(combiner);
        switch (c.outcome) {
            case Outcome::kDone:
                ASSERT_TRUE(combiner.Done());
                EXPECT_EQ(combiner.JoinedDigest(), file.entry.fileDigest);
                ASSERT_TRUE(combiner.Commit());
                EXPECT_EQ(ReadFile(file.finished), file.content);
                break;
            case Outcome::kBadChunk:
                EXPECT_FALSE(combiner.Done());
                EXPECT_EQ(combiner.Error(), ChunksCombiner::kBadChunkDigest);
                EXPECT_FALSE(fs::exists(file.Chunk(0))) << "the bad chunk goes, as always";
                break;
            case Outcome::kMissingChunk:
                EXPECT_FALSE(combiner.Done());
                EXPECT_EQ(combiner.Error(), ChunksCombiner::kMissingChunk);
                break;
        }
        if (c.outcome != Outcome::kDone) {
            EXPECT_FALSE(fs::exists(file.finished));
        }
    }
}

// A join let go of without a take-over (a pause, a quit, a file the store stopped offering)
// keeps its chunks: flushed, recorded as left in order, and taken up by the next plan.
TEST(RunningJoin, AJoinLetGoOfKeepsItsChunksForTheNextPlan) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {5, 5, 5});
    {
        RunningJoin join(file.entry);
        const std::optional<JoinRecord> taken = ReadJoinRecord(file.Record().string());
        ASSERT_TRUE(taken);
        EXPECT_FALSE(taken->clean) << "marked unclean while the join runs";
        join.ChunkVerified(Wide(file.Chunk(0)));
        join.ChunkVerified(Wide(file.Chunk(2)));
        join.Advance(kNoStops);
        ASSERT_EQ(join.JoinedChunks(), 1u);
    }
    EXPECT_EQ(ReadFile(file.Working()), file.content.substr(0, 5));
    EXPECT_FALSE(fs::exists(file.Chunk(0)));
    EXPECT_TRUE(fs::exists(file.Chunk(1)));
    EXPECT_TRUE(fs::exists(file.Chunk(2)));
    const std::optional<JoinRecord> left = ReadJoinRecord(file.Record().string());
    ASSERT_TRUE(left);
    EXPECT_TRUE(left->clean);
    EXPECT_EQ(left->chunks, 1u);
    EXPECT_EQ(left->bytes, 5u);

    // The next plan starts after the joined chunk, with the digest so far.
    JoinedPrefix prefix = RecoverJoinedPrefix(file.entry);
    EXPECT_EQ(prefix.chunks, 1u);
    EXPECT_TRUE(prefix.chunkFilesTrusted);
    RunningJoin join(file.entry, std::move(prefix));
    join.ChunkOnDisk(Wide(file.Chunk(1)));
    join.ChunkOnDisk(Wide(file.Chunk(2)));
    join.Advance(kNoStops);
    ASSERT_EQ(join.JoinedChunks(), 3u);
    ExpectTheCombinerFinishes(file, join);
    EXPECT_EQ(file.ChunksLeft(), 0u);
    EXPECT_FALSE(fs::exists(file.Record()));
}

// A join with nothing to hand over (no chunk appended yet) is over once the combine task asks:
// letting go of it after the file was finished leaves no record behind.
TEST(RunningJoin, AJoinAskedForItsFileWritesNoRecordAfterTheCombineTask) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {5, 5});
    {
        auto join = std::make_unique<RunningJoin>(file.entry);
        join->ChunkOnDisk(Wide(file.Chunk(0)));
        join->ChunkOnDisk(Wide(file.Chunk(1)));
        ChunksCombiner combiner(file.entry, 4, join.get());
        RunToEnd(combiner);
        ASSERT_TRUE(combiner.Done());
        ASSERT_TRUE(combiner.Commit());
        join.reset();
    }
    EXPECT_EQ(ReadFile(file.finished), file.content);
    EXPECT_FALSE(fs::exists(file.Record()));
    EXPECT_FALSE(fs::exists(file.Working()));
}

// A chunk appended before its check (its bytes read from the partial file): a confirmed one counts
// like any other, a rejected one or a stop leaves the working file and the digest as they were,
// and one that is not next in order is left to the caller.
TEST(RunningJoin, UncheckedAppendsStandOnlyOnceTheirChunkIsVerified) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {70, 64, 9});
    RunningJoin join(file.entry);
    MakeAllPartial(file);

    // Chunk 1 is not next: nothing is appended.
    EXPECT_FALSE(join.AppendUnchecked(Wide(file.Chunk(1)), Wide(PartialOf(file, 1)), kNoStops));

    // Chunk 0 fails its check: taken back, then appended again and confirmed.
    std::optional<std::u16string> digest =
        join.AppendUnchecked(Wide(file.Chunk(0)), Wide(PartialOf(file, 0)), kNoStops);
    ASSERT_TRUE(digest);
    EXPECT_EQ(*digest, file.entry.ChunkDigest(0));
    EXPECT_EQ(fs::file_size(file.Working()), 70u);
    // While it waits for its check, no other append starts.
    EXPECT_FALSE(join.AppendUnchecked(Wide(file.Chunk(0)), Wide(PartialOf(file, 0)), kNoStops));
    join.Withdraw(Wide(file.Chunk(1)));  // another chunk's: changes nothing
    EXPECT_EQ(fs::file_size(file.Working()), 70u);
    join.Withdraw(Wide(file.Chunk(0)));
    EXPECT_EQ(fs::file_size(file.Working()), 0u);
    EXPECT_EQ(join.JoinedChunks(), 0u);
    ASSERT_TRUE(join.AppendUnchecked(Wide(file.Chunk(0)), Wide(PartialOf(file, 0)), kNoStops));
    fs::rename(PartialOf(file, 0), file.Chunk(0));
    join.ChunkVerified(Wide(file.Chunk(0)));
    join.Withdraw(Wide(file.Chunk(0)));  // after the confirmation: changes nothing
    EXPECT_EQ(join.JoinedChunks(), 1u);

    // Chunk 1 is stopped half-way (after its first block): nothing of it stays.
    Event stop(true, true);
    EXPECT_FALSE(join.AppendUnchecked(Wide(file.Chunk(1)), Wide(PartialOf(file, 1)),
                                      WorkerCheckPoint{nullptr, &stop, nullptr}));
    EXPECT_EQ(fs::file_size(file.Working()), 70u);
    EXPECT_FALSE(join.Abandoned());
    ASSERT_TRUE(join.AppendUnchecked(Wide(file.Chunk(1)), Wide(PartialOf(file, 1)), kNoStops));
    fs::rename(PartialOf(file, 1), file.Chunk(1));
    join.ChunkVerified(Wide(file.Chunk(1)));

    // Chunk 2 goes the usual way; the file is whole and synced by the append.
    fs::rename(PartialOf(file, 2), file.Chunk(2));
    join.ChunkVerified(Wide(file.Chunk(2)));
    join.Advance(kNoStops);
    ASSERT_EQ(join.JoinedChunks(), 3u);

    ExpectTheCombinerFinishes(file, join);
}

// The last chunk confirmed through an unchecked append completes the join; a verified file that
// is not the one appended abandons it.
TEST(RunningJoin, UncheckedAppendOfTheLastChunkAndOfAReplacedFile) {
    for (const bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "replaced" : "the same file");
        TempDir dir;
        GameFile file = MakeGameFile(dir.Path() / "game.bin", {8, 5});
        RunningJoin join(file.entry);
        join.ChunkVerified(Wide(file.Chunk(0)));
        join.Advance(kNoStops);
        const fs::path partial = PartialOf(file, 1);
        fs::rename(file.Chunk(1), partial);
        ASSERT_TRUE(join.AppendUnchecked(Wide(file.Chunk(1)), Wide(partial), kNoStops));
        if (replaced) {
            WriteFile(file.Chunk(1), ReadFile(partial));
        } else {
            fs::rename(partial, file.Chunk(1));
        }
        join.ChunkVerified(Wide(file.Chunk(1)));
        join.Advance(kNoStops);
        EXPECT_EQ(join.Abandoned(), replaced);
        // Given up, the working file keeps the chunk before the replaced one.
        EXPECT_EQ(fs::file_size(file.Working()), replaced ? 8u : 13u);
        EXPECT_EQ(join.JoinedChunks(), replaced ? 1u : 2u);

        ChunksCombiner combiner(file.entry, 4, &join);
        RunToEnd(combiner);
        ASSERT_TRUE(combiner.Done());
        ASSERT_TRUE(combiner.Commit());
        EXPECT_EQ(ReadFile(file.finished), file.content);
    }
}

// A chunk that arrives before the one ahead of it waits a moment for it: arriving in time, both
// are appended in their digest passes; not arriving, the later chunk is left to its caller.
TEST(RunningJoin, AnUncheckedAppendWaitsBrieflyForTheChunkBeforeIt) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {40, 30, 20});
    RunningJoin join(file.entry);
    MakeAllPartial(file);

    std::optional<std::u16string> second;
    std::thread later([&] {
        second = join.AppendUnchecked(Wide(file.Chunk(1)), Wide(PartialOf(file, 1)), kNoStops);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::optional<std::u16string> first =
        join.AppendUnchecked(Wide(file.Chunk(0)), Wide(PartialOf(file, 0)), kNoStops);
    later.join();
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, file.entry.ChunkDigest(1));
    EXPECT_EQ(ReadFile(file.Working()), file.content.substr(0, 70));

    // Chunk 1 is confirmed first; it counts once chunk 0 is.
    fs::rename(PartialOf(file, 1), file.Chunk(1));
    join.ChunkVerified(Wide(file.Chunk(1)));
    EXPECT_EQ(join.JoinedChunks(), 0u);
    fs::rename(PartialOf(file, 0), file.Chunk(0));
    join.ChunkVerified(Wide(file.Chunk(0)));
    EXPECT_EQ(join.JoinedChunks(), 2u);

    // Nothing arrives ahead of chunk 2: after the wait it is left to its caller.
    TempDir other;
    GameFile gap = MakeGameFile(other.Path() / "game.bin", {40, 30, 20});
    RunningJoin gapJoin(gap.entry);
    const fs::path lastPartial = PartialOf(gap, 2);
    fs::rename(gap.Chunk(2), lastPartial);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(gapJoin.AppendUnchecked(Wide(gap.Chunk(2)), Wide(lastPartial), kNoStops));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(gapJoin.JoinedChunks(), 0u);
}

// A resumed download: the chunks verified in an earlier run are handed to the join when the plan
// is made. The first chunk that arrives appends them in the same call, in order, and goes in after
// them without waiting out the pause for chunks still on their way; each of them is checked
// against its digest on the way, since this run never checked it.
TEST(RunningJoin, ChunksFoundOnDiskGoInAheadOfTheFirstChunkThatArrives) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {40, 30, 20, 10});
    RunningJoin join(file.entry);
    join.ChunkOnDisk(Wide(file.Chunk(0)));
    join.ChunkOnDisk(Wide(file.Chunk(1)));
    join.ChunkOnDisk(Wide(file.Chunk(3)));  // after the gap: waits for chunk 2
    fs::rename(file.Chunk(2), PartialOf(file, 2));

    const auto start = std::chrono::steady_clock::now();
    const std::optional<std::u16string> digest =
        join.AppendUnchecked(Wide(file.Chunk(2)), Wide(PartialOf(file, 2)), kNoStops);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    ASSERT_TRUE(digest);
    EXPECT_EQ(*digest, file.entry.ChunkDigest(2));
    EXPECT_EQ(join.JoinedChunks(), 2u);
    fs::rename(PartialOf(file, 2), file.Chunk(2));
    join.ChunkVerified(Wide(file.Chunk(2)));
    join.Advance(kNoStops);
    ASSERT_EQ(join.JoinedChunks(), 4u);
    EXPECT_FALSE(join.Abandoned());

    ChunksCombiner combiner(file.entry, 4, &join);
    const std::vector<std::pair<uint32_t, uint64_t>> expected = {
        {0, 40}, {1, 30}, {2, 20}, {3, 10}};
    EXPECT_EQ(RunToEnd(combiner), expected);
    ASSERT_TRUE(combiner.Done());
    EXPECT_EQ(combiner.JoinedDigest(), file.entry.fileDigest);
    ASSERT_TRUE(combiner.Commit());
    EXPECT_EQ(ReadFile(file.finished), file.content);
}

// A chunk file found on disk holds bytes of the right length but not the chunk (damaged since an
// earlier run): the join gives up after the chunk before it, and the combiner, joining the rest
// itself, names the bad chunk.
TEST(RunningJoin, AChunkFoundOnDiskThatFailsItsDigestLeavesTheJoinToTheCombiner) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {40, 30, 20});
    std::string damaged = ReadFile(file.Chunk(1));
    damaged[5] = static_cast<char>(damaged[5] ^ 0x20);
    WriteFile(file.Chunk(1), damaged);
    RunningJoin join(file.entry);
    join.ChunkOnDisk(Wide(file.Chunk(0)));
    join.ChunkOnDisk(Wide(file.Chunk(1)));
    join.ChunkOnDisk(Wide(file.Chunk(2)));
    join.Advance(kNoStops);
    EXPECT_TRUE(join.Abandoned());
    EXPECT_EQ(ReadFile(file.Working()), file.content.substr(0, 40));

    ChunksCombiner combiner(file.entry, 64, &join);
    RunToEnd(combiner);
    EXPECT_FALSE(combiner.Done());
    EXPECT_EQ(combiner.Error(), ChunksCombiner::kBadChunkDigest);
}

// Many chunks that arrive at about the same time go in one after the other: a chunk waits for as
// long as the ones before it keep going in, even when that takes longer than a single wait.
TEST(RunningJoin, AnUncheckedAppendWaitsWhileTheChunksBeforeItKeepGoingIn) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {40, 30, 20, 10, 9, 8, 5});
    RunningJoin join(file.entry);
    MakeAllPartial(file);
    const uint32_t lastPosition = file.entry.chunkCount - 1;

    std::optional<std::u16string> last;
    const auto start = std::chrono::steady_clock::now();
    std::thread waiting([&] {
        last = join.AppendUnchecked(Wide(file.Chunk(lastPosition)),
                                    Wide(PartialOf(file, lastPosition)), kNoStops);
    });
    // Each gap is well inside one wait (a busy machine may stretch it a lot); all of them
    // together are well beyond it.
    for (uint32_t position = 0; position < lastPosition; ++position) {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        EXPECT_TRUE(join.AppendUnchecked(Wide(file.Chunk(position)),
                                         Wide(PartialOf(file, position)), kNoStops));
    }
    waiting.join();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
    ASSERT_TRUE(last);
    EXPECT_EQ(*last, file.entry.ChunkDigest(lastPosition));
    EXPECT_EQ(ReadFile(file.Working()), file.content);
}

}  // namespace
