// Stages before the frame layer, stepped without threads: sync before Viterbi alone, the Viterbi
// stage alone, and the two together, on clean and on noisy encoded frames. Reported as soft values
// per second; one second of a 72 k signal is 144,000 values, so times real time is that figure
// divided by 144,000 (shown as the "x_realtime" counter). The Viterbi stage with and without
// iterative decoding runs on real frames at the decoder's threshold, where its cost matters.
#include "fec/LRPT_SyncBeforeViterbiUnit.h"
#include "fec/LRPT_ViterbiThreadUnit.h"
#include "fec/Randomization.h"
#include "fec/TrueRS_LRPT.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The rate-1/2 code's soft values of aBytes at amplitude 70 with Gaussian noise of aSigma.
std::vector<int8_t> Encode(const std::vector<uint8_t>& aBytes, double aSigma, std::mt19937& aRng) {
    std::normal_distribution<double> noise(0, aSigma);
    std::vector<int8_t> out;
    out.reserve(16 * aBytes.size());
    int r = 0;
    for (const uint8_t byte : aBytes)
        for (int b = 7; b >= 0; --b) {
            r = (r >> 1) | ((byte >> b & 1) << 6);
            for (const int g : {0171, 0133}) {
                const double v = (__builtin_parity(r & g) ? 70 : -70) + (aSigma > 0 ? noise(aRng) : 0);
                out.push_back(static_cast<int8_t>(std::clamp(std::lround(v), -127L, 127L)));
            }
        }
    return out;
}

std::vector<int8_t> EncodedFrames(int frames, double sigma) {
    std::mt19937 rng(5);
    std::vector<uint8_t> bytes;
    for (int f = 0; f < frames; ++f)
        for (int i = 0; i < 1024; ++i) {
            const uint8_t marker[4] = {0x1A, 0xCF, 0xFC, 0x1D};
            bytes.push_back(i < 4 ? marker[i] : static_cast<uint8_t>(rng()));
        }
    // The noise draws follow the data's, as they always have.
    return Encode(bytes, sigma, rng);
}

// Frames of the real pass kept in data/real-cadu, as sent: the pseudo-random sequence added.
std::vector<uint8_t> RealFrames(int aFrames) {
    const std::string path = LRPT_DATA_DIR "/real-cadu/decoded_202606201550.fixed.cadu";
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes(static_cast<size_t>(aFrames) * 1024);
    if (!file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
        throw std::runtime_error("cannot read " + std::to_string(aFrames) + " frames from " + path);
    for (int f = 0; f < aFrames; ++f)
        Derandomize(bytes.data() + 1024 * static_cast<size_t>(f) + 4, true);
    return bytes;
}

void Report(benchmark::State& state, int64_t values) {
    state.SetItemsProcessed(values);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(values) / 144000.0, benchmark::Counter::kIsRate);
}

// A fresh sync stage over the whole input, stepped until it finds too little.
void RunSync(const std::vector<int8_t>& input) {
    TSHORTstream in("in", true, true, nullptr), out("out", true, true, nullptr);
    TSyncBeforeViterbi sync(&in, &out, "");
    in.Write(input.data(), static_cast<int32_t>(input.size()));
    while (sync.DoStep(&in, &out))
        in.ClearNotActualMemory();
    benchmark::DoNotOptimize(out.Size());
}

void BM_Sync(benchmark::State& state) {
    const auto input = EncodedFrames(64, static_cast<double>(state.range(0)));
    int64_t values = 0;
    for (auto _ : state) {
        RunSync(input);
        values += static_cast<int64_t>(input.size());
    }
    Report(state, values);
}
BENCHMARK(BM_Sync)->Arg(0)->Arg(30)->Unit(benchmark::kMillisecond);

// The unlocked search sliding through noise (the edges of a pass, a loss of lock).
void BM_SyncSearchNoise(benchmark::State& state) {
    std::mt19937 rng(9);
    std::normal_distribution<double> noise(0, 60);
    std::vector<int8_t> input(1 << 20);
    for (auto& v : input)
        v = static_cast<int8_t>(std::clamp(std::lround(noise(rng)), -127L, 127L));
    int64_t values = 0;
    for (auto _ : state) {
        RunSync(input);
        values += static_cast<int64_t>(input.size()) - TSyncBeforeViterbi::BlockSize + 1;
    }
    Report(state, values);
}
BENCHMARK(BM_SyncSearchNoise)->Unit(benchmark::kMillisecond);

