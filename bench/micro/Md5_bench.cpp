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

}  // namespace

BENCHMARK(BM_Md5ByBlockSize)->RangeMultiplier(4)->Range(64, 1 << 20)->Unit(benchmark::kMillisecond);
