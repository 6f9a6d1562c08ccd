#include "engine/DiskSpace.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/DownloadInfo.h"
#include "core/Saturating.h"
#include "core/TextUtil.h"
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
        // Every byte missing, plus a second copy of the largest file for the join.
        {"small files", {100, 50}, 100 + 50 + 100, 150},
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
        EXPECT_EQ(SpaceStillNeeded(plan), c.needed);

        // The record's own sums saturate the same way.
        plan.RecomputeTotals();
        EXPECT_EQ(plan.total, c.total);
        EXPECT_EQ(plan.available, c.total);
    }
}

static_assert(SaturatingAdd(1, 2) == 3);
static_assert(SaturatingAdd(kMax - 1, 1) == kMax);
static_assert(SaturatingAdd(1ull << 63, 1ull << 63) == kMax);

}  // namespace
