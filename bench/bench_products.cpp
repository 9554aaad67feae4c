// Mode detection on generated passes and rectification of a composite.
#include "Synthesizer.h"
#include "image/GroundRectifier.h"
#include "session/ModeDetector.h"

#include <benchmark/benchmark.h>

namespace {

std::vector<int8_t> Pass(lrptsynth::Mode aMode, bool aNrzm, double aSeconds) {
    lrptsynth::SynthOptions o;
    o.mode = aMode;
    o.nrzm = aNrzm;
    o.durationSeconds = aSeconds;
    o.esn0Db = 6;
    const auto rec = lrptsynth::synthesize(o);
    return {rec.bytes.begin(), rec.bytes.end()};
}

// The four hypotheses side by side; the counter is seconds of signal examined by the winner.
void Detect(benchmark::State& aState, lrptsynth::Mode aMode, bool aNrzm, double aSeconds) {
    const auto values = Pass(aMode, aNrzm, aSeconds);
    for (auto _ : aState) {
        const auto d = DetectModeInValues(values.data(), static_cast<int64_t>(values.size()));
        if (!d.Found) aState.SkipWithError("not found");
        benchmark::DoNotOptimize(d);
    }
}
BENCHMARK_CAPTURE(Detect, Plain72k, lrptsynth::Mode::k72, false, 10)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Detect, Nrzm72k, lrptsynth::Mode::k72, true, 10)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Detect, Nrzm80k, lrptsynth::Mode::k80, true, 30)->Unit(benchmark::kMillisecond);

// A composite of 800 rows (100 scans) resampled to ground distance.
void Rectify(benchmark::State& aState) {
    TBitmap24 picture(1568, 800);
    for (int y = 0; y < 800; ++y)
        for (int x = 0; x < 3 * 1568; ++x)
            picture.ScanLine(y)[x] = static_cast<uint8_t>(x ^ y);
    const TGroundRectifier& table = TGroundRectifier::ForWidth(1568);
    for (auto _ : aState)
        benchmark::DoNotOptimize(table.Rectify(picture));
    aState.SetItemsProcessed(aState.iterations() * 800);
}
BENCHMARK(Rectify)->Unit(benchmark::kMillisecond);

} // namespace