void BM_ViterbiStage(benchmark::State& state) {
    const auto encoded = EncodedFrames(64, static_cast<double>(state.range(0)));
    const std::vector<int8_t> input(encoded.begin() + 12, encoded.begin() + 12 + 63 * 16384);
    TSHORTstream in("in", true, true, nullptr), out("out", true, true, nullptr);
    TViterbiThread viterbi(&in, &out, "");
    viterbi.BeforeExecute();
    int64_t values = 0;
    for (auto _ : state) {
        in.Write(input.data(), static_cast<int32_t>(input.size()));
        while (viterbi.DoStep(&in, &out))
            in.ClearNotActualMemory();
        out.Seek(int64_t{0}, TSeekOrigin::soEnd);
        out.ClearNotActualMemory();
        values += static_cast<int64_t>(input.size());
    }
    Report(state, values);
}
BENCHMARK(BM_ViterbiStage)->Arg(0)->Arg(30)->Unit(benchmark::kMillisecond);

// Whether the frame at aDecoded (1,024 bytes as the Viterbi stage writes them) comes out of the
// frame stage as aSent: its four interleaved Reed-Solomon words, the sequence removed, correct to
// the sent ones (the marker is not checked: the frame stage rewrites it).
bool ComesOutWhole(const uint8_t* aDecoded, const uint8_t* aSent, TTrueRS& aRs) {
    uint8_t frame[1024];
    std::copy_n(aDecoded, 1024, frame);
    uint8_t sent[1024];
    std::copy_n(aSent, 1024, sent);
    Derandomize(frame + 4, true);
    Derandomize(sent + 4, true);
    for (int i = 0; i < 4; ++i) {
        uint8_t word[255];
        for (int m = 0; m < 255; ++m)
            word[m] = frame[4 + i + 4 * m];
        if (aRs.CheckErasures(word, nullptr, 0) == TTrueRS::kFatal) return false;
        for (int m = 0; m < 255; ++m)
            if (word[m] != sent[4 + i + 4 * m]) return false;
    }
    return true;
}

// The Viterbi stage on 200 real frames, without (iterative 0) and with iterative decoding, at an
// Es/N0 in hundredths of a dB (0: no noise). Processor time with against without at the same
// Es/N0 is what iterative decoding costs; "frames_ok" is the share of frames the frame stage would
// pass on whole.
void BM_ViterbiStageIterative(benchmark::State& state) {
    constexpr int kFrames = 200;
    const bool iterative = state.range(0) != 0;
    const double esn0 = static_cast<double>(state.range(1)) / 100;
    const std::vector<uint8_t> frames = RealFrames(kFrames);
    std::mt19937 rng(11);
    const auto encoded = Encode(frames, state.range(1) == 0 ? 0 : 70 / std::pow(10, esn0 / 20), rng);
    // As the sync stage cuts it: from code-symbol pair 6 of the first marker on.
    const std::vector<int8_t> input(encoded.begin() + 12, encoded.end());
    int64_t values = 0, whole = 0, counted = 0;
    TTrueRS rs;
    for (auto _ : state) {
        TSHORTstream in("in", true, true, nullptr), out("out", true, true, nullptr);
        TViterbiThread viterbi(&in, &out, "", false, iterative);
        viterbi.BeforeExecute();
        in.Write(input.data(), static_cast<int32_t>(input.size()));
        while (viterbi.DoStep(&in, &out))
            in.ClearNotActualMemory();
        viterbi.EndOfInput(&out);
        state.PauseTiming();
        std::vector<uint8_t> decoded(static_cast<size_t>(out.AwaitingReadSize()));
        out.Read(decoded.data(), static_cast<int32_t>(decoded.size()));
        for (size_t k = 0; k < kFrames && 1024 * (k + 1) <= decoded.size(); ++k)
            whole += ComesOutWhole(decoded.data() + 1024 * k, frames.data() + 1024 * k, rs);
        counted += kFrames;
        state.ResumeTiming();
        values += static_cast<int64_t>(input.size());
    }
    Report(state, values);
    state.counters["frames_ok"] =
        static_cast<double>(whole) / static_cast<double>(std::max<int64_t>(counted, 1));
}
BENCHMARK(BM_ViterbiStageIterative)
    ->ArgNames({"iterative", "esn0_cdB"})
    ->ArgsProduct({{0, 1}, {0, 140, 150, 175}})
    ->Unit(benchmark::kMillisecond);

void BM_SyncAndViterbi(benchmark::State& state) {
    const auto input = EncodedFrames(64, static_cast<double>(state.range(0)));
    int64_t values = 0;
    for (auto _ : state) {
        TSHORTstream in("in", true, true, nullptr), mid("mid", true, true, nullptr),
            out("out", true, true, nullptr);
        TSyncBeforeViterbi sync(&in, &mid, "");
        TViterbiThread viterbi(&mid, &out, "");
        viterbi.BeforeExecute();
        in.Write(input.data(), static_cast<int32_t>(input.size()));
        while (sync.DoStep(&in, &mid))
            in.ClearNotActualMemory();
        while (viterbi.DoStep(&mid, &out))
            mid.ClearNotActualMemory();
        values += static_cast<int64_t>(input.size());
    }
    Report(state, values);
}
BENCHMARK(BM_SyncAndViterbi)->Arg(0)->Arg(30)->Unit(benchmark::kMillisecond);

} // namespace
