// What a plan finds of a file an earlier run began joining: the record beside the working file
// (its form, and a digest that carries on across runs) and the recovery that trusts the record's
// bytes, checks every chunk past them and cuts the working file back at the first that fails.
#include "engine/JoinedPrefix.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "engine/JoinRecord.h"
#include "engine/Md5Context.h"
#include "support/ChunkFixtures.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"

namespace {

namespace fs = std::filesystem;

// A digest saved after `cut` bytes and restored carries on to the one-pass digest.
TEST(JoinRecord, ASavedDigestCarriesOnToTheSameResult) {
    std::string bytes(1000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7 + 3);
    }
    for (const size_t cut :
         {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{999}, size_t{1000}}) {
        SCOPED_TRACE(cut);
        Md5Context first;
        first.Update(bytes.data(), cut);
        std::optional<Md5Context> restored = Md5Context::Restored(first.Saved());
        ASSERT_TRUE(restored);
        EXPECT_EQ(restored->Length(), cut);
        restored->Update(bytes.data() + cut, bytes.size() - cut);
        restored->Finalize();
        EXPECT_EQ(restored->HexDigest(), Md5Hex(bytes));
    }
}

TEST(JoinRecord, WrittenRecordsReadBackAndAnythingElseIsNoRecord) {
    TempDir dir;
    const std::string path = (dir.Path() / "game.bin.joining.state").string();
    JoinRecord record;
    record.clean = true;
    record.chunks = 3;
    record.digest.Update("abcdefghij", 10);
    record.bytes = 10;
    ASSERT_TRUE(WriteJoinRecord(path, record));
    EXPECT_FALSE(fs::exists(path + ".new"));
    const std::optional<JoinRecord> read = ReadJoinRecord(path);
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->clean);
    EXPECT_EQ(read->chunks, 3u);
    EXPECT_EQ(read->bytes, 10u);
    EXPECT_EQ(read->digest.Saved(), record.digest.Saved());

    const std::string good = ReadFile(path);
    const std::string digestLine = good.substr(good.find("md5 "));
    const struct {
        const char* what;
        std::string text;
    } broken[] = {
        {"empty", ""},
        {"another first line", "velkdownloader join 2\n" + good.substr(good.find('\n') + 1)},
        {"cut short", good.substr(0, good.size() - 5)},
        {"no last line break", good.substr(0, good.size() - 1)},
        {"a line more", good + "extra 1\n"},
        {"clean neither 0 nor 1",
         "velkdownloader join 1\nclean 2\nchunks 3\nbytes 10\n" + digestLine},
        {"a negative count", "velkdownloader join 1\nclean 1\nchunks -3\nbytes 10\n" + digestLine},
        {"bytes the digest does not cover",
         "velkdownloader join 1\nclean 1\nchunks 3\nbytes 11\n" + digestLine},
        {"a digest that is not hexadecimal",
         "velkdownloader join 1\nclean 1\nchunks 3\nbytes 10\nmd5 " + std::string(72, 'x') + "\n"},
        {"far too long", good + std::string(600, '#')},
    };
    for (const auto& c : broken) {
        SCOPED_TRACE(c.what);
        WriteFile(path, c.text);
        EXPECT_FALSE(ReadJoinRecord(path));
    }
    RemoveJoinRecord(path);
    EXPECT_FALSE(fs::exists(path));
}

// Writes the record of the first `chunks` chunks of `file` beside its working file.
void Record(const GameFile& file, uint32_t chunks, bool clean) {
    JoinRecord record;
    record.clean = clean;
    record.chunks = chunks;
    for (uint32_t i = 0; i < chunks; ++i) {
        record.bytes += file.entry.chunkLengths[i];
    }
    record.digest.Update(file.content.data(), static_cast<size_t>(record.bytes));
    ASSERT_TRUE(WriteJoinRecord(file.Record().string(), record));
}

