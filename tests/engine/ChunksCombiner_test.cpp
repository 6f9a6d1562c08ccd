#include "engine/ChunksCombiner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "engine/ChunksRemover.h"
#include "engine/JoinRecord.h"
#include "support/ChunkFixtures.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"

namespace {

namespace fs = std::filesystem;

// Steps to the end and returns (chunk position, joined in chunk) after every step that said
// there is more.
std::vector<std::pair<uint32_t, uint64_t>> RunToEnd(ChunksCombiner& combiner) {
    std::vector<std::pair<uint32_t, uint64_t>> steps;
    while (combiner.Step()) {
        steps.emplace_back(combiner.ChunkPosition(), combiner.JoinedInChunk());
    }
    EXPECT_FALSE(combiner.Step()) << "stays finished";
    return steps;
}

// Each chunk is on disk once: among the working file's recorded chunks (its chunk file gone) or
// as its chunk file. `gone`: a chunk that is in neither place.
void ExpectEachChunkOnce(const GameFile& file, int gone = -1) {
    const std::optional<JoinRecord> record = ReadJoinRecord(file.Record().string());
    const uint32_t joined = record ? record->chunks : 0;
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < file.entry.chunkCount; ++i) {
        if (i < joined) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(file.Chunk(i)))) << i;
            bytes += file.entry.chunkLengths[i];
        } else if (static_cast<int>(i) != gone) {
            EXPECT_TRUE(fs::exists(fs::symlink_status(file.Chunk(i)))) << i;
        }
    }
    if (record) {
        EXPECT_TRUE(record->clean) << "let go of in order";
        EXPECT_EQ(record->bytes, bytes);
        EXPECT_EQ(ReadFile(file.Working()), file.content.substr(0, bytes));
    }
}

TEST(ChunksCombiner, JoinsChunksInOrderOneBlockPerStep) {
    TempDir dir;
    // Chunks of 10, 4 and 0 bytes in blocks of 4: a chunk of nothing is joined as MD5 of nothing.
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {10, 4, 0});
    ASSERT_EQ(file.entry.chunkDigests[2], u"d41d8cd98f00b204e9800998ecf8427e");

    ChunksCombiner combiner(file.entry, 4);
    const std::vector<std::pair<uint32_t, uint64_t>> expected = {{0, 4}, {0, 8}, {0, 10},
                                                                 {1, 0}, {1, 4}, {2, 0}};
    EXPECT_EQ(RunToEnd(combiner), expected);
    EXPECT_TRUE(combiner.Done());
    EXPECT_EQ(combiner.Error(), ChunksCombiner::kNoError);
    EXPECT_EQ(combiner.JoinedInTotal(), 14u);
    EXPECT_EQ(combiner.JoinedInFile(), 14u);
    EXPECT_TRUE(combiner.JoinedHere());
    EXPECT_EQ(combiner.JoinedDigest(), file.entry.fileDigest);

    // Nothing is under the finished name before it passed its check.
    EXPECT_FALSE(fs::exists(file.finished));
    EXPECT_EQ(ReadFile(file.Working()), file.content);
    ASSERT_TRUE(combiner.Commit());
    EXPECT_EQ(ReadFile(file.finished), file.content);
    EXPECT_FALSE(fs::exists(file.Working()));
    EXPECT_FALSE(fs::exists(file.Record()));
    EXPECT_EQ(file.ChunksLeft(), 0u) << "each chunk file goes once its bytes are joined";
}

TEST(ChunksCombiner, LargeChunksInFullBlocks) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "big.bin", {3 * 1024 * 1024 + 1, 5});
    ChunksCombiner combiner(file.entry);
    const auto steps = RunToEnd(combiner);
    ASSERT_EQ(steps.size(), 6u) << "4 blocks of the first chunk, the move on, the second chunk";
    EXPECT_EQ(steps[0].second, uint64_t{1} << 20);
    ASSERT_TRUE(combiner.Done());
    ASSERT_TRUE(combiner.Commit());
    EXPECT_EQ(Md5Hex(ReadFile(file.finished)), file.entry.fileDigest);
}

TEST(ChunksCombiner, AFinishedFileIsOnlyCounted) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {6, 6});
    WriteFile(file.finished, "already there");

    ChunksCombiner combiner(file.entry, 4);
    EXPECT_FALSE(combiner.Step());
    EXPECT_TRUE(combiner.Done());
    EXPECT_FALSE(combiner.JoinedHere());
    EXPECT_EQ(combiner.JoinedInFile(), 13u);
    EXPECT_EQ(combiner.JoinedInTotal(), 13u);
    EXPECT_TRUE(combiner.Commit()) << "nothing to move";
    EXPECT_EQ(ReadFile(file.finished), "already there");
    EXPECT_FALSE(fs::exists(file.Working()));
}

