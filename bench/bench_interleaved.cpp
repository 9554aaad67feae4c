// Throughput of the two stages of the interleaved 80 k mode, each alone, stepped directly.
// Real time: 80,000 symbols/s = 160,000 soft values/s of signal enter the unique-word stage; the
// deinterleaver gets 72 of every 80 of them (144,000 values/s), reported against that rate.
#include "fec/InterlivingThreadUnit.h"
#include "fec/LRPT_SyncBeforIntThreadUnit.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

constexpr double SignalValuesPerSecond = 160000.0;
constexpr double CodeValuesPerSecond = 144000.0;

std::vector<int8_t> Signal(size_t groups) {
    static const int8_t uw[8] = {-70, -70, 70, -70, -70, 70, 70, 70};
    std::mt19937 rng(1);
    std::vector<int8_t> v;
    v.reserve(groups * 80);
    for (size_t g = 0; g < groups; ++g) {
        v.insert(v.end(), uw, uw + 8);
        for (int i = 0; i < 72; ++i)
            v.push_back(static_cast<int8_t>(static_cast<int>(rng() % 255) - 127));
    }
    return v;
}

} // namespace

// Locked on the group boundary: 800 values consumed and 720 written per step.
static void BM_UniqueWordSync(benchmark::State& state) {
    const std::vector<int8_t> signal = Signal(8000); // 640,000 values
    TSHORTstream in("in", true, true, nullptr), out("out", true, true, nullptr);
    TSyncBeforIntThread stage(&in, &out, "");
    int64_t values = 0;
    for (auto _ : state) {
        in.Write(signal.data(), static_cast<int32_t>(signal.size()));
        const int64_t before = in.Position();
        while (stage.DoStep(&in, &out))
            in.ClearNotActualMemory();
        values += in.Position() - before;
        out.Seek(0, 2);
        out.ClearNotActualMemory();
    }
    state.SetItemsProcessed(values);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(values) / SignalValuesPerSecond, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_UniqueWordSync)->Unit(benchmark::kMillisecond);

static void BM_Deinterleaver(benchmark::State& state) {
    std::vector<int8_t> block(TInterlivingThread::FrameSize);
    std::mt19937 rng(2);
    for (auto& x : block)
        x = static_cast<int8_t>(rng());
    TSHORTstream in("in", true, true, nullptr), out("out", true, true, nullptr);
    auto stage = std::make_unique<TInterlivingThread>(&in, &out, "");
    int64_t values = 0;
    for (auto _ : state) {
        in.Write(block.data(), static_cast<int32_t>(block.size()));
        if (stage->DoStep(&in, &out)) values += TInterlivingThread::FrameSize;
        out.Seek(0, 2);
        out.ClearNotActualMemory();
    }
    state.SetItemsProcessed(values);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(values) / CodeValuesPerSecond, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Deinterleaver)->Unit(benchmark::kMillisecond);
