// MD5 throughput by the size of the pieces it is fed in: the transfer feeds the network's pieces
// (up to 10240 bytes a block, split where the receive ring wraps), the check and the joiner feed
// 1 MiB blocks read from disk.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "engine/Md5Context.h"

namespace {

void BM_Md5ByBlockSize(benchmark::State& state) {
    const auto block = static_cast<size_t>(state.range(0));
    constexpr size_t kTotal = size_t{8} << 20;
    std::vector<uint8_t> data(kTotal, 0x5a);
    for (auto _ : state) {
        Md5Context md5;
        for (size_t at = 0; at + block <= kTotal; at += block) {
            md5.Update(data.data() + at, block);
        }
        md5.Finalize();
        benchmark::DoNotOptimize(md5.HexDigest());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kTotal / block * block));
}

// A chunk's digest and its file's over the same bytes in one pass, as a join does.
void BM_Md5BothDigests(benchmark::State& state) {
    constexpr size_t kBlock = size_t{256} << 10;
    constexpr size_t kTotal = size_t{8} << 20;
    std::vector<uint8_t> data(kTotal, 0x5a);
    for (auto _ : state) {
        Md5Context chunk;
        Md5Context file;
        for (size_t at = 0; at + kBlock <= kTotal; at += kBlock) {
            Md5Context::UpdateBoth(chunk, file, data.data() + at, kBlock);
        }
        chunk.Finalize();
        file.Finalize();
        benchmark::DoNotOptimize(chunk.HexDigest());
        benchmark::DoNotOptimize(file.HexDigest());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kTotal));
}

}  // namespace

BENCHMARK(BM_Md5BothDigests)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5ByBlockSize)->RangeMultiplier(4)->Range(64, 1 << 20)->Unit(benchmark::kMillisecond);