TEST(JoinedPrefix, TrustsTheRecordChecksWhatLiesPastItAndCutsBackAtTheFirstBadChunk) {
    // Five chunks of 10 bytes; the working file holds `joined` bytes of the file, then `tail`.
    const struct {
        const char* what;
        int recorded;  // chunks in the record; -1: no record
        bool clean;
        size_t joined;
        std::string tail;
        bool damageRecorded;  // a byte within the record's bytes changed (trusted as it is)
        uint32_t chunks;
        bool trusted;
    } cases[] = {
        {"clean record, nothing past it", 2, true, 20, "", false, 2, true},
        {"unclean record, whole chunks past it", 1, false, 40, "", false, 4, false},
        {"past it a chunk cut short", 1, false, 35, "", false, 3, false},
        {"past it zeros where a power cut left no data", 2, false, 20, std::string(30, '\0'), false,
         2, false},
        {"no record: checked from the start", -1, true, 30, "", false, 3, true},
        {"the record's bytes are taken as they are", 2, false, 20, "", true, 2, false},
        {"a record longer than the working file", 4, false, 20, "", false, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        GameFile file = MakeGameFile(dir.Path() / "game.bin", {10, 10, 10, 10, 10});
        std::string working = file.content.substr(0, c.joined) + c.tail;
        if (c.damageRecorded) {
            working[5] = static_cast<char>(working[5] ^ 1);
        }
        WriteFile(file.Working(), working);
        if (c.recorded >= 0) {
            Record(file, static_cast<uint32_t>(c.recorded), c.clean);
        }
        // A chunk file left behind by a stop between an append and its deletion.
        WriteFile(file.Chunk(0), "stale");

        const JoinedPrefix prefix = RecoverJoinedPrefix(file.entry);
        EXPECT_EQ(prefix.chunks, c.chunks);
        EXPECT_EQ(prefix.bytes, 10u * c.chunks);
        EXPECT_EQ(prefix.chunkFilesTrusted, c.trusted);
        EXPECT_EQ(fs::file_size(file.Working()), 10u * c.chunks) << "cut back to the prefix";
        Md5Context digest = prefix.digest;
        EXPECT_EQ(digest.Length(), prefix.bytes);
        EXPECT_FALSE(fs::exists(file.Chunk(0))) << "in the working file: its chunk file goes";
        for (uint32_t i = c.chunks; i < 5; ++i) {
            EXPECT_TRUE(fs::exists(file.Chunk(i))) << i;
        }
        // What was found past the record is recorded for the next look.
        const std::optional<JoinRecord> after = ReadJoinRecord(file.Record().string());
        ASSERT_TRUE(after);
        EXPECT_EQ(after->chunks, c.chunks);
    }
}

TEST(JoinedPrefix, WithoutAWorkingFileNothingIsJoinedAndAnUncleanRecordStillTells) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {10, 10});
    JoinedPrefix prefix = RecoverJoinedPrefix(file.entry);
    EXPECT_EQ(prefix.chunks, 0u);
    EXPECT_TRUE(prefix.chunkFilesTrusted) << "no record: chunk files of a kind that were flushed";

    Record(file, 0, false);
    prefix = RecoverJoinedPrefix(file.entry);
    EXPECT_EQ(prefix.chunks, 0u);
    EXPECT_FALSE(prefix.chunkFilesTrusted);
    EXPECT_EQ(file.ChunksLeft(), 2u);
}

TEST(JoinedPrefix, AChunkFileCountsWhenItsBytesMatchItsDigest) {
    TempDir dir;
    GameFile file = MakeGameFile(dir.Path() / "game.bin", {10, 10});
    EXPECT_TRUE(ChunkFileMatches(file.Chunk(0).string(), 10, file.entry.ChunkDigest(0)));
    EXPECT_FALSE(ChunkFileMatches(file.Chunk(0).string(), 10, file.entry.ChunkDigest(1)));
    EXPECT_FALSE(ChunkFileMatches(file.Chunk(0).string(), 9, file.entry.ChunkDigest(0)));
    WriteFile(file.Chunk(1), std::string(10, '\0'));
    EXPECT_FALSE(ChunkFileMatches(file.Chunk(1).string(), 10, file.entry.ChunkDigest(1)));
    EXPECT_FALSE(
        ChunkFileMatches((dir.Path() / "missing").string(), 10, file.entry.ChunkDigest(0)));
}

}  // namespace