TEST(ChunksCombiner, MissingChunkStopsJoining) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {5, 5, 5});
    fs::remove(file.Chunk(1));

    ChunksCombiner combiner(file.entry, 4);
    RunToEnd(combiner);
    EXPECT_FALSE(combiner.Done());
    EXPECT_EQ(combiner.Error(), ChunksCombiner::kMissingChunk);
    EXPECT_FALSE(fs::exists(file.finished));
    // The first chunk stays joined for the next attempt; the third waits as a chunk file.
    ASSERT_EQ(ReadJoinRecord(file.Record().string()).value_or(JoinRecord{}).chunks, 1u);
    ExpectEachChunkOnce(file, 1);
}

TEST(ChunksCombiner, BadChunkIsDeletedAndTheRestStillRead) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {5, 5, 5});
    file.entry.chunkDigests[1] = Md5Hex("something else");

    ChunksCombiner combiner(file.entry, 4);
    const auto steps = RunToEnd(combiner);
    EXPECT_EQ(steps.back(), std::make_pair(2u, uint64_t{5})) << "chunk 2 read to its end";
    EXPECT_EQ(combiner.JoinedInTotal(), 15u);
    EXPECT_FALSE(combiner.Done());
    EXPECT_EQ(combiner.Error(), ChunksCombiner::kBadChunkDigest);
    EXPECT_FALSE(fs::exists(file.Chunk(1)));
    EXPECT_FALSE(fs::exists(file.finished));
    // The bad chunk's bytes are cut off again; the chunk after it is checked but not joined.
    ASSERT_EQ(ReadJoinRecord(file.Record().string()).value_or(JoinRecord{}).chunks, 1u);
    ExpectEachChunkOnce(file, 1);
}

TEST(ChunksCombiner, DiskProblemsAndRefusedPaths) {
    struct Case {
        const char* what;
        void (*spoil)(GameFile& file, const fs::path& dir);
    };
    const Case cases[] = {
        {"chunk file is a folder",
         [](GameFile& file, const fs::path&) {
             fs::remove(file.Chunk(1));
             fs::create_directory(file.Chunk(1));
         }},
        {"chunk file is a symbolic link",
         [](GameFile& file, const fs::path& dir) {
             fs::rename(file.Chunk(1), dir / "elsewhere");
             fs::create_symlink(dir / "elsewhere", file.Chunk(1));
         }},
        {"finished name is a symbolic link",
         [](GameFile& file, const fs::path& dir) {
             WriteFile(dir / "target", "keep me");
             fs::create_symlink(dir / "target", file.finished);
         }},
        {"working name is a folder",
         [](GameFile& file, const fs::path&) { fs::create_directory(file.Working()); }},
        {"relative finished path",
         [](GameFile& file, const fs::path&) { file.entry.finishedPath = u"game.bin"; }},
        {"empty finished path",
         [](GameFile& file, const fs::path&) { file.entry.finishedPath.clear(); }},
        {"name longer than the file system allows",
         [](GameFile& file, const fs::path& dir) {
             file.entry.finishedPath = Wide(dir / std::string(250, 'n'));
         }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        TempDir dir;
        GameFile file = MakeGameFile(dir.Path() / "game.bin", {5, 5, 5});
        test.spoil(file, dir.Path());

        {
            ChunksCombiner combiner(file.entry, 4);
            RunToEnd(combiner);
            EXPECT_FALSE(combiner.Done());
            EXPECT_EQ(combiner.Error(), ChunksCombiner::kDiskProblem);
        }
        ExpectEachChunkOnce(file);
        if (fs::exists(dir.Path() / "target")) {
            EXPECT_EQ(ReadFile(dir.Path() / "target"), "keep me");
            EXPECT_TRUE(fs::is_symlink(file.finished)) << "not ours to delete";
        }
    }
}

// A full disk while writing: the working file is cut back to its whole chunks, the finished name
// stays free, the chunks not joined stay.
TEST(ChunksCombiner, FullDiskEndsAsDiskProblem) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {40000, 40000, 40000});

    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 50000;  // the disk fills up in the middle of the second chunk
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int32_t error = -1;
    bool done = true;
    uint64_t joined = 0;
    {
        ChunksCombiner combiner(file.entry, 16384);
        while (combiner.Step()) {
        }
        error = combiner.Error();
        done = combiner.Done();
        joined = combiner.JoinedInTotal();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    EXPECT_EQ(error, ChunksCombiner::kDiskProblem);
    EXPECT_FALSE(done);
    EXPECT_LE(joined, 50000u) << "no byte counted that was not written";
    EXPECT_FALSE(fs::exists(file.finished));
    ASSERT_EQ(ReadJoinRecord(file.Record().string()).value_or(JoinRecord{}).chunks, 1u);
    ExpectEachChunkOnce(file);
    for (uint32_t i = 1; i < 3; ++i) {
        EXPECT_EQ(fs::file_size(file.Chunk(i)), 40000u);
    }
}

