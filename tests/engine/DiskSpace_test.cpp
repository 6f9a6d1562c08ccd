#include "engine/DiskSpace.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "core/DownloadInfo.h"
#include "core/Saturating.h"
#include "core/TextUtil.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"

namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
const std::u16string kDigest = u"0123456789abcdef0123456789abcdef";

// An available file of `size` bytes in one chunk, as a valid chunk index describes it.
FileInfo OneChunkFile(const std::u16string& name, uint64_t size) {
    FileInfo file;
    file.name = name;
    file.size = size;
    file.md5 = kDigest;
    ChunkInfo chunk;
    chunk.from = 0;
    chunk.to = size - 1;
    chunk.md5 = kDigest;
    file.chunks.push_back(chunk);
    return file;
}

TEST(DiskSpace, SumsOfHugeSizesStopAtTheLargestValueInsteadOfWrapping) {
    TempDir folder;
    const struct {
        const char* title;
        std::vector<uint64_t> sizes;
        uint64_t needed;
        uint64_t total;
    } cases[] = {
        // Every byte missing, plus a chunk per connection (each file is one chunk here, and there
        // are more connections than chunks: the room for in-flight chunks is the missing bytes).
        {"small files", {100, 50}, 100 + 50 + 150, 150},
        {"one file just below 2^63", {(1ull << 63) - 1}, 2 * ((1ull << 63) - 1), (1ull << 63) - 1},
        // 3 * 2^62 + 2^62 is 2^64: a plain sum says 0 bytes are needed.
        {"three files of 2^62", {1ull << 62, 1ull << 62, 1ull << 62}, kMax, 3 * (1ull << 62)},
        {"five files of 2^62",
         {1ull << 62, 1ull << 62, 1ull << 62, 1ull << 62, 1ull << 62},
         kMax,
         kMax},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        DownloadInfo plan;
        plan.folder = Utf8ToWide(folder.Path().string() + "/");
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            plan.files.push_back(OneChunkFile(u"f" + Utf8ToWide(std::to_string(i)), c.sizes[i]));
            plan.files.back().id = static_cast<uint32_t>(i);
        }
        EXPECT_EQ(SpaceStillNeeded(plan, 6), c.needed);

        // The record's own sums saturate the same way.
        plan.RecomputeTotals();
        EXPECT_EQ(plan.total, c.total);
        EXPECT_EQ(plan.available, c.total);
    }
}

// A game of one 100 MiB file in ten chunks of 10 MiB: what is on disk (working file, chunk
// files, partial files) counts as there, and only one chunk per connection needs room twice.
TEST(DiskSpace, NeedsTheMissingBytesAndOneChunkPerConnectionNotASecondCopy) {
    constexpr uint64_t kChunk = 10u << 20;
    const struct {
        const char* title;
        uint32_t connections;
        uint64_t joining;  // bytes of the working file
        int chunkFiles;    // verified chunk files after the working file's chunks
        uint64_t partial;  // bytes of the partial file of the chunk after those
        uint64_t needed;
    } cases[] = {
        {"nothing on disk, 6 connections", 6, 0, 0, 0, 100 * (1u << 20) + 6 * kChunk},
        {"nothing on disk, 20 connections", 20, 0, 0, 0, 2 * 100 * (1u << 20)},
        {"3 chunks joined, 2 chunk files, 4 connections", 4, 3 * kChunk, 2, 0,
         5 * kChunk + 4 * kChunk},
        {"and half a chunk in a partial file", 4, 3 * kChunk, 2, kChunk / 2,
         4 * kChunk + kChunk / 2 + 4 * kChunk},
        {"9 chunks joined, 20 connections", 20, 9 * kChunk, 0, 0, 2 * kChunk},
        {"all joined", 6, 10 * kChunk, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TempDir folder;
        DownloadInfo plan;
        plan.folder = Utf8ToWide(folder.Path().string() + "/");
        FileInfo file;
        file.name = u"game.bin";
        file.size = 10 * kChunk;
        file.md5 = kDigest;
        for (int i = 0; i < 10; ++i) {
            ChunkInfo chunk;
            chunk.id = i;
            chunk.from = static_cast<uint64_t>(i) * kChunk;
            chunk.to = chunk.from + kChunk - 1;
            chunk.md5 = kDigest;
            file.chunks.push_back(chunk);
        }
        plan.files.push_back(file);
        const auto sized = [&](const std::string& name, uint64_t size) {
            WriteFile(folder.Path() / name, "");
            std::filesystem::resize_file(folder.Path() / name, size);
        };
        const int joined = static_cast<int>(c.joining / kChunk);
        if (c.joining > 0) {
            sized("game.bin.joining", c.joining);
        }
        for (int i = 0; i < c.chunkFiles; ++i) {
            sized("game.bin.chunk" + std::to_string(joined + i), kChunk);
        }
        if (c.partial > 0) {
            sized("game.bin.chunk" + std::to_string(joined + c.chunkFiles) + "_downloading",
                  c.partial);
        }
        EXPECT_EQ(SpaceStillNeeded(plan, c.connections), c.needed);
    }
}

static_assert(SaturatingAdd(1, 2) == 3);
static_assert(SaturatingMultiply(3, 4) == 12);
static_assert(SaturatingMultiply(1ull << 32, 1ull << 32) == kMax);
static_assert(SaturatingAdd(kMax - 1, 1) == kMax);
static_assert(SaturatingAdd(1ull << 63, 1ull << 63) == kMax);

}  // namespace
