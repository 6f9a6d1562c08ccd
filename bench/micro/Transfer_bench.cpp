// The transfer loop as a worker runs it: one 10 MiB chunk fetched from a loopback server into a
// file, block by block, its digest fed from every written block. The server keeps its content in
// memory, so the figure is the client's cost: libcurl, the receive ring, the writes and MD5.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/TextUtil.h"
#include "engine/Download.h"
#include "engine/Md5Context.h"
#include "micro/LoopbackServer.h"

namespace {

constexpr size_t kChunk = size_t{10} << 20;

std::vector<uint8_t> RandomBytes(size_t size) {
    std::vector<uint8_t> bytes(size);
    std::mt19937_64 random(7);
    for (size_t i = 0; i + 8 <= size; i += 8) {
        const uint64_t value = random();
        std::memcpy(bytes.data() + i, &value, 8);
    }
    return bytes;
}

void FeedDigest(void* context, const uint8_t* bytes, size_t count) {
    static_cast<Md5Context*>(context)->Update(bytes, count);
}

void BM_TransferChunk(benchmark::State& state) {
    const bool digest = state.range(0) != 0;
    static LoopbackServer server(RandomBytes(2 * kChunk));
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("velk-micro-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::u16string path = Utf8ToWide((folder / "chunk").string());
    const std::u16string url = Utf8ToWide(server.Url());
    uint64_t chunk = 0;
    for (auto _ : state) {
        const uint64_t from = (chunk++ % 2) * kChunk;
        Download transfer(path, url, true, from, from + kChunk - 1);
        Md5Context md5;
        if (digest) {
            transfer.SetBlockObserver(&FeedDigest, &md5);
        }
        while (transfer.ReadSegment()) {
        }
        if (!transfer.Complete() || transfer.Transferred() != kChunk) {
            state.SkipWithError("transfer failed");
            break;
        }
        md5.Finalize();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kChunk));
    std::filesystem::remove_all(folder);
}

}  // namespace

BENCHMARK(BM_TransferChunk)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("digest")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