TEST(ChunksCombiner, AJoinStoppedEarlyKeepsItsWholeChunksAndTheNextCarriesOn) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {10, 10, 10});
    {
        // Stopped within the first chunk: nothing of it counts.
        ChunksCombiner combiner(file.entry, 4);
        ASSERT_TRUE(combiner.Step());
        ASSERT_TRUE(combiner.Step());
    }
    ASSERT_EQ(ReadJoinRecord(file.Record().string()).value_or(JoinRecord{}).chunks, 0u);
    ExpectEachChunkOnce(file);
    {
        // Stopped within the second chunk: the first stays joined, its chunk file gone.
        ChunksCombiner combiner(file.entry, 4);
        for (int step = 0; step < 5; ++step) {
            ASSERT_TRUE(combiner.Step());
        }
    }
    ASSERT_EQ(ReadJoinRecord(file.Record().string()).value_or(JoinRecord{}).chunks, 1u);
    ExpectEachChunkOnce(file);
    EXPECT_FALSE(fs::exists(file.finished));

    // The next attempt carries on from the record, its digest too.
    ChunksCombiner combiner(file.entry, 4);
    const auto steps = RunToEnd(combiner);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.front(), std::make_pair(0u, uint64_t{10})) << "the kept chunk is one step";
    ASSERT_TRUE(combiner.Done());
    EXPECT_EQ(combiner.JoinedDigest(), file.entry.fileDigest);
    ASSERT_TRUE(combiner.Commit());
    EXPECT_EQ(ReadFile(file.finished), file.content);
    EXPECT_FALSE(fs::exists(file.Record()));
}

TEST(ChunksCombiner, AFileThatFailsItsCheckIsDiscardedWithItsRecord) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {10, 10});
    ChunksCombiner combiner(file.entry, 4);
    RunToEnd(combiner);
    ASSERT_TRUE(combiner.Done());
    combiner.Discard();
    EXPECT_FALSE(fs::exists(file.Working()));
    EXPECT_FALSE(fs::exists(file.Record()));
    EXPECT_FALSE(fs::exists(file.finished));
}

TEST(ChunksCombiner, AnIndexWithoutChunksMakesAnEmptyFile) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "empty.bin", {});
    ChunksCombiner combiner(file.entry, 4);
    EXPECT_FALSE(combiner.Step());
    EXPECT_TRUE(combiner.Done());
    EXPECT_EQ(combiner.JoinedDigest(), u"d41d8cd98f00b204e9800998ecf8427e");
    ASSERT_TRUE(combiner.Commit());
    EXPECT_EQ(fs::file_size(file.finished), 0u);
}

TEST(ChunksRemover, DeletesTheEntrysChunkFilesOnly) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {3, 3, 3});
    WriteFile(file.finished, "finished");
    WriteFile(file.Chunk(3), "beyond the count");
    WriteFile(file.finished.string() + ".chunk1_downloading", "partial");
    WriteFile(dir.Path() / "other.bin.chunk0", "another file's");
    // A link under a chunk's name goes, the file it points at stays.
    WriteFile(dir.Path() / "outside", "outside");
    fs::remove(file.Chunk(2));
    fs::create_symlink(dir.Path() / "outside", file.Chunk(2));

    ChunksRemover remover(file.entry);
    EXPECT_FALSE(remover.Step());
    EXPECT_EQ(remover.Removed(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(file.Chunk(i))));
    }
    EXPECT_TRUE(fs::exists(file.finished));
    EXPECT_TRUE(fs::exists(file.Chunk(3)));
    EXPECT_TRUE(fs::exists(file.finished.string() + ".chunk1_downloading"));
    EXPECT_TRUE(fs::exists(dir.Path() / "other.bin.chunk0"));
    EXPECT_EQ(ReadFile(dir.Path() / "outside"), "outside");

    // A missing name is no failure; a relative path deletes nothing.
    EXPECT_FALSE(ChunksRemover(file.entry).Step());
    CombineEntry relative = file.entry;
    relative.finishedPath = u"other.bin";
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.Path());
    ChunksRemover stray(relative);
    stray.Step();
    fs::current_path(cwd);
    EXPECT_EQ(stray.Removed(), 0u);
    EXPECT_TRUE(fs::exists(dir.Path() / "other.bin.chunk0"));
}

}  // namespace
