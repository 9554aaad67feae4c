// Decoding speed of one imager channel: packets per second through the drawing stage's step, and
// how many times faster than the satellite sends them (14 packets per 1.23114 s scan period).
#include "ImagePacketEncoder.h"

#include "image/CanalDrawThreadUnit.h"
#include "image/ImageControls.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

constexpr double RealTimePacketsPerSecond = 14 / 1.23114;

// Scans of an encoded scene: 14 packets of 14 blocks each, as the channel sends them.
std::vector<std::vector<uint8_t>> Scans(int aCount, int aQ) {
    std::vector<std::vector<uint8_t>> scans(aCount);
    for (int s = 0; s < aCount; ++s)
        for (int p = 0; p < 14; ++p) {
            std::vector<imagetest::Block> blocks(14);
            for (int b = 0; b < 14; ++b)
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x)
                        blocks[b][y][x] = imagetest::Scene(112 * p + 8 * b + x, 8 * s + y, 5);
            const auto packet = imagetest::EncodePacket(
                imagetest::PacketSpec{1, static_cast<uint32_t>(36000000 + 1231 * s), 14 * p, aQ, 0, 0},
                blocks);
            scans[s].insert(scans[s].end(), packet.begin(), packet.end());
        }
    return scans;
}

void DecodeScans(benchmark::State& state, const std::string& aLogFile) {
    const auto scans = Scans(50, static_cast<int>(state.range(0)));
    TSHORTstream in("MPDU_64", true, true, nullptr);
    TBitmapImage image;
    TCaptionProgress progress("0.5-0.7");
    TCanalDrawThread stage(&in, nullptr, 1, aLogFile, &progress, &image);
    size_t next = 0;
    int64_t packets = 0;
    for (auto _ : state) {
        const auto& scan = scans[next++ % scans.size()];
        in.Write(scan.data(), static_cast<int32_t>(scan.size()));
        while (stage.DoStep(&in, nullptr)) {
            in.ClearNotActualMemory();
            ++packets;
        }
    }
    state.SetItemsProcessed(packets);
    state.counters["packets_per_s"] =
        benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
    state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(packets) / RealTimePacketsPerSecond,
                                                      benchmark::Counter::kIsRate);
    if (!aLogFile.empty()) std::filesystem::remove(aLogFile);
}

} // namespace

// One scan (14 packets) per iteration, no log file; the argument is the quality factor.
static void BM_ChannelDecode(benchmark::State& state) {
    DecodeScans(state, "");
}
BENCHMARK(BM_ChannelDecode)->Arg(50)->Arg(80)->Arg(100)->Unit(benchmark::kMicrosecond);

// The same with the channel's log file, as in a session (two or three lines per packet).
static void BM_ChannelDecodeWithLog(benchmark::State& state) {
    DecodeScans(state, (std::filesystem::temp_directory_path() / "bench_image.64.log").string());
}
BENCHMARK(BM_ChannelDecodeWithLog)->Arg(80)->Unit(benchmark::kMicrosecond);
