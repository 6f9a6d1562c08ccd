// Joining as the combine task does it: four 10 MiB chunk files read, each chunk's digest checked,
// the bytes written to the working file with the whole-file digest fed on the way, the file
// synced. The joiner tells the kernel to drop each chunk file's pages once read, so later rounds
// may read them from the disk.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/TextUtil.h"
#include "engine/ChunksCombiner.h"
#include "engine/CombineEntry.h"
#include "engine/Md5Context.h"

namespace {

constexpr size_t kChunk = size_t{10} << 20;
constexpr uint32_t kChunks = 4;

void BM_JoinChunks(benchmark::State& state) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("velk-join-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    CombineEntry entry;
    entry.finishedPath = Utf8ToWide((folder / "game.bin").string());
    entry.chunkCount = kChunks;
    Md5Context whole;
    std::vector<uint8_t> bytes(kChunk);
    for (uint32_t i = 0; i < kChunks; ++i) {
        for (size_t at = 0; at < kChunk; ++at) {
            bytes[at] = static_cast<uint8_t>((at * 131 + i * 7) >> 3);
        }
        std::ofstream(WideToUtf8(ChunkFileOfEntry(entry, i)), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(kChunk));
        entry.chunkDigests.push_back(
            Md5Hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), kChunk)));
        whole.Update(bytes.data(), kChunk);
    }
    whole.Finalize();
    entry.fileDigest = whole.HexDigest();

    for (auto _ : state) {
        ChunksCombiner combiner(entry);
        while (combiner.Step()) {
        }
        if (!combiner.Done() || combiner.JoinedDigest() != entry.fileDigest) {
            state.SkipWithError("joining failed");
            break;
        }
        combiner.Discard();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kChunk * kChunks));
    std::filesystem::remove_all(folder);
}

}  // namespace

BENCHMARK(BM_JoinChunks)->Unit(benchmark::kMillisecond)->UseRealTime();
