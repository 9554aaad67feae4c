// Throughput of the paged stream between two stages: bytes written and read back per second.
#include "streams/SHORTstreamUnit_v3.h"

#include <benchmark/benchmark.h>

#include <vector>

static void BM_StreamWriteReadRelease(benchmark::State& state) {
    const auto block = static_cast<int32_t>(state.range(0));
    std::vector<uint8_t> in(static_cast<size_t>(block), 0x33);
    std::vector<uint8_t> out(static_cast<size_t>(block));
    TSHORTstream stream("bench", true, true, nullptr);
    for (auto _ : state) {
        stream.Write(in.data(), block);
        stream.Read(out.data(), block);
        stream.ClearNotActualMemory();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * block);
}
BENCHMARK(BM_StreamWriteReadRelease)->Arg(1024)->Arg(16384)->Arg(1 << 20);
